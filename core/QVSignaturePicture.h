#pragma once
// The one rule for signature pictures, which every side of the plug-in applies: a picture is a
// signature picture when its file name contains the signature file name (the setting
// QVStowletSignatureFilename), exactly, letter case counting; an empty signature name marks
// none. A picture without a file name is a signature picture, or not, as its caller says:
// - the hook (sending): it is, and stays referenced from the HTML;
// - the roles (rebuilding): it is, unless a name in another form or an "attachment"
//   disposition says it is a file (an empty file name counts as none);
// - the display answers (reading): it is, and is shown inline.

#include <cstddef>
#include <optional>
#include <string_view>

namespace qv {

[[nodiscard]] inline bool isSignaturePicture(std::optional<std::string_view> fileName,
                                             std::string_view signatureName,
                                             bool unnamedIsSignature) {
  if (!fileName) return unnamedIsSignature;
  return !signatureName.empty() && fileName->find(signatureName) != std::string_view::npos;
}

// Whether a picture of the message stays beside the text when it is rebuilt: a signature
// picture; or, when `keepBelow` is given, a picture of fewer bytes than that which was not
// sent as an attachment (the logos other mailers name image001.png, which no file-name rule
// can catch).
[[nodiscard]] inline bool staysInline(std::optional<std::string_view> fileName,
                                      std::string_view signatureName, bool unnamedIsSignature,
                                      bool sentAsAttachment, std::size_t size,
                                      std::optional<std::size_t> keepBelow) {
  if (isSignaturePicture(fileName, signatureName, unnamedIsSignature)) return true;
  return keepBelow && size < *keepBelow && !sentAsAttachment;
}

}  // namespace qv
