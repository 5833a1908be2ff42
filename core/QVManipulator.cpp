#include "core/QVManipulator.h"

#include <algorithm>
#include <cctype>
#include <limits>
#include <utility>

#include "core/QVRowIndex.h"

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

std::string_view describe(QVDefect defect) {
  switch (defect) {
    case QVDefect::kNoContentType: return "part without a Content-Type";
    case QVDefect::kUnreadableBoundary: return "boundary that cannot be read";
    case QVDefect::kUnclosedSection: return "unclosed section";
    case QVDefect::kTruncatedLevel: return "truncated level";
    case QVDefect::kFoldedValue: return "folded value";
    case QVDefect::kFieldNameCase: return "field name in another letter case";
    case QVDefect::kDisplacedBody: return "displaced body";
    case QVDefect::kClosingRowWithText: return "closing row with text after it";
  }
  return "unknown";
}

// ---------------------------------------------------------------------------------------
// Rows

QVManipulator::QVManipulator(std::string_view data, std::string_view signatureName)
    : data_(data), signature_(signatureName) {
  bagAll_.emplace_back();  // the header record, empty until the collection runs
  if (data.size() >= std::numeric_limits<std::uint32_t>::max()) {
    tooLarge_ = true;
    return;
  }
  takeRows(scanRows(data, rowStarts_, &dashRowIndex_));
}

QVManipulator::QVManipulator(std::string_view data, QVRowScan rows, std::string_view signatureName)
    : data_(data), signature_(signatureName) {
  bagAll_.emplace_back();
  if (data.size() >= std::numeric_limits<std::uint32_t>::max()) {
    tooLarge_ = true;
    return;
  }
  // A scan of other bytes than these (its sentinel tells) would send reads astray: scan anew.
  if (rows.utf8 && (rows.starts.empty() || rows.starts.back() != data.size() + 1)) {
    takeRows(scanRows(data, rowStarts_, &dashRowIndex_));
    return;
  }
  rowStarts_ = std::move(rows.starts);
  dashRowIndex_ = std::move(rows.dashRows);
  takeRows(rows.utf8);
}

void QVManipulator::takeRows(bool utf8) {
  utf8_ = utf8;
  if (!utf8_) {
    rowStarts_.clear();
    rowStarts_.shrink_to_fit();
    dashRowIndex_.clear();
    dashRowIndex_.shrink_to_fit();
    return;
  }
  const std::size_t rows = rowStarts_.size() - 1;
  if (rows >= kMaxRows) {
    tooLarge_ = true;
    rowStarts_.clear();
    dashRowIndex_.clear();
    return;
  }
  rowCount_ = static_cast<std::uint32_t>(rows);
}

std::optional<std::string_view> QVManipulator::isolateStr(std::string_view text,
                                                          std::string_view prefix,
                                                          std::string_view suffix) {
  const std::size_t at = text.find(prefix);
  if (at == std::string_view::npos) return std::nullopt;
  std::string_view rest = text.substr(at + prefix.size());
  if (suffix.empty()) return rest.substr(0, 0);
  auto it = std::search(rest.begin(), rest.end(), suffix.begin(), suffix.end(), [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) ==
           std::tolower(static_cast<unsigned char>(b));
  });
  return rest.substr(0, static_cast<std::size_t>(it - rest.begin()));
}

std::optional<std::string_view> QVManipulator::dataStr() const {
  if (!utf8_ || tooLarge_) return std::nullopt;
  return data_;
}

std::uint32_t QVManipulator::nextDashRow(std::uint32_t from) const {
  const auto it = std::lower_bound(dashRowIndex_.begin(), dashRowIndex_.end(), from);
  return it == dashRowIndex_.end() ? rowCount_ : *it;
}

std::string_view QVManipulator::row(std::uint32_t i) const {
  const std::uint32_t begin = rowStarts_[i];
  const std::uint32_t end = rowStarts_[i + 1] - 1;
  return data_.substr(begin, end - begin);
}

bool QVManipulator::crlf() {
  collectParts();
  const QVContentPart& h = header();
  if (!topDelimiterFound_) return false;
  const std::string_view first = row(h.endRow + 1);
  return !first.empty() && first.back() == '\r';
}

std::string_view QVManipulator::partHeader(const QVContentPart& part) const {
  std::uint32_t r = part.startRow;
  while (r <= part.endRow && !(row(r).empty() || row(r) == "\r")) ++r;
  const std::size_t from = rowStarts_[part.startRow];
  const std::size_t to =
      std::min<std::size_t>(rowStarts_[std::min(r, part.endRow) + 1], data_.size());
  return data_.substr(from, to - from);
}

std::string_view QVManipulator::partBody(const QVContentPart& part) const {
  const std::string_view header = partHeader(part);
  const std::size_t from = rowStarts_[part.startRow] + header.size();
  const std::size_t to = rowStarts_[part.endRow + 1] - 1;
  if (from >= to) return {};
  return data_.substr(from, to - from);
}

std::string_view QVManipulator::keep(std::string value) {
  return kept_.emplace_back(std::move(value));
}

void QVManipulator::noteDefect(QVDefect defect, std::uint32_t row) {
  defects_.push_back({defect, row});
}

void QVManipulator::noteEpilogue(std::uint32_t first, std::uint32_t last) {
  if (first > last || last >= rowCount_) return;
  for (std::uint32_t r = first; r <= last; ++r) {
    if (row(r).find_first_not_of(" \t\r") != std::string_view::npos) {
      epilogues_.push_back({first, last});
      return;
    }
  }
}

}  // namespace qv
