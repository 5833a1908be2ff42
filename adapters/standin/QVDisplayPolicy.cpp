#include "adapters/standin/QVDisplayPolicy.h"

#include <optional>
#include <string>

#include "adapters/standin/QVPluginState.h"
#include "shell/QVPluginRules.h"
#include "standin/QVFoundation.h"
#include "standin/QVMailInterface.h"

namespace qv {

bool QVShouldBeDisplayedInlineByDefault(QVObject& controller) {
  return shouldBeDisplayedInlineByDefault(
      standInPlugin().context, [&]() -> std::optional<std::string> {
        try {
          if (QVObjectRef attachment = send(controller, mail::kAttachment)) {
            return stringValue(send(*attachment, mail::kFilename));
          }
        } catch (const std::exception&) {
          // a controller that cannot say: as an attachment without a name
        }
        return std::nullopt;
      });
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
