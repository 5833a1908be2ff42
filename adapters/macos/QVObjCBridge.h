// Between the plug-in's C++ and the Objective-C platform: texts, the settings store over
// NSUserDefaults, the log over NSLog, and the one state the plug-in's Objective-C classes
// share.
// Manual retain and release throughout: the same source builds with GCC on GNUstep and with
// Apple's clang.
#pragma once

#import <Foundation/Foundation.h>

#include <optional>
#include <string>
#include <string_view>

#include "host/QVPluginContext.h"
#include "host/QVPluginPort.h"
#include "host/QVUserDefaults.h"

// An Objective-C exception raised in Mail's code is caught as any other by the C++ code
// around it (catch (...)), which falls back to Mail's own behaviour. The plug-in uses no
// @try: GCC's Objective-C++ mistranslates C++ statements inside one.

@class NSMenuItem;

// The switch button type by the name each platform's AppKit has for it.
#if defined(__APPLE__)
#define QV_SWITCH_BUTTON NSButtonTypeSwitch
#else
#define QV_SWITCH_BUTTON NSSwitchButton
#endif

namespace qv::objc {

// The plug-in's one state in Mail's process: what the class initialisation makes, and what
// every entry Mail calls (the hook, the display answers, the pane, the menu action) hands
// to the shared rules. Mail's calls carry no argument of the plug-in's, so it is kept for
// the life of the process.
struct QVPluginState {
  NSBundle* qvBundle = nil;      // the plug-in's own bundle (retained); nil before start-up
  NSMenuItem* qvMenuItem = nil;  // its menu item (retained); nil until the start-up makes it
  QVPluginContext context;       // the store, the log, the ports, the menu item's port
};
QVPluginState& plugin();

// An NSString's UTF-8 text; nothing for nil or for an object that is no string.
std::optional<std::string> text(id object);
// A new autoreleased NSString of UTF-8 bytes (invalid bytes replaced).
NSString* string(std::string_view text);

// The settings store over NSUserDefaults standardUserDefaults.
class QVNSUserDefaults final : public QVUserDefaults {
 public:
  explicit QVNSUserDefaults(NSUserDefaults* defaults);
  ~QVNSUserDefaults() override;
  [[nodiscard]] std::optional<QVDefaultsValue> objectForKey(std::string_view key) const override;
  void setObject(std::string_view key, QVDefaultsValue value) override;

 private:
  NSUserDefaults* defaults_;
};

// The plug-in's menu item (plugin().qvMenuItem) behind the port the toggles use; null
// without one.
QVMenuItemPort* menuItemPort();

// The application behind the port the start-up and the pane use.
QVApplicationPort& application();

// A C function as a method implementation, and back (through the generic function pointer
// type, which both compilers accept between unrelated function types).
template <typename Function>
IMP implementation(Function function) {
  return reinterpret_cast<IMP>(reinterpret_cast<void (*)()>(function));
}
template <typename Function>
Function function(IMP implementation) {
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(implementation));
}

}  // namespace qv::objc
