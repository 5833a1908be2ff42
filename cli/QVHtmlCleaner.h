#pragma once
// For `stowlet rewrite`: the HTML part's body without the image tags that refer to the
// parts moved to attachments, so that a recipient sees no broken picture beside them.
// The body is decoded and encoded again in its own transfer encoding (quoted-printable,
// base64, or none) with GMime's coders.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/QVManipulator.h"

namespace qv::cli {

// The identifiers of the parts that the rebuild makes attachments.
[[nodiscard]] std::vector<std::string> movedContentIds(const QVManipulator& manipulator);

// The cleaned body, or nothing when no tag goes (or the encoding is one it cannot handle).
// `headerRows` are the part's header rows, for its Content-Transfer-Encoding.
[[nodiscard]] std::optional<std::string> cleanHtmlBody(const QVManipulator& manipulator,
                                                       const QVContentPart& html,
                                                       std::string_view body,
                                                       const std::vector<std::string>& cids);

}  // namespace qv::cli
