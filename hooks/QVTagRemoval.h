#pragma once
// Removes from an HTML text the image tags that refer to given content identifiers.
//
// For each identifier in order, every match of <img[^>]+(cid:ID)[^>]+> (letter case
// ignored) is removed from the text left by the identifiers before it: a match runs from
// an "<img" to the first ">" after the reference, with at least one character on each
// side of the reference. Identifiers are taken literally (their characters are escaped),
// and an empty identifier removes nothing. Linear in the text whatever the input.
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
