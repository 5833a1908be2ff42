#include "adapters/standin/QVPreferences.h"

#include "adapters/standin/QVPluginState.h"
#include "host/QVSettingKeys.h"
#include "shell/QVPluginRules.h"
#include "standin/QVApplication.h"
#include "standin/QVFoundation.h"
#include "standin/QVMailInterface.h"

namespace qv {

namespace {

// The controller one call of +sharedPreferences gave, for the shell's addition of the pane.
class StandInPreferences final : public QVPreferencesPort {
 public:
  StandInPreferences(QVRuntime& runtime, QVObjectRef controller)
      : controller_(std::move(controller)), paneClass_(runtime.classNamed("QVPreferences")) {}
  bool hasController() override { return controller_ != nullptr; }
  bool hasPaneClass() override { return paneClass_ != nullptr; }
  void addPane(std::string_view name) override {
    QVObjectRef pane = send(*paneClass_, mail::kSharedInstance);
    send(*controller_, mail::kAddPreferenceNamed, std::string(name), pane);
  }
  bool windowHasToolbar() override {
    QVObjectRef window =
        send(*controller_, mail::kValueForKey, std::string(mail::kPreferencesPanelKey));
    return window && send(*window, mail::kToolbar);
  }

 private:
  QVObjectRef controller_;
  QVClass* paneClass_ = nullptr;
};

QVObjectRef sharedPreferences(QVRuntime& runtime, QVClass& cls) {
  // After the exchange this runs Mail's own +sharedPreferences.
  QVObjectRef controller = send(cls, kQVSharedPreferences);
  StandInPreferences preferences(runtime, controller);
  addPaneOnce(preferences, standInPlugin().context);
  return controller;
}

}  // namespace

QVClass& registerPreferencesPane(QVRuntime& runtime) {
  QVClass* module = runtime.classNamed(mail::kPreferencesModuleClass);
  QVClass& pane = runtime.registerClass("QVPreferences", module);

  for (const QVPaneBoolean& property : kPaneBooleans) {
    pane.addInstanceMethod(QVSelector<bool()>{property.property},
                           std::function<bool(QVObject&)>([&property](QVObject&) {
                             return paneBoolean(standInPlugin().context, property);
                           }));
    pane.addInstanceMethod(QVSelector<void(bool)>{setterSelector(property.property)},
                           std::function<void(QVObject&, bool)>([&property](QVObject&, bool on) {
                             setPaneBoolean(standInPlugin().context, property, on);
                           }));
  }
  pane.addInstanceMethod(
      kFilenameProperty,
      std::function<QVObjectRef(QVObject&)>([&runtime](QVObject&) -> QVObjectRef {
        std::optional<std::string> name = paneFilename(standInPlugin().context);
        if (!name) return nullptr;
        return runtime.makeString(*name);
      }));
  pane.addInstanceMethod(
      kSetFilename, std::function<void(QVObject&, QVObjectRef)>([](QVObject&, QVObjectRef name) {
        setPaneFilename(standInPlugin().context, stringValue(name));
      }));
  pane.addInstanceMethod(kSetIsLegacy, std::function<void(QVObject&, bool)>([](QVObject&, bool on) {
                           setPaneLegacy(standInPlugin().context, on);
                         }));
  pane.addInstanceMethod(kVersion, std::function<std::string(QVObject&)>([](QVObject&) {
                           return paneVersion(standInPlugin().context);
                         }));
  pane.addInstanceMethod(
      kPaneSignatureFilename, std::function<QVObjectRef(QVObject&)>([](QVObject& self) {
        return send(self, mail::kValueForKey, std::string("setSignatureFilename"));
      }));
  pane.addInstanceMethod(
      kSetPaneSignatureFilename,
      std::function<void(QVObject&, QVObjectRef)>([](QVObject& self, QVObjectRef v) {
        send(self, mail::kSetValueForKey, std::move(v), std::string("setSignatureFilename"));
      }));
  pane.addInstanceMethod(
      kOpenSupport, std::function<void(QVObject&, QVObjectRef)>(
                        [](QVObject&, QVObjectRef) { openPaneSupport(standInPlugin().context); }));

  // The module's own calls.
  pane.addInstanceMethod(mail::kAwakeFromNib, std::function<void(QVObject&)>([](QVObject&) {}));
  pane.addInstanceMethod(
      mail::kWillBeDisplayed, std::function<void(QVObject&)>([](QVObject& self) {
        for (const QVRepublished& value : paneWillBeDisplayed(standInPlugin().context)) {
          send(self, QVSelector<void(bool)>{setterSelector(value.property)}, value.value);
        }
      }));
  pane.addInstanceMethod(mail::kImageForPreferenceNamed,
                         std::function<std::optional<std::string>(QVObject&, std::string)>(
                             [](QVObject&, std::string) -> std::optional<std::string> {
                               QVHost* host = standInPlugin().host;
                               return host != nullptr ? host->imageNamed(kPaneIconName)
                                                      : std::nullopt;
                             }));
  return pane;
}

bool addPreferencesTraits(QVRuntime& runtime) {
  QVClass* preferences = runtime.classNamed(mail::kPreferencesClass);
  if (preferences == nullptr) return false;
  preferences->addClassMethod(kQVSharedPreferences,
                              std::function<QVObjectRef(QVClass&)>([&runtime](QVClass& cls) {
                                return sharedPreferences(runtime, cls);
                              }));
  preferences->noteCategory("QVTraits");
  return true;
}

}  // namespace qv
