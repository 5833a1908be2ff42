#pragma once
// For `stowlet rewrite`: which image tags go from the HTML. A picture that becomes an
// attachment leaves no tag behind that refers to it, so a recipient sees no broken picture
// beside the attachment.

#include <string>
#include <vector>

#include "core/QVManipulator.h"

namespace qv::cli {

// The identifiers of the parts that the rebuild makes attachments.
[[nodiscard]] std::vector<std::string> movedContentIds(const QVManipulator& manipulator);

}  // namespace qv::cli
