#include "cli/QVBodyJoin.h"

#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/QVHtmlCleaner.h"
#include "codec/QVMimeCodec.h"
#include "core/QVHeaderFields.h"
#include "hooks/QVTagRemoval.h"

namespace qv::cli {

namespace {

enum class Coding : std::uint8_t { kNone, kQuotedPrintable, kBase64 };

// The part's transfer encoding, or nothing for one that cannot be decoded here.
std::optional<Coding> codingOf(const QVContentPart& part) {
  const std::string_view name = part.transferEncoding.value_or(std::string_view{});
  if (name.empty() || equalsIgnoringCase(name, "7bit") || equalsIgnoringCase(name, "8bit") ||
      equalsIgnoringCase(name, "binary")) {
    return Coding::kNone;
  }
  if (equalsIgnoringCase(name, "quoted-printable")) return Coding::kQuotedPrintable;
  if (equalsIgnoringCase(name, "base64")) return Coding::kBase64;
  return std::nullopt;
}

// Line ends as line feeds alone: CR LF pairs lose their CR, and so does a CR at the end (the
// last row's, before the line feed that the next delimiter row takes).
std::string withoutCR(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    std::size_t cr = text.find('\r', at);
    if (cr == std::string_view::npos) cr = text.size();
    out.append(text, at, cr - at);
    if (cr < text.size() && cr + 1 < text.size() && text[cr + 1] != '\n') out.push_back('\r');
    at = cr + 1;
  }
  return out;
}

std::string withEol(std::string_view text, bool crlf) {
  if (!crlf) return std::string(text);
  std::string out;
  out.reserve(text.size() + text.size() / 32 + 1);
  for (char c : text) {
    if (c == '\n') out.push_back('\r');
    out.push_back(c);
  }
  return out;
}

// Base64 ends with its padding: data after an "=" is no base64 that decodes to one text
// (pieces written in padded chunks, say), and a decoder would stop or guess there.
bool base64Whole(std::string_view text) {
  const std::size_t pad = text.find('=');
  if (pad == std::string_view::npos) return true;
  return text.find_first_not_of("= \t\r\n", pad) == std::string_view::npos;
}

// A body's transfer encoding undone; nothing when it cannot be decoded whole.
std::optional<std::string> decode(Coding coding, std::string_view body) {
  const std::string text = withoutCR(body);
  switch (coding) {
    case Coding::kQuotedPrintable:
      return codec::mimeDecode(codec::QVTransferCoding::kQuotedPrintable, text);
    case Coding::kBase64:
      if (!base64Whole(text)) return std::nullopt;
      return codec::mimeDecode(codec::QVTransferCoding::kBase64, text);
    case Coding::kNone: break;
  }
  return text;
}

// A mailbox's quoting of a message's rows undone: a row ">From ", ">>From "... loses one
// ">" (a mailbox writer added it so that the row opens no message).
std::string unquotedRows(std::string_view body) {
  // Most bodies have no row that begins with ">": nothing to undo.
  if (!body.starts_with('>') && body.find("\n>") == std::string_view::npos) {
    return std::string(body);
  }
  std::string out;
  out.reserve(body.size());
  for (std::size_t row = 0; row < body.size();) {
    std::size_t end = body.find('\n', row);
    end = end == std::string_view::npos ? body.size() : end + 1;
    if (body[row] == '>') {
      const std::size_t text = body.find_first_not_of('>', row);
      if (text != std::string_view::npos && body.compare(text, 5, "From ") == 0) ++row;
    }
    out.append(body, row, end - row);
    row = end;
  }
  return out;
}

// Whether rows can be found and joined in the charset's bytes: ASCII text is itself in it
// (line ends, "--", "From " and markup are single bytes). UTF-16, UTF-32, UTF-7 and EBCDIC
// are not; a charset the coders do not know is taken as it was before, as bytes.
bool asciiCompatible(const std::string& charset) {
  if (charset.empty() || charset == "us-ascii" || charset == "utf-8") return true;
  // (Messages are rebuilt on several threads at once: the answers are shared under a lock.)
  static std::mutex mutex;
  static std::map<std::string, bool> known;
  {
    std::lock_guard lock(mutex);
    if (const auto it = known.find(charset); it != known.end()) return it->second;
  }
  // (No backslash or "~": JIS-Roman charsets read them otherwise, which touches no row.)
  std::string probe = "\t\r\n -<>=:/+.;\"'";
  for (char c = 'a'; c <= 'z'; ++c) probe.append({c, static_cast<char>(c - 'a' + 'A')});
  for (char c = '0'; c <= '9'; ++c) probe.push_back(c);
  const std::optional<std::string> read = codec::mimeToUtf8(charset, probe);
  std::lock_guard lock(mutex);
  return known[charset] = !read || *read == probe;
}

// Rows a reader could take for a delimiter ("--") or a mailbox's separator ("From ", or a
// quoted one that a reader unquotes: ">From ", ">>From "...), at `at`.
bool riskyRowAt(std::string_view text, std::size_t at) {
  if (text.compare(at, 2, "--") == 0 || text.compare(at, 5, "From ") == 0) return true;
  const std::size_t after = text.find_first_not_of('>', at);
  return after != at && after != std::string_view::npos && text.compare(after, 5, "From ") == 0;
}

// The encoded body as it stands before the line end that the next delimiter row takes. A
// body that ends with a line break keeps it as its last row's end; one that does not must
// not gain one, so the encoder's closing line feed goes (after a soft line break, or after
// base64's last row, where line ends carry nothing).
// Quoted-printable rows that begin with "--" could be read as delimiter rows of the message
// (text decoded from "=2D=2D", or from base64): their first "-" is written "=2D"; rows that
// begin with "From " as a mailbox's separator: their "F" is written "=46"; rows ">From ",
// ">>From "..., which a mailbox reader would unquote: their first ">" is written "=3E". So
// no row written begins as a mailbox row, and mailbox quoting has nothing to redo.
// An escape makes its row longer: a line is cut anew into rows of at most 76 characters
// (RFC 2045's limit, the soft line break's "=" included), never inside an escape, each row
// looked at from its start.
void appendSafeRow(std::string& out, std::string_view row) {
  constexpr std::size_t kMaxRow = 76;
  // A row that fits, its soft line break's "=" included, and that no reader could take for
  // a delimiter or a separator, stays as it is.
  if (row.size() <= kMaxRow && !riskyRowAt(row, 0)) {
    out.append(row);
    return;
  }
  const bool soft = !row.empty() && row.back() == '=';  // an escape ends in a hex digit
  if (soft) row.remove_suffix(1);
  const std::size_t n = row.size();
  const auto atomAt = [&](std::size_t i) {
    return row[i] == '=' ? std::min<std::size_t>(3, n - i) : std::size_t{1};
  };
  for (std::size_t i = 0; i < n;) {
    if (i > 0) out.append("=\n");
    // The row's first character, escaped when it would open a risky row.
    std::size_t written = atomAt(i);
    if (written == 1 && riskyRowAt(row, i)) {
      out.append(row[i] == '-' ? "=2D" : row[i] == 'F' ? "=46" : "=3E");
      written = 3;
      i += 1;
    } else {
      out.append(row.substr(i, written));
      i += written;
    }
    // The rest of the line fits in this row (its last text may fill it; else room stays
    // for a soft line break's "=").
    if (written + (n - i) <= (soft ? kMaxRow - 1 : kMaxRow)) {
      out.append(row.substr(i));
      break;
    }
    // Else as much as leaves room for the soft line break, never cutting an escape.
    const std::size_t limit = i + (kMaxRow - 1 - written);
    std::size_t end = limit;
    for (std::size_t from = i;;) {
      const void* found = std::memchr(row.data() + from, '=', limit - from);
      if (found == nullptr) break;
      const std::size_t at = static_cast<std::size_t>(static_cast<const char*>(found) - row.data());
      if (at + atomAt(at) > limit) {
        end = at;
        break;
      }
      from = at + atomAt(at);
    }
    out.append(row.substr(i, end - i));
    i = end;
  }
  if (soft) out.push_back('=');
}

// The rows of one line of text (the encoder's soft line breaks undone) cut anew.
std::string safeRows(const std::string& encoded) {
  std::string out;
  out.reserve(encoded.size() + encoded.size() / 32);
  std::string line;  // a line of several rows, joined
  for (std::size_t at = 0; at <= encoded.size();) {
    std::size_t end = encoded.find('\n', at);
    if (end == std::string::npos) end = encoded.size();
    const std::string_view row(encoded.data() + at, end - at);
    const bool soft = !row.empty() && row.back() == '=';
    if (soft && end < encoded.size()) {
      line.append(row.substr(0, row.size() - 1));  // the line goes on in the next row
    } else {
      if (line.empty()) {
        appendSafeRow(out, row);
      } else {
        line.append(row);
        appendSafeRow(out, line);
        line.clear();
      }
      if (end < encoded.size()) out.push_back('\n');
    }
    at = end + 1;
  }
  return out;
}

std::string encode(Coding coding, const std::string& text) {
  std::string out;
  switch (coding) {
    case Coding::kNone: return text;
    case Coding::kQuotedPrintable:
      out = codec::mimeEncode(codec::QVTransferCoding::kQuotedPrintable, text);
      if (!out.empty() && out.back() == '\n' && !(text.empty() || text.back() == '\n')) {
        out.pop_back();
      }
      return safeRows(out);
    case Coding::kBase64:
      out = codec::mimeEncode(codec::QVTransferCoding::kBase64, text);
      if (!out.empty() && out.back() == '\n') out.pop_back();
      return out;
  }
  return out;
}

// One piece, decoded; nothing when its encoding is unknown.
struct Decoded {
  std::string text;
  std::string charset;     // lower case; "us-ascii" when the part names none
  bool converted = false;  // from a charset without ASCII's bytes to UTF-8
};

std::string lowerCharset(const QVContentPart& part) {
  std::string charset(part.charset.value_or("us-ascii"));
  for (char& c : charset) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return charset;
}

// A part's body as its bytes stand, its mailbox quoting undone when it has some.
std::string storedBody(const QVContentPart& part, bool mboxQuoted) {
  const std::string_view body = part.bodyText;
  return mboxQuoted ? unquotedRows(body) : std::string(body);
}

std::optional<Decoded> decodePiece(const QVContentPart& part, bool mboxQuoted) {
  const std::optional<Coding> coding = codingOf(part);
  if (!coding) return std::nullopt;
  Decoded out;
  out.charset = lowerCharset(part);
  const bool rowsInBytes = asciiCompatible(out.charset);
  // Text not encoded for transport in a charset without ASCII's bytes: no rows to trust.
  if (*coding == Coding::kNone && !rowsInBytes) return std::nullopt;
  std::optional<std::string> decoded = decode(*coding, storedBody(part, mboxQuoted));
  if (!decoded) return std::nullopt;
  if (!rowsInBytes) {
    // Converted before its line ends are touched: in UTF-16 a line feed is two bytes.
    decoded = codec::mimeToUtf8(out.charset, *decoded);
    if (!decoded) return std::nullopt;
    out.charset = "utf-8";
    out.converted = true;
  }
  // Text line breaks are CR LF in their canonical form (base64 keeps them): one line feed
  // each here, so that pieces of any encoding join alike.
  out.text = withoutCR(*decoded);
  return out;
}

// Quoted-printable for text that is mostly ASCII, base64 for the rest (and for text with
// bytes that quoted-printable lines cannot carry plainly).
Coding codingFor(std::string_view text) {
  std::size_t high = 0;
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u == 0) return Coding::kBase64;
    if (u >= 0x80) ++high;
  }
  return high * 4 > text.size() ? Coding::kBase64 : Coding::kQuotedPrintable;
}

