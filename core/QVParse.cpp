#include "core/QVParse.h"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>

#include "core/QVHeaderFields.h"

namespace qv {

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

namespace {

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

// A field's rows: its first row (the name) and its continuation rows.
struct FieldRows {
  std::uint32_t first = 0;
  std::uint32_t last = 0;
  std::string_view firstValue;  // the value on the first row, after the colon
  std::string unfolded;         // the whole value, rows joined, when it has several rows
  [[nodiscard]] std::string_view value() const {
    return last == first ? firstValue : std::string_view(unfolded);
  }
};

// One part being read in a level.
struct LevelState {
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

// The parse of one message: reads the rows, fills the tree it then hands over.
class Parser {
 public:
  explicit Parser(const QVRows& rows) : rows_(rows) {}

  QVPartTree header();
  std::uint32_t walkLevel(std::string_view boundary, std::uint32_t start, std::uint32_t depth,
                          std::string_view levelType);
  void noteEpilogue(std::uint32_t first, std::uint32_t last);
  QVPartTree take() { return std::move(tree_); }

 private:
  [[nodiscard]] std::string_view row(std::uint32_t i) const { return rows_.row(i); }
  void readPartField(LevelState& s, std::uint32_t pos);
  void closeLeaf(QVContentPart part);
  void noteContentType(std::string_view type) {
    if (isSignedOrEncryptedType(type)) tree_.signedOrEncrypted = true;
  }
  void noteDefect(QVDefect defect, std::uint32_t row) { tree_.defects.push_back({defect, row}); }
  // A value unfolded (or unescaped) lives in the tree; the records hold views of it.
  std::string_view keep(std::string value) { return tree_.kept.emplace_back(std::move(value)); }
  [[nodiscard]] FieldRows fieldRows(std::uint32_t first, std::uint32_t headerEnd) const;
  // Where in the field's rows a text stands whole: a view of that row's bytes, so that the
  // row can be found again; nothing when it stands on no single row (it was folded).
  [[nodiscard]] std::optional<std::pair<std::uint32_t, std::string_view>> findInRows(
      std::uint32_t first, std::uint32_t last, std::string_view text, std::size_t skipFirst) const;

