#pragma once
// Removes from an HTML text the image tags that refer to given content identifiers, with
// RE2 (the command's and the stand-in Mail's engine; the plug-in bundle has the platform's).
//
// For each identifier in order, every match of its pattern (hooks/QVTagPattern.h) is removed
// from the text left by the identifiers before it. A UTF-8 text is matched as characters,
// any other bytes as Latin-1. Linear in the text whatever the input.
//
//   removeTagsWithCids("<p>a<img src=\"cid:x1\"></p>", {"x1"}) == "<p>a</p>"

#include <cstddef>
#include <string>
#include <vector>

namespace qv {

// With `cuts`, also tells where text was taken out: the offsets in the result at which the
// removed tags stood, in order and each once (a caller that writes the text as rows can
// tell the rows that a removal made begin anew).
[[nodiscard]] std::string removeTagsWithCids(std::string html, const std::vector<std::string>& cids,
                                             std::vector<std::size_t>* cuts = nullptr);

}  // namespace qv
