#pragma once
// QVPartTree: what the parse found in a message's rows, the value the roles stage, the check
// and the rebuild read. Its records are in document order: the top-level header first, then
// each part as its opening delimiter row comes (a container before its children).
//
// Records hold views into the message's bytes and into `kept`, the values the parse had to
// unfold; the tree moves, but is not copied, so that those views stay valid.

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "core/QVContentPart.h"

namespace qv {

// What the parse tolerated in a malformed message, each at the row where it stands.
enum class QVDefect : std::uint8_t {
  kNoContentType,       // a part whose header has no Content-Type field: kept as a file
  kUnreadableBoundary,  // a multipart part whose boundary cannot be read whole: one part
  kUnclosedSection,     // a nested section ended by a delimiter row of an enclosing level
  kTruncatedLevel,      // a level that ends with the message, without its closing row
  kFoldedValue,         // a parameter value folded across rows: read with the rows joined
  kFieldNameCase,       // a field name in another letter case than MIME writes it
  kDisplacedBody,       // a text body of a kind already found elsewhere: kept as a file
  kClosingRowWithText,  // "--BOUNDARY--" with more than blanks after it on its row
};

[[nodiscard]] std::string_view describe(QVDefect defect);

// Rows first..last of the message, both included.
struct QVRowRange {
  std::uint32_t first;
  std::uint32_t last;
  bool operator==(const QVRowRange&) const = default;
};

struct QVDefectAt {
  QVDefect defect;
  std::uint32_t row;
  bool operator==(const QVDefectAt&) const = default;
};

struct QVPartTree {
  QVPartTree() = default;
  QVPartTree(QVPartTree&&) = default;
  QVPartTree& operator=(QVPartTree&&) = default;
  QVPartTree(const QVPartTree&) = delete;
  QVPartTree& operator=(const QVPartTree&) = delete;

  [[nodiscard]] const QVContentPart& header() const { return parts.front(); }

  std::deque<QVContentPart> parts{1};  // the header record at index 0
  std::deque<std::string> kept;        // unfolded values the records refer to
  // The container type of each level, by level number (1 is the top level's body).
  std::vector<std::string_view> levelTypes;
  // Rows beginning with "--" that the parse read as possible delimiters: a fresh boundary
  // must open none of them.
  std::vector<std::uint32_t> dashRows;
  std::vector<QVDefectAt> defects;
  // The epilogues that hold text (what stands after a level's closing delimiter row, up to
  // the next delimiter row of the level around it or the message's end), in document order.
  std::vector<QVRowRange> epilogues;

  bool topDelimiterFound = false;
  bool crlf = false;  // the first delimiter row ends in CR LF: so do the rows written anew
  bool severalHeaderTypes = false;
  bool nestingTooDeep = false;
  bool closingRowWithText = false;
  bool signedOrEncrypted = false;
};

}  // namespace qv
