#include "shell/QVSettings.h"

#include <string>

#include "host/QVSettingKeys.h"

namespace qv {

void writeDefaults(QVUserDefaults& store) {
  auto boolDefault = [&](std::string_view key, bool value) {
    if (!store.objectForKey(key)) store.setBool(value, key);
  };
  boolDefault(keys::kEnabled, true);
  boolDefault(keys::kAAI, true);
  boolDefault(keys::kDSI, true);
  if (!store.objectForKey(keys::kSignatureFilename)) {
    store.setValue(std::string(keys::kDefaultSignatureFilename), keys::kSignatureFilename);
  }
  boolDefault(keys::kDisableInlineAttachments, true);
  boolDefault(keys::kDisableInlineAttachmentsAll, false);
}

}  // namespace qv
