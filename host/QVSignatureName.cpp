#include "host/QVSignatureName.h"

#include "host/QVSettingKeys.h"

namespace qv {

std::string signatureName(const QVUserDefaults* store) {
  if (store != nullptr) {
    if (auto value = store->valueForKey(keys::kSignatureFilename)) {
      if (auto* text = std::get_if<std::string>(&*value)) return *text;
    }
  }
  return std::string(keys::kDefaultSignatureFilename);
}

}  // namespace qv
