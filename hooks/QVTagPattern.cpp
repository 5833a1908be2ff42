#include "hooks/QVTagPattern.h"

namespace qv {

std::optional<std::string> imageTagPattern(std::string_view cid) {
  if (cid.empty()) return std::nullopt;
  std::string pattern = "<img[^>]+(cid:";
  for (const char c : cid) {
    const auto u = static_cast<unsigned char>(c);
    const bool word = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '_' || u >= 0x80;
    if (word) {
      pattern.push_back(c);
    } else if (u < 0x20 || u == 0x7f) {
      constexpr char kHex[] = "0123456789abcdef";
      pattern.append("\\x").push_back(kHex[u >> 4]);
      pattern.push_back(kHex[u & 15]);
    } else {
      pattern.push_back('\\');
      pattern.push_back(c);
    }
  }
  pattern.append(")[^>]+>");
  return pattern;
}

}  // namespace qv
