#pragma once
// QVRows: a message as rows, the value the scan stage gives and every later stage reads.
//
// A row is the text between two line feeds, without the line feed (a CR before it stays).
// The rows are views into the caller's bytes, which must outlive them. Bytes that are not
// UTF-8, or too many of them, give no rows; `utf8` and `tooLarge` say which.
//
//   const QVRows rows = scanMessage(bytes);
//   for (std::uint32_t i = 0; i < rows.count; ++i) use(rows.row(i));

#include <cstdint>
#include <string_view>

#include "core/QVRowScan.h"

namespace qv {

struct QVRows {
  // Row numbers are signed 32-bit in the walk's interface: fewer rows than 2^31.
  static constexpr std::uint64_t kMaxRows = std::uint64_t{1} << 31;

  std::string_view data;
  QVRowStarts starts;    // row i spans [starts[i], starts[i + 1] - 1); a sentinel at the end
  QVRowStarts dashRows;  // every row that begins with "--", in order
  std::uint32_t count = 0;
  bool utf8 = false;
  bool tooLarge = false;  // 4 GiB or more, or kMaxRows rows or more

  // Row i (i < count), without its line feed.
  [[nodiscard]] std::string_view row(std::uint32_t i) const {
    return data.substr(starts[i], starts[i + 1] - 1 - starts[i]);
  }
  // The first row at or after `from` that begins with "--"; `count` when none.
  [[nodiscard]] std::uint32_t nextDashRow(std::uint32_t from) const;
  // Rows first..last with their line feeds (the message's last row has none).
  [[nodiscard]] std::string_view span(std::uint32_t first, std::uint32_t last) const;
};

// Splits `data` into rows.
[[nodiscard]] QVRows scanMessage(std::string_view data);
// With the rows found beforehand by a QVRowScanner fed exactly these bytes (say, while they
// were read from a file); a scan of other bytes (its sentinel tells) is done anew.
[[nodiscard]] QVRows scanMessage(std::string_view data, QVRowScan scan);

// Row text as MIME reads it.
[[nodiscard]] inline std::string_view withoutCR(std::string_view row) {
  if (!row.empty() && row.back() == '\r') row.remove_suffix(1);
  return row;
}
[[nodiscard]] inline bool isEmptyRow(std::string_view row) {
  return row.empty() || row == "\r";
}
[[nodiscard]] inline bool startsWithDashes(std::string_view row) {
  return row.size() >= 2 && row[0] == '-' && row[1] == '-';
}
// "--" followed by the boundary at the start of the row.
[[nodiscard]] inline bool isDelimiterRow(std::string_view row, std::string_view boundary) {
  return row.size() >= boundary.size() + 2 && startsWithDashes(row) &&
         row.compare(2, boundary.size(), boundary) == 0;
}
// "--BOUNDARY--" at the start of the row.
[[nodiscard]] inline bool isClosingDelimiterRow(std::string_view row, std::string_view boundary) {
  return isDelimiterRow(row, boundary) && row.size() >= boundary.size() + 4 &&
         row[boundary.size() + 2] == '-' && row[boundary.size() + 3] == '-';
}

}  // namespace qv
