#include "QVMailPlugin.h"

#import <AppKit/AppKit.h>
#include <objc/runtime.h>

#include "QVObjCBridge.h"
#include "QVSuperclass.h"
#include "shell/QVPluginRules.h"

namespace qv::objc {

namespace {

// The system log: each line as it stands (it never serves as a format).
class NSLogSink final : public QVLogSink {
 public:
  void writeLine(std::string_view line) override { NSLog(@"%@", string(line)); }
};

class Runtime final : public QVRuntimePort {
 public:
  bool hasClass(std::string_view name) override { return NSClassFromString(string(name)) != Nil; }

  void setSuperclass(std::string_view className, std::string_view superclassName) override {
    Class superclass = NSClassFromString(string(superclassName));
    [superclass class];  // its own class initialisation first, as for any subclass
    if (!qv::objc::setSuperclass(NSClassFromString(string(className)), superclass)) {
      throw QVPortRefusal("no class " + std::string(className) + " or " +
                          std::string(superclassName));
    }
  }

  void sendToClass(std::string_view className, std::string_view selector) override {
    Class cls = NSClassFromString(string(className));
    SEL sel = NSSelectorFromString(string(selector));
    if (cls == Nil || ![cls respondsToSelector:sel]) {
      throw QVPortRefusal("no " + std::string(selector));
    }
    bool raised = false;
    try {
      [cls performSelector:sel];
    } catch (...) {
      raised = true;
    }
    if (raised) throw QVPortRefusal(std::string(selector) + " raised");
  }

  void exchange(std::string_view hostClass, std::string_view hostSelector,
                std::string_view replacementClass, std::string_view replacementSelector,
                bool instanceMethod) override {
    const auto lookUp = [&](std::string_view className, std::string_view selector) -> Method {
      Class cls = NSClassFromString(string(className));
      if (cls == Nil) return nullptr;
      SEL sel = NSSelectorFromString(string(selector));
      return instanceMethod ? class_getInstanceMethod(cls, sel) : class_getClassMethod(cls, sel);
    };
    Method host = lookUp(hostClass, hostSelector);
    Method replacement = lookUp(replacementClass, replacementSelector);
    if (host == nullptr) throw QVPortRefusal("no method " + std::string(hostSelector));
    if (replacement == nullptr)
      throw QVPortRefusal("no method " + std::string(replacementSelector));
    method_exchangeImplementations(host, replacement);
  }
};

class Application final : public QVApplicationPort {
  // The submenu of the main menu's item 0; nil without an application (no display): the
  // item then stands alone.
  static NSMenu* applicationMenu() {
    try {
      return [[[[NSApplication sharedApplication] mainMenu] itemAtIndex:0] submenu];
    } catch (...) {
      return nil;
    }
  }

 public:
  std::optional<std::string> imageResourcePath(std::string_view name) override {
    NSString* path = [plugin().qvBundle pathForImageResource:string(name)];
    if (path == nil) return std::nullopt;
    return std::string([path UTF8String]);
  }

  void nameImage(std::string_view path, std::string_view name) override {
    // Kept for the life of the process: the named-image store finds it by its name.
    NSImage* icon = [[NSImage alloc] initByReferencingFile:string(path)];
    [icon setName:string(name)];
  }

  QVMenuItemPort* insertMenuItem(std::string_view title, std::string_view toolTip,
                                 std::size_t index, bool on) override {
    NSMenuItem* item =
        [[NSMenuItem alloc] initWithTitle:[NSString stringWithFormat:@"%@", string(title)]
                                   action:@selector(toggle:)
                            keyEquivalent:@""];
    [item setState:on ? NSControlStateValueOn : NSControlStateValueOff];
    [item setEnabled:YES];
    [item setTarget:[QVMailPlugin class]];
    [item setToolTip:string(toolTip)];
    plugin().qvMenuItem = item;  // kept for the life of the process
    if (NSMenu* menu = applicationMenu())
      [menu insertItem:item atIndex:static_cast<NSInteger>(index)];
    return menuItemPort();
  }

  void insertSeparator(std::size_t index) override {
    if (NSMenu* menu = applicationMenu())
      [menu insertItem:[NSMenuItem separatorItem] atIndex:static_cast<NSInteger>(index)];
  }

  void runAlert(std::string_view message) override {
    NSAlert* alert = [[NSAlert alloc] init];
    [alert setMessageText:string(message)];
    [alert addButtonWithTitle:@"OK"];
    [alert runModal];
    [alert release];
  }

  void openURL(std::string_view address) override {
    [[NSWorkspace sharedWorkspace] openURL:[NSURL URLWithString:string(address)]];
  }

  std::optional<std::string> infoDictionaryValue(std::string_view key) override {
    return text([plugin().qvBundle objectForInfoDictionaryKey:string(key)]);
  }
};

}  // namespace

QVApplicationPort& application() {
  static Application app;
  return app;
}

}  // namespace qv::objc

@implementation QVMailPlugin

+ (void)initialize {
  if (self != [QVMailPlugin class]) return;
  NSAutoreleasePool* pool = [[NSAutoreleasePool alloc] init];
  // The plug-in's state: its bundle, Mail's store and the system log, and the ports.
  static qv::objc::NSLogSink sink;
  static qv::objc::QVNSUserDefaults store([NSUserDefaults standardUserDefaults]);
  static qv::objc::Runtime runtime;
  qv::objc::QVPluginState& plugin = qv::objc::plugin();
  plugin.qvBundle = [[NSBundle bundleForClass:self] retain];
  plugin.context.userDefaults = &store;
  plugin.context.logSink = &sink;
  plugin.context.runtime = &runtime;
  plugin.context.application = &qv::objc::application();
  // Nothing raises into Mail: a step that raises ends the start-up there.
  try {
    // What a bundle's categories would bring: the plug-in's methods on Mail's classes.
    (void)qv::objc::addGeneratorTraits();
    (void)qv::objc::addPreferencesTraits();
    (void)qv::objc::makePreferencesModule();
    qv::runStartup(plugin.context);
  } catch (...) {
  }
  [pool release];
}

+ (void)toggle:(id)sender {
  try {
    (void)sender;
    qv::toggleMenuItem(qv::objc::plugin().context);
  } catch (...) {
  }
}

+ (void)toggleTo:(BOOL)state {
  try {
    qv::toggleMenuItemTo(qv::objc::plugin().context, state != NO);
  } catch (...) {
  }
}

+ (void)toggleOn {
  try {
    qv::switchMenuItem(qv::objc::plugin().context, true);
  } catch (...) {
  }
}

+ (void)toggleOff {
  try {
    qv::switchMenuItem(qv::objc::plugin().context, false);
  } catch (...) {
  }
}

@end
