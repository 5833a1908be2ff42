#pragma once
// Writes a message the way Mail's generator does, so that the plug-in's parser meets Mail's
// real format:
//
// - LF line ends; header rows From, Content-Type (boundary on a TAB continuation row
//   "\tboundary=\"Apple-Mail=_<UUID>\""), Mime-Version, Subject, Message-Id, Date, To, Cc,
//   then any other field of the header set;
// - with a plain text: a multipart/alternative of the text/plain part and the HTML;
// - the HTML alone as a text/html part; with attachments only, a multipart/related
//   (type="text/html") of the HTML and the files; with further HTML texts, a multipart/mixed
//   of the HTML texts and files in their order;
// - text parts as Content-Transfer-Encoding (7bit for short-lined ASCII, else
//   quoted-printable) then Content-Type with "\tcharset=";
// - files as base64 in 76-character lines, with Content-Disposition "inline;", the file name
//   (quoted when it holds blanks or specials, RFC 2231 when not ASCII), Content-Type with
//   "\tx-unix-mode=0644;" and "\tname=", and Content-Id last when the file has one;
// - two empty rows before a multipart's first delimiter row; a line feed after the last.

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace qv::mail {

class QVMailAttachment;

// Where the UUIDs of boundaries and identifiers come from: random, or a fixed sequence.
class QVUuidSource {
 public:
  QVUuidSource();                             // random
  explicit QVUuidSource(std::uint64_t seed);  // reproducible
  std::string next();                         // "5E4C7A61-2C1B-4C9E-9D0A-0F3B8C1D2E01"

 private:
  std::mt19937_64 random_;
};

struct QVMessageContent {
  std::optional<std::string> html;
  std::optional<std::string> plain;
  // Further HTML texts (no attachment) and attachments (no html), in order.
  struct Piece {
    std::optional<std::string> html;
    const QVMailAttachment* attachment = nullptr;
  };
  std::vector<Piece> pieces;
  std::vector<std::pair<std::string, std::string>> headers;
};

[[nodiscard]] std::string writeMessage(const QVMessageContent& content, QVUuidSource& uuids);

}  // namespace qv::mail
