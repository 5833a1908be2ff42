#include "core/QVRowIndex.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qv {

namespace {

inline bool isContinuation(unsigned char c) {
  return (c & 0xC0) == 0x80;
}

// Length of the well-formed UTF-8 sequence that starts with the non-ASCII byte at p[i],
// or 0 when it is malformed or cut off by the end.
inline std::size_t sequenceLength(const unsigned char* p, std::size_t i, std::size_t n) {
  const unsigned char c = p[i];
  std::size_t len;
  unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) lo = 0xA0;  // overlong
    if (c == 0xED) hi = 0x9F;  // surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) lo = 0x90;  // overlong
    if (c == 0xF4) hi = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (n - i < len) return 0;
  if (p[i + 1] < lo || p[i + 1] > hi) return 0;
  for (std::size_t k = 2; k < len; ++k) {
    if (!isContinuation(p[i + k])) return 0;
  }
  return len;
}

// Scalar scan from i up to `end`: records row starts and validates non-ASCII sequences,
// leaving i after the last byte examined (a sequence may run past `end`). False when the
// bytes are not UTF-8.
// A row starting at `at` begins with "--" (candidate delimiter rows of MIME bodies).
inline bool opensWithDashes(const unsigned char* p, std::size_t at, std::size_t n) {
  return at + 1 < n && p[at] == '-' && p[at + 1] == '-';
}

// Records the row that starts at `at`, and in `dashRows` its number when it opens with "--".
inline void addRow(const unsigned char* p, std::size_t at, std::size_t n, QVRowStarts& starts,
                   QVRowStarts* dashRows) {
  starts.push_back(static_cast<std::uint32_t>(at));
  if (dashRows != nullptr && opensWithDashes(p, at, n)) {
    dashRows->push_back(static_cast<std::uint32_t>(starts.size() - 1));
  }
}

inline bool scanScalar(const unsigned char* p, std::size_t& i, std::size_t end, std::size_t n,
                       QVRowStarts& starts, QVRowStarts* dashRows) {
  while (i < end) {
    const unsigned char c = p[i];
    if (c < 0x80) {
      if (c == '\n') addRow(p, i + 1, n, starts, dashRows);
      ++i;
    } else {
      const std::size_t len = sequenceLength(p, i, n);
      if (len == 0) return false;
      i += len;
    }
  }
  return true;
}

}  // namespace

bool scanRows(std::string_view data, QVRowStarts& starts, QVRowStarts* dashRows) {
  const auto* p = reinterpret_cast<const unsigned char*>(data.data());
  const std::size_t n = data.size();
  starts.clear();
  if (dashRows != nullptr) dashRows->clear();
  // Mail wraps encoded bodies at 76 characters; most rows are about that long.
  starts.reserve(n / 48 + 16);
  addRow(p, 0, n, starts, dashRows);
  std::size_t i = 0;
#if defined(__SSE2__)
  const __m128i lf = _mm_set1_epi8('\n');
  while (i + 16 <= n) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    if (_mm_movemask_epi8(v) != 0) {
      // Non-ASCII in this block: validate it byte by byte (a sequence may cross the
      // block's end, so the vector loop resumes wherever the scalar one stopped).
      if (!scanScalar(p, i, i + 16, n, starts, dashRows)) return false;
      continue;
    }
    unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, lf)));
    while (mask != 0) {
      const unsigned bit = static_cast<unsigned>(__builtin_ctz(mask));
      addRow(p, i + bit + 1, n, starts, dashRows);
      mask &= mask - 1;
    }
    i += 16;
  }
#endif
  if (!scanScalar(p, i, n, n, starts, dashRows)) return false;
  starts.push_back(static_cast<std::uint32_t>(n + 1));
  return true;
}

bool isValidUtf8(std::string_view data) {
  const auto* p = reinterpret_cast<const unsigned char*>(data.data());
  const std::size_t n = data.size();
  std::size_t i = 0;
  while (i < n) {
    // ASCII fast path, eight bytes at a time.
    while (i + 8 <= n) {
      std::uint64_t word;
      std::memcpy(&word, p + i, 8);
      if ((word & 0x8080808080808080ULL) != 0) break;
      i += 8;
    }
    if (i >= n) break;
    if (p[i] < 0x80) {
      ++i;
      continue;
    }
    const std::size_t len = sequenceLength(p, i, n);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

}  // namespace qv
