#include "shell/QVPreferences.h"

#include "host/QVAppKit.h"
#include "host/QVFoundation.h"
#include "host/QVLog.h"
#include "host/QVMailInterface.h"
#include "host/QVSettingKeys.h"
#include "host/QVUserDefaults.h"
#include "shell/QVGlobals.h"
#include "shell/QVMailPlugin.h"

namespace qv {

namespace {

bool read(std::string_view key) {
  return userDefaults != nullptr && userDefaults->boolForKey(key);
}
void write(std::string_view key, bool value) {
  if (userDefaults != nullptr) userDefaults->setBool(value, key);
}

// A Boolean property: its getter reads the setting, its setter writes it.
void booleanProperty(QVClass& pane, QVSelector<bool()> getter, QVSelector<void(bool)> setter,
                     std::string_view key) {
  pane.addInstanceMethod(getter,
                         std::function<bool(QVObject&)>([key](QVObject&) { return read(key); }));
  pane.addInstanceMethod(setter, std::function<void(QVObject&, bool)>(
                                     [key](QVObject&, bool value) { write(key, value); }));
}

QVObjectRef sharedPreferences(QVClass& cls) {
  // After the exchange this runs Mail's own +sharedPreferences.
  QVObjectRef controller = send(cls, kQVSharedPreferences);
  if (!controller) return nullptr;
  if (qvPreferencesAdded) return controller;
  QVRuntime* runtime = QVRuntime::current();
  QVClass* paneClass = runtime != nullptr ? runtime->classNamed("QVPreferences") : nullptr;
  if (paneClass == nullptr) return controller;
  QVObjectRef pane = send(*paneClass, mail::kSharedInstance);
  send(*controller, mail::kAddPreferenceNamed, std::string(kPaneName), pane);
  qvPreferencesAdded = true;
  QVObjectRef window =
      send(*controller, mail::kValueForKey, std::string(mail::kPreferencesPanelKey));
  if (window && send(*window, mail::kToolbar)) qvLog("Preference notice 42");
  return controller;
}

}  // namespace

QVClass& registerPreferencesPane(QVRuntime& runtime) {
  QVClass* module = runtime.classNamed(mail::kPreferencesModuleClass);
  QVClass& pane = runtime.registerClass("QVPreferences", module);

  pane.addInstanceMethod(kIsPluginEnabled, std::function<bool(QVObject&)>(
                                               [](QVObject&) { return read(keys::kEnabled); }));
  pane.addInstanceMethod(
      kSetIsPluginEnabled,
      std::function<void(QVObject&, bool)>([](QVObject&, bool on) { QVMailPlugin::toggleTo(on); }));
  booleanProperty(pane, kIsDisplayAttachmentsAsIcons, kSetIsDisplayAttachmentsAsIcons, keys::kAAI);
  booleanProperty(pane, kIsDisplaySignaturesInline, kSetIsDisplaySignaturesInline, keys::kDSI);
  booleanProperty(pane, kIsDisableInlineAttachments, kSetIsDisableInlineAttachments,
                  keys::kDisableInlineAttachments);
  booleanProperty(pane, kIsDisableInlineAttachmentsAll, kSetIsDisableInlineAttachmentsAll,
                  keys::kDisableInlineAttachmentsAll);

  pane.addInstanceMethod(kFilenameProperty,
                         std::function<QVObjectRef(QVObject&)>([](QVObject&) -> QVObjectRef {
                           QVRuntime* current = QVRuntime::current();
                           if (userDefaults == nullptr || current == nullptr) return nullptr;
                           auto value = userDefaults->objectForKey(keys::kSignatureFilename);
                           auto* text = value ? std::get_if<std::string>(&*value) : nullptr;
                           return text != nullptr ? current->makeString(*text) : nullptr;
                         }));
  pane.addInstanceMethod(
      kSetFilename, std::function<void(QVObject&, QVObjectRef)>([](QVObject&, QVObjectRef name) {
        if (userDefaults == nullptr) return;
        userDefaults->setValue(
            stringValue(name).value_or(std::string(keys::kDefaultSignatureFilename)),
            keys::kSignatureFilename);
      }));
  pane.addInstanceMethod(kSetIsLegacy, std::function<void(QVObject&, bool)>([](QVObject&, bool on) {
                           write(keys::kLegacy, on);
                           if (QVHost* host = QVHost::current())
                             host->runAlert(std::string(kRestartAlert), {"OK"});
                         }));
  pane.addInstanceMethod(kVersion, std::function<std::string(QVObject&)>([](QVObject&) {
                           std::optional<std::string> version;
                           if (qvBundle != nullptr)
                             version =
                                 qvBundle->objectForInfoDictionaryKey("CFBundleShortVersionString");
                           return "Version: " + version.value_or("(null)");
                         }));
  pane.addInstanceMethod(
      kSetSignatureFilename, std::function<QVObjectRef(QVObject&)>([](QVObject& self) {
        return send(self, mail::kValueForKey, std::string("setSignatureFilename"));
      }));
  pane.addInstanceMethod(
      kSetSetSignatureFilename,
      std::function<void(QVObject&, QVObjectRef)>([](QVObject& self, QVObjectRef v) {
        send(self, mail::kSetValueForKey, std::move(v), std::string("setSignatureFilename"));
      }));
  pane.addInstanceMethod(kOpenSupport,
                         std::function<void(QVObject&, QVObjectRef)>([](QVObject&, QVObjectRef) {
                           if (QVHost* host = QVHost::current())
                             host->openURL(std::string(kSupportAddress));
                         }));

  // The module's own calls.
  pane.addInstanceMethod(mail::kAwakeFromNib, std::function<void(QVObject&)>([](QVObject&) {}));
  pane.addInstanceMethod(
      mail::kWillBeDisplayed, std::function<void(QVObject&)>([](QVObject& self) {
        send(self, kSetIsPluginEnabled, read(keys::kEnabled));
        send(self, kSetIsDisableInlineAttachments, read(keys::kDisableInlineAttachments));
        send(self, kSetIsDisableInlineAttachmentsAll, read(keys::kDisableInlineAttachmentsAll));
      }));
  pane.addInstanceMethod(mail::kImageForPreferenceNamed,
                         std::function<std::optional<std::string>(QVObject&, std::string)>(
                             [](QVObject&, std::string) -> std::optional<std::string> {
                               QVHost* host = QVHost::current();
                               return host != nullptr ? host->imageNamed("QVStowletIcon.png")
                                                      : std::nullopt;
                             }));
  return pane;
}

bool addPreferencesTraits(QVRuntime& runtime) {
  QVClass* preferences = runtime.classNamed(mail::kPreferencesClass);
  if (preferences == nullptr) return false;
  preferences->addClassMethod(kQVSharedPreferences,
                              std::function<QVObjectRef(QVClass&)>(&sharedPreferences));
  preferences->noteCategory("QVTraits");
  return true;
}

}  // namespace qv
