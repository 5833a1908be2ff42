#include "core/QVManipulator.h"

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <utility>

#include "core/QVRowIndex.h"
#include "core/QVSettingKeys.h"
#include "core/QVSignatureName.h"
#include "host/QVLog.h"

namespace qv {

namespace {

constexpr std::string_view kContentType = "Content-Type: ";
constexpr std::string_view kContentDisposition = "Content-Disposition: ";
constexpr std::string_view kContentId = "Content-Id: ";
constexpr std::string_view kFilenameParam = "\tfilename=";
constexpr std::string_view kBoundaryParam = "boundary=";
constexpr std::string_view kBoundaryAlphabet =
    "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
constexpr std::size_t kBoundaryLength = 28;

bool startsWith(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

bool contains(std::string_view s, std::string_view part) {
  return s.find(part) != std::string_view::npos;
}

// The row without the CR of a CR LF line end: values are cut from this, so that a CR
// never becomes part of a type, boundary or file name.
std::string_view withoutCR(std::string_view row) {
  if (!row.empty() && row.back() == '\r') row.remove_suffix(1);
  return row;
}

bool isEmptyRow(std::string_view row) {
  return row.empty() || row == "\r";
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

bool startsWithDashes(std::string_view row) {
  return row.size() >= 2 && row[0] == '-' && row[1] == '-';
}

// The boundary parameter of a row that contains "boundary=": quoted, the text up to the
// next quote; unquoted (a MIME token), up to ";", a blank or the row's end. An empty
// boundary is none: it would make every row that begins with "--" a delimiter row.
std::optional<std::string_view> boundaryValue(std::string_view row) {
  std::string_view rest = withoutCR(row);
  const std::size_t at = rest.find(kBoundaryParam);
  if (at == std::string_view::npos) return std::nullopt;
  rest.remove_prefix(at + kBoundaryParam.size());
  std::string_view value;
  if (!rest.empty() && rest.front() == '"') {
    rest.remove_prefix(1);
    value = rest.substr(0, rest.find('"'));
  } else {
    value = rest.substr(0, rest.find_first_of("; \t"));
  }
  if (value.empty()) return std::nullopt;
  return value;
}

// The file name of a row that contains "\tfilename=": the rest of the row, with the
// double quotes at both ends removed.
std::string_view filenameValue(std::string_view row) {
  std::string_view rest = withoutCR(row);
  rest.remove_prefix(rest.find(kFilenameParam) + kFilenameParam.size());
  while (!rest.empty() && rest.front() == '"') rest.remove_prefix(1);
  while (!rest.empty() && rest.back() == '"') rest.remove_suffix(1);
  return rest;
}

// Letter case of ASCII only: every literal searched for is ASCII, and the locale must not
// matter.
constexpr char asciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

bool sameIgnoringCase(char a, char b) {
  return asciiLower(a) == asciiLower(b);
}

std::size_t findIgnoringCase(std::string_view s, std::string_view part) {
  const bool hasLetters = std::any_of(part.begin(), part.end(), [](char c) {
    return asciiLower(c) != c || (c >= 'a' && c <= 'z');
  });
  if (!hasLetters) return s.find(part);
  auto it = std::search(s.begin(), s.end(), part.begin(), part.end(), sameIgnoringCase);
  return it == s.end() ? std::string_view::npos : static_cast<std::size_t>(it - s.begin());
}

bool containsIgnoringCase(std::string_view s, std::string_view part) {
  return findIgnoringCase(s, part) != std::string_view::npos;
}

// "type/subtype" of MIME token characters (blanks before the ";" allowed at the end): a
// header value that is not cannot be rewritten into "multipart/mixed" with confidence.
bool isMediaType(std::string_view value) {
  while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
  if (value.empty()) return false;
  std::size_t slashes = 0;
  for (char c : value) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '/') {
      ++slashes;
      continue;
    }
    if (u <= 32 || u >= 127 ||
        std::string_view("()<>@,;:\\\"[]?=").find(c) != std::string_view::npos) {
      return false;
    }
  }
  return slashes == 1 && value.front() != '/' && value.back() != '/';
}

bool isSignedOrEncryptedType(std::string_view type) {
  return containsIgnoringCase(type, "multipart/signed") ||
         containsIgnoringCase(type, "multipart/encrypted") ||
         containsIgnoringCase(type, "pkcs7-mime");
}

}  // namespace

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
    case QVRebuildFailure::kSignedOrEncrypted: return "signed or encrypted";
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

// ---------------------------------------------------------------------------------------
// Rows

QVManipulator::QVManipulator(std::string_view data, QVUserDefaults* defaults)
    : data_(data), defaults_(defaults) {
  bagAll_.emplace_back();  // the header record, empty until the collection runs
  if (data.size() >= std::numeric_limits<std::uint32_t>::max()) {
    tooLarge_ = true;
    return;
  }
  takeRows(scanRows(data, rowStarts_, &dashRowIndex_));
}

QVManipulator::QVManipulator(std::string_view data, QVRowScan rows, QVUserDefaults* defaults)
    : data_(data), defaults_(defaults) {
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

// ---------------------------------------------------------------------------------------
// Collection

void QVManipulator::noteContentType(std::string_view type) {
  if (isSignedOrEncryptedType(type)) signedOrEncrypted_ = true;
}

void QVManipulator::collectParts() {
  if (collected_) return;
  collected_ = true;
  bagAll_.clear();
  bagAll_.emplace_back();  // the header record, at index 0
  QVContentPart& header = bagAll_.front();
  const std::uint32_t n = rowCount_;

  // The header block ends at its first empty row; Content-Type and boundary come only
  // from it, the boundary from the Content-Type row or one of its continuation rows.
  std::uint32_t headerEnd = 0;
  while (headerEnd < n && !isEmptyRow(row(headerEnd))) ++headerEnd;

  // Field names are case-insensitive to other readers: with two Content-Type fields, some
  // would read the one left unchanged, so such a message is not rebuilt.
  std::size_t typeFields = 0;
  for (std::uint32_t i = 0; i < headerEnd; ++i) {
    std::string_view r = row(i);
    if (r.size() >= 13 && containsIgnoringCase(r.substr(0, 13), "content-type:")) ++typeFields;
  }
  severalHeaderTypes_ = typeFields > 1;

  for (std::uint32_t i = 0; i < headerEnd; ++i) {
    std::string_view r = row(i);
    if (!startsWith(r, kContentType)) continue;
    header.contentType = isolateStr(withoutCR(r), ": ", ";");
    header.contentTypeRow = i;
    noteContentType(*header.contentType);
    for (std::uint32_t j = i; j < headerEnd; ++j) {
      std::string_view c = row(j);
      if (j > i && !(c.front() == ' ' || c.front() == '\t')) break;
      if (contains(c, kBoundaryParam)) {
        header.boundary = boundaryValue(c);
        break;
      }
    }
    break;
  }

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
    (void)walkLevel(*header.boundary, bodyStart, 1);
  }
}

std::int32_t QVManipulator::collectPartsBody(std::optional<std::string_view> boundary,
                                             std::int32_t startPos) {
  if (!boundary || startPos < 0 || static_cast<std::uint32_t>(startPos) >= rowCount_) {
    return startPos;
  }
  collected_ = true;
  return static_cast<std::int32_t>(walkLevel(*boundary, static_cast<std::uint32_t>(startPos), 1));
}

void QVManipulator::closeLeaf(const QVContentPart& part, bool namedAnyhow,
                              std::string_view signature) {
  const std::size_t index = bagAll_.size();
  const std::string_view type = part.contentType.value_or(std::string_view{});
  const bool hasDisposition = part.contentDisposition.has_value();
  const bool named = part.filename.has_value() && !part.filename->empty();
  const bool sentAsAttachment =
      hasDisposition && containsIgnoringCase(*part.contentDisposition, "attachment");
  bagAll_.push_back(part);

  // A text part displaced by a later one of its kind stays in the message as an
  // attachment, at its place in document order.
  auto takeText = [&](std::optional<std::size_t>& slot) {
    if (slot) {
      auto at = std::upper_bound(bagAttach_.begin(), bagAttach_.end(), *slot);
      bagAttach_.insert(at, *slot);
    }
    slot = index;
  };

  if (contains(type, "text/plain") && !hasDisposition) {
    takeText(plain_);
  } else if (contains(type, "text/html") && !hasDisposition) {
    takeText(html_);
  } else if (contains(type, "image/") &&
             ((named && !signature.empty() && contains(*part.filename, signature)) ||
              (!named && !namedAnyhow && !sentAsAttachment))) {
    // Signature pictures stay inline; so do pictures without any name, which the outgoing
    // hook leaves referenced from the HTML. A name in another form (on the disposition
    // row, as Content-Type's name) or an "attachment" disposition keeps a picture an
    // attachment.
    bagInline_.push_back(index);
  } else {
    bagAttach_.push_back(index);
  }
}

struct QVManipulator::LevelState {
  QVContentPart part;
  bool namedAnyhow = false;  // a name parameter of any form in the header block
  bool inHeader = true;
  bool lookingForType = true;
  bool awaitingBoundary = false;
  bool containerDone = false;  // the nested section is walked; only our delimiters matter

