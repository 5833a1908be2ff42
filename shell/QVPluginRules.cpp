#include "shell/QVPluginRules.h"

#include <cstdlib>
#include <ctime>

#include "core/QVSignaturePicture.h"
#include "host/QVLog.h"
#include "host/QVSettingKeys.h"
#include "host/QVSignatureName.h"
#include "shell/QVSettings.h"

namespace qv {

namespace {

bool stored(const QVUserDefaults* store) {
  return store != nullptr && store->boolForKey(keys::kEnabled);
}
void store(QVUserDefaults* store, bool on) {
  if (store != nullptr) store->setBool(on, keys::kEnabled);
}

}  // namespace

QVMenuItemPort* runStartup(QVRuntimePort& runtime, QVApplicationPort& application,
                           QVUserDefaults& store) {
  writeDefaults(store);
  if (!runtime.hasClass(kMailBundleClass)) {
    qvLog("Bundle support not available.");
    return nullptr;
  }
  try {
    runtime.setSuperclass(kPluginClass, kMailBundleClass);
  } catch (const QVPortRefusal&) {
    // Mail's plug-in base class cannot be the plug-in's (its instances would not fit): Mail
    // has no bundle support the plug-in can use, and the line says why.
    qvLog("Bundle support not available (MVMailBundle's instances do not fit QVMailPlugin).");
    return nullptr;
  }
  try {
    runtime.sendToClass(kPluginClass, "registerBundle");
  } catch (const QVPortRefusal&) {
    // Mail's registration failed: the exchanges stand alone.
  }
  for (const QVExchangeRow& row : kExchangeRows) {
    try {
      runtime.exchange(row.hostClass, row.hostSelector, row.replacementClass,
                       row.replacementSelector, row.instanceMethod);
    } catch (const QVPortRefusal&) {
      qvLog(row.failure);
      return nullptr;
    }
  }
  nameIcon(application);
  QVMenuItemPort* item = installMenuItem(application, stored(&store));
  std::srand(static_cast<unsigned>(std::time(nullptr)));
  qvLog("Ready.");
  return item;
}

void toggleMenuItem(QVMenuItemPort* item, QVUserDefaults* defaults) {
  if (item == nullptr) {
    store(defaults, !stored(defaults));
    return;
  }
  item->setOn(!stored(defaults));
  store(defaults, item->isOn());
}

void toggleMenuItemTo(QVMenuItemPort* item, QVUserDefaults* defaults, bool state) {
  if (item == nullptr) {
    store(defaults, state);
    return;
  }
  if (item->isOn() == state) return;
  toggleMenuItem(item, defaults);
}

void switchMenuItem(QVMenuItemPort* item, QVUserDefaults* defaults, bool on) {
  if (item != nullptr) item->setOn(on);
  store(defaults, on);
}

bool shouldBeDisplayedInlineByDefault(const QVUserDefaults* store,
                                      const std::function<std::optional<std::string>()>& name) {
  if (store == nullptr || !store->boolForKey(keys::kEnabled)) return true;
  if (!store->boolForKey(keys::kAttachmentsAsIcons)) return true;
  if (!store->boolForKey(keys::kSignatureImagesInline)) return false;
  const std::optional<std::string> filename = name();
  return isSignaturePicture(filename, signatureName(store), true);
}

const std::array<QVPaneBoolean, 5> kPaneBooleans{{
    {"isPluginEnabled", keys::kEnabled},
    {"isDisplayAttachmentsAsIcons", keys::kAttachmentsAsIcons},
    {"isDisplaySignaturesInline", keys::kSignatureImagesInline},
    {"isDisableInlineAttachments", keys::kDisableInlineAttachments},
    {"isDisableInlineAttachmentsAll", keys::kDisableInlineAttachmentsAll},
}};

const QVPaneBoolean* paneBooleanNamed(std::string_view selector) {
  for (const QVPaneBoolean& property : kPaneBooleans) {
    if (property.property == selector || setterSelector(property.property) == selector) {
      return &property;
    }
  }
  return nullptr;
}

bool paneBoolean(const QVUserDefaults* store, const QVPaneBoolean& property) {
  return store != nullptr && store->boolForKey(property.key);
}

void setPaneBoolean(QVUserDefaults* store, const QVPaneBoolean& property, bool value,
                    QVMenuItemPort* item) {
  if (property.key == keys::kEnabled) {
    toggleMenuItemTo(item, store, value);
  } else if (store != nullptr) {
    store->setBool(value, property.key);
  }
}

std::optional<std::string> paneFilename(const QVUserDefaults* store) {
  if (store == nullptr) return std::nullopt;
  std::optional<QVDefaultsValue> value = store->objectForKey(keys::kSignatureFilename);
  const auto* text = value ? std::get_if<std::string>(&*value) : nullptr;
  if (text == nullptr) return std::nullopt;
  return *text;
}

void setPaneFilename(QVUserDefaults* store, const std::optional<std::string>& name) {
  if (store == nullptr) return;
  store->setValue(name.value_or(std::string(keys::kDefaultSignatureFilename)),
                  keys::kSignatureFilename);
}

void setPaneLegacy(QVUserDefaults* store, QVApplicationPort& application, bool on) {
  if (store != nullptr) store->setBool(on, keys::kLegacy);
  application.runAlert(kRestartAlert);
}

std::string paneVersion(QVApplicationPort& application) {
  return "Version: " +
         application.infoDictionaryValue("CFBundleShortVersionString").value_or("(null)");
}

std::array<QVRepublished, 3> paneWillBeDisplayed(const QVUserDefaults* store) {
  const auto read = [&](std::string_view key) {
    return store != nullptr && store->boolForKey(key);
  };
  return {{{"isPluginEnabled", read(keys::kEnabled)},
           {"isDisableInlineAttachments", read(keys::kDisableInlineAttachments)},
           {"isDisableInlineAttachmentsAll", read(keys::kDisableInlineAttachmentsAll)}}};
}

void nameIcon(QVApplicationPort& application) {
  if (auto path = application.imageResourcePath(kIconName)) {
    application.nameImage(*path, kIconName);
  }
}

QVMenuItemPort* installMenuItem(QVApplicationPort& application, bool on) {
  QVMenuItemPort* item = application.insertMenuItem(kMenuTitle, kMenuToolTip, 1, on);
  application.insertSeparator(1);
  return item;
}

void addPaneOnce(QVPreferencesPort& preferences, bool& added) {
  // Without Mail's module class the pane has no shared instance to add.
  if (!preferences.hasPaneClass()) return;
  if (!preferences.hasController() || added) return;
  added = true;
  preferences.addPane(kPaneName);
  if (preferences.windowHasToolbar()) qvLog(kToolbarNotice);
}

}  // namespace qv
