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
  void setSuperclass(std::string_view className, std::string_view superclassName) override {
    QVClass* cls = runtime_.classNamed(className);
    QVClass* super = runtime_.classNamed(superclassName);
    if (cls == nullptr || super == nullptr) {
      throw QVPortRefusal("no class " + std::string(className));
    }
    cls->setSuperclass(super);
  }
  void sendToClass(std::string_view className, std::string_view selector) override {
    QVClass* cls = runtime_.classNamed(className);
    if (cls == nullptr) throw QVPortRefusal("no class " + std::string(className));
    try {
      send(*cls, QVSelector<void()>{selector});
    } catch (const QVRuntimeError& error) {
      throw QVPortRefusal(error.what());
    }
  }
  void exchange(std::string_view hostClass, std::string_view hostSelector,
                std::string_view replacementClass, std::string_view replacementSelector,
                bool instanceMethod) override {
    if (!fun(runtime_, hostClass, hostSelector, replacementClass, replacementSelector,
             instanceMethod)) {
      throw QVPortRefusal("no method " + std::string(hostSelector) + " or " +
                          std::string(replacementSelector));
    }
  }

 private:
  QVRuntime& runtime_;
};

class StandInApplication final : public QVApplicationPort {
 public:
  explicit StandInApplication(QVHost& host) : host_(host) {}
  std::optional<std::string> imageResourcePath(std::string_view name) override {
    if (qvBundle == nullptr) return std::nullopt;
    return qvBundle->pathForImageResource(name);
  }
  void nameImage(std::string_view path, std::string_view name) override {
    host_.nameImage(std::string(path), std::string(name));
  }
  QVMenuItemPort* insertMenuItem(std::string_view title, std::string_view toolTip,
                                 std::size_t index, bool on) override {
    qvMenuItem = std::make_shared<QVMenuItem>(std::string(title), &QVMailPlugin::toggle, "");
    qvMenuItem->setOn(on);
    qvMenuItem->setEnabled(true);
    qvMenuItem->setTarget(std::string(kPluginClass));
    qvMenuItem->setToolTip(std::string(toolTip));
    if (std::shared_ptr<QVMenu> menu = applicationMenu()) menu->insertItem(qvMenuItem, index);
    return qvMenuItem.get();
  }
  void insertSeparator(std::size_t index) override {
    if (std::shared_ptr<QVMenu> menu = applicationMenu()) {
      menu->insertItem(QVMenuItem::separatorItem(), index);
    }
  }
  void runAlert(std::string_view message) override { host_.runAlert(std::string(message), {"OK"}); }
  void openURL(std::string_view address) override { host_.openURL(std::string(address)); }
  std::optional<std::string> infoDictionaryValue(std::string_view key) override {
    if (qvBundle == nullptr) return std::nullopt;
    return qvBundle->objectForInfoDictionaryKey(std::string(key));
  }

 private:
  // The submenu of the main menu's item 0, or null.
  std::shared_ptr<QVMenu> applicationMenu() {
    std::shared_ptr<QVMenu> main = host_.mainMenu();
    std::shared_ptr<QVMenuItem> first = main ? main->itemAtIndex(0) : nullptr;
    return first ? first->submenu() : nullptr;
  }

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
