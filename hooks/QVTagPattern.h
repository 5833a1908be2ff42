#pragma once
// The pattern of the image tags that refer to a content identifier, made here for every
// engine that removes them (RE2 in the command and the stand-in Mail, the platform's
// NSRegularExpression in the plug-in bundle):
//
//   <img[^>]+(cid:ID)[^>]+>        letter case ignored
//
// A match runs from an "<img" to the first ">" after the reference, with at least one
// character on each side of the reference. The identifier is taken literally: each ASCII
// character of it that is no letter, digit or "_" is escaped with a backslash (a control
// character as \xHH), a syntax both engines read alike; other bytes (UTF-8) stand as they
// are. An empty identifier has no pattern: it would remove every picture's tag.

#include <optional>
#include <string>
#include <string_view>

namespace qv {

[[nodiscard]] std::optional<std::string> imageTagPattern(std::string_view cid);

}  // namespace qv
