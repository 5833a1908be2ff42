#include "standin/QVMessageWriter.h"

#include <strings.h>
#include <algorithm>
#include <chrono>
#include <cstdio>

#include "codec/QVMimeCodec.h"
#include "standin/QVMailObjects.h"

namespace qv::mail {

namespace {

bool isAscii(std::string_view s) {
  return std::all_of(s.begin(), s.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

bool hasLongLine(std::string_view s, std::size_t limit) {
  std::size_t run = 0;
  for (char c : s) {
    run = c == '\n' ? 0 : run + 1;
    if (run > limit) return true;
  }
  return false;
}

std::string quotedPrintable(std::string_view text) {
  return codec::mimeEncode(codec::QVTransferCoding::kQuotedPrintable, text);
}

// Base64 in lines of 76 characters, without a line feed after the last.
std::string base64(std::string_view bytes) {
  std::string out = codec::mimeEncode(codec::QVTransferCoding::kBase64, bytes);
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

// "filename=a.png", "filename=\"my file.pdf\"" or "filename*=UTF-8''caf%C3%A9.png".
std::string filenameParameter(const std::string& name) {
  return codec::mimeFilenameParameter(name);
}

std::string quoted(std::string_view value) {
  std::string out = "\"";
  for (char c : value) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  return out + "\"";
}

// The name parameter: quoted, RFC 2047 words when not ASCII.
std::string nameValue(const std::string& name) {
  if (isAscii(name)) return quoted(name);
  return quoted(codec::mimeEncodeHeaderText(name));
}

std::string headerValue(const std::string& value) {
  if (isAscii(value)) return value;
  return codec::mimeEncodeHeaderText(value);
}

void textPart(std::string& out, std::string_view subtype, std::string_view text) {
  const bool plainAscii = isAscii(text) && !hasLongLine(text, 998);
  out += plainAscii ? "Content-Transfer-Encoding: 7bit\n"
                    : "Content-Transfer-Encoding: quoted-printable\n";
  out += "Content-Type: text/";
  out += subtype;
  out += plainAscii ? ";\n\tcharset=us-ascii\n\n" : ";\n\tcharset=utf-8\n\n";
  out += plainAscii ? std::string(text) : quotedPrintable(text);
}

void filePart(std::string& out, const QVMailAttachment& file, bool related) {
  const std::string type = file.mimeType.value_or("application/octet-stream");
  if (related) out += "Content-Transfer-Encoding: base64\n";
  if (file.filename) {
    out += "Content-Disposition: inline;\n\t" + filenameParameter(*file.filename) + "\n";
    out += "Content-Type: " + type + ";\n\tx-unix-mode=0644;\n\tname=" + nameValue(*file.filename) +
           "\n";
  } else {
    out += "Content-Disposition: inline\nContent-Type: " + type + ";\n\tx-unix-mode=0644\n";
  }
  if (!related) out += "Content-Transfer-Encoding: base64\n";
  if (file.contentID) out += "Content-Id: " + *file.contentID + "\n";
  out += "\n" + base64(file.bytes());
}

// A multipart section: its header rows, two empty rows, then each part after a delimiter
// row and the closing row with a line feed.
struct Section {
  std::string boundary;
  std::vector<std::string> parts;
};

void multipart(std::string& out, const Section& section) {
  for (const std::string& part : section.parts) {
    out += "--" + section.boundary + "\n" + part + "\n";
  }
  out += "--" + section.boundary + "--\n";
}

std::string boundaryFor(QVUuidSource& uuids) {
  return "Apple-Mail=_" + uuids.next();
}

std::string dateNow() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char buffer[64];
  std::strftime(buffer, sizeof buffer, "%a, %e %b %Y %H:%M:%S %z", &local);
  std::string out(buffer);
  // "%e" pads the day with a blank; Mail writes "8 Dec", not " 8 Dec".
  const std::size_t pad = out.find(",  ");
  if (pad != std::string::npos) out.erase(pad + 1, 1);
  return out;
}

}  // namespace

QVUuidSource::QVUuidSource() : random_(std::random_device{}()) {}
QVUuidSource::QVUuidSource(std::uint64_t seed) : random_(seed) {}

std::string QVUuidSource::next() {
  const std::uint64_t a = random_();
  const std::uint64_t b = random_();
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "%08X-%04X-%04X-%04X-%012llX",
                static_cast<unsigned>(a >> 32), static_cast<unsigned>((a >> 16) & 0xFFFF),
                static_cast<unsigned>(0x4000 | (a & 0x0FFF)),
                static_cast<unsigned>(0x8000 | ((b >> 48) & 0x3FFF)),
                static_cast<unsigned long long>(b & 0xFFFFFFFFFFFFULL));
  return buffer;
}

std::string writeMessage(const QVMessageContent& content, QVUuidSource& uuids) {
  // The body first: the top-level type and boundary go into the header.
  const std::string html = content.html.value_or("");
  bool hasHtmlPieces = false;
  bool hasFiles = false;
  for (const auto& piece : content.pieces) {
    hasHtmlPieces = hasHtmlPieces || piece.html.has_value();
    hasFiles = hasFiles || piece.attachment != nullptr;
  }

  std::string htmlType;  // the Content-Type rows of the HTML side, and its body
  std::string htmlBody;
  if (!hasHtmlPieces && !hasFiles) {
    textPart(htmlBody, "html", html);
  } else {
    const bool related = !hasHtmlPieces;
    Section section{boundaryFor(uuids), {}};
    if (!related && !html.empty()) section.parts.emplace_back();
    if (related) section.parts.emplace_back();
    if (!section.parts.empty()) textPart(section.parts.back(), "html", html);
    for (const auto& piece : content.pieces) {
      section.parts.emplace_back();
      if (piece.attachment != nullptr) {
        filePart(section.parts.back(), *piece.attachment, related);
      } else {
        textPart(section.parts.back(), "html", *piece.html);
      }
    }
    htmlType = related
                   ? "Content-Type: multipart/related;\n\ttype=\"text/html\";\n\tboundary=\"" +
                         section.boundary + "\"\n"
                   : "Content-Type: multipart/mixed;\n\tboundary=\"" + section.boundary + "\"\n";
    htmlBody = "\n\n";
    multipart(htmlBody, section);
  }

  std::string topType;
  std::string body;
  if (content.plain) {
    Section alternative{boundaryFor(uuids), {}};
    alternative.parts.emplace_back();
    textPart(alternative.parts.back(), "plain", *content.plain);
    alternative.parts.push_back(htmlType + htmlBody);
    topType = "Content-Type: multipart/alternative;\n\tboundary=\"" + alternative.boundary + "\"\n";
    body = "\n\n";
    multipart(body, alternative);
  } else if (htmlType.empty()) {
    // The HTML alone: its own rows are the message's type rows.
    const std::size_t end = htmlBody.find("\n\n");
    topType = htmlBody.substr(0, end + 1);
    body = htmlBody.substr(end + 1);
  } else {
    topType = htmlType;
    body = htmlBody;
  }

  auto field = [&](std::string_view name) -> std::optional<std::string> {
    for (const auto& [n, v] : content.headers) {
      if (::strcasecmp(n.c_str(), std::string(name).c_str()) == 0) return v;
    }
    return std::nullopt;
  };
  std::string out;
  if (auto from = field("From")) out += "From: " + headerValue(*from) + "\n";
  out += topType;
  out += "Mime-Version: 1.0 (Mac OS X Mail 16.0 \\(3731.500.231\\))\n";
  if (auto subject = field("Subject")) out += "Subject: " + headerValue(*subject) + "\n";
  out += "Message-Id: " + field("Message-Id").value_or("<" + uuids.next() + "@example.net>") + "\n";
  out += "Date: " + field("Date").value_or(dateNow()) + "\n";
  if (auto to = field("To")) out += "To: " + headerValue(*to) + "\n";
  if (auto cc = field("Cc")) out += "Cc: " + headerValue(*cc) + "\n";
  static constexpr std::string_view kWritten[] = {
      "From", "Subject", "Date", "To", "Cc", "Message-Id", "Content-Type", "Mime-Version"};
  for (const auto& header : content.headers) {
    const std::string& name = header.first;
    const bool written =
        std::any_of(std::begin(kWritten), std::end(kWritten), [&](std::string_view w) {
          return ::strcasecmp(name.c_str(), std::string(w).c_str()) == 0;
        });
    if (!written) out += name + ": " + headerValue(header.second) + "\n";
  }
  out += body;
  return out;
}

}  // namespace qv::mail
