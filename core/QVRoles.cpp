#include "core/QVRoles.h"

#include <algorithm>
#include <cctype>
#include <optional>

#include "core/QVHeaderFields.h"
#include "core/QVSignaturePicture.h"

namespace qv {

std::string_view describe(QVPartRole role) {
  switch (role) {
    case QVPartRole::kHeader: return "header";
    case QVPartRole::kContainer: return "container";
    case QVPartRole::kTextPlain: return "plain text";
    case QVPartRole::kTextHtml: return "HTML";
    case QVPartRole::kInline: return "inline";
    case QVPartRole::kAttachment: return "attachment";
  }
  return "unknown";
}

namespace {

enum class TextKind { kNone, kPlain, kHtml };

TextKind textKind(const QVContentPart& part) {
  // A part with no header at all is text/plain, as MIME reads it. (One with header fields
  // but no Content-Type stays a file: what it is was not said the usual way.)
  if (!part.contentType && part.headerText.find_first_not_of("\r\n") == std::string_view::npos) {
    return TextKind::kPlain;
  }
  const std::string_view type = part.contentType.value_or(std::string_view{});
  if (containsIgnoringCase(type, "text/plain")) return TextKind::kPlain;
  if (containsIgnoringCase(type, "text/html")) return TextKind::kHtml;
  return TextKind::kNone;
}

// Whether a text body holds nothing but white space (quoted-printable's escaped blanks and
// soft line breaks counted as such); in HTML, markup is no text either (a piece that only
// shows a picture, say, whose tag may go with the picture).
bool blank(const QVContentPart& part, bool html) {
  const std::string_view body = part.bodyText;
  const bool qp =
      part.transferEncoding && equalsIgnoringCase(*part.transferEncoding, "quoted-printable");
  for (std::size_t i = 0; i < body.size(); ++i) {
    const char c = body[i];
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
    if (html && c == '<') {
      const std::size_t close = body.find('>', i);
      if (close == std::string_view::npos) return false;
      i = close;
      continue;
    }
    if (qp && c == '=') {
      const std::string_view rest = body.substr(i + 1);
      if (rest.starts_with("20") || rest.starts_with("09")) {
        i += 2;
        continue;
      }
      if (rest.starts_with("\n") || rest.starts_with("\r\n")) continue;
    }
    return false;
  }
  return true;
}

// Of each kind, the text bodies are read in document order. In a multipart/alternative
// level each part is another version of the others: of a kind, the last there is the one
// readers show, and the earlier ones are kept as files. The others, in whatever level,
// are the pieces of one body: text cut by files placed inside it, or texts in different
// levels (a footer never displaces the body). A text part with a name is a file when an
// unnamed text of its kind is there.
void sortBodies(const QVPartTree& tree, const std::vector<std::size_t>& textParts, QVRoles& roles) {
  std::vector<std::size_t> displaced;
  const auto alternativeLevel = [&](std::uint32_t level) {
    return level < tree.levelTypes.size() &&
           containsIgnoringCase(tree.levelTypes[level], "multipart/alternative");
  };
  for (const TextKind kind : {TextKind::kPlain, TextKind::kHtml}) {
    std::vector<std::size_t>& pieces =
        kind == TextKind::kPlain ? roles.bodies.plain : roles.bodies.html;
    std::vector<std::size_t> candidates;
    for (std::size_t index : textParts) {
      if (textKind(tree.parts[index]) == kind) candidates.push_back(index);
    }
    bool anyUnnamed = false;
    std::vector<std::size_t> reading;
    std::vector<std::size_t> others;  // of this kind, kept as files
    for (std::size_t k = 0; k < candidates.size(); ++k) {
      const QVContentPart& part = tree.parts[candidates[k]];
      bool shadowed = false;  // a later version of the kind in the same alternative level
      if (alternativeLevel(part.level)) {
        for (std::size_t later = k + 1; later < candidates.size() && !shadowed; ++later) {
          const QVContentPart& next = tree.parts[candidates[later]];
          shadowed = next.level == part.level;
        }
      }
      if (shadowed) {
        others.push_back(candidates[k]);
      } else {
        reading.push_back(candidates[k]);
        anyUnnamed = anyUnnamed || !part.named;
      }
    }
    for (std::size_t index : reading) {
      if (anyUnnamed && tree.parts[index].named) {
        others.push_back(index);
      } else {
        pieces.push_back(index);
      }
    }
    std::sort(others.begin(), others.end());
    for (std::size_t index : others) {
      roles.defects.push_back({QVDefect::kDisplacedBody, tree.parts[index].startRow});
    }
    displaced.insert(displaced.end(), others.begin(), others.end());
    if (pieces.empty()) continue;
    // Left apart, the first piece that holds text is the body: a footer after it never
    // displaces it, and the pieces after it stay in their order.
    std::size_t shown = pieces.front();
    for (std::size_t index : pieces) {
      if (!blank(tree.parts[index], kind == TextKind::kHtml)) {
        shown = index;
        break;
      }
    }
    (kind == TextKind::kPlain ? roles.bodies.plainShown : roles.bodies.htmlShown) = shown;
  }
  std::sort(displaced.begin(), displaced.end());
  roles.displaced = displaced;
  for (std::size_t index : displaced) {
    roles.attachments.insert(
        std::upper_bound(roles.attachments.begin(), roles.attachments.end(), index), index);
  }
}

// A part's size once decoded, counted up to `limit` (a picture's size matters only below
// it, and a large one is not read through): base64 by its characters, other bodies as they
// stand.
std::size_t decodedSize(const QVContentPart& part, std::size_t limit) {
  if (!part.transferEncoding || !equalsIgnoringCase(*part.transferEncoding, "base64")) {
    return std::min(part.bodyText.size(), limit);
  }
  std::size_t characters = 0;
  for (char c : part.bodyText) {
    if (std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/') ++characters;
    if (characters / 4 * 3 >= limit) return limit;
  }
  return characters * 3 / 4;
}

}  // namespace

QVRoles assignRoles(const QVPartTree& tree, std::string_view signatureName,
                    std::optional<std::size_t> keepInlineBelow) {
  QVRoles roles;
  std::vector<std::size_t> textParts;  // every text body candidate, in document order
  for (std::size_t index = 1; index < tree.parts.size(); ++index) {
    const QVContentPart& part = tree.parts[index];
    if (part.container) continue;
    const std::optional<std::string_view>& disposition = part.contentDisposition;
    const bool named = part.filename.has_value() && !part.filename->empty();
    const bool sentAsAttachment = disposition && containsIgnoringCase(*disposition, "attachment");

    // A text part is a body when nothing says it is a file: no disposition, or "inline"
    // without a name (as some mailers write both bodies).
    const bool inlineUnnamed =
        disposition && equalsIgnoringCase(*disposition, "inline") && !named && !part.named;
    if (textKind(part) != TextKind::kNone && (!disposition || inlineUnnamed)) {
      textParts.push_back(index);
      continue;
    }
    const std::string_view type = part.contentType.value_or(std::string_view{});
    if (containsIgnoringCase(type, "image/") &&
        staysInline(named ? part.filename : std::nullopt, signatureName,
                    !part.named && !sentAsAttachment, sentAsAttachment,
                    keepInlineBelow ? decodedSize(part, *keepInlineBelow) : 0, keepInlineBelow)) {
      // Signature pictures stay inline; so do pictures without any name, which the outgoing
      // hook leaves referenced from the HTML. A name in another form (as Content-Type's name)
      // or an "attachment" disposition keeps a picture an attachment. When asked, small
      // pictures stay too.
      roles.inlines.push_back(index);
    } else {
      roles.attachments.push_back(index);
    }
  }
  sortBodies(tree, textParts, roles);
  return roles;
}

QVPartRole QVRoles::roleOf(std::size_t index) const {
  if (index == 0) return QVPartRole::kHeader;
  auto in = [index](const std::vector<std::size_t>& list) {
    return std::find(list.begin(), list.end(), index) != list.end();
  };
  if (in(bodies.plain)) return QVPartRole::kTextPlain;
  if (in(bodies.html)) return QVPartRole::kTextHtml;
  if (std::binary_search(inlines.begin(), inlines.end(), index)) return QVPartRole::kInline;
  if (std::binary_search(attachments.begin(), attachments.end(), index)) {
    return QVPartRole::kAttachment;
  }
  return QVPartRole::kContainer;
}

}  // namespace qv