// The parameters that say how a text's lines are read (RFC 3676's flowed text), which the
// joined body must keep: "; format=flowed; delsp=yes", or "" when none.
std::string lineParameters(const QVContentPart& part) {
  std::string out;
  if (part.format) out.append(";\n\tformat=").append(*part.format);
  if (part.delsp) out.append(";\n\tdelsp=").append(*part.delsp);
  return out;
}

bool isFlowed(const QVContentPart& part) {
  return part.format && equalsIgnoringCase(*part.format, "flowed");
}

// Lines that RFC 3676 reads: flowed text (delsp yes or no), or fixed lines.
bool flowedOrFixed(const QVContentPart& part) {
  if (part.format && !isFlowed(part) && !equalsIgnoringCase(*part.format, "fixed")) return false;
  return !part.delsp || equalsIgnoringCase(*part.delsp, "yes") ||
         equalsIgnoringCase(*part.delsp, "no");
}

// Flowed text (RFC 3676) as fixed lines: a line that ends in a space goes on in the next
// line of the same quote depth, that space removed with delsp=yes; the space that stuffs a
// line is removed; the signature line "-- " stays a line.
std::string unflowed(std::string_view text, bool delsp) {
  std::string out;
  bool open = false;  // the line written last goes on in the next
  std::size_t openDepth = 0;
  for (std::size_t at = 0;;) {
    std::size_t end = text.find('\n', at);
    const bool last = end == std::string_view::npos;
    if (last) end = text.size();
    const std::string_view line = text.substr(at, end - at);
    std::size_t depth = 0;
    while (depth < line.size() && line[depth] == '>') ++depth;
    std::size_t prefix = depth;
    if (prefix < line.size() && line[prefix] == ' ') ++prefix;  // stuffed
    std::string_view content = line.substr(prefix);
    const bool flowed = !content.empty() && content.back() == ' ' && content != "-- ";
    if (flowed && delsp) content.remove_suffix(1);
    if (!(open && depth == openDepth)) {
      if (open) out.push_back('\n');  // a flowed line before a change of depth ends there
      out.append(line.substr(0, depth));
      if (depth > 0 && prefix > depth) out.push_back(' ');
    }
    out.append(content);
    open = flowed;
    openDepth = depth;
    if (last) break;
    if (!flowed) out.push_back('\n');
    at = end + 1;
  }
  return out;
}