  void restart(std::uint32_t startRow) {
    part = QVContentPart{};
    part.startRow = startRow;
    namedAnyhow = false;
    inHeader = true;
    lookingForType = true;
    awaitingBoundary = false;
    containerDone = false;
  }
};

std::uint32_t QVManipulator::walkLevel(std::string_view boundary, std::uint32_t start,
                                       std::uint32_t depth) {
  const std::string signature = signatureName(defaults_);
  const std::uint32_t n = rowCount_;
  if (n <= start) return start;

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
    bool keep = s.part.contentType.has_value();
    for (std::uint32_t r = s.part.startRow; !keep && r <= endRow; ++r) keep = !isEmptyRow(row(r));
    if (!keep) return;
    s.part.endRow = endRow;
    closeLeaf(s.part, s.namedAnyhow, signature);
  };

  s.restart(start);
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
        closeOpen(pos - 1);
        return pos;  // the enclosing level reads this row
      }
    }

    if (s.containerDone) {
      // Rows after a nested section belong to no part until our next delimiter row.
      if (dashes && isDelimiterRow(r, boundary)) s.restart(pos + 1);
    } else {
      QVContentPart& p = s.part;
      if (s.inHeader) {
        if ((!p.contentDisposition || p.contentDisposition->empty()) &&
            startsWith(r, kContentDisposition)) {
          p.contentDisposition = isolateStr(withoutCR(r), ": ", ";");
          p.contentDispositionRow = pos;
        }
        if ((!p.filename || p.filename->empty()) && contains(r, kFilenameParam)) {
          p.filename = filenameValue(r);
        }
        if ((!p.cid || p.cid->empty()) && startsWith(r, kContentId)) {
          if (auto cid = isolateStr(withoutCR(r), "<", ">")) {
            p.cid = cid;
            p.cidRow = pos;
          }
        }
        if (!s.namedAnyhow &&
            (containsIgnoringCase(r, "name=") || containsIgnoringCase(r, "name*"))) {
          s.namedAnyhow = true;
        }
        if (isEmptyRow(r)) {
          s.inHeader = false;
          // A multipart part whose header names no boundary is read as a leaf: a
          // "boundary=" further down is content, not its parameter.
          s.awaitingBoundary = false;
        }
      }
      if (s.lookingForType && startsWith(r, kContentType)) {
        p.contentType = isolateStr(withoutCR(r), ": ", ";");
        noteContentType(*p.contentType);
        s.awaitingBoundary = startsWith(*p.contentType, "multipart");
        s.lookingForType = false;
      }
      if (s.awaitingBoundary && contains(r, kBoundaryParam)) {
        p.boundary = boundaryValue(r);
        s.awaitingBoundary = false;
      }
      if (p.boundary && dashes && isDelimiterRow(r, *p.boundary)) {
        p.endRow = pos - 1;
        bagAll_.push_back(p);
        if (depth >= kMaxNesting) {
          nestingTooDeep_ = true;
          return n;
        }
        enclosing_.push_back(boundary);
        next = walkLevel(*p.boundary, pos + 1, depth + 1);
        enclosing_.pop_back();
        if (nestingTooDeep_) return n;
        s.containerDone = true;
        walkedNested = true;
      } else if (dashes && isDelimiterRow(r, boundary)) {
        // Our delimiter ends the part whatever it held: a part without a Content-Type row
        // (MIME reads it as plain text) or a multipart part whose own delimiter never came
        // is kept whole rather than run into the next part or dropped.
        if (pos > p.startRow) {
          p.endRow = pos - 1;
          closeLeaf(p, s.namedAnyhow, signature);
        }
        s.restart(pos + 1);
      }
    }

    const bool closing = !walkedNested && dashes && isClosingDelimiterRow(r, boundary);
    pos = next;
    if (closing) return pos;
    // In a body (or after a nested section) only rows that begin with "--" can change
    // anything: go straight to the next one. A part whose header had no Content-Type row
    // still reads its body rows for one.
    if (s.containerDone || (!s.inHeader && !s.lookingForType && !s.awaitingBoundary)) {
      pos = nextDashRow(pos);
    }
    if (pos >= n) {
      // A truncated level: its open part ends with the last row.
      closeOpen(n - 1);
      return pos;
    }
  }
}

