#include "adapters/standin/QVMailPlugin.h"

#include <memory>
#include <optional>
#include <string>

#include "adapters/standin/QVDisplayPolicy.h"
#include "adapters/standin/QVExchange.h"
#include "adapters/standin/QVGeneratorHook.h"
#include "adapters/standin/QVGlobals.h"
#include "adapters/standin/QVPreferences.h"
#include "host/QVLog.h"
#include "host/QVSettingKeys.h"
#include "shell/QVPluginRules.h"
#include "shell/QVSettings.h"
#include "standin/QVMailInterface.h"

namespace qv {

QVBundle* qvBundle = nullptr;
std::shared_ptr<QVMenuItem> qvMenuItem;
bool qvPreferencesAdded = false;

namespace {

// The stand-in's runtime and application behind the ports the shared start-up uses.
class StandInRuntime final : public QVRuntimePort {
 public:
  explicit StandInRuntime(QVRuntime& runtime) : runtime_(runtime) {}
  bool hasClass(std::string_view name) override { return runtime_.classNamed(name) != nullptr; }
  std::optional<std::string> setSuperclass(std::string_view className,
                                           std::string_view superclassName) override {
    QVClass* cls = runtime_.classNamed(className);
    QVClass* super = runtime_.classNamed(superclassName);
    if (cls == nullptr || super == nullptr) return "no class " + std::string(className);
    cls->setSuperclass(super);
    return std::nullopt;
  }
  std::optional<std::string> sendToClass(std::string_view className,
                                         std::string_view selector) override {
    QVClass* cls = runtime_.classNamed(className);
    if (cls == nullptr) return "no class " + std::string(className);
    try {
      send(*cls, QVSelector<void()>{selector});
    } catch (const QVRuntimeError& error) {
      return std::string(error.what());
    }
    return std::nullopt;
  }
  std::optional<std::string> exchange(std::string_view hostClass, std::string_view hostSelector,
                                      std::string_view replacementClass,
                                      std::string_view replacementSelector,
                                      bool instanceMethod) override {
    if (fun(runtime_, hostClass, hostSelector, replacementClass, replacementSelector,
            instanceMethod)) {
      return std::nullopt;
    }
    return "no method " + std::string(hostSelector) + " or " + std::string(replacementSelector);
  }

 private:
  QVRuntime& runtime_;
};

class StandInApplication final : public QVApplicationPort {
 public:
  explicit StandInApplication(QVHost& host) : host_(host) {}
  void nameIcon() override {
    if (qvBundle == nullptr) return;
    if (auto path = qvBundle->pathForImageResource(std::string(kIconName))) {
      host_.nameImage(*path, std::string(kIconName));
    }
  }
  QVMenuItemPort* installMenuItem(bool on) override {
    QVMailPlugin::installMenuItem(host_);
    qvMenuItem->setOn(on);
    return qvMenuItem.get();
  }
  void runAlert(std::string_view message) override { host_.runAlert(std::string(message), {"OK"}); }
  void openURL(std::string_view address) override { host_.openURL(std::string(address)); }
  std::optional<std::string> infoDictionaryValue(std::string_view key) override {
    if (qvBundle == nullptr) return std::nullopt;
    return qvBundle->objectForInfoDictionaryKey(std::string(key));
  }

 private:
  QVHost& host_;
};

}  // namespace

QVApplicationPort* standInApplication() {
  static std::unique_ptr<StandInApplication> application;
  QVHost* host = QVHost::current();
  if (host == nullptr) return nullptr;
  application = std::make_unique<StandInApplication>(*host);
  return application.get();
}

void QVMailPlugin::toggle(QVMenuItem*) {
  toggleMenuItem(qvMenuItem.get(), userDefaults);
}

void QVMailPlugin::toggleTo(bool state) {
  toggleMenuItemTo(qvMenuItem.get(), userDefaults, state);
}

void QVMailPlugin::toggleOn() {
  switchMenuItem(qvMenuItem.get(), userDefaults, true);
}

void QVMailPlugin::toggleOff() {
  switchMenuItem(qvMenuItem.get(), userDefaults, false);
}

void QVMailPlugin::installMenuItem(QVHost& host) {
  std::shared_ptr<QVMenu> main = host.mainMenu();
  std::shared_ptr<QVMenuItem> first = main ? main->itemAtIndex(0) : nullptr;
  std::shared_ptr<QVMenu> appMenu = first ? first->submenu() : nullptr;
  qvMenuItem = std::make_shared<QVMenuItem>(std::string(kMenuTitle), &QVMailPlugin::toggle, "");
  qvMenuItem->setOn(userDefaults != nullptr && userDefaults->boolForKey(keys::kEnabled));
  qvMenuItem->setEnabled(true);
  qvMenuItem->setTarget(std::string(kPluginClass));
  qvMenuItem->setToolTip(std::string(kMenuToolTip));
  if (!appMenu) return;
  appMenu->insertItem(qvMenuItem, 1);
  appMenu->insertItem(QVMenuItem::separatorItem(), 1);
}

void QVMailPlugin::initialize(QVHost& host) {
  QVRuntime& runtime = host.runtime();
  // What loading the bundle brings: the plug-in's classes and its categories on Mail's.
  runtime.registerClass(std::string(kPluginClass), runtime.classNamed("NSObject"));
  (void)addGeneratorTraits(runtime);
  registerAVC(runtime);
  registerPreferencesPane(runtime);
  (void)addPreferencesTraits(runtime);

  qvBundle = host.bundleForClass(kPluginClass);
  userDefaults = &host.standardUserDefaults();
  StandInRuntime runtimePort(runtime);
  StandInApplication application(host);
  (void)runStartup(runtimePort, application, *userDefaults);
}

}  // namespace qv