// The pieces of one body joined in order, as one part's text (header rows, empty row,
// body) with the message's line ends; nothing when a piece cannot be decoded.
std::optional<std::string> joinPieces(const QVPartTree& tree,
                                      const std::vector<std::size_t>& pieces,
                                      std::string_view subtype,
                                      const std::vector<std::string>* removeCids, bool crlf,
                                      bool mboxQuoted) {
  std::vector<Decoded> decoded;
  std::string_view charsetAsWritten;
  // The pieces read their lines alike and are joined as they are; or some are flowed text
  // and the others fixed lines (or flowed with another delsp): the flowed ones are read as
  // RFC 3676 reads them, and the body is fixed lines. Other line parameters cannot be
  // joined: the pieces are left apart.
  std::string parameters = lineParameters(tree.parts[pieces.front()]);
  bool unflow = false;
  for (std::size_t index : pieces) {
    const QVContentPart& part = tree.parts[index];
    if (lineParameters(part) == parameters) continue;
    if (!flowedOrFixed(part) || !flowedOrFixed(tree.parts[pieces.front()])) return std::nullopt;
    unflow = true;
  }
  if (unflow) parameters.clear();
  for (std::size_t index : pieces) {
    const QVContentPart& part = tree.parts[index];
    std::optional<Decoded> piece = decodePiece(part, mboxQuoted);
    if (!piece) return std::nullopt;
    if (unflow && isFlowed(part)) {
      piece->text = unflowed(piece->text, part.delsp && equalsIgnoringCase(*part.delsp, "yes"));
    }
    if (decoded.empty()) charsetAsWritten = part.charset.value_or(std::string_view{});
    decoded.push_back(std::move(*piece));
  }
  bool sameCharset = true;
  bool converted = false;
  for (const Decoded& piece : decoded) {
    sameCharset = sameCharset && piece.charset == decoded[0].charset;
    converted = converted || piece.converted;
  }
  std::string charset(charsetAsWritten);
  if (converted) charset = "utf-8";
  if (!sameCharset) {
    for (Decoded& piece : decoded) {
      if (piece.charset == "utf-8") continue;
      std::optional<std::string> utf8 = codec::mimeToUtf8(piece.charset, piece.text);
      if (!utf8) return std::nullopt;
      piece.text = std::move(*utf8);
    }
    charset = "utf-8";
  }
  std::string text;
  for (const Decoded& piece : decoded) {
    // Plain text pieces stood on lines of their own, with a file between them.
    if (subtype == "plain" && !text.empty() && text.back() != '\n') text.push_back('\n');
    text.append(piece.text);
  }
  if (removeCids != nullptr) text = removeTagsWithCids(std::move(text), *removeCids);
  const Coding coding = codingFor(text);
  std::string part = coding == Coding::kBase64 ? "Content-Transfer-Encoding: base64\n"
                                               : "Content-Transfer-Encoding: quoted-printable\n";
  part.append("Content-Type: text/").append(subtype);
  if (!charset.empty()) part.append(";\n\tcharset=").append(charset);
  part.append(parameters).append("\n\n");
  part.append(encode(coding, text));
  return withEol(part, crlf);
}

