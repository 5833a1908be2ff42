#pragma once
// The one rule for signature pictures, which every side of the plug-in applies: a picture is a
// signature picture when its file name contains the signature file name (the setting
// QVStowletSignatureFilename), exactly, letter case counting; an empty signature name marks
// none. A picture without a file name is a signature picture, or not, as its caller says:
// - the hook (sending): it is, and stays referenced from the HTML;
// - the roles (rebuilding): it is, unless a name in another form or an "attachment"
//   disposition says it is a file (an empty file name counts as none);
// - the display answers (reading): it is, and is shown inline.

#include <optional>
#include <string_view>

namespace qv {

[[nodiscard]] inline bool isSignaturePicture(std::optional<std::string_view> fileName,
                                             std::string_view signatureName,
                                             bool unnamedIsSignature) {
  if (!fileName) return unnamedIsSignature;
  return !signatureName.empty() && fileName->find(signatureName) != std::string_view::npos;
}

}  // namespace qv