const QVContentPart* QVManipulator::partTextPlain() const {
  return plain_ ? &bagAll_[*plain_] : nullptr;
}

const QVContentPart* QVManipulator::partTextHtml() const {
  return html_ ? &bagAll_[*html_] : nullptr;
}

QVPartRole QVManipulator::roleOf(std::size_t index) const {
  if (index == 0) return QVPartRole::kHeader;
  if (plain_ && *plain_ == index) return QVPartRole::kTextPlain;
  if (html_ && *html_ == index) return QVPartRole::kTextHtml;
  if (std::binary_search(bagInline_.begin(), bagInline_.end(), index)) return QVPartRole::kInline;
  if (std::binary_search(bagAttach_.begin(), bagAttach_.end(), index)) {
    return QVPartRole::kAttachment;
  }
  return QVPartRole::kContainer;
}

// ---------------------------------------------------------------------------------------
// Boundaries and the counter

std::string QVManipulator::createBoundary() {
  std::string boundary;
  boundary.reserve(kBoundaryLength);
  for (std::size_t i = 0; i < kBoundaryLength; ++i) {
    boundary.push_back(kBoundaryAlphabet[static_cast<std::size_t>(std::rand()) % 62]);
  }
  return boundary;
}

// A fresh boundary must not already open a row of the message (it would end a part
// early), must not start with the top boundary (its rows would be read as the top level's
// delimiters), and must differ from the other fresh boundary.
std::string QVManipulator::freshBoundary(std::string_view avoid) const {
  const std::string_view top = header().boundary.value_or(std::string_view{});
  for (;;) {
    std::string candidate = createBoundary();
    bool clash = candidate == avoid || (!top.empty() && startsWith(candidate, top));
    for (std::size_t k = 0; !clash && k < dashRows_.size(); ++k) {
      clash = isDelimiterRow(row(dashRows_[k]), candidate);
    }
    if (!clash) return candidate;
  }
}