  const QVRows& rows_;
  QVPartTree tree_;
  std::optional<std::uint32_t> closedAt_;    // the closing row of the level the walk just left
  std::uint32_t levels_ = 0;                 // levels walked so far: each part's level number
  std::vector<std::string_view> enclosing_;  // boundaries of the levels around the walk
};

FieldRows Parser::fieldRows(std::uint32_t first, std::uint32_t headerEnd) const {
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

std::optional<std::pair<std::uint32_t, std::string_view>> Parser::findInRows(
    std::uint32_t first, std::uint32_t last, std::string_view text, std::size_t skipFirst) const {
  if (text.empty()) return std::nullopt;
  for (std::uint32_t i = first; i <= last; ++i) {
    const std::string_view r = withoutCR(row(i));
    const std::size_t from = i == first ? std::min(skipFirst, r.size()) : 0;
    const std::size_t at = r.find(text, from);
    if (at != std::string_view::npos) return std::make_pair(i, r.substr(at, text.size()));
  }
  return std::nullopt;
}

// The header block, up to the top boundary's first delimiter row.
QVPartTree Parser::header() {
  QVContentPart& header = tree_.parts.front();
  const std::uint32_t n = rows_.count;

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
    if (auto at = findInRows(field.first, field.last, type, nameEnd)) {
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
        if (auto at = findInRows(field.first, field.last, boundary, nameEnd)) {
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
  tree_.severalHeaderTypes = typeFields > 1;

  std::uint32_t bodyStart = n;
  if (header.boundary) {
    // Only a row that begins with "--" can be the first delimiter row.
    for (std::uint32_t i = rows_.nextDashRow(headerEnd); i < n; i = rows_.nextDashRow(i + 1)) {
      const std::string_view r = row(i);
      tree_.dashRows.push_back(i);
      if (isDelimiterRow(r, *header.boundary)) {
        header.endRow = i - 1;
        tree_.topDelimiterFound = true;
        tree_.crlf = !r.empty() && r.back() == '\r';
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
  return take();
}

void Parser::noteEpilogue(std::uint32_t first, std::uint32_t last) {
  if (first > last || last >= rows_.count) return;
  for (std::uint32_t r = first; r <= last; ++r) {
    if (row(r).find_first_not_of(" \t\r") != std::string_view::npos) {
      tree_.epilogues.push_back({first, last});
      return;
    }
  }
}

void Parser::closeLeaf(QVContentPart part) {
  if (!part.contentType) noteDefect(QVDefect::kNoContentType, part.startRow);
  std::uint32_t r = part.startRow;
  while (r <= part.endRow && !isEmptyRow(row(r))) ++r;
  part.headerText = rows_.span(part.startRow, std::min(r, part.endRow));
  const std::size_t from = rows_.starts[part.startRow] + part.headerText.size();
  const std::size_t to = rows_.starts[part.endRow + 1] - 1;
  if (from < to) part.bodyText = rows_.data.substr(from, to - from);
  tree_.parts.push_back(part);
}

// Reads the header field that begins at `pos` into the current part.
void Parser::readPartField(LevelState& s, std::uint32_t pos) {
  QVContentPart& p = s.part;
  const std::string_view r = row(pos);
  if (s.headerEnd <= pos) {
    s.headerEnd = pos;
    while (s.headerEnd < rows_.count && !isEmptyRow(row(s.headerEnd)) &&
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
    if (auto at = findInRows(field.first, field.last, text, nameEnd)) {
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
    if (parameter(value, "format", text) == QVParameterRead::kFound) p.format = hold(text, nullptr);
    if (parameter(value, "delsp", text) == QVParameterRead::kFound) p.delsp = hold(text, nullptr);
    if (startsWithIgnoringCase(*p.contentType, "multipart")) {
      const QVParameterRead read = parameter(value, "boundary", text);
      if (read == QVParameterRead::kFound && !text.empty()) {
        if (findInRows(field.first, field.last, text, nameEnd)) {
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
      if (!name->empty() && !findInRows(field.first, field.last, *name, nameEnd) &&
          value.find('*') == std::string_view::npos) {
        noteDefect(QVDefect::kFoldedValue, pos);
      }
    }
  } else if (isId) {
    if (p.cid && !p.cid->empty()) return;
    // "<id>"; a value without angle brackets is the identifier whole, as mailers that
    // write "Content-Id: my-graphic" refer to it ("cid:my-graphic").
    std::string_view id;
    if (const std::size_t open = value.find('<'); open != std::string_view::npos) {
      id = value.substr(open + 1);
      id = id.substr(0, id.find('>'));
    } else {
      const std::size_t from = value.find_first_not_of(" \t");
      if (from == std::string_view::npos) return;
      id = value.substr(from, value.find_last_not_of(" \t") + 1 - from);
    }
    p.cid = hold(id, nullptr);
    p.cidRow = field.first;
    p.cidLastRow = field.last;
  } else if (isEncoding) {
    exact("Content-Transfer-Encoding");
    p.transferEncoding = hold(headToken(value), nullptr);
  }
}

std::uint32_t Parser::walkLevel(std::string_view boundary, std::uint32_t start, std::uint32_t depth,
                                std::string_view levelType) {
  const std::uint32_t n = rows_.count;
  closedAt_.reset();
  if (n <= start) return start;
  const std::uint32_t level = ++levels_;
  if (tree_.levelTypes.size() <= level) tree_.levelTypes.resize(level + 1);
  tree_.levelTypes[level] = levelType;

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
    closeLeaf(s.part);
  };

  s.restart(start, level);
  std::uint32_t pos = start;
  for (;;) {
    const std::string_view r = row(pos);
    const bool dashes = startsWithDashes(r);
    if (dashes) tree_.dashRows.push_back(pos);
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
        p.container = true;
        tree_.parts.push_back(p);
        if (depth >= kMaxNesting) {
          tree_.nestingTooDeep = true;
          return n;
        }
        enclosing_.push_back(boundary);
        next = walkLevel(*p.boundary, pos + 1, depth + 1, p.contentType.value_or(""));
        enclosing_.pop_back();
        if (tree_.nestingTooDeep) return n;
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
          closeLeaf(p);
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
        tree_.closingRowWithText = true;
        noteDefect(QVDefect::kClosingRowWithText, pos);
      }
      closedAt_ = pos;
      return next;
    }
    pos = next;
    // In a body (or after a nested section) only rows that begin with "--" can change
    // anything: go straight to the next one.
    if (s.containerDone || !s.inHeader) pos = rows_.nextDashRow(pos);
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

}  // namespace

QVPartTree parseParts(const QVRows& rows) {
  return Parser(rows).header();
}

QVPartTree parseBody(const QVRows& rows, std::string_view boundary, std::uint32_t start,
                     std::uint32_t& end) {
  Parser parser(rows);
  end = start < rows.count ? parser.walkLevel(boundary, start, 1, "") : start;
  return parser.take();
}

}  // namespace qv
