// The roles of the parts: which are the text bodies (and their pieces), which pictures stay
// beside the text, which parts become attachments; and whether the message can be, and
// needs to be, rebuilt.

#include <algorithm>

#include "core/QVHeaderFields.h"
#include "core/QVManipulator.h"

namespace qv {

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

enum class TextKind { kNone, kPlain, kHtml };

TextKind textKind(const QVContentPart& part) {
  const std::string_view type = part.contentType.value_or(std::string_view{});
  if (containsIgnoringCase(type, "text/plain")) return TextKind::kPlain;
  if (containsIgnoringCase(type, "text/html")) return TextKind::kHtml;
  return TextKind::kNone;
}

}  // namespace

void QVManipulator::closeLeaf(const QVContentPart& part, bool namedAnyhow) {
  const std::size_t index = bagAll_.size();
  bagAll_.push_back(part);
  if (!part.contentType) noteDefect(QVDefect::kNoContentType, part.startRow);
  const std::optional<std::string_view>& disposition = part.contentDisposition;
  const bool named = part.filename.has_value() && !part.filename->empty();
  const bool sentAsAttachment = disposition && containsIgnoringCase(*disposition, "attachment");

  // A text part is a body when nothing says it is a file: no disposition, or "inline"
  // without a name (as some mailers write both bodies).
  const bool inlineUnnamed =
      disposition && equalsIgnoringCase(*disposition, "inline") && !named && !namedAnyhow;
  if (textKind(part) != TextKind::kNone && (!disposition || inlineUnnamed)) {
    textParts_.push_back(index);
    return;
  }
  const std::string_view type = part.contentType.value_or(std::string_view{});
  if (containsIgnoringCase(type, "image/") &&
      ((named && !signature_.empty() &&
        part.filename->find(signature_) != std::string_view::npos) ||
       (!named && !namedAnyhow && !sentAsAttachment))) {
    // Signature pictures stay inline; so do pictures without any name, which the outgoing
    // hook leaves referenced from the HTML. A name in another form (as Content-Type's name)
    // or an "attachment" disposition keeps a picture an attachment.
    bagInline_.push_back(index);
  } else {
    bagAttach_.push_back(index);
  }
}

// Of each kind, the last body found wins, as in a multipart/alternative the last is the
// one readers show. The pieces of its level join it (text cut by files placed inside it),
// but in an alternative level, where each part is an alternative of its own. A body of the
// kind elsewhere is kept as a file, at its place in document order.
void QVManipulator::sortBodies() {
  bodies_ = {};
  std::vector<std::size_t> displaced;
  for (const TextKind kind : {TextKind::kPlain, TextKind::kHtml}) {
    std::vector<std::size_t>& pieces = kind == TextKind::kPlain ? bodies_.plain : bodies_.html;
    std::optional<std::size_t> winner;
    for (std::size_t index : textParts_) {
      if (textKind(bagAll_[index]) == kind) winner = index;
    }
    if (!winner) continue;
    const std::uint32_t level = bagAll_[*winner].level;
    const std::string_view levelType = level < levelTypes_.size() ? levelTypes_[level] : "";
    const bool alternatives = containsIgnoringCase(levelType, "multipart/alternative");
    for (std::size_t index : textParts_) {
      if (textKind(bagAll_[index]) != kind) continue;
      if (index == *winner || (!alternatives && bagAll_[index].level == level)) {
        pieces.push_back(index);
      } else {
        displaced.push_back(index);
        noteDefect(QVDefect::kDisplacedBody, bagAll_[index].startRow);
      }
    }
  }
  displacedBodies_ = displaced;
  std::sort(displacedBodies_.begin(), displacedBodies_.end());
  for (std::size_t index : displaced) {
    bagAttach_.insert(std::upper_bound(bagAttach_.begin(), bagAttach_.end(), index), index);
  }
  textParts_.clear();
}

const QVContentPart* QVManipulator::partTextPlain() const {
  return bodies_.plain.empty() ? nullptr : &bagAll_[bodies_.plain.back()];
}

const QVContentPart* QVManipulator::partTextHtml() const {
  return bodies_.html.empty() ? nullptr : &bagAll_[bodies_.html.back()];
}

QVPartRole QVManipulator::roleOf(std::size_t index) const {
  if (index == 0) return QVPartRole::kHeader;
  auto in = [index](const std::vector<std::size_t>& list) {
    return std::find(list.begin(), list.end(), index) != list.end();
  };
  if (in(bodies_.plain)) return QVPartRole::kTextPlain;
  if (in(bodies_.html)) return QVPartRole::kTextHtml;
  if (std::binary_search(bagInline_.begin(), bagInline_.end(), index)) return QVPartRole::kInline;
  if (std::binary_search(bagAttach_.begin(), bagAttach_.end(), index)) {
    return QVPartRole::kAttachment;
  }
  return QVPartRole::kContainer;
}

// The message already has the rebuilt shape: a multipart/mixed whose every file stands in
// its top level, none of them shown inline or referenced by a Content-Id, and each body in
// one piece. Rebuilding it would change nothing a reader sees.
bool QVManipulator::nothingToMove() const {
  const std::string_view type = header().contentType.value_or(std::string_view{});
  if (!equalsIgnoringCase(type, "multipart/mixed")) return false;
  if (bodies_.plain.size() > 1 || bodies_.html.size() > 1) return false;
  for (std::size_t index : bagAttach_) {
    const QVContentPart& p = bagAll_[index];
    if (p.level != 1 || p.cid) return false;
    if (p.contentDisposition && equalsIgnoringCase(*p.contentDisposition, "inline")) return false;
  }
  return true;
}

std::optional<QVRebuildFailure> QVManipulator::failure() {
  if (tooLarge_) return QVRebuildFailure::kTooLarge;
  if (!utf8_) return QVRebuildFailure::kNotUtf8;
  collectParts();
  const QVContentPart& h = header();
  if (!h.contentType) return QVRebuildFailure::kNoContentType;
  if (h.contentType->empty()) return QVRebuildFailure::kEmptyContentType;
  if (!isMediaType(*h.contentType)) return QVRebuildFailure::kMalformedContentType;
  if (!h.boundary) {
    return startsWithIgnoringCase(*h.contentType, "multipart") ? QVRebuildFailure::kNoBoundary
                                                               : QVRebuildFailure::kNotMultipart;
  }
  if (severalHeaderTypes_) return QVRebuildFailure::kSeveralContentTypes;
  if (!topDelimiterFound_) return QVRebuildFailure::kNoDelimiterRow;
  if (nestingTooDeep_) return QVRebuildFailure::kNestingTooDeep;
  if (closingRowWithText_) return QVRebuildFailure::kClosingRowWithText;
  if (signedOrEncrypted_) return QVRebuildFailure::kSignedOrEncrypted;
  if (bodies_.plain.empty() && bodies_.html.empty()) return QVRebuildFailure::kNoTextBody;
  if (nothingToMove()) return QVRebuildFailure::kNothingToMove;
  if (noFreshBoundary_) return QVRebuildFailure::kNoFreshBoundary;
  return std::nullopt;
}

}  // namespace qv