// A single HTML body without the image tags of the moved parts, re-encoded as it was; its
// header rows stay as they are. Nothing when no tag goes or its encoding is unknown.
std::optional<std::string> cleanedHtml(const QVContentPart& html,
                                       const std::vector<std::string>& cids, bool crlf,
                                       bool mboxQuoted) {
  if (cids.empty()) return std::nullopt;
  const std::optional<Coding> coding = codingOf(html);
  if (!coding || !asciiCompatible(lowerCharset(html))) return std::nullopt;
  // Text written as it is keeps its rows as they stand, quoting and all; encoded text is
  // decoded from what its writer encoded.
  const std::optional<std::string> decoded =
      decode(*coding,
             *coding == Coding::kNone ? std::string(html.bodyText) : storedBody(html, mboxQuoted));
  if (!decoded) return std::nullopt;
  std::vector<std::size_t> cuts;
  std::string cleaned = removeTagsWithCids(*decoded, cids, &cuts);
  if (cleaned == *decoded) return std::nullopt;
  // Text written as it is must not gain a row that a reader takes for a delimiter or a
  // mailbox's separator (a tag taken out at a row's start, before "--" or "From "): the
  // HTML then stays as it is.
  if (*coding == Coding::kNone) {
    for (const std::size_t at : cuts) {
      if ((at == 0 || cleaned[at - 1] == '\n') && riskyRowAt(cleaned, at)) return std::nullopt;
    }
  }
  std::string part(html.headerText);
  part.append(withEol(encode(*coding, cleaned), crlf));
  return part;
}

}  // namespace

