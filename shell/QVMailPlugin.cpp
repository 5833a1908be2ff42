#include "shell/QVMailPlugin.h"

#include <cstdlib>
#include <ctime>

#include "hooks/QVGeneratorHook.h"
#include "host/QVLog.h"
#include "host/QVMailInterface.h"
#include "host/QVSettingKeys.h"
#include "shell/QVDisplayPolicy.h"
#include "shell/QVExchange.h"
#include "shell/QVGlobals.h"
#include "shell/QVPreferences.h"
#include "shell/QVSettings.h"

namespace qv {

QVBundle* qvBundle = nullptr;
std::shared_ptr<QVMenuItem> qvMenuItem;
bool qvPreferencesAdded = false;

namespace {

constexpr std::string_view kTitle = "QV's Stowlet";
constexpr std::string_view kToolTip = "Enable/Disable QV's Stowlet Plugin";

struct ExchangeRow {
  std::string_view hostClass, hostSelector, replacementClass, replacementSelector;
  bool instanceMethod;
  std::string_view failure;
};

bool stored() {
  return userDefaults != nullptr && userDefaults->boolForKey(keys::kEnabled);
}
void store(bool on) {
  if (userDefaults != nullptr) userDefaults->setBool(on, keys::kEnabled);
}

}  // namespace

void QVMailPlugin::toggle(QVMenuItem*) {
  if (!qvMenuItem) {
    // No menu item (the start-up stopped early): the setting alone is switched.
    store(!stored());
    return;
  }
  qvMenuItem->setState(stored() ? QVMenuItem::kOff : QVMenuItem::kOn);
  store(qvMenuItem->state() == QVMenuItem::kOn);
}

void QVMailPlugin::toggleTo(bool state) {
  if (!qvMenuItem) {
    store(state);
    return;
  }
  if ((qvMenuItem->state() == QVMenuItem::kOn) == state) return;
  toggle(nullptr);
}

void QVMailPlugin::toggleOn() {
  if (qvMenuItem) qvMenuItem->setState(QVMenuItem::kOn);
  store(true);
}

void QVMailPlugin::toggleOff() {
  if (qvMenuItem) qvMenuItem->setState(QVMenuItem::kOff);
  store(false);
}

void QVMailPlugin::installMenuItem(QVHost& host) {
  std::shared_ptr<QVMenu> main = host.mainMenu();
  std::shared_ptr<QVMenuItem> first = main ? main->itemAtIndex(0) : nullptr;
  std::shared_ptr<QVMenu> appMenu = first ? first->submenu() : nullptr;
  qvMenuItem = std::make_shared<QVMenuItem>(std::string(kTitle), &QVMailPlugin::toggle, "");
  qvMenuItem->setState(stored() ? QVMenuItem::kOn : QVMenuItem::kOff);
  qvMenuItem->setEnabled(true);
  qvMenuItem->setTarget("QVMailPlugin");
  qvMenuItem->setToolTip(std::string(kToolTip));
  if (!appMenu) return;
  appMenu->insertItem(qvMenuItem, 1);
  appMenu->insertItem(QVMenuItem::separatorItem(), 1);
}

void QVMailPlugin::initialize(QVHost& host) {
  QVRuntime& runtime = host.runtime();
  // What loading the bundle brings: the plug-in's classes and its categories on Mail's.
  QVClass& plugin = runtime.registerClass("QVMailPlugin", runtime.classNamed("NSObject"));
  (void)addGeneratorTraits(runtime);
  registerAVC(runtime);
  registerPreferencesPane(runtime);
  (void)addPreferencesTraits(runtime);

  qvBundle = host.bundleForClass("QVMailPlugin");
  userDefaults = &host.standardUserDefaults();
  writeDefaults(*userDefaults);

  QVClass* mailBundle = runtime.classNamed(mail::kMailBundleClass);
  if (mailBundle == nullptr) {
    qvLog("Bundle support not available.");
    return;
  }
  plugin.setSuperclass(mailBundle);
  try {
    send(plugin, mail::kRegisterBundle);
  } catch (const QVRuntimeError&) {
    // Mail's own registration failed; the exchanges below still stand alone.
  }

  const ExchangeRow rows[] = {
      {mail::kMessageGeneratorClass, mail::kNewMessage.name, mail::kMessageGeneratorClass,
       kQVNewMessage.name, true, "Failed (0x002a)."},
      {mail::kAttachmentViewControllerClass, mail::kShouldBeDisplayedInlineByDefault.name, "AVC",
       kQVShouldBeDisplayedInlineByDefault.name, true, "Failed (0x003)."},
      {mail::kAttachmentViewControllerClass, mail::kCanBeDisplayedInline.name, "AVC",
       kQVCanBeDisplayedInline.name, true, "Failed (0x004)."},
      {mail::kPreferencesClass, mail::kSharedPreferences.name, mail::kPreferencesClass,
       kQVSharedPreferences.name, false, "Failed (0x100)."},
  };
  for (const ExchangeRow& row : rows) {
    if (!fun(runtime, row.hostClass, row.hostSelector, row.replacementClass,
             row.replacementSelector, row.instanceMethod)) {
      qvLog(row.failure);
      return;
    }
  }

  if (qvBundle != nullptr) {
    if (auto path = qvBundle->pathForImageResource("QVStowletIcon")) {
      host.nameImage(*path, "QVStowletIcon");
    }
  }
  installMenuItem(host);
  std::srand(static_cast<unsigned>(std::time(nullptr)));
  qvLog("Ready.");
}

}  // namespace qv
