// The part collection: the top-level header, then the body level by level. Header fields
// are read whole (name in any letter case, value with its continuation rows); in a body
// only the rows that begin with "--" can matter, and the walk goes from one to the next.

#include <algorithm>

#include "core/QVHeaderFields.h"
#include "core/QVManipulator.h"

namespace qv {

namespace {

std::string_view withoutCR(std::string_view row) {
  if (!row.empty() && row.back() == '\r') row.remove_suffix(1);
  return row;
}

bool isEmptyRow(std::string_view row) {
  return row.empty() || row == "\r";
}

bool startsWithDashes(std::string_view row) {
  return row.size() >= 2 && row[0] == '-' && row[1] == '-';
}

// "--" followed by the boundary at the start of the row.
bool isDelimiterRow(std::string_view row, std::string_view boundary) {
  return row.size() >= boundary.size() + 2 && row[0] == '-' && row[1] == '-' &&
         row.compare(2, boundary.size(), boundary) == 0;
}

bool isClosingDelimiterRow(std::string_view row, std::string_view boundary) {
  return isDelimiterRow(row, boundary) && row.size() >= boundary.size() + 4 &&
         row[boundary.size() + 2] == '-' && row[boundary.size() + 3] == '-';
}

constexpr std::string_view kFilenameRow = "\tfilename=";

// The file name of a row that contains "\tfilename=": the rest of the row, the double
// quotes at both ends removed.
std::string_view filenameRowValue(std::string_view row) {
  std::string_view rest = withoutCR(row);
  rest.remove_prefix(rest.find(kFilenameRow) + kFilenameRow.size());
  while (!rest.empty() && rest.front() == '"') rest.remove_prefix(1);
  while (!rest.empty() && rest.back() == '"') rest.remove_suffix(1);
  return rest;
}

// The media type of a Content-Type field: on its first row, where every mailer writes it
// (what follows on the next rows without a ";" is no part of it); on the next row only
// when the first holds nothing.
std::string_view mediaType(std::string_view firstValue, std::string_view value) {
  const std::string_view onFirst = headToken(firstValue);
  return onFirst.empty() ? headToken(value) : onFirst;
}

bool isSignedOrEncryptedType(std::string_view type) {
  return containsIgnoringCase(type, "multipart/signed") ||
         containsIgnoringCase(type, "multipart/encrypted") ||
         containsIgnoringCase(type, "pkcs7-mime");
}

}  // namespace

// A field's rows: its first row (the name) and its continuation rows.
struct QVManipulator::FieldRows {
  std::uint32_t first = 0;
  std::uint32_t last = 0;
  std::string_view firstValue;  // the value on the first row, after the colon
  std::string unfolded;         // the whole value, rows joined, when it has several rows
  [[nodiscard]] std::string_view value() const {
    return last == first ? firstValue : std::string_view(unfolded);
  }
};

QVManipulator::FieldRows QVManipulator::fieldRows(std::uint32_t first,
                                                  std::uint32_t headerEnd) const {
  FieldRows field;
  field.first = field.last = first;
  const std::string_view r = withoutCR(row(first));
  const std::size_t colon = r.find(':');
  field.firstValue = colon == std::string_view::npos ? std::string_view{} : r.substr(colon + 1);
  while (field.last + 1 < headerEnd && isContinuationRow(row(field.last + 1))) ++field.last;
  if (field.last != first) {
    field.unfolded.assign(field.firstValue);
    for (std::uint32_t i = first + 1; i <= field.last; ++i) field.unfolded += withoutCR(row(i));
  }
  return field;
}

void QVManipulator::noteContentType(std::string_view type) {
  if (isSignedOrEncryptedType(type)) signedOrEncrypted_ = true;
}

namespace {

// Where in the field's rows a text stands whole: a view of that row's bytes, so that the
// row can be found again; nothing when it stands on no single row (it was folded).
std::optional<std::pair<std::uint32_t, std::string_view>> findInRows(const QVManipulator& m,
                                                                     std::uint32_t first,
                                                                     std::uint32_t last,
                                                                     std::string_view text,
                                                                     std::size_t skipFirst) {
  if (text.empty()) return std::nullopt;
  for (std::uint32_t i = first; i <= last; ++i) {
    const std::string_view r = withoutCR(m.row(i));
    const std::size_t from = i == first ? std::min(skipFirst, r.size()) : 0;
    const std::size_t at = r.find(text, from);
    if (at != std::string_view::npos) return std::make_pair(i, r.substr(at, text.size()));
  }
  return std::nullopt;
}

}  // namespace

void QVManipulator::collectParts() {
  if (collected_) return;
  collected_ = true;
  bagAll_.clear();
  bagAll_.emplace_back();  // the header record, at index 0
  QVContentPart& header = bagAll_.front();
  const std::uint32_t n = rowCount_;

  // The header block ends at its first empty row; Content-Type and boundary come only
  // from it.
  std::uint32_t headerEnd = 0;
  while (headerEnd < n && !isEmptyRow(row(headerEnd))) ++headerEnd;

  // With two Content-Type fields, some readers would read the one left unchanged, so such
  // a message is not rebuilt.
  std::size_t typeFields = 0;
  for (std::uint32_t i = 0; i < headerEnd; ++i) {
    if (isContinuationRow(row(i)) || !fieldValue(row(i), "Content-Type")) continue;
    ++typeFields;
    if (typeFields > 1) continue;
    if (!hasExactFieldName(row(i), "Content-Type")) noteDefect(QVDefect::kFieldNameCase, i);
    const FieldRows field = fieldRows(i, headerEnd);
    const std::string_view type = mediaType(field.firstValue, field.value());
    const std::size_t nameEnd = row(i).find(':') + 1;
    if (auto at = findInRows(*this, field.first, field.last, type, nameEnd)) {
      header.contentType = at->second;
      header.contentTypeRow = at->first;
    } else {
      header.contentType = type.empty() ? std::string_view{} : keep(std::string(type));
      header.contentTypeRow = i;
    }
    noteContentType(*header.contentType);
    std::string boundary;
    switch (parameter(field.value(), "boundary", boundary)) {
      case QVParameterRead::kFound:
        if (boundary.empty()) break;  // it would make every "--" row a delimiter row
        if (auto at = findInRows(*this, field.first, field.last, boundary, nameEnd)) {
          header.boundary = at->second;
        } else {
          header.boundary = keep(std::move(boundary));
          noteDefect(QVDefect::kFoldedValue, i);
        }
        break;
      case QVParameterRead::kUnclosed: noteDefect(QVDefect::kUnreadableBoundary, i); break;
      case QVParameterRead::kAbsent: break;
    }
  }
  severalHeaderTypes_ = typeFields > 1;

  std::uint32_t bodyStart = n;
  if (header.boundary) {
    // Only a row that begins with "--" can be the first delimiter row.
    for (std::uint32_t i = nextDashRow(headerEnd); i < n; i = nextDashRow(i + 1)) {
      std::string_view r = row(i);
      dashRows_.push_back(i);
      if (isDelimiterRow(r, *header.boundary)) {
        header.endRow = i - 1;
        topDelimiterFound_ = true;
        bodyStart = i + 1;
        break;
      }
    }
  }
  // The walk needs a boundary; without one there is nothing to walk.
  if (header.boundary) {
    (void)walkLevel(*header.boundary, bodyStart, 1, header.contentType.value_or(""));
    // What follows the top level's closing row, to the end: its epilogue.
    if (closedAt_) noteEpilogue(*closedAt_ + 1, n - 1);
  }
  sortBodies();
}

std::int32_t QVManipulator::collectPartsBody(std::optional<std::string_view> boundary,
                                             std::int32_t startPos) {
  if (!boundary || startPos < 0 || static_cast<std::uint32_t>(startPos) >= rowCount_) {
    return startPos;
  }
  collected_ = true;
  const auto end =
      static_cast<std::int32_t>(walkLevel(*boundary, static_cast<std::uint32_t>(startPos), 1, ""));
  sortBodies();
  return end;
}

struct QVManipulator::LevelState {
  QVContentPart part;
  std::uint32_t headerEnd = 0;  // one past the header block's last row, once known
  bool inHeader = true;
  bool containerDone = false;  // the nested section is walked; only our delimiters matter
  // The first row after the nested section's closing row: its epilogue runs from here to
  // the row before our next delimiter row.
  std::optional<std::uint32_t> epilogueFrom;

