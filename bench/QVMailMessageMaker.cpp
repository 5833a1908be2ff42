#include "bench/QVMailMessageMaker.h"

#include <random>

namespace qv::bench {

namespace {

constexpr std::string_view kBase64 =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Random base64 text of `length` characters in lines of 76.
void appendBase64(std::string& out, std::size_t length, std::mt19937& random) {
  for (std::size_t i = 0; i < length; ++i) {
    out.push_back(kBase64[random() & 63]);
    if (i % 76 == 75) out.push_back('\n');
  }
  if (out.back() != '\n') out.push_back('\n');
}

void appendFile(std::string& out, std::string_view boundary, std::string_view name,
                std::string_view type, std::size_t length, int index, std::mt19937& random) {
  out.append("--").append(boundary).append("\n");
  out.append("Content-Transfer-Encoding: base64\nContent-Disposition: inline;\n\tfilename=");
  out.append(name).append("\nContent-Type: ").append(type);
  out.append(";\n\tx-unix-mode=0644;\n\tname=\"").append(name).append("\"\n");
  out.append("Content-Id: <0B1C2D3E-4F50-6172-8394-A5B6C7D8E9");
  out.append(std::to_string(10 + index)).append("@example.net>\n\n");
  appendBase64(out, length, random);
}

}  // namespace

std::string makeMailMessage(std::size_t bytes) {
  std::mt19937 random(12345);
  const std::string top = "Apple-Mail=_5E4C7A61-2C1B-4C9E-9D0A-0F3B8C1D2E01";
  const std::string rel = "Apple-Mail=_9A2D4F10-6B3E-4E7A-8C21-7D5E3F4A6B02";
  std::string out;
  out.reserve(bytes + 4096);
  out +=
      "From: Bob Example <bob@example.net>\nContent-Type: multipart/alternative;\n\tboundary=\"" +
      top +
      "\"\nMime-Version: 1.0 (Mac OS X Mail 16.0 \\(3731.500.231\\))\n"
      "Subject: Pictures\nDate: Tue, 8 Dec 2026 09:30:00 +0100\n"
      "To: Ann Example <ann@example.org>\nMessage-Id: <3F2A1B0C@example.net>\n\n\n";
  out += "--" + top +
         "\nContent-Transfer-Encoding: 7bit\nContent-Type: text/plain;\n\tcharset=us-ascii\n\n"
         "Here are the pictures.\n\n--" +
         top + "\nContent-Type: multipart/related;\n\ttype=\"text/html\";\n\tboundary=\"" + rel +
         "\"\n\n\n--" + rel +
         "\nContent-Transfer-Encoding: 7bit\nContent-Type: text/html;\n\tcharset=us-ascii\n\n"
         "<html><body><div>Here are the pictures.</div></body></html>\n";
  appendFile(out, rel, "email-signature.png", "image/png", 2000, 0, random);
  // A PDF of a tenth, the rest in photos of about 2.5 MB each.
  const std::size_t budget = bytes > out.size() + 8192 ? bytes - out.size() - 4096 : 4096;
  const std::size_t pdf = budget / 10;
  appendFile(out, rel, "report.pdf", "application/pdf", pdf * 76 / 77, 1, random);
  std::size_t left = budget - pdf;
  for (int photo = 0; left > 0; ++photo) {
    const std::size_t size = std::min<std::size_t>(left, 2'500'000);
    appendFile(out, rel, "IMG_" + std::to_string(1000 + photo) + ".jpeg", "image/jpeg",
               size * 76 / 77, 2 + photo, random);
    left -= size;
  }
  out += "--" + rel + "--\n\n--" + top + "--\n";
  return out;
}

}  // namespace qv::bench
