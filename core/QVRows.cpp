#include "core/QVRows.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace qv {

namespace {

// Rows counted once the scan is known to be of these bytes; none when they are not UTF-8
// or too many.
QVRows counted(QVRows rows) {
  if (!rows.utf8) {
    rows.starts = {};
    rows.dashRows = {};
    return rows;
  }
  const std::size_t n = rows.starts.size() - 1;
  if (n >= QVRows::kMaxRows) {
    rows.tooLarge = true;
    rows.starts = {};
    rows.dashRows = {};
    return rows;
  }
  rows.count = static_cast<std::uint32_t>(n);
  return rows;
}

}  // namespace

QVRows scanMessage(std::string_view data) {
  QVRows rows;
  rows.data = data;
  if (data.size() >= std::numeric_limits<std::uint32_t>::max()) {
    rows.tooLarge = true;
    return rows;
  }
  rows.utf8 = scanRows(data, rows.starts, &rows.dashRows);
  return counted(std::move(rows));
}

QVRows scanMessage(std::string_view data, QVRowScan scan) {
  if (data.size() >= std::numeric_limits<std::uint32_t>::max()) return scanMessage(data);
  if (scan.utf8 && (scan.starts.empty() || scan.starts.back() != data.size() + 1)) {
    return scanMessage(data);
  }
  QVRows rows;
  rows.data = data;
  rows.starts = std::move(scan.starts);
  rows.dashRows = std::move(scan.dashRows);
  rows.utf8 = scan.utf8;
  return counted(std::move(rows));
}

std::uint32_t QVRows::nextDashRow(std::uint32_t from) const {
  const auto it = std::lower_bound(dashRows.begin(), dashRows.end(), from);
  return it == dashRows.end() ? count : *it;
}

std::string_view QVRows::span(std::uint32_t first, std::uint32_t last) const {
  const std::size_t begin = starts[first];
  const std::size_t end = std::min<std::size_t>(starts[last + 1], data.size());
  return data.substr(begin, end - begin);
}

}  // namespace qv
