#pragma once
// The stand-in Mail's application, as the plug-in takes its services: the application menu
// and its items, the plug-in's bundle, named images, alerts, the web browser, the system
// log. The plug-in's class initialisation is handed the host; the stand-in Mail provides it.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/QVLog.h"
#include "host/QVPluginPort.h"
#include "host/QVUserDefaults.h"
#include "standin/QVRuntime.h"

namespace qv {

// A menu item (or a separator). The action runs when the user picks the item.
class QVMenuItem : public QVMenuItemPort {
 public:
  static constexpr int kOff = 0;
  static constexpr int kOn = 1;

  QVMenuItem(std::string title, std::function<void(QVMenuItem*)> action, std::string keyEquivalent)
      : title_(std::move(title)), action_(std::move(action)), key_(std::move(keyEquivalent)) {}
  [[nodiscard]] static std::shared_ptr<QVMenuItem> separatorItem() {
    auto item = std::make_shared<QVMenuItem>("", nullptr, "");
    item->separator_ = true;
    return item;
  }

  [[nodiscard]] const std::string& title() const { return title_; }
  [[nodiscard]] bool isSeparator() const { return separator_; }
  [[nodiscard]] int state() const { return state_; }
  void setState(int state) { state_ = state; }
  [[nodiscard]] bool isOn() const override { return state_ == kOn; }
  void setOn(bool on) override { state_ = on ? kOn : kOff; }
  [[nodiscard]] bool isEnabled() const { return enabled_; }
  void setEnabled(bool enabled) { enabled_ = enabled; }
  [[nodiscard]] const std::string& toolTip() const { return toolTip_; }
  void setToolTip(std::string tip) { toolTip_ = std::move(tip); }
  [[nodiscard]] const std::string& keyEquivalent() const { return key_; }
  // What the item's target is, for a reader of the menu ("QVMailPlugin").
  [[nodiscard]] const std::string& target() const { return target_; }
  void setTarget(std::string target) { target_ = std::move(target); }
  // Sends the action, as picking the item does; false for an item without one.
  bool pick() {
    if (!action_ || !enabled_) return false;
    action_(this);
    return true;
  }
  // The submenu under this item, or null.
  [[nodiscard]] std::shared_ptr<class QVMenu> submenu() const { return submenu_; }
  void setSubmenu(std::shared_ptr<class QVMenu> menu) { submenu_ = std::move(menu); }

 private:
  std::string title_;
  std::function<void(QVMenuItem*)> action_;
  std::string key_;
  bool separator_ = false;
  int state_ = kOff;
  bool enabled_ = true;
  std::string toolTip_;
  std::string target_;
  std::shared_ptr<QVMenu> submenu_;
};

class QVMenu {
 public:
  explicit QVMenu(std::string title) : title_(std::move(title)) {}
  [[nodiscard]] const std::string& title() const { return title_; }
  [[nodiscard]] std::size_t numberOfItems() const { return items_.size(); }
  [[nodiscard]] std::shared_ptr<QVMenuItem> itemAtIndex(std::size_t i) const {
    return i < items_.size() ? items_[i] : nullptr;
  }
  // Inserts at the index (clamped to the end); the items from there on move down.
  void insertItem(std::shared_ptr<QVMenuItem> item, std::size_t index) {
    items_.insert(items_.begin() + static_cast<std::ptrdiff_t>(std::min(index, items_.size())),
                  std::move(item));
  }
  void addItem(std::shared_ptr<QVMenuItem> item) { items_.push_back(std::move(item)); }

 private:
  std::string title_;
  std::vector<std::shared_ptr<QVMenuItem>> items_;
};

// A bundle: its info dictionary and its resources.
class QVBundle {
 public:
  virtual ~QVBundle() = default;
  // A text value of the info dictionary ("CFBundleShortVersionString"), or nothing.
  [[nodiscard]] virtual std::optional<std::string> objectForInfoDictionaryKey(
      std::string_view key) = 0;
  // The path of the image resource of that name (any image extension), or nothing.
  [[nodiscard]] virtual std::optional<std::string> pathForImageResource(std::string_view name) = 0;
};

// The services of the running host.
class QVHost {
 public:
  virtual ~QVHost() = default;

  [[nodiscard]] virtual QVRuntime& runtime() = 0;
  // NSUserDefaults standardUserDefaults.
  [[nodiscard]] virtual QVUserDefaults& standardUserDefaults() = 0;
  // NSApplication sharedApplication mainMenu; null when the host has none.
  [[nodiscard]] virtual std::shared_ptr<QVMenu> mainMenu() = 0;

  // NSBundle bundleForClass: the bundle the class was loaded from, or null.
  [[nodiscard]] virtual QVBundle* bundleForClass(std::string_view className) = 0;

  // Named images: the image that refers to a file gets a name; imageNamed finds it (with or
  // without its file extension). Nothing when no image has the name.
  virtual void nameImage(const std::string& path, const std::string& name) = 0;
  [[nodiscard]] virtual std::optional<std::string> imageNamed(std::string_view name) = 0;

  // A modal alert with a message and buttons; returns the index of the button pressed.
  virtual int runAlert(const std::string& message, const std::vector<std::string>& buttons) = 0;
  // Opens a web address in the user's browser.
  virtual void openURL(const std::string& url) = 0;
  // The system log (NSLog's); null when the process logs nothing.
  [[nodiscard]] virtual QVLogSink* systemLog() = 0;
};

}  // namespace qv
