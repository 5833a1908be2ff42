#pragma once
// The one pass over a raw message: checks that it is UTF-8 and finds where every row starts.
//
// A row is the text between two line feeds; a message with k line feeds has k + 1 rows.
// `starts` receives the byte offset of every row's first byte, then one sentinel entry,
// size + 1, as if the message ended with a line feed, so that row i always spans
// [starts[i], starts[i + 1] - 1). Offsets are 32 bits: the caller rejects larger messages.

#include <cstdint>
#include <string_view>
#include <vector>

#include "core/QVLargePages.h"

namespace qv {

// Row start offsets; a big message's index lives on 2 MiB pages.
using QVRowStarts = std::vector<std::uint32_t, QVLargePageAllocator<std::uint32_t>>;

// Fills `starts` and returns true when `data` is valid UTF-8 (no overlong forms, no
// surrogates, nothing above U+10FFFF); returns false, with `starts` unspecified, otherwise.
// With `dashRows`, also lists in order the numbers of the rows that begin with "--": the
// only rows that can be MIME delimiter rows, so that a walk over a body can go from one to
// the next instead of reading every row. Requires data.size() < 2^32 - 1.
[[nodiscard]] bool scanRows(std::string_view data, QVRowStarts& starts,
                            QVRowStarts* dashRows = nullptr);

// The same scan over a message that arrives in pieces (read from a file in chunks, say):
// feed() the bytes in order, in pieces of any size, then finish(), which returns what
// scanRows() would for the whole. The bytes need not stay alive between calls.
class QVRowScanner {
 public:
  // `firstOffset`: where in the message the first byte fed lies (0 unless the message is
  // scanned in parts; a part must then begin a row). Offsets and the sentinel count from the
  // message's start; row numbers from the part's first row.
  QVRowScanner(QVRowStarts& starts, QVRowStarts* dashRows, std::size_t sizeHint = 0,
               std::size_t firstOffset = 0);
  QVRowScanner(const QVRowScanner&) = delete;
  QVRowScanner& operator=(const QVRowScanner&) = delete;

  void feed(std::string_view bytes);
  // True when all the bytes fed were UTF-8; `starts` then ends with its sentinel.
  [[nodiscard]] bool finish();

 private:
  // A row start needs the two bytes after its line feed, a sequence up to three more.
  static constexpr std::size_t kLookahead = 3;
  bool process(const unsigned char* p, std::size_t n, std::size_t base, std::size_t& i, bool last);

  QVRowStarts& starts_;
  QVRowStarts* dashRows_;
  unsigned char carry_[32] = {};
  std::size_t carrySize_ = 0;
  std::size_t consumed_ = 0;  // offset of the first byte not scanned yet
  bool valid_ = true;
};

// A message's rows as a scan found them, to hand to the manipulator.
struct QVRowScan {
  QVRowStarts starts;
  QVRowStarts dashRows;
  bool utf8 = false;
};

// The validation alone.
[[nodiscard]] bool isValidUtf8(std::string_view data);

}  // namespace qv
