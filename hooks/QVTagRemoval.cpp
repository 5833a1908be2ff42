#include "hooks/QVTagRemoval.h"

#include <re2/re2.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string_view>

#include "core/QVRowScan.h"
#include "hooks/QVTagPattern.h"

namespace qv {

namespace {

// Whether an ASCII identifier's reference ("cid:ID") can be found by comparing ASCII
// letters without case, exactly as the pattern's case-insensitive match finds it: always in
// Latin-1; in UTF-8 unless the text holds one of the two characters that fold to an ASCII
// letter (KELVIN SIGN to "k", LONG S to "s") and the identifier holds that letter. Taking
// tags out never makes one of them: a tag begins and ends with an ASCII character.
struct QVFoldedLetters {
  bool k = false;  // the text holds KELVIN SIGN
  bool s = false;  // the text holds LONG S
};
// (Only the letters the identifiers hold are looked for: most hold neither.)
QVFoldedLetters foldedLetters(std::string_view html, const std::vector<std::string>& cids) {
  bool k = false;
  bool s = false;
  for (const std::string& cid : cids) {
    k = k || cid.find_first_of("kK") != std::string::npos;
    s = s || cid.find_first_of("sS") != std::string::npos;
  }
  if ((!k && !s) || !isValidUtf8(html)) return {};
  return {k && html.find("\xE2\x84\xAA") != std::string_view::npos,
          s && html.find("\xC5\xBF") != std::string_view::npos};
}
bool asciiSearchFinds(std::string_view cid, QVFoldedLetters folded) {
  for (const char c : cid) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
    if (folded.k && (c == 'k' || c == 'K')) return false;
    if (folded.s && (c == 's' || c == 'S')) return false;
  }
  return true;
}

char lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// An ASCII text found in another without regard to letter case (Horspool's search: most
// bytes of the text are skipped, never compared).
class QVFoldedSearch {
 public:
  explicit QVFoldedSearch(std::string_view needle) : needle_(needle) {
    for (char& c : needle_) c = lower(c);
    skip_.fill(needle_.size());
    for (std::size_t i = 0; i + 1 < needle_.size(); ++i) {
      const std::size_t shift = needle_.size() - 1 - i;
      const char c = needle_[i];
      skip_[static_cast<unsigned char>(c)] = shift;
      if (c >= 'a' && c <= 'z') skip_[static_cast<unsigned char>(c - 'a' + 'A')] = shift;
    }
  }
  // The first place at or after `from` where it stands, wholly before `end`; npos when
  // nowhere.
  [[nodiscard]] std::size_t find(std::string_view text, std::size_t from,
                                 std::size_t end = std::string_view::npos) const {
    const std::size_t m = needle_.size();
    end = std::min(end, text.size());
    for (std::size_t at = from; at + m <= end;
         at += skip_[static_cast<unsigned char>(text[at + m - 1])]) {
      std::size_t i = m;
      while (i > 0 && lower(text[at + i - 1]) == needle_[i - 1]) --i;
      if (i == 0) return at;
    }
    return std::string_view::npos;
  }

 private:
  std::string needle_;
  std::array<std::size_t, 256> skip_{};
};

bool startsWithFolded(std::string_view text, std::size_t at, std::string_view lowered) {
  if (at + lowered.size() > text.size()) return false;
  for (std::size_t i = 0; i < lowered.size(); ++i) {
    if (lower(text[at + i]) != lowered[i]) return false;
  }
  return true;
}

// The first "<img" (any letter case) at or after `from`; npos when none. Markup opens
// often, so each "<" is found with memchr and looked at.
std::size_t findImageTag(std::string_view text, std::size_t from) {
  while (from < text.size()) {
    const void* found = std::memchr(text.data() + from, '<', text.size() - from);
    if (found == nullptr) break;
    const auto at = static_cast<std::size_t>(static_cast<const char*>(found) - text.data());
    if (startsWithFolded(text, at + 1, "img")) return at;
    from = at + 1;
  }
  return std::string_view::npos;
}

// Every identifier's tags taken out in one pass, when that gives what one pass per
// identifier gives; nothing when it might not. A match lies in a stretch from an "<img" to
// the first ">" after it and, when there is one, takes the whole stretch from its first
// "<img": so each stretch goes when any identifier's reference stands in it, whichever
// identifier comes first. Passes one after another differ only where taking a tag out
// joins text into a new "<img" across the cut, and then this gives nothing. Identifiers
// must be ASCII, and searchable as such (asciiSearchFinds).
std::optional<std::string> removeInOnePass(std::string_view html,
                                           const std::vector<std::string>& cids,
                                           QVFoldedLetters folded, std::vector<std::size_t>* cuts) {
  std::vector<std::string> ids;
  for (const std::string& cid : cids) {
    if (cid.empty()) continue;
    if (!asciiSearchFinds(cid, folded)) return std::nullopt;
    std::string id;
    for (const char c : cid) id.push_back(lower(c));
    ids.push_back(std::move(id));
  }
  const QVFoldedSearch reference("cid:");
  std::string kept;
  std::vector<std::size_t> made;  // where the text was cut, in the result
  std::size_t copied = 0;
  for (std::size_t at = findImageTag(html, 0); at != std::string_view::npos;) {
    const std::size_t close = html.find('>', at + 4);
    if (close == std::string_view::npos) break;
    // Each reference with a character between it and the "<img", and one between it and
    // the ">".
    bool matched = false;
    for (std::size_t r = reference.find(html, at + 5, close); r != std::string_view::npos;
         r = reference.find(html, r + 1, close)) {
      for (const std::string& id : ids) {
        if (r + 4 + id.size() < close && startsWithFolded(html, r + 4, id)) {
          matched = true;
          break;
        }
      }
      if (matched) break;
    }
    if (matched) {
      if (kept.empty()) kept.reserve(html.size());
      kept.append(html, copied, at - copied);
      if (made.empty() || made.back() != kept.size()) made.push_back(kept.size());
      copied = close + 1;
    }
    at = findImageTag(html, close + 1);
  }
  if (made.empty()) return std::string(html);
  kept.append(html, copied, std::string_view::npos);
  for (const std::size_t cut : made) {
    for (std::size_t begin = cut >= 3 ? cut - 3 : 0; begin < cut; ++begin) {
      if (startsWithFolded(kept, begin, "<img")) return std::nullopt;
    }
  }
  if (cuts != nullptr) *cuts = std::move(made);
  return kept;
}

}  // namespace