void QVManipulator::increaseStowletCount() {
  if (defaults_ == nullptr) return;
  const std::int64_t stored = defaults_->integerForKey(keys::kCount);
  const auto low = static_cast<std::uint32_t>(static_cast<std::uint64_t>(stored));
  const auto next = static_cast<std::int32_t>(low + 1U);  // wraps within 32 bits
  defaults_->setInteger(next, keys::kCount);
}

// ---------------------------------------------------------------------------------------
// Restructuring

std::optional<QVRebuildFailure> QVManipulator::failure() {
  if (tooLarge_) return QVRebuildFailure::kTooLarge;
  if (!utf8_) return QVRebuildFailure::kNotUtf8;
  collectParts();
  const QVContentPart& h = header();
  if (!h.contentType) return QVRebuildFailure::kNoContentType;
  if (h.contentType->empty()) return QVRebuildFailure::kEmptyContentType;
  if (!isMediaType(*h.contentType)) return QVRebuildFailure::kMalformedContentType;
  if (!h.boundary) {
    return startsWith(*h.contentType, "multipart") ? QVRebuildFailure::kNoBoundary
                                                   : QVRebuildFailure::kNotMultipart;
  }
  if (severalHeaderTypes_) return QVRebuildFailure::kSeveralContentTypes;
  if (!topDelimiterFound_) return QVRebuildFailure::kNoDelimiterRow;
  if (nestingTooDeep_) return QVRebuildFailure::kNestingTooDeep;
  if (signedOrEncrypted_) return QVRebuildFailure::kSignedOrEncrypted;
  return std::nullopt;
}

// Appends rows to a rebuilt message: spans of the original by reference, new rows by value.
class QVRowWriter {
 public:
  QVRowWriter(std::string_view source, const QVRowStarts& starts, std::uint32_t rowCount,
              std::string_view eol)
      : source_(source), starts_(starts), rowCount_(rowCount), eol_(eol) {}

  // A new row that recurs (a delimiter row): its bytes are kept once and reused, so a
  // long boundary is not copied for every part it opens.
  struct Kept {
    std::size_t offset, length;
  };
  Kept keep(std::string_view text) {
    const std::size_t at = made_.size();
    made_.append(text).append(eol_);
    return {at, made_.size() - at};
  }
  void reuse(Kept row) { push(row.offset, row.length, true); }