QVBodyReplacements commandBodies(const QVManipulator& m, bool keepHtml, bool mboxQuoted) {
  QVBodyReplacements out;
  if (m.failure()) return out;
  const bool crlf = m.crlf();
  const std::vector<std::string> cids = keepHtml ? std::vector<std::string>{} : movedContentIds(m);
  const QVBodies& bodies = m.bodies();
  if (bodies.plain.size() > 1) {
    out.plain = joinPieces(m.tree(), bodies.plain, "plain", nullptr, crlf, mboxQuoted);
  }
  if (bodies.html.size() > 1) {
    out.html =
        joinPieces(m.tree(), bodies.html, "html", keepHtml ? nullptr : &cids, crlf, mboxQuoted);
  }
  // One piece, or pieces that cannot be joined (the first with text is then the body, the
  // others inline text after it): the image tags of the moved pictures still go from each.
  if (bodies.html.size() == 1) {
    out.html = cleanedHtml(m.tree().parts[bodies.html.front()], cids, crlf, mboxQuoted);
  } else if (!out.html) {
    for (std::size_t index : bodies.html) {
      if (std::optional<std::string> cleaned =
              cleanedHtml(m.tree().parts[index], cids, crlf, mboxQuoted)) {
        out.pieces.emplace(index, std::move(*cleaned));
      }
    }
  }
  return out;
}

}  // namespace qv::cli
