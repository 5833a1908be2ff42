#include "hooks/QVTagRemoval.h"

#include <re2/re2.h>

#include "core/QVRowIndex.h"

namespace qv {

std::string removeTagsWithCids(std::string html, const std::vector<std::string>& cids) {
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
    if (cid.empty()) continue;
    const RE2 pattern("<img[^>]+(cid:" + RE2::QuoteMeta(cid) + ")[^>]+>", options);
    if (!pattern.ok()) continue;
    RE2::GlobalReplace(&html, pattern, "");
  }
  return html;
}

}  // namespace qv
