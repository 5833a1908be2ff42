// The rebuilt message is written as pieces: stretches of the original by reference and the
// few rows it makes by value.

#include "core/QVRebuild.h"

#include <algorithm>
#include <utility>

#include "core/QVHeaderFields.h"

namespace qv {

namespace {

constexpr std::string_view kContentDisposition = "Content-Disposition: ";

bool startsWith(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

// A fresh boundary must not already open a row of the message (it would end a part
// early), must not start with the top boundary (its rows would be read as the top level's
// delimiters), and must differ from the other fresh boundary. A source that gives nothing
// else gives up after many tries.
std::optional<std::string> freshBoundary(const QVRows& rows, const QVPartTree& tree,
                                         QVBoundarySource& source, std::string_view avoid) {
  const std::string_view top = tree.header().boundary.value_or(std::string_view{});
  for (int attempt = 0; attempt < 1000; ++attempt) {
    std::string candidate = source.createBoundary();
    bool clash =
        candidate.empty() || candidate == avoid || (!top.empty() && startsWith(candidate, top));
    for (std::size_t k = 0; !clash && k < tree.dashRows.size(); ++k) {
      clash = isDelimiterRow(rows.row(tree.dashRows[k]), candidate);
    }
    if (!clash) return candidate;
  }
  return std::nullopt;
}

}  // namespace

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
  // Original bytes [begin, end), as they stand.
  void bytes(std::size_t begin, std::size_t end) {
    if (begin < end) push(begin, end - begin, false);
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

  QVRebuiltMessage finish(std::size_t attachments, std::string related, std::string alternative) {
    QVRebuiltMessage message;
    message.attachments_ = attachments;
    message.source_ = source_;
    message.made_ = std::move(made_);
    message.pieces_ = std::move(pieces_);
    message.size_ = size_;
    message.related_ = std::move(related);
    message.alternative_ = std::move(alternative);
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
// type becomes "Content-Disposition: <type>;". `old` is the view of the old type in the
// row (on the field's first row, or alone on a continuation row). A trailing CR stays.
std::string replacedDisposition(std::string_view row, std::string_view old, std::string_view type) {
  const bool cr = !row.empty() && row.back() == '\r';
  const std::string_view text = withoutCR(row);
  const std::size_t at = static_cast<std::size_t>(old.data() - text.data());
  const bool firstRow = at > 0 && text.substr(0, at).find(':') != std::string_view::npos;
  std::string out = firstRow ? std::string(kContentDisposition) : std::string(text.substr(0, at));
  out.append(type);
  const std::string_view rest = text.substr(at + old.size());
  const std::size_t semicolon = rest.find(';');
  std::string_view params;
  if (semicolon != std::string_view::npos) params = rest.substr(semicolon + 1);
  if (params.find_first_not_of(" \t") == std::string_view::npos) {
    out.push_back(';');
  } else {
    out.append(rest.substr(semicolon));
  }
  if (cr) out.push_back('\r');
  return out;
}

}  // namespace

namespace {

// The header, its type made multipart/mixed. Only the type's own occurrences are
// replaced: never text in the field name, nor in the boundary parameter's value (the
// boundary must still match its delimiter rows).
void writeHeader(QVRowWriter& out, const QVRows& rows, const QVContentPart& h) {
  const auto row = [&rows](std::uint32_t i) { return rows.row(i); };
  const std::string_view typeRow = row(h.contentTypeRow);
  const std::string_view type = *h.contentType;
  // The boundary parameter on this row, from its name to the end of its value.
  // (The parameter's own name: "x-boundary=" is another parameter.)
  std::size_t keepFrom = std::string_view::npos;
  for (std::size_t from = 0; from < typeRow.size();) {
    const std::size_t at = findIgnoringCase(typeRow.substr(from), "boundary=");
    if (at == std::string_view::npos) break;
    const std::size_t pos = from + at;
    const char before = pos == 0 ? ';' : typeRow[pos - 1];
    if (before == ';' || before == ' ' || before == '\t' || before == ':') {
      keepFrom = pos;
      break;
    }
    from = pos + 1;
  }
  std::size_t keepTo = 0;
  if (keepFrom != std::string_view::npos) {
    keepTo = keepFrom + 9;
    if (keepTo < typeRow.size() && typeRow[keepTo] == '"') {
      keepTo = typeRow.find('"', keepTo + 1);
      keepTo = keepTo == std::string_view::npos ? typeRow.size() : keepTo + 1;
    } else {
      keepTo = std::min(typeRow.find_first_of("; \t", keepTo), typeRow.size());
    }
  }
  const std::size_t nameEnd = isContinuationRow(typeRow) ? 0 : typeRow.find(':') + 1;
  std::string changed(typeRow.substr(0, nameEnd));
  std::size_t from = nameEnd;
  for (std::size_t at = typeRow.find(type, from); at != std::string_view::npos;
       at = typeRow.find(type, at + 1)) {
    if (at < from) continue;
    if (at < keepTo && at + type.size() > keepFrom) continue;
    changed.append(typeRow.substr(from, at - from)).append("multipart/mixed");
    from = at + type.size();
  }
  changed.append(typeRow.substr(from));

  // The header's Content-Length and Lines fields (which mailbox formats write to count the
  // body) would no longer hold for the rebuilt body: they are left out.
  std::uint32_t headerEnd = 0;
  while (headerEnd <= h.endRow && !isEmptyRow(row(headerEnd))) ++headerEnd;
  std::vector<QVRowRange> counts;
  for (std::uint32_t i = 0; i < headerEnd; ++i) {
    if (isContinuationRow(row(i)) ||
        (!fieldValue(row(i), "Content-Length") && !fieldValue(row(i), "Lines"))) {
      continue;
    }
    std::uint32_t last = i;
    while (last + 1 < headerEnd && isContinuationRow(row(last + 1))) ++last;
    counts.push_back({i, last});
    i = last;
  }
  const auto copyHeader = [&](std::uint32_t first, std::uint32_t last) {
    for (const QVRowRange& field : counts) {
      if (field.last < first || field.first > last) continue;
      if (field.first > first) out.copy(first, field.first - 1);
      first = field.last + 1;
    }
    if (first <= last) out.copy(first, last);
  };
  if (h.contentTypeRow > 0) copyHeader(0, h.contentTypeRow - 1);
  out.remade(changed);
  copyHeader(h.contentTypeRow + 1, h.endRow);
}

// A moved part: its disposition type replaced, and for an attachment its Content-Id
// field left out.
void copyMoved(QVRowWriter& out, const QVRows& rows, const QVContentPart& p,
               std::string_view disposition, bool dropCid) {
  const auto row = [&rows](std::uint32_t i) { return rows.row(i); };
  const bool replace = p.contentDisposition && p.contentDispositionRow >= p.startRow &&
                       p.contentDispositionRow <= p.endRow;
  const bool drop =
      dropCid && p.cid && p.cidRow >= p.startRow && p.cidLastRow <= p.endRow &&
      !(replace && p.contentDispositionRow >= p.cidRow && p.contentDispositionRow <= p.cidLastRow);
  std::uint32_t from = p.startRow;
  auto writeReplaced = [&] {
    const std::uint32_t r = p.contentDispositionRow;
    if (r > from) out.copy(from, r - 1);
    const std::string_view text = withoutCR(row(r));
    const std::string_view old = *p.contentDisposition;
    const bool inRow = !old.empty() && old.data() >= text.data() &&
                       old.data() + old.size() <= text.data() + text.size();
    std::string_view at = text.substr(text.size());
    if (inRow) {
      at = old;
    } else if (old.empty() && !isContinuationRow(text)) {
      // An empty type ("Content-Disposition: ; filename=a.pdf"): it stands just after the
      // colon, and the parameters after it stay.
      std::size_t pos = text.find(':');
      pos = pos == std::string_view::npos ? text.size() : pos + 1;
      while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) ++pos;
      at = text.substr(pos, 0);
    }
    out.remade(replacedDisposition(row(r), at, disposition));
    from = r + 1;
  };
  auto skipId = [&] {
    if (p.cidRow > from) out.copy(from, p.cidRow - 1);
    from = p.cidLastRow + 1;
  };
  if (replace && drop && p.cidRow < p.contentDispositionRow) {
    skipId();
    writeReplaced();
  } else {
    if (replace) writeReplaced();
    if (drop) skipId();
  }
  if (p.endRow >= from) out.copy(from, p.endRow);
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

std::optional<QVRebuiltMessage> rebuildMessage(const QVRows& rows, const QVPartTree& tree,
                                               const QVRoles& roles, QVBoundarySource& boundaries,
                                               const QVBodyReplacements& replacements) {
  const QVContentPart& h = tree.header();
  const std::string_view top = *h.boundary;
  const std::string_view eol = tree.crlf ? "\r\n" : "\n";
  QVRowWriter out(rows.data, rows.starts, rows.count, eol);
  auto dash = [](std::string_view b, std::string_view tail = {}) {
    std::string s("--");
    s.append(b).append(tail);
    return s;
  };

  std::optional<std::string> related = freshBoundary(rows, tree, boundaries, {});
  std::optional<std::string> alternative;
  if (related) alternative = freshBoundary(rows, tree, boundaries, *related);
  if (!alternative) return std::nullopt;

  writeHeader(out, rows, h);

  const QVRowWriter::Kept topRow = out.keep(dash(top));
  const bool wrap = !roles.inlines.empty();
  const QVRowWriter::Kept relatedRow = out.keep(dash(*related));
  if (wrap) {
    out.reuse(topRow);
    out.made("Content-Type: multipart/related; boundary=\"" + *related + "\"");
    out.made("");
  }
  out.reuse(wrap ? relatedRow : topRow);

  // The alternative holds the bodies there are, and only those. A body in pieces that the
  // caller did not join is its shown piece; the others go with the files, in their order.
  out.made("Content-Type: multipart/alternative; boundary=\"" + *alternative + "\"");
  out.made("");
  std::vector<std::size_t> files = roles.attachments;
  // Pieces of a body left apart, but the shown one: inline text among the files.
  std::vector<std::size_t> keptPieces;
  auto piece = [&](std::size_t index) {
    if (const auto it = replacements.pieces.find(index); it != replacements.pieces.end()) {
      out.made(it->second);
    } else {
      out.copy(tree.parts[index].startRow, tree.parts[index].endRow);
    }
  };
  auto body = [&](const std::vector<std::size_t>& pieces, std::size_t shown,
                  const std::optional<std::string>& text) {
    if (pieces.empty()) return;
    out.made(dash(*alternative));
    if (text) {
      out.made(*text);
      return;
    }
    piece(shown);
    for (std::size_t index : pieces) {
      if (index == shown) continue;
      files.push_back(index);
      keptPieces.push_back(index);
    }
  };
  body(roles.bodies.plain, roles.bodies.plainShown, replacements.plain);
  body(roles.bodies.html, roles.bodies.htmlShown, replacements.html);
  out.made(dash(*alternative, "--"));
  std::sort(files.begin(), files.end());

  for (std::size_t index : roles.inlines) {
    out.reuse(relatedRow);
    copyMoved(out, rows, tree.parts[index], "inline", false);
  }
  if (wrap) out.made(dash(*related, "--"));

  std::sort(keptPieces.begin(), keptPieces.end());
  for (std::size_t index : files) {
    out.reuse(topRow);
    const QVContentPart& p = tree.parts[index];
    // A piece of text left apart is text the reader reads after the body, as it stood.
    if (std::binary_search(keptPieces.begin(), keptPieces.end(), index)) {
      piece(index);
      continue;
    }
    // A text body displaced by another version of it says it is a file, or a reader (and a
    // second rewrite) would take it for the body.
    if (!p.contentDisposition &&
        std::binary_search(roles.displaced.begin(), roles.displaced.end(), index)) {
      out.made("Content-Disposition: attachment");
    }
    copyMoved(out, rows, p, "attachment", true);
  }
  out.last(dash(top, "--"));
  // The epilogues that hold text follow, as they stand: each from the line end before its
  // first row, without the line ends at its end (the message still ends on text).
  for (const QVRowRange& epilogue : tree.epilogues) {
    std::size_t begin = rows.starts[epilogue.first] - 1;
    if (begin > 0 && rows.data[begin - 1] == '\r') --begin;
    std::size_t end = rows.starts[epilogue.last + 1] - 1;
    while (end > begin && (rows.data[end - 1] == '\n' || rows.data[end - 1] == '\r')) --end;
    out.bytes(begin, end);
  }
  return out.finish(files.size() - keptPieces.size(), std::move(*related), std::move(*alternative));
}

}  // namespace qv
