#include "adapters/standin/QVMailPlugin.h"

#include <memory>
#include <optional>
#include <string>

#include "adapters/standin/QVDisplayPolicy.h"
#include "adapters/standin/QVExchange.h"
#include "adapters/standin/QVGeneratorHook.h"
#include "adapters/standin/QVPluginState.h"
#include "adapters/standin/QVPreferences.h"
#include "host/QVSettingKeys.h"
#include "shell/QVPluginRules.h"
#include "shell/QVSettings.h"
#include "standin/QVMailInterface.h"

namespace qv {

QVStandInPlugin& standInPlugin() {
  static QVStandInPlugin plugin;
  return plugin;
}

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
  StandInApplication(QVHost& host, QVStandInPlugin& plugin) : host_(host), plugin_(plugin) {}
  std::optional<std::string> imageResourcePath(std::string_view name) override {
    if (plugin_.qvBundle == nullptr) return std::nullopt;
    return plugin_.qvBundle->pathForImageResource(name);
  }
  void nameImage(std::string_view path, std::string_view name) override {
    host_.nameImage(std::string(path), std::string(name));
  }
  QVMenuItemPort* insertMenuItem(std::string_view title, std::string_view toolTip,
                                 std::size_t index, bool on) override {
    auto item = std::make_shared<QVMenuItem>(std::string(title), &QVMailPlugin::toggle, "");
    item->setOn(on);
    item->setEnabled(true);
    item->setTarget(std::string(kPluginClass));
    item->setToolTip(std::string(toolTip));
    if (std::shared_ptr<QVMenu> menu = applicationMenu()) menu->insertItem(item, index);
    plugin_.qvMenuItem = item;
    return item.get();
  }
  void insertSeparator(std::size_t index) override {
    if (std::shared_ptr<QVMenu> menu = applicationMenu()) {
      menu->insertItem(QVMenuItem::separatorItem(), index);
    }
  }
  void runAlert(std::string_view message) override { host_.runAlert(std::string(message), {"OK"}); }
  void openURL(std::string_view address) override { host_.openURL(std::string(address)); }
  std::optional<std::string> infoDictionaryValue(std::string_view key) override {
    if (plugin_.qvBundle == nullptr) return std::nullopt;
    return plugin_.qvBundle->objectForInfoDictionaryKey(std::string(key));
  }

 private:
  // The submenu of the main menu's item 0, or null.
  std::shared_ptr<QVMenu> applicationMenu() {
    std::shared_ptr<QVMenu> main = host_.mainMenu();
    std::shared_ptr<QVMenuItem> first = main ? main->itemAtIndex(0) : nullptr;
    return first ? first->submenu() : nullptr;
  }

  QVHost& host_;
  QVStandInPlugin& plugin_;
};

}  // namespace

void QVMailPlugin::toggle(QVMenuItem*) {
  toggleMenuItem(standInPlugin().context);
}

void QVMailPlugin::toggleTo(bool state) {
  toggleMenuItemTo(standInPlugin().context, state);
}

void QVMailPlugin::toggleOn() {
  switchMenuItem(standInPlugin().context, true);
}

void QVMailPlugin::toggleOff() {
  switchMenuItem(standInPlugin().context, false);
}

void QVMailPlugin::initialize(QVHost& host) {
  QVRuntime& runtime = host.runtime();
  // What loading the bundle brings: the plug-in's classes and its categories on Mail's.
  runtime.registerClass(std::string(kPluginClass), runtime.classNamed("NSObject"));
  (void)addGeneratorTraits(runtime);
  registerAVC(runtime);
  registerPreferencesPane(runtime);
  (void)addPreferencesTraits(runtime);

  // The plug-in's state, made anew: the host's bundle, store and log, and its ports.
  QVStandInPlugin& plugin = standInPlugin();
  plugin = QVStandInPlugin{};
  plugin.host = &host;
  plugin.qvBundle = host.bundleForClass(kPluginClass);
  plugin.runtime = std::make_unique<StandInRuntime>(runtime);
  plugin.application = std::make_unique<StandInApplication>(host, plugin);
  plugin.context.userDefaults = &host.standardUserDefaults();
  plugin.context.logSink = host.systemLog();
  plugin.context.runtime = plugin.runtime.get();
  plugin.context.application = plugin.application.get();
  runStartup(plugin.context);
}

void QVMailPlugin::unload() {
  standInPlugin() = QVStandInPlugin{};
}

}  // namespace qv
