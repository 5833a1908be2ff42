#include "core/QVRowScan.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
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

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define QV_HAVE_AVX2 1
#else
#define QV_HAVE_AVX2 0
#endif

#if QV_HAVE_AVX2
bool hasAvx2() {
  static const bool has = __builtin_cpu_supports("avx2") != 0;
  return has;
}

struct Window;
bool scanWide(Window& w, std::size_t& i, std::size_t limit);
#endif

// The scan of one window of the message: p[0, n) holds the bytes from offset `base` on.
struct Window {
  const unsigned char* p;
  std::size_t n;
  std::size_t base;
  QVRowStarts& starts;
  QVRowStarts* dashRows;

  // Records the row that starts at `at` (in the window), and in `dashRows` its number when
  // it opens with "--".
  void addRow(std::size_t at) {
    starts.push_back(static_cast<std::uint32_t>(base + at));
    if (dashRows != nullptr && opensWithDashes(p, at, n)) {
      dashRows->push_back(static_cast<std::uint32_t>(starts.size() - 1));
    }
  }

  // Byte by byte from i up to `end`, validating non-ASCII sequences; leaves i after the
  // last byte examined (a sequence may run past `end`). False when the bytes are not UTF-8.
  bool scalar(std::size_t& i, std::size_t end) {
    while (i < end) {
      const unsigned char c = p[i];
      if (c < 0x80) {
        if (c == '\n') addRow(i + 1);
        ++i;
      } else {
        const std::size_t len = sequenceLength(p, i, n);
        if (len == 0) return false;
        i += len;
      }
    }
    return true;
  }

  // From i up to `limit`. Every sequence, and the two bytes after every line feed, that
  // start before `limit` lie inside the window (limit <= n - 3, or the window ends the
  // message). Leaves i at or past `limit`.
  bool scan(std::size_t& i, std::size_t limit) {
#if QV_HAVE_AVX2
    if (hasAvx2() && !scanWide(*this, i, limit)) return false;
#endif
#if defined(__SSE2__)
    const __m128i lf = _mm_set1_epi8('\n');
    while (i + 16 <= limit) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
      if (_mm_movemask_epi8(v) != 0) {
        // Non-ASCII in this block: validate it byte by byte (a sequence may cross the
        // block's end, so the vector loop resumes wherever the scalar one stopped).
        if (!scalar(i, i + 16)) return false;
        continue;
      }
      unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, lf)));
      while (mask != 0) {
        const unsigned bit = static_cast<unsigned>(__builtin_ctz(mask));
        addRow(i + bit + 1);
        mask &= mask - 1;
      }
      i += 16;
    }
#endif
    return scalar(i, limit);
  }
};

#if QV_HAVE_AVX2
// 64 bytes a step where the processor has AVX2: an ASCII stretch costs two loads and three
// compares; a stretch with non-ASCII bytes goes to the byte-by-byte check. Leaves i where
// fewer than 64 bytes are left before `limit`, for the narrower loops.
__attribute__((target("avx2"))) bool scanWide(Window& w, std::size_t& i, std::size_t limit) {
  const __m256i lf = _mm256_set1_epi8('\n');
  while (i + 64 <= limit) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w.p + i));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w.p + i + 32));
    if (_mm256_movemask_epi8(_mm256_or_si256(a, b)) != 0) {
      if (!w.scalar(i, i + 64)) return false;
      continue;
    }
    std::uint64_t mask =
        static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(a, lf))) |
        (static_cast<std::uint64_t>(
             static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(b, lf))))
         << 32);
    while (mask != 0) {
      w.addRow(i + static_cast<std::size_t>(__builtin_ctzll(mask)) + 1);
      mask &= mask - 1;
    }
    i += 64;
  }
  return true;
}
#endif

}  // namespace

QVRowScanner::QVRowScanner(QVRowStarts& starts, QVRowStarts* dashRows, std::size_t sizeHint,
                           std::size_t firstOffset)
    : starts_(starts), dashRows_(dashRows), consumed_(firstOffset) {
  starts_.clear();
  if (dashRows_ != nullptr) dashRows_->clear();
  // Mail wraps encoded bodies at 76 characters; most rows are about that long.
  starts_.reserve(sizeHint / 48 + 16);
}

bool QVRowScanner::process(const unsigned char* p, std::size_t n, std::size_t base, std::size_t& i,
                           bool last) {
  Window w{p, n, base, starts_, dashRows_};
  const std::size_t limit = last ? n : (n >= kLookahead ? n - kLookahead : 0);
  if (starts_.empty()) {
    if (!last && limit == 0) return true;  // too few bytes yet to tell how row 0 opens
    w.addRow(0);
  }
  if (i >= limit) return true;
  return w.scan(i, limit);
}

void QVRowScanner::feed(std::string_view bytes) {
  if (!valid_) return;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t n = bytes.size();
  std::size_t i = 0;  // where the scan resumes in p
  // The bytes carried from the previous piece are scanned joined with the head of this one.
  while (carrySize_ > 0 && n > 0) {
    const std::size_t head = std::min(n, sizeof carry_ - carrySize_);
    std::memcpy(carry_ + carrySize_, p, head);
    const std::size_t joined = carrySize_ + head;
    std::size_t j = 0;
    if (!process(carry_, joined, consumed_, j, false)) {
      valid_ = false;
      return;
    }
    if (j >= carrySize_) {
      // Past the carried bytes: go on in the piece itself.
      i = j - carrySize_;
      consumed_ += carrySize_;
      carrySize_ = 0;
      break;
    }
    // Still short of lookahead: all of the head joins the carry.
    std::memmove(carry_, carry_ + j, joined - j);
    carrySize_ = joined - j;
    consumed_ += j;
    p += head;
    n -= head;
  }
  if (n == 0) return;
  if (!process(p, n, consumed_, i, false)) {
    valid_ = false;
    return;
  }
  // Carry what is left: the last bytes, whose lookahead is in the next piece.
  carrySize_ = n - i;
  std::memcpy(carry_, p + i, carrySize_);
  consumed_ += i;
}

bool QVRowScanner::finish() {
  if (valid_) {
    std::size_t j = 0;
    valid_ = process(carry_, carrySize_, consumed_, j, true);
  }
  if (!valid_) return false;
  starts_.push_back(static_cast<std::uint32_t>(consumed_ + carrySize_ + 1));
  return true;
}

bool scanRows(std::string_view data, QVRowStarts& starts, QVRowStarts* dashRows) {
  QVRowScanner scanner(starts, dashRows, data.size());
  scanner.feed(data);
  return scanner.finish();
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