  // A new row, with the message's line end.
  void made(std::string_view text) {
    const std::size_t at = made_.size();
    made_.append(text).append(eol_);
    push(at, made_.size() - at, true);
  }
  // A row derived from an original one; `text` keeps the original's CR, if any.
  void remade(std::string_view text) {
    const std::size_t at = made_.size();
    made_.append(text).push_back('\n');
    push(at, made_.size() - at, true);
  }
  // The closing row of the message: no line end follows it.
  void last(std::string_view text) {
    const std::size_t at = made_.size();
    made_.append(text);
    push(at, made_.size() - at, true);
  }
  // Original rows first..last, each with its line feed.
  void copy(std::uint32_t first, std::uint32_t last) {
    if (first > last) return;
    const std::size_t begin = starts_[first];
    const std::size_t end = std::min<std::size_t>(starts_[last + 1], source_.size());
    push(begin, end - begin, false);
    if (last + 1 == rowCount_) {
      // The message's last row has no line feed of its own.
      const bool hasCR = end > begin && source_[end - 1] == '\r';
      const std::size_t at = made_.size();
      made_.append(hasCR ? std::string_view("\n") : eol_);
      push(at, made_.size() - at, true);
    }
  }

  QVRebuiltMessage finish(std::size_t attachments) {
    QVRebuiltMessage message;
    message.attachments_ = attachments;
    message.source_ = source_;
    message.made_ = std::move(made_);
    message.pieces_ = std::move(pieces_);
    message.size_ = size_;
    return message;
  }

 private:
  void push(std::size_t offset, std::size_t length, bool made) {
    if (length == 0) return;
    auto& back = pieces_;
    if (!back.empty() && back.back().made == made &&
        back.back().offset + back.back().length == offset) {
      back.back().length += static_cast<std::uint32_t>(length);  // continues the previous piece
    } else {
      back.push_back({offset, static_cast<std::uint32_t>(length), made});
    }
    size_ += length;
  }

  std::string_view source_;
  const QVRowStarts& starts_;
  std::uint32_t rowCount_;
  std::string_view eol_;
  std::string made_;
  std::vector<QVRebuiltMessage::Piece> pieces_;
  std::size_t size_ = 0;
};

namespace {

// "Content-Disposition: inline; filename=a.png" -> "Content-Disposition: attachment;
// filename=a.png": the type changes, the parameters stay; a row with nothing after the
// type becomes "Content-Disposition: <type>;". A trailing CR stays.
std::string replacedDisposition(std::string_view row, std::string_view type) {
  const bool cr = !row.empty() && row.back() == '\r';
  const std::string_view text = withoutCR(row);
  std::string out(kContentDisposition);
  out.append(type);
  const std::size_t semicolon = text.find(';', kContentDisposition.size());
  std::string_view params;
  if (semicolon != std::string_view::npos) params = text.substr(semicolon + 1);
  if (params.find_first_not_of(" \t") == std::string_view::npos) {
    out.push_back(';');
  } else {
    out.append(text.substr(semicolon));
  }
  if (cr) out.push_back('\r');
  return out;
}

}  // namespace

std::vector<std::string_view> QVRebuiltMessage::pieces() const {
  std::vector<std::string_view> out;
  out.reserve(pieces_.size());
  for (std::size_t i = 0; i < pieces_.size(); ++i) out.push_back(piece(i));
  return out;
}

std::string QVRebuiltMessage::bytes() const {
  std::string out;
  out.reserve(size_);
  for (std::size_t i = 0; i < pieces_.size(); ++i) out.append(piece(i));
  return out;
}

