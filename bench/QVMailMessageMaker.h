#pragma once
// Makes Mail-format messages of a chosen size for the benchmarks: a plain-text and an HTML
// alternative in a related section with a signature picture, photos (base64 in 76-character
// lines) and a PDF, as Mail writes them.

#include <cstddef>
#include <string>

namespace qv::bench {

// A message of about `bytes` bytes (at least a few kilobytes), the same for the same size.
[[nodiscard]] std::string makeMailMessage(std::size_t bytes);

}  // namespace qv::bench
