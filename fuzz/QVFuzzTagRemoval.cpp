// The image tag removal on arbitrary HTML and identifiers.
//
// Input: a count byte, that many identifiers ended by NUL bytes, then the HTML. The removal
// only deletes (the result is a subsequence of the text, never longer), and an "<img" whose
// tag refers to none of the identifiers is never removed.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "hooks/QVTagRemoval.h"

namespace {

void check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "property broken: %s\n", what);
    std::abort();
  }
}

char lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

std::size_t findFolded(const std::string& text, const std::string& part, std::size_t from) {
  auto it = std::search(text.begin() + static_cast<std::ptrdiff_t>(from), text.end(), part.begin(),
                        part.end(), [](char a, char b) { return lower(a) == lower(b); });
  return it == text.end() ? std::string::npos : static_cast<std::size_t>(it - text.begin());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::vector<std::string> cids;
  for (int i = 0; i < data[0] % 8; ++i) {
    const std::size_t nul = rest.find('\0');
    if (nul == std::string::npos) break;
    cids.push_back(rest.substr(0, nul));
    rest.erase(0, nul + 1);
  }
  const std::string html = rest;
  const std::string out = qv::removeTagsWithCids(html, cids);
  check(out.size() <= html.size(), "the text never grows");
  std::size_t k = 0;
  for (char c : html) {
    if (k < out.size() && out[k] == c) ++k;
  }
  check(k == out.size(), "only deletions");
  // A tag that refers to no identifier stays: a stretch between two ">" that holds no
  // "cid:ID" cannot lose any of its "<img". Letter case is folded here for ASCII only, so an
  // identifier with other bytes (whose case the removal may fold too) makes any "cid:" count;
  // an identifier holding ">" spans stretches, so it makes every stretch count.
  const bool asciiIds = std::all_of(cids.begin(), cids.end(), [](const std::string& cid) {
    return std::all_of(cid.begin(), cid.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  });
  const bool spanning = std::any_of(cids.begin(), cids.end(), [](const std::string& cid) {
    return cid.find('>') != std::string::npos;
  });
  std::size_t untouched = 0;
  for (std::size_t start = 0; start < html.size();) {
    const std::size_t close = html.find('>', start);
    const std::size_t end = close == std::string::npos ? html.size() : close + 1;
    const std::string segment = html.substr(start, end - start);
    bool refers = spanning;
    for (const std::string& cid : cids) {
      if (cid.empty()) continue;
      refers = refers || findFolded(segment, asciiIds ? "cid:" + cid : std::string("cid:"), 0) !=
                             std::string::npos;
    }
    if (!refers) {
      for (std::size_t at = findFolded(segment, "<img", 0); at != std::string::npos;
           at = findFolded(segment, "<img", at + 1)) {
        ++untouched;
      }
    }
    start = end;
  }
  std::size_t left = 0;
  for (std::size_t at = findFolded(out, "<img", 0); at != std::string::npos;
       at = findFolded(out, "<img", at + 1)) {
    ++left;
  }
  check(left >= untouched, "a tag that refers to no identifier is never removed");
  return 0;
}