std::optional<QVRebuiltMessage> QVManipulator::rebuild(const HtmlBodyFilter& htmlFilter) {
  if (failure()) return std::nullopt;

  const QVContentPart& h = header();
  const std::string_view top = *h.boundary;
  // The rows we write end like the rows of the message: its first delimiter row tells.
  const bool crlf = withoutCR(row(h.endRow + 1)).size() != row(h.endRow + 1).size();
  QVRowWriter out(data_, rowStarts_, rowCount_, crlf ? "\r\n" : "\n");
  auto dash = [](std::string_view b, std::string_view tail = {}) {
    std::string s("--");
    s.append(b).append(tail);
    return s;
  };

  // The header, its type made multipart/mixed. Only the type's own occurrences are
  // replaced: never text in the field name, nor in the boundary parameter's value (the
  // boundary must still match its delimiter rows).
  {
    const std::string_view typeRow = row(h.contentTypeRow);
    const std::string_view type = *h.contentType;
    std::size_t keepFrom = std::string_view::npos, keepTo = 0;
    if (auto b = boundaryValue(typeRow)) {
      keepFrom = static_cast<std::size_t>(b->data() - typeRow.data());
      keepTo = keepFrom + b->size();
    }
    std::string changed(typeRow.substr(0, kContentType.size()));
    std::size_t from = kContentType.size();
    for (std::size_t at = typeRow.find(type, from); at != std::string_view::npos;
         at = typeRow.find(type, at + 1)) {
      if (at < from) continue;
      if (at < keepTo && at + type.size() > keepFrom) continue;
      changed.append(typeRow.substr(from, at - from)).append("multipart/mixed");
      from = at + type.size();
    }
    changed.append(typeRow.substr(from));
    if (h.contentTypeRow > 0) out.copy(0, h.contentTypeRow - 1);
    out.remade(changed);
    out.copy(h.contentTypeRow + 1, h.endRow);
  }

  const QVRowWriter::Kept topRow = out.keep(dash(top));
  const std::string related = freshBoundary({});
  qvLog("Boundary1::(" + related + ")");
  const bool wrap = !bagInline_.empty();
  const QVRowWriter::Kept relatedRow = out.keep(dash(related));
  if (wrap) {
    out.reuse(topRow);
    out.made("Content-Type: multipart/related; boundary=\"" + related + "\"");
    out.made("");
  }
  out.reuse(wrap ? relatedRow : topRow);

  const std::string alternative = freshBoundary(related);
  qvLog("Boundary2::(" + alternative + ")");
  out.made("Content-Type: multipart/alternative; boundary=\"" + alternative + "\"");
  out.made("");
  out.made(dash(alternative));
  if (const QVContentPart* p = partTextPlain()) out.copy(p->startRow, p->endRow);
  out.made(dash(alternative));
  if (const QVContentPart* p = partTextHtml()) {
    std::optional<std::string> body;
    std::uint32_t bodyStart = p->startRow;
    while (bodyStart <= p->endRow && !isEmptyRow(row(bodyStart))) ++bodyStart;
    ++bodyStart;  // past the empty row that ends the part's header block
    if (htmlFilter && bodyStart <= p->endRow) {
      const std::size_t from = rowStarts_[bodyStart];
      const std::size_t to = rowStarts_[p->endRow + 1] - 1;
      body = htmlFilter(*p, data_.substr(from, to - from));
    }
    if (body) {
      out.copy(p->startRow, bodyStart - 1);
      out.remade(*body);
    } else {
      out.copy(p->startRow, p->endRow);
    }
  }
  out.made(dash(alternative, "--"));

  // A moved part: its disposition row replaced, and for an attachment its Content-Id
  // row left out.
  auto copyMoved = [&](const QVContentPart& p, std::string_view disposition, bool dropCid) {
    const bool replace = p.contentDisposition && p.contentDispositionRow >= p.startRow &&
                         p.contentDispositionRow <= p.endRow;
    const bool drop = dropCid && p.cid && p.cidRow >= p.startRow && p.cidRow <= p.endRow &&
                      !(replace && p.cidRow == p.contentDispositionRow);
    std::uint32_t special[2];
    std::size_t count = 0;
    if (replace) special[count++] = p.contentDispositionRow;
    if (drop) special[count++] = p.cidRow;
    if (count == 2 && special[0] > special[1]) std::swap(special[0], special[1]);
    std::uint32_t from = p.startRow;
    for (std::size_t k = 0; k < count; ++k) {
      const std::uint32_t r = special[k];
      if (r > from) out.copy(from, r - 1);
      if (replace && r == p.contentDispositionRow) {
        out.remade(replacedDisposition(row(r), disposition));
      }
      from = r + 1;
    }
    if (p.endRow >= from) out.copy(from, p.endRow);
  };

  for (std::size_t index : bagInline_) {
    out.reuse(relatedRow);
    copyMoved(bagAll_[index], "inline", false);
  }
  if (wrap) out.made(dash(related, "--"));

  for (std::size_t index : bagAttach_) {
    out.reuse(topRow);
    copyMoved(bagAll_[index], "attachment", true);
    increaseStowletCount();
  }
  out.last(dash(top, "--"));
  return out.finish(bagAttach_.size());
}

std::optional<std::string> QVManipulator::manipulateParts() {
  std::optional<QVRebuiltMessage> rebuilt = rebuild();
  if (!rebuilt) return std::nullopt;
  return rebuilt->bytes();
}

}  // namespace qv
