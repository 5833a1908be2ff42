#include "shell/QVPluginRules.h"

#include <cstdlib>
#include <ctime>

#include "core/QVSignaturePicture.h"
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

void runStartup(QVPluginContext& context) {
  context.menuItem = nullptr;
  if (context.userDefaults != nullptr) writeDefaults(*context.userDefaults);
  QVRuntimePort& runtime = *context.runtime;
  if (!runtime.hasClass(kMailBundleClass)) {
    context.log("Bundle support not available.");
    return;
  }
  try {
    runtime.setSuperclass(kPluginClass, kMailBundleClass);
  } catch (const QVPortRefusal&) {
    // Mail's plug-in base class cannot be the plug-in's (its instances would not fit): Mail
    // has no bundle support the plug-in can use, and the line says why.
    context.log("Bundle support not available (MVMailBundle's instances do not fit QVMailPlugin).");
    return;
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
      context.log(row.failure);
      return;
    }
  }
  nameIcon(*context.application);
  context.menuItem = installMenuItem(*context.application, stored(context.userDefaults));
  std::srand(static_cast<unsigned>(std::time(nullptr)));
  context.log("Ready.");
}

void toggleMenuItem(const QVPluginContext& context) {
  QVMenuItemPort* item = context.menuItem;
  QVUserDefaults* defaults = context.userDefaults;
  if (item == nullptr) {
    store(defaults, !stored(defaults));
    return;
  }
  item->setOn(!stored(defaults));
  store(defaults, item->isOn());
}

void toggleMenuItemTo(const QVPluginContext& context, bool state) {
  if (context.menuItem == nullptr) {
    store(context.userDefaults, state);
    return;
  }
  if (context.menuItem->isOn() == state) return;
  toggleMenuItem(context);
}

void switchMenuItem(const QVPluginContext& context, bool on) {
  if (context.menuItem != nullptr) context.menuItem->setOn(on);
  store(context.userDefaults, on);
}

bool shouldBeDisplayedInlineByDefault(const QVPluginContext& context,
                                      const std::function<std::optional<std::string>()>& name) {
  const QVUserDefaults* store = context.userDefaults;
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

bool paneBoolean(const QVPluginContext& context, const QVPaneBoolean& property) {
  return context.userDefaults != nullptr && context.userDefaults->boolForKey(property.key);
}

void setPaneBoolean(const QVPluginContext& context, const QVPaneBoolean& property, bool value) {
  if (property.key == keys::kEnabled) {
    toggleMenuItemTo(context, value);
  } else if (context.userDefaults != nullptr) {
    context.userDefaults->setBool(value, property.key);
  }
}

std::optional<std::string> paneFilename(const QVPluginContext& context) {
  const QVUserDefaults* store = context.userDefaults;
  if (store == nullptr) return std::nullopt;
  std::optional<QVDefaultsValue> value = store->objectForKey(keys::kSignatureFilename);
  const auto* text = value ? std::get_if<std::string>(&*value) : nullptr;
  if (text == nullptr) return std::nullopt;
  return *text;
}

void setPaneFilename(const QVPluginContext& context, const std::optional<std::string>& name) {
  if (context.userDefaults == nullptr) return;
  context.userDefaults->setValue(name.value_or(std::string(keys::kDefaultSignatureFilename)),
                                 keys::kSignatureFilename);
}

void setPaneLegacy(const QVPluginContext& context, bool on) {
  if (context.userDefaults != nullptr) context.userDefaults->setBool(on, keys::kLegacy);
  if (context.application != nullptr) context.application->runAlert(kRestartAlert);
}

std::string paneVersion(const QVPluginContext& context) {
  std::optional<std::string> version;
  if (context.application != nullptr) {
    version = context.application->infoDictionaryValue("CFBundleShortVersionString");
  }
  return "Version: " + version.value_or("(null)");
}

void openPaneSupport(const QVPluginContext& context) {
  if (context.application != nullptr) context.application->openURL(kSupportAddress);
}

std::array<QVRepublished, 3> paneWillBeDisplayed(const QVPluginContext& context) {
  const QVUserDefaults* store = context.userDefaults;
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

void addPaneOnce(QVPreferencesPort& preferences, QVPluginContext& context) {
  // Without Mail's module class the pane has no shared instance to add.
  if (!preferences.hasPaneClass()) return;
  if (!preferences.hasController() || context.preferencesAdded) return;
  context.preferencesAdded = true;
  preferences.addPane(kPaneName);
  if (preferences.windowHasToolbar()) context.log(kToolbarNotice);
}

}  // namespace qv
