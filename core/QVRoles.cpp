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
  const std::string_view type = part.contentType.value_or(std::string_view{});
  if (containsIgnoringCase(type, "text/plain")) return TextKind::kPlain;
  if (containsIgnoringCase(type, "text/html")) return TextKind::kHtml;
  return TextKind::kNone;
}

// Of each kind, the last body found wins, as in a multipart/alternative the last is the
// one readers show. The pieces of its level join it (text cut by files placed inside it),
// but in an alternative level, where each part is an alternative of its own. A body of the
// kind elsewhere is kept as a file, at its place in document order.
void sortBodies(const QVPartTree& tree, const std::vector<std::size_t>& textParts, QVRoles& roles) {
  std::vector<std::size_t> displaced;
  for (const TextKind kind : {TextKind::kPlain, TextKind::kHtml}) {
    std::vector<std::size_t>& pieces =
        kind == TextKind::kPlain ? roles.bodies.plain : roles.bodies.html;
    std::optional<std::size_t> winner;
    for (std::size_t index : textParts) {
      if (textKind(tree.parts[index]) == kind) winner = index;
    }
    if (!winner) continue;
    const std::uint32_t level = tree.parts[*winner].level;
    const std::string_view levelType = level < tree.levelTypes.size() ? tree.levelTypes[level] : "";
    const bool alternatives = containsIgnoringCase(levelType, "multipart/alternative");
    for (std::size_t index : textParts) {
      if (textKind(tree.parts[index]) != kind) continue;
      if (index == *winner || (!alternatives && tree.parts[index].level == level)) {
        pieces.push_back(index);
      } else {
        displaced.push_back(index);
        roles.defects.push_back({QVDefect::kDisplacedBody, tree.parts[index].startRow});
      }
    }
  }
  roles.displaced = displaced;
  std::sort(roles.displaced.begin(), roles.displaced.end());
  for (std::size_t index : displaced) {
    roles.attachments.insert(
        std::upper_bound(roles.attachments.begin(), roles.attachments.end(), index), index);
  }
}

// A part's size once decoded: base64 counted by its characters, other bodies as they stand.
std::size_t decodedSize(const QVContentPart& part) {
  if (!part.transferEncoding || !equalsIgnoringCase(*part.transferEncoding, "base64")) {
    return part.bodyText.size();
  }
  std::size_t characters = 0;
  for (char c : part.bodyText) {
    if (std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/') ++characters;
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
                    !part.named && !sentAsAttachment, sentAsAttachment, decodedSize(part),
                    keepInlineBelow)) {
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
