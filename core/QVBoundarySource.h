#pragma once
// Where the rebuild's fresh boundaries come from: the host's random source, or a fixed list
// in tests.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qv {

class QVBoundarySource {
 public:
  virtual ~QVBoundarySource() = default;
  // A candidate boundary; the rebuild asks again when it clashes with the message.
  [[nodiscard]] virtual std::string createBoundary() = 0;
};

// 28 characters of [0-9a-zA-Z] from the numbers `next` gives (any non-negative ints).
template <typename Next>
[[nodiscard]] std::string boundaryFrom(Next next) {
  constexpr std::string_view kAlphabet =
      "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
  std::string boundary(28, '0');
  for (char& c : boundary) c = kAlphabet[static_cast<std::size_t>(next()) % kAlphabet.size()];
  return boundary;
}

// Boundaries from a fixed seed, the same on every run: for tests, benchmarks and tools that
// must give the same output twice. (The plug-in draws its own from the host's random source.)
class QVSeededBoundaries final : public QVBoundarySource {
 public:
  explicit QVSeededBoundaries(std::uint32_t seed = 1) : state_(seed) {}
  [[nodiscard]] std::string createBoundary() override {
    return boundaryFrom([this] {
      state_ = state_ * 1103515245u + 12345u;  // the classic C library generator
      return (state_ >> 16) & 0x7fffu;
    });
  }

 private:
  std::uint32_t state_;
};

}  // namespace qv
