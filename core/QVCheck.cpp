#include "core/QVCheck.h"

#include "core/QVHeaderFields.h"

namespace qv {

std::string_view describe(QVRebuildFailure failure) {
  switch (failure) {
    case QVRebuildFailure::kTooLarge: return "too large";
    case QVRebuildFailure::kNotUtf8: return "not UTF-8";
    case QVRebuildFailure::kNoContentType: return "no Content-Type in the header";
    case QVRebuildFailure::kEmptyContentType: return "empty Content-Type in the header";
    case QVRebuildFailure::kMalformedContentType: return "malformed Content-Type in the header";
    case QVRebuildFailure::kSeveralContentTypes: return "several Content-Type fields in the header";
    case QVRebuildFailure::kNotMultipart: return "not multipart";
    case QVRebuildFailure::kNoBoundary: return "no boundary";
    case QVRebuildFailure::kNoDelimiterRow: return "no delimiter row";
    case QVRebuildFailure::kNestingTooDeep: return "nesting too deep";
    case QVRebuildFailure::kClosingRowWithText:
      return "a closing delimiter row with text after it (readers differ on where the "
             "message ends)";
    case QVRebuildFailure::kSignedOrEncrypted: return "signed or encrypted";
    case QVRebuildFailure::kNoTextBody: return "no text body";
    case QVRebuildFailure::kNothingToMove: return "nothing to move";
    case QVRebuildFailure::kNoFreshBoundary: return "no fresh boundary";
  }
  return "unknown";
}

namespace {

// "type/subtype" of MIME token characters (blanks before the ";" allowed at the end): a
// header value that is not cannot be rewritten into "multipart/mixed" with confidence.
bool isMediaType(std::string_view value) {
  while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
  if (value.empty()) return false;
  std::size_t slashes = 0;
  for (char c : value) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '/') {
      ++slashes;
      continue;
    }
    if (u <= 32 || u >= 127 ||
        std::string_view("()<>@,;:\\\"[]?=").find(c) != std::string_view::npos) {
      return false;
    }
  }
  return slashes == 1 && value.front() != '/' && value.back() != '/';
}

// The message already has the rebuilt shape: a multipart/mixed whose every file stands in
// its top level, none of them shown inline or referenced by a Content-Id, and each body in
// one piece. Rebuilding it would change nothing a reader sees.
bool filesInPlace(const QVPartTree& tree, const QVRoles& roles) {
  const std::string_view type = tree.header().contentType.value_or(std::string_view{});
  if (!equalsIgnoringCase(type, "multipart/mixed")) return false;
  for (std::size_t index : roles.attachments) {
    const QVContentPart& p = tree.parts[index];
    if (p.level != 1 || p.cid) return false;
    if (p.contentDisposition && equalsIgnoringCase(*p.contentDisposition, "inline")) return false;
  }
  return true;
}

bool nothingToMove(const QVPartTree& tree, const QVRoles& roles) {
  return roles.bodies.plain.size() <= 1 && roles.bodies.html.size() <= 1 &&
         filesInPlace(tree, roles);
}

// A body's pieces as the rebuild leaves them apart: the shown one first, in the
// alternative, the others after it in the top level.
bool piecesAsLeftApart(const QVPartTree& tree, const std::vector<std::size_t>& pieces,
                       std::size_t shown) {
  if (pieces.size() <= 1) return true;
  const std::uint32_t level = tree.parts[shown].level;
  if (pieces.front() != shown || level < 2 || level >= tree.levelTypes.size() ||
      !containsIgnoringCase(tree.levelTypes[level], "multipart/alternative")) {
    return false;
  }
  for (std::size_t k = 1; k < pieces.size(); ++k) {
    if (tree.parts[pieces[k]].level != 1) return false;
  }
  return true;
}

}  // namespace

bool leftApartAsRebuilt(const QVPartTree& tree, const QVRoles& roles) {
  const QVBodies& b = roles.bodies;
  return (b.plain.size() > 1 || b.html.size() > 1) && filesInPlace(tree, roles) &&
         piecesAsLeftApart(tree, b.plain, b.plainShown) &&
         piecesAsLeftApart(tree, b.html, b.htmlShown);
}

std::optional<QVRebuildFailure> checkRebuild(const QVRows& rows, const QVPartTree& tree,
                                             const QVRoles& roles) {
  if (rows.tooLarge) return QVRebuildFailure::kTooLarge;
  if (!rows.utf8) return QVRebuildFailure::kNotUtf8;
  const QVContentPart& h = tree.header();
  if (!h.contentType) return QVRebuildFailure::kNoContentType;
  if (h.contentType->empty()) return QVRebuildFailure::kEmptyContentType;
  if (!isMediaType(*h.contentType)) return QVRebuildFailure::kMalformedContentType;
  if (!h.boundary) {
    return startsWithIgnoringCase(*h.contentType, "multipart") ? QVRebuildFailure::kNoBoundary
                                                               : QVRebuildFailure::kNotMultipart;
  }
  if (tree.severalHeaderTypes) return QVRebuildFailure::kSeveralContentTypes;
  if (!tree.topDelimiterFound) return QVRebuildFailure::kNoDelimiterRow;
  if (tree.nestingTooDeep) return QVRebuildFailure::kNestingTooDeep;
  if (tree.closingRowWithText) return QVRebuildFailure::kClosingRowWithText;
  if (tree.signedOrEncrypted) return QVRebuildFailure::kSignedOrEncrypted;
  if (roles.bodies.plain.empty() && roles.bodies.html.empty()) return QVRebuildFailure::kNoTextBody;
  if (nothingToMove(tree, roles)) return QVRebuildFailure::kNothingToMove;
  return std::nullopt;
}

}  // namespace qv
