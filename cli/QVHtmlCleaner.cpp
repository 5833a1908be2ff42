#include "cli/QVHtmlCleaner.h"

#include <cctype>

#include "hooks/QVTagRemoval.h"
#include "mail/QVMimeCodec.h"

namespace qv::cli {

namespace {

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
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
  std::optional<mail::QVTransferCoding> coder;
  if (encoding == "quoted-printable") {
    coder = mail::QVTransferCoding::kQuotedPrintable;
  } else if (encoding == "base64") {
    coder = mail::QVTransferCoding::kBase64;
  } else if (!(encoding.empty() || encoding == "7bit" || encoding == "8bit" ||
               encoding == "binary")) {
    return std::nullopt;
  }
  const bool crlf =
      body.find("\r\n") != std::string_view::npos || (!body.empty() && body.back() == '\r');
  const std::string text = withoutCR(body);
  const std::string decoded = coder ? mail::mimeDecode(*coder, text) : text;
  std::string cleaned = removeTagsWithCids(decoded, cids);
  if (cleaned == decoded) return std::nullopt;
  if (coder) {
    cleaned = mail::mimeEncode(*coder, cleaned);
    while (!cleaned.empty() && cleaned.back() == '\n') cleaned.pop_back();
  }
  return crlf ? withCR(cleaned) : cleaned;
}

}  // namespace qv::cli
