#pragma once
// Header values as RFC 5322 and MIME read them: a field name in any letter case, a field's
// value together with its continuation rows, the media type at the head of a value and the
// parameters after it.
//
//   Content-type: multipart/mixed;
//       boundary="----=_NextPart
//    _000_0002"
//
// is the field "Content-Type" whose value, unfolded, is
// ` multipart/mixed;    boundary="----=_NextPart _000_0002"`: its type `multipart/mixed`,
// its boundary `----=_NextPart _000_0002` (the line break goes, the blank after it stays).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qv {

// A row that continues the field above it: it begins with a blank or a TAB.
[[nodiscard]] bool isContinuationRow(std::string_view row);

// The value after "NAME:" when the row begins with the field name `name` in any letter
// case (with no blank before the colon); nothing otherwise. A CR at the end is not part of
// the value.
[[nodiscard]] std::optional<std::string_view> fieldValue(std::string_view row,
                                                         std::string_view name);

// True when the row begins with `name` and a colon in exactly this letter case.
[[nodiscard]] bool hasExactFieldName(std::string_view row, std::string_view name);

// The token at the head of a value: from its first character that is not a blank up to the
// first ";" (or the end), blanks at its end removed, and a parameter after a blank left out.
// "text/html" for " text/html; a=b" and for " text/html a=b".
[[nodiscard]] std::string_view headToken(std::string_view value);

// What reading a parameter found.
enum class QVParameterRead : std::uint8_t {
  kAbsent,    // no parameter of that name
  kFound,     // the value is given
  kUnclosed,  // a quoted value without its closing quote: it cannot be read whole
};

// The value of the parameter `name` (letter case ignored) of a field value: a quoted string
// without its quotes (backslash escapes undone) or a token up to ";" or a blank. The media
// type at the head is skipped.
[[nodiscard]] QVParameterRead parameter(std::string_view value, std::string_view name,
                                        std::string& out);

// A file name parameter in any of its forms: `NAME="a.png"`, RFC 2231's `NAME*=utf-8''a.png`
// and its numbered pieces `NAME*0*=`, `NAME*1=`...; percent escapes undone, the charset's
// bytes kept as they are.
[[nodiscard]] std::optional<std::string> nameParameter(std::string_view value,
                                                       std::string_view name);

// ASCII letter case only: every name searched for is ASCII, and no locale may matter.
[[nodiscard]] bool equalsIgnoringCase(std::string_view a, std::string_view b);
[[nodiscard]] bool startsWithIgnoringCase(std::string_view s, std::string_view prefix);
[[nodiscard]] std::size_t findIgnoringCase(std::string_view s, std::string_view part);
[[nodiscard]] inline bool containsIgnoringCase(std::string_view s, std::string_view part) {
  return findIgnoringCase(s, part) != std::string_view::npos;
}

}  // namespace qv
