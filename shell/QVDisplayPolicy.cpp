#include "shell/QVDisplayPolicy.h"

#include <optional>
#include <string>

#include "host/QVFoundation.h"
#include "host/QVMailInterface.h"
#include "host/QVSettingKeys.h"
#include "host/QVSignatureName.h"
#include "host/QVUserDefaults.h"

namespace qv {

bool QVShouldBeDisplayedInlineByDefault(QVObject& controller) {
  const QVUserDefaults* store = userDefaults;
  if (store == nullptr || !store->boolForKey(keys::kEnabled)) return true;
  if (!store->boolForKey(keys::kAAI)) return true;
  if (!store->boolForKey(keys::kDSI)) return false;
  const std::string signature = signatureName(store);
  std::optional<std::string> name;
  try {
    if (QVObjectRef attachment = send(controller, mail::kAttachment)) {
      name = stringValue(send(*attachment, mail::kFilename));
    }
  } catch (const std::exception&) {
    name.reset();  // a controller that cannot say: as an attachment without a name
  }
  if (!name) return true;
  if (signature.empty()) return false;
  return name->find(signature) != std::string::npos;
}

bool QVCanBeDisplayedInline(QVObject&) {
  return true;
}

QVClass& registerAVC(QVRuntime& runtime) {
  QVClass& avc = runtime.registerClass("AVC", runtime.classNamed("NSObject"));
  avc.addInstanceMethod(kQVShouldBeDisplayedInlineByDefault,
                        std::function<bool(QVObject&)>(&QVShouldBeDisplayedInlineByDefault));
  avc.addInstanceMethod(kQVCanBeDisplayedInline,
                        std::function<bool(QVObject&)>(&QVCanBeDisplayedInline));
  return avc;
}

}  // namespace qv
