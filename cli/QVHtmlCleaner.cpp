#include "cli/QVHtmlCleaner.h"

#include <gmime/gmime.h>

#include <mutex>

#include "hooks/QVTagRemoval.h"

namespace qv::cli {

namespace {

void ensureGMime() {
  static std::once_flag once;
  std::call_once(once, [] { g_mime_init(); });
}

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(g_ascii_tolower(c));
  return out;
}

// The part's Content-Transfer-Encoding, in lower case; "" when it has none.
std::string transferEncoding(const QVManipulator& m, const QVContentPart& part) {
  for (std::uint32_t r = part.startRow; r <= part.endRow; ++r) {
    std::string_view row = m.row(r);
    if (row.empty() || row == "\r") break;
    constexpr std::string_view kField = "content-transfer-encoding:";
    if (row.size() > kField.size() && lower(row.substr(0, kField.size())) == kField) {
      std::string_view value = row.substr(kField.size());
      while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
        value.remove_prefix(1);
      while (!value.empty() && (value.back() == '\r' || value.back() == ' '))
        value.remove_suffix(1);
      return lower(value);
    }
  }
  return "";
}

std::string withoutCR(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    if (text[i] == '\r' && i + 1 == text.size()) continue;
    out.push_back(text[i]);
  }
  return out;
}

std::string withCR(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 64 + 1);
  for (char c : text) {
    if (c == '\n') out.push_back('\r');
    out.push_back(c);
  }
  out.push_back('\r');  // the last row's own CR, before the line feed that follows the body
  return out;
}

std::string code(GMimeContentEncoding encoding, bool encode, std::string_view in) {
  ensureGMime();
  GMimeEncoding state;
  if (encode) {
    g_mime_encoding_init_encode(&state, encoding);
  } else {
    g_mime_encoding_init_decode(&state, encoding);
  }
  std::string out(g_mime_encoding_outlen(&state, in.size()) + 16, '\0');
  const std::size_t n = g_mime_encoding_flush(&state, in.data(), in.size(), out.data());
  out.resize(n);
  return out;
}

}  // namespace

std::vector<std::string> movedContentIds(const QVManipulator& m) {
  std::vector<std::string> cids;
  for (std::size_t index : m.bagAttach()) {
    const QVContentPart& part = m.bagAll()[index];
    if (part.cid && !part.cid->empty()) cids.emplace_back(*part.cid);
  }
  return cids;
}

std::optional<std::string> cleanHtmlBody(const QVManipulator& m, const QVContentPart& html,
                                         std::string_view body,
                                         const std::vector<std::string>& cids) {
  if (cids.empty()) return std::nullopt;
  const std::string encoding = transferEncoding(m, html);
  GMimeContentEncoding coder = GMIME_CONTENT_ENCODING_DEFAULT;
  if (encoding == "quoted-printable") {
    coder = GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE;
  } else if (encoding == "base64") {
    coder = GMIME_CONTENT_ENCODING_BASE64;
  } else if (!(encoding.empty() || encoding == "7bit" || encoding == "8bit" ||
               encoding == "binary")) {
    return std::nullopt;
  }
  const bool crlf =
      body.find("\r\n") != std::string_view::npos || (!body.empty() && body.back() == '\r');
  const std::string text = withoutCR(body);
  const std::string decoded =
      coder == GMIME_CONTENT_ENCODING_DEFAULT ? text : code(coder, false, text);
  std::string cleaned = removeTagsWithCids(decoded, cids);
  if (cleaned == decoded) return std::nullopt;
  if (coder != GMIME_CONTENT_ENCODING_DEFAULT) {
    cleaned = code(coder, true, cleaned);
    while (!cleaned.empty() && cleaned.back() == '\n') cleaned.pop_back();
  }
  return crlf ? withCR(cleaned) : cleaned;
}

}  // namespace qv::cli
