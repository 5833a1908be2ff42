#include "QVObjCBridge.h"

#import <AppKit/AppKit.h>

#include <cstring>

namespace qv::objc {

QVPluginState& plugin() {
  static QVPluginState state;
  return state;
}

std::optional<std::string> text(id object) {
  if (object == nil || ![object isKindOfClass:[NSString class]]) return std::nullopt;
  NSString* string = object;
  const char* utf8 = [string UTF8String];
  if (utf8 == nullptr) return std::string();
  // The length in bytes, not up to the first NUL: a text may hold one.
  return std::string(utf8, [string lengthOfBytesUsingEncoding:NSUTF8StringEncoding]);
}

NSString* string(std::string_view text) {
  NSString* made = [[NSString alloc] initWithBytes:text.data()
                                            length:text.size()
                                          encoding:NSUTF8StringEncoding];
  if (made == nil) {
    made = [[NSString alloc] initWithBytes:text.data()
                                    length:text.size()
                                  encoding:NSISOLatin1StringEncoding];
  }
  return [made autorelease];
}

QVNSUserDefaults::QVNSUserDefaults(NSUserDefaults* defaults) : defaults_([defaults retain]) {}

QVNSUserDefaults::~QVNSUserDefaults() {
  [defaults_ release];
}

std::optional<QVDefaultsValue> QVNSUserDefaults::objectForKey(std::string_view key) const {
  id value = [defaults_ objectForKey:string(key)];
  if (value == nil) return std::nullopt;
  if ([value isKindOfClass:[NSString class]]) return *text(value);
  if ([value isKindOfClass:[NSNumber class]]) {
    const char* type = [(NSNumber*)value objCType];
    // A Boolean is a char-typed number on both platforms ("c" on Apple's, "C" on GNUstep).
    if (std::strcmp(type, "c") == 0 || std::strcmp(type, "C") == 0 || std::strcmp(type, "B") == 0) {
      return static_cast<bool>([(NSNumber*)value boolValue]);
    }
    if (std::strcmp(type, "f") == 0 || std::strcmp(type, "d") == 0) {
      return static_cast<double>([(NSNumber*)value doubleValue]);
    }
    return static_cast<std::int64_t>([(NSNumber*)value longLongValue]);
  }
  return QVOtherValue{[NSStringFromClass([value class]) UTF8String]};
}

void QVNSUserDefaults::setObject(std::string_view key, QVDefaultsValue value) {
  NSString* name = string(key);
  if (auto* b = std::get_if<bool>(&value)) {
    [defaults_ setBool:*b ? YES : NO forKey:name];
  } else if (auto* i = std::get_if<std::int64_t>(&value)) {
    [defaults_ setInteger:static_cast<NSInteger>(*i) forKey:name];
  } else if (auto* d = std::get_if<double>(&value)) {
    [defaults_ setDouble:*d forKey:name];
  } else if (auto* s = std::get_if<std::string>(&value)) {
    [defaults_ setValue:string(*s) forKey:name];
  }
}

namespace {

class MenuItemPort final : public QVMenuItemPort {
 public:
  bool isOn() const override { return [plugin().qvMenuItem state] == NSControlStateValueOn; }
  void setOn(bool on) override {
    [plugin().qvMenuItem setState:on ? NSControlStateValueOn : NSControlStateValueOff];
  }
};

}  // namespace

QVMenuItemPort* menuItemPort() {
  static MenuItemPort port;
  return plugin().qvMenuItem != nil ? &port : nullptr;
}

}  // namespace qv::objc
