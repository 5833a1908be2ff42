#pragma once
// The parse stage: rows -> the part tree. The header is read first, then the body level by
// level. Header fields are read whole (a name in any letter case, a value with its
// continuation rows); in a body only the rows that begin with "--" can matter, and the walk
// goes from one to the next.

#include <cstdint>
#include <string_view>

#include "core/QVPartTree.h"
#include "core/QVRows.h"

namespace qv {

// Deeper than any mailer nests; bounds the recursion of the body walk.
inline constexpr std::uint32_t kMaxNesting = 64;

// The whole message: its header record, then every part of its body.
[[nodiscard]] QVPartTree parseParts(const QVRows& rows);

// One level of a multipart body with the given boundary, from row `start` up to its closing
// delimiter row or the last row, as if it were a message's body (its header record stays
// empty). `end` receives one past the row where the walk stopped.
[[nodiscard]] QVPartTree parseBody(const QVRows& rows, std::string_view boundary,
                                   std::uint32_t start, std::uint32_t& end);

}  // namespace qv