  void restart(std::uint32_t startRow, std::uint32_t level) {
    part = QVContentPart{};
    part.startRow = startRow;
    part.level = level;
    headerEnd = 0;
    inHeader = true;
    containerDone = false;
    epilogueFrom.reset();
  }
};

// Reads the header field that begins at `pos` into the current part.
void QVManipulator::readPartField(LevelState& s, std::uint32_t pos) {
  QVContentPart& p = s.part;
  const std::string_view r = row(pos);
  if (s.headerEnd <= pos) {
    s.headerEnd = pos;
    while (s.headerEnd < rowCount_ && !isEmptyRow(row(s.headerEnd)) &&
           !startsWithDashes(row(s.headerEnd))) {
      ++s.headerEnd;
    }
  }
  const auto named = [&](std::string_view name) { return fieldValue(r, name).has_value(); };
  const bool isType = named("Content-Type");
  const bool isDisposition = !isType && named("Content-Disposition");
  const bool isId = !isType && !isDisposition && named("Content-Id");
  const bool isEncoding = !isType && !isDisposition && !isId && named("Content-Transfer-Encoding");
  if (!(isType || isDisposition || isId || isEncoding)) return;
  const FieldRows field = fieldRows(pos, std::max(s.headerEnd, pos + 1));
  const std::string_view value = field.value();
  const std::size_t nameEnd = r.find(':') + 1;
  // A value's view into the rows where it stands whole, else a kept copy.
  auto hold = [&](std::string_view text, std::uint32_t* where) -> std::string_view {
    if (auto at = findInRows(*this, field.first, field.last, text, nameEnd)) {
      if (where != nullptr) *where = at->first;
      return at->second;
    }
    if (where != nullptr) *where = pos;
    return text.empty() ? std::string_view{} : keep(std::string(text));
  };
  const auto exact = [&](std::string_view name) {
    if (!hasExactFieldName(r, name)) noteDefect(QVDefect::kFieldNameCase, pos);
  };
  if (isType) {
    if (p.contentType) return;
    exact("Content-Type");
    p.contentType = hold(mediaType(field.firstValue, value), nullptr);
    noteContentType(*p.contentType);
    std::string text;
    if (parameter(value, "charset", text) == QVParameterRead::kFound) {
      p.charset = hold(text, nullptr);
    }
    if (startsWithIgnoringCase(*p.contentType, "multipart")) {
      const QVParameterRead read = parameter(value, "boundary", text);
      if (read == QVParameterRead::kFound && !text.empty()) {
        if (findInRows(*this, field.first, field.last, text, nameEnd)) {
          p.boundary = hold(text, nullptr);
        } else {
          p.boundary = keep(std::move(text));
          noteDefect(QVDefect::kFoldedValue, pos);
        }
      } else {
        // Read as one part: a "boundary=" further down is content, not its parameter.
        noteDefect(QVDefect::kUnreadableBoundary, pos);
      }
    }
  } else if (isDisposition) {
    if (p.contentDisposition && !p.contentDisposition->empty()) return;
    exact("Content-Disposition");
    p.contentDisposition = hold(headToken(value), &p.contentDispositionRow);
    if (std::optional<std::string> name = nameParameter(value, "filename")) {
      p.filename = hold(*name, nullptr);
      if (!name->empty() && !findInRows(*this, field.first, field.last, *name, nameEnd) &&
          value.find('*') == std::string_view::npos) {
        noteDefect(QVDefect::kFoldedValue, pos);
      }
    }
  } else if (isId) {
    if (p.cid && !p.cid->empty()) return;
    const std::size_t open = value.find('<');
    if (open == std::string_view::npos) return;
    std::string_view id = value.substr(open + 1);
    id = id.substr(0, id.find('>'));
    p.cid = hold(id, nullptr);
    p.cidRow = field.first;
    p.cidLastRow = field.last;
  } else if (isEncoding) {
    exact("Content-Transfer-Encoding");
    p.transferEncoding = hold(headToken(value), nullptr);
  }
}

std::uint32_t QVManipulator::walkLevel(std::string_view boundary, std::uint32_t start,
                                       std::uint32_t depth, std::string_view levelType) {
  const std::uint32_t n = rowCount_;
  closedAt_.reset();
  if (n <= start) return start;
  const std::uint32_t level = ++levels_;
  if (levelTypes_.size() <= level) levelTypes_.resize(level + 1);
  levelTypes_[level] = levelType;

  // A delimiter row of an enclosing level ends this one (a nested section left unclosed
  // must not swallow the parts after it). When a row opens by prefix both an enclosing
  // boundary and one of ours, the longer boundary is the row's own.
  auto enclosingDelimiter = [&](std::string_view r, std::size_t ours) {
    for (std::string_view outer : enclosing_) {
      if (outer.size() > ours && isDelimiterRow(r, outer)) return true;
    }
    return false;
  };
  // The open part at the end of a level that was never closed: kept when it has a type or
  // any text at all.
  LevelState s;
  auto closeOpen = [&](std::uint32_t endRow) {
    if (s.containerDone || s.part.startRow > endRow || endRow >= n) return;
    bool keepIt = s.part.contentType.has_value();
    for (std::uint32_t r = s.part.startRow; !keepIt && r <= endRow; ++r) {
      keepIt = !isEmptyRow(row(r));
    }
    if (!keepIt) return;
    s.part.endRow = endRow;
    closeLeaf(s.part, s.part.named);
  };

  s.restart(start, level);
  std::uint32_t pos = start;
  for (;;) {
    const std::string_view r = row(pos);
    const bool dashes = startsWithDashes(r);
    if (dashes) dashRows_.push_back(pos);
    std::uint32_t next = pos + 1;
    bool walkedNested = false;

    if (dashes) {
      std::size_t ours = isDelimiterRow(r, boundary) ? boundary.size() : 0;
      if (!s.containerDone && s.part.boundary && isDelimiterRow(r, *s.part.boundary)) {
        ours = std::max(ours, s.part.boundary->size());
      }
      if (enclosingDelimiter(r, ours)) {
        if (s.containerDone && s.epilogueFrom) noteEpilogue(*s.epilogueFrom, pos - 1);
        closeOpen(pos - 1);
        noteDefect(QVDefect::kUnclosedSection, pos);
        closedAt_.reset();
        return pos;  // the enclosing level reads this row
      }
    }

    if (s.containerDone) {
      // Rows after a nested section belong to no part until our next delimiter row: they
      // are its epilogue.
      if (dashes && isDelimiterRow(r, boundary)) {
        if (s.epilogueFrom) noteEpilogue(*s.epilogueFrom, pos - 1);
        s.restart(pos + 1, level);
      }
    } else {
      QVContentPart& p = s.part;
      if (s.inHeader) {
        if (isEmptyRow(r)) {
          s.inHeader = false;
        } else {
          // A name parameter of any form, on any field: a picture so named is no unnamed
          // picture.
          if (!p.named && (containsIgnoringCase(r, "name=") || containsIgnoringCase(r, "name*"))) {
            p.named = true;
          }
          if (!dashes && !isContinuationRow(r)) readPartField(s, pos);
          // Mail writes the file name on a row of its own, "\tfilename=...", whatever field
          // that row continues.
          if ((!p.filename || p.filename->empty()) &&
              r.find(kFilenameRow) != std::string_view::npos) {
            p.filename = filenameRowValue(r);
          }
        }
      }
      if (p.boundary && dashes && isDelimiterRow(r, *p.boundary)) {
        p.endRow = pos - 1;
        bagAll_.push_back(p);
        if (depth >= kMaxNesting) {
          nestingTooDeep_ = true;
          return n;
        }
        enclosing_.push_back(boundary);
        next = walkLevel(*p.boundary, pos + 1, depth + 1, p.contentType.value_or(""));
        enclosing_.pop_back();
        if (nestingTooDeep_) return n;
        const bool nestedClosed = closedAt_ && *closedAt_ + 1 == next;
        s.containerDone = true;
        if (nestedClosed) s.epilogueFrom = next;
        walkedNested = true;
      } else if (dashes && isDelimiterRow(r, boundary)) {
        // Our delimiter ends the part whatever it held: a part without a Content-Type field
        // (MIME reads it as plain text) or a multipart part whose own delimiter never came
        // is kept whole rather than run into the next part or dropped.
        if (pos > p.startRow) {
          p.endRow = pos - 1;
          closeLeaf(p, p.named);
        }
        s.restart(pos + 1, level);
      }
    }

    const bool closing = !walkedNested && dashes && isClosingDelimiterRow(r, boundary);
    if (closing) {
      // Blanks may follow "--BOUNDARY--" on its row, nothing else: some readers take a row
      // with more for the end, others for text, and so they differ on the message.
      if (withoutCR(r).substr(boundary.size() + 4).find_first_not_of(" \t") !=
          std::string_view::npos) {
        closingRowWithText_ = true;
        noteDefect(QVDefect::kClosingRowWithText, pos);
      }
      closedAt_ = pos;
      return next;
    }
    pos = next;
    // In a body (or after a nested section) only rows that begin with "--" can change
    // anything: go straight to the next one.
    if (s.containerDone || !s.inHeader) pos = nextDashRow(pos);
    if (pos >= n) {
      // A truncated level: its open part ends with the last row.
      if (s.containerDone && s.epilogueFrom) noteEpilogue(*s.epilogueFrom, n - 1);
      closeOpen(n - 1);
      noteDefect(QVDefect::kTruncatedLevel, n - 1);
      closedAt_.reset();
      return pos;
    }
  }
}

}  // namespace qv