std::string removeTagsWithCids(std::string html, const std::vector<std::string>& cids,
                               std::vector<std::size_t>* cuts) {
  if (cuts != nullptr) cuts->clear();
  if (cids.empty() || html.empty()) return html;
  if (std::optional<std::string> once =
          removeInOnePass(html, cids, foldedLetters(html, cids), cuts)) {
    return std::move(*once);
  }
  // A UTF-8 text is matched as characters (so that case folding is Unicode's); any other
  // bytes as Latin-1, where every byte is a character and none is ever invalid.
  const bool utf8 = isValidUtf8(html);
  RE2::Options options;
  options.set_case_sensitive(false);
  options.set_log_errors(false);
  options.set_max_mem(64 << 20);
  options.set_encoding(utf8 ? RE2::Options::EncodingUTF8 : RE2::Options::EncodingLatin1);
  const QVFoldedLetters folded = foldedLetters(html, cids);
  for (const std::string& cid : cids) {
    const std::optional<std::string> tag = imageTagPattern(cid);
    if (!tag) continue;
    const RE2 pattern(*tag, options);
    if (!pattern.ok()) continue;
    // A match holds the reference, and begins after the last ">" before it: where the
    // reference can be found by a plain search, the pattern runs only from there, so that
    // many identifiers cost no pass over the whole text each.
    const std::string reference = "cid:" + cid;
    const bool searchable = asciiSearchFinds(cid, folded);
    const QVFoldedSearch search(reference);
    const auto matchFrom = [&](std::size_t from) -> std::size_t {
      if (!searchable) return from;
      const std::size_t at = search.find(html, from);
      if (at == std::string::npos) return std::string::npos;
      const std::size_t close = at == from ? std::string::npos : html.rfind('>', at - 1);
      return close == std::string::npos || close < from ? from : close + 1;
    };
    // Every match in turn (a match is never empty), with the cuts of the identifiers before
    // moved to where their text now stands.
    std::string kept;
    std::vector<std::size_t> moved;
    std::size_t from = 0;
    std::size_t removed = 0;                    // bytes taken out before `from`
    std::size_t earlier = 0;                    // the next cut of the identifiers before
    const auto carry = [&](std::size_t upTo) {  // earlier cuts at or before upTo
      if (cuts == nullptr) return;
      for (; earlier < cuts->size() && (*cuts)[earlier] <= upTo; ++earlier) {
        moved.push_back((*cuts)[earlier] - removed);
      }
    };
    const re2::StringPiece text(html);
    re2::StringPiece match;
    bool any = false;
    while (from < html.size()) {
      const std::size_t begin = matchFrom(from);
      if (begin == std::string::npos ||
          !pattern.Match(text, begin, html.size(), RE2::UNANCHORED, &match, 1)) {
        break;
      }
      const auto at = static_cast<std::size_t>(match.data() - html.data());
      if (!any) kept.reserve(html.size());
      any = true;
      kept.append(html, from, at - from);
      carry(at);
      // Cuts inside the removed text fall on this cut.
      for (; cuts != nullptr && earlier < cuts->size() && (*cuts)[earlier] < at + match.size();
           ++earlier) {
      }
      if (cuts != nullptr) moved.push_back(at - removed);
      removed += match.size();
      from = at + match.size();
    }
    if (!any) continue;  // nothing matched: the text (and its cuts) stay
    kept.append(html, from, std::string::npos);
    carry(html.size());
    if (cuts != nullptr) {
      moved.erase(std::unique(moved.begin(), moved.end()), moved.end());
      *cuts = std::move(moved);
    }
    html = std::move(kept);
  }
  return html;
}

}  // namespace qv
