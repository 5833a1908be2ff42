#pragma once
// QVContentPart: the record of one region of a message found by the parse: the top-level
// header, a leaf body part, or a nested multipart container.
//
// Text fields are views into the message's bytes, or into a value the parse had to unfold
// (kept in its QVPartTree: they live as long as both); an absent value is std::nullopt. Row
// fields are 0-based indexes into the message's rows; a row field counts only when its text
// field is present (`contentTypeRow` only in the header record).
//
// Spans (both ends included):
// - header: rows 0 .. the row before the first delimiter row of the top boundary;
// - leaf part: the row after its opening delimiter row .. the row before the next delimiter
//   row of its level (header rows, the empty separator row and the content);
// - container: the row after its opening delimiter row .. the row before its own first
//   delimiter row (its header and preamble; each child has a record of its own).

#include <cstdint>
#include <optional>
#include <string_view>

namespace qv {

struct QVContentPart {
  std::optional<std::string_view> contentType;         // "text/plain", "image/png", ...
  std::optional<std::string_view> contentDisposition;  // "inline", "attachment", ...
  std::optional<std::string_view> boundary;          // without quotes and without the leading "--"
  std::optional<std::string_view> cid;               // between "<" and ">" of the Content-Id row
  std::optional<std::string_view> filename;          // Content-Disposition's file name, any form
  std::optional<std::string_view> transferEncoding;  // "quoted-printable", "base64", ...
  std::optional<std::string_view> charset;           // Content-Type's charset parameter
  std::optional<std::string_view> format;            // Content-Type's format parameter ...
  std::optional<std::string_view> delsp;             // ... and delsp: how its lines read

  // A leaf's header rows up to and including the empty row that ends them, with their line
  // ends; and its body: the rows after it to the part's end, without the last line end (a
  // CR before it stays).
  std::string_view headerText;
  std::string_view bodyText;

  std::uint32_t contentTypeRow = 0;         // header record only: the row of the type
  std::uint32_t contentDispositionRow = 0;  // the row of the disposition type
  std::uint32_t cidRow = 0;                 // the Content-Id field's first row ...
  std::uint32_t cidLastRow = 0;             // ... and its last (continuation) row
  std::uint32_t startRow = 0;
  std::uint32_t endRow = 0;
  std::uint32_t level = 0;  // the level the part stands in: 1 is the top level's body
  bool named = false;       // a name parameter of any form in its header
  bool container = false;   // a nested multipart part: its children have records of their own
};

}  // namespace qv
