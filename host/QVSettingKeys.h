#pragma once
// The keys of the plug-in's settings in the host's user defaults, and the one default
// that readers fall back on themselves.

#include <string_view>

namespace qv::keys {

inline constexpr std::string_view kEnabled = "QVStowletEnabled";
inline constexpr std::string_view kAttachmentsAsIcons = "QVStowletAAI";
inline constexpr std::string_view kSignatureImagesInline = "QVStowletDSI";
inline constexpr std::string_view kSignatureFilename = "QVStowletSignatureFilename";
inline constexpr std::string_view kDisableInlineAttachments = "QVStowletDisableInlineAttachments";
inline constexpr std::string_view kDisableInlineAttachmentsAll =
    "QVStowletDisableInlineAttachmentsAll";
inline constexpr std::string_view kLegacy = "QVStowletLegacy";
inline constexpr std::string_view kCount = "QVStowletCount";
// The command's: pictures of fewer bytes stay inline (absent: none does by its size).
inline constexpr std::string_view kKeepInlineBelow = "QVStowletKeepInlineBelow";

// The signature file name used when the setting is absent or not a string.
inline constexpr std::string_view kDefaultSignatureFilename = "email-signature";

}  // namespace qv::keys
