#include "shell/QVSettings.h"

#include <string>

#include "host/QVSettingKeys.h"

namespace qv {

void writeDefaults(QVUserDefaults& store) {
  auto boolDefault = [&](std::string_view key, bool value) { store.setObjectIfAbsent(key, value); };
  boolDefault(keys::kEnabled, true);
  boolDefault(keys::kAttachmentsAsIcons, true);
  boolDefault(keys::kSignatureImagesInline, true);
  store.setObjectIfAbsent(keys::kSignatureFilename, std::string(keys::kDefaultSignatureFilename));
  boolDefault(keys::kDisableInlineAttachments, true);
  boolDefault(keys::kDisableInlineAttachmentsAll, false);
}

}  // namespace qv
