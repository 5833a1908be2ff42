#pragma once
// The roles stage: the part tree -> what the rebuild does with each record. Which are the
// text bodies (and their pieces), which pictures stay beside the text, which parts become
// attachments.
//
// A layout rule (where a body is taken from, what is kept inline) is decided here and only
// here; the rebuild writes what the roles say.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "core/QVPartTree.h"

namespace qv {

// What the rebuild does with a record of the tree.
enum class QVPartRole : std::uint8_t {
  kHeader,      // the top-level header
  kContainer,   // a nested multipart part: only its children are written
  kTextPlain,   // the plain-text alternative
  kTextHtml,    // the HTML alternative
  kInline,      // a signature or unnamed picture kept beside the text
  kAttachment,  // written as an attachment
};

[[nodiscard]] std::string_view describe(QVPartRole role);

// The text bodies: of each kind, the pieces that make it up, in document order (indexes
// into the tree's parts). Several pieces are the text of one body cut by files placed inside
// it, or texts of one kind in different levels (a list's footer after the message); a
// caller that can decode them joins them into one body (QVBodyReplacements). Left apart,
// the shown piece is the body and the others stay inline text parts, in their order.
struct QVBodies {
  std::vector<std::size_t> plain;
  std::vector<std::size_t> html;
  // The piece a reader gets as the body when the pieces are left apart: the first that
  // holds text (a piece of white space alone never wins over one with text). The others
  // stay inline text parts after the body, in their order.
  std::size_t plainShown = 0;
  std::size_t htmlShown = 0;
};

struct QVRoles {
  QVBodies bodies;
  std::vector<std::size_t> inlines;      // pictures kept beside the text, in document order
  std::vector<std::size_t> attachments;  // the files, in document order; no piece of a body
  std::vector<std::size_t> displaced;    // text bodies kept as files (among the attachments)
  std::vector<QVDefectAt> defects;       // the displaced bodies, where they stand

  [[nodiscard]] QVPartRole roleOf(std::size_t index) const;
};

// A picture whose file name contains `signatureName` stays inline; an empty name matches
// none. With `keepInlineBelow`, so does a picture smaller than that many bytes (decoded).
[[nodiscard]] QVRoles assignRoles(const QVPartTree& tree, std::string_view signatureName,
                                  std::optional<std::size_t> keepInlineBelow = std::nullopt);

}  // namespace qv
