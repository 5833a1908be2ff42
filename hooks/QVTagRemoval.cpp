#include "hooks/QVTagRemoval.h"

#include <re2/re2.h>

#include <algorithm>

#include "core/QVRowScan.h"
#include "hooks/QVTagPattern.h"

namespace qv {

std::string removeTagsWithCids(std::string html, const std::vector<std::string>& cids,
                               std::vector<std::size_t>* cuts) {
  if (cuts != nullptr) cuts->clear();
  if (cids.empty() || html.empty()) return html;
  // A UTF-8 text is matched as characters (so that case folding is Unicode's); any other
  // bytes as Latin-1, where every byte is a character and none is ever invalid.
  RE2::Options options;
  options.set_case_sensitive(false);
  options.set_log_errors(false);
  options.set_max_mem(64 << 20);
  options.set_encoding(isValidUtf8(html) ? RE2::Options::EncodingUTF8
                                         : RE2::Options::EncodingLatin1);
  for (const std::string& cid : cids) {
    const std::optional<std::string> tag = imageTagPattern(cid);
    if (!tag) continue;
    const RE2 pattern(*tag, options);
    if (!pattern.ok()) continue;
    if (cuts == nullptr) {
      RE2::GlobalReplace(&html, pattern, "");
      continue;
    }
    // The same removal, match by match (a match is never empty), with the cuts of the
    // identifiers before moved to where their text now stands.
    std::string kept;
    std::vector<std::size_t> moved;
    std::size_t from = 0;
    std::size_t removed = 0;                    // bytes taken out before `from`
    std::size_t earlier = 0;                    // the next cut of the identifiers before
    const auto carry = [&](std::size_t upTo) {  // earlier cuts at or before upTo
      for (; earlier < cuts->size() && (*cuts)[earlier] <= upTo; ++earlier) {
        moved.push_back((*cuts)[earlier] - removed);
      }
    };
    const re2::StringPiece text(html);
    re2::StringPiece match;
    while (from < html.size() &&
           pattern.Match(text, from, html.size(), RE2::UNANCHORED, &match, 1)) {
      const auto at = static_cast<std::size_t>(match.data() - html.data());
      kept.append(html, from, at - from);
      carry(at);
      // Cuts inside the removed text fall on this cut.
      for (; earlier < cuts->size() && (*cuts)[earlier] < at + match.size(); ++earlier) {
      }
      moved.push_back(at - removed);
      removed += match.size();
      from = at + match.size();
    }
    if (moved.empty() && earlier == 0) continue;  // nothing matched: the text stays
    kept.append(html, from, std::string::npos);
    carry(html.size());
    moved.erase(std::unique(moved.begin(), moved.end()), moved.end());
    *cuts = std::move(moved);
    html = std::move(kept);
  }
  return html;
}

}  // namespace qv
