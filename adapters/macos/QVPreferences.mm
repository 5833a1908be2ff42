// The preferences pane "Stowlet": QVPreferences, a subclass of Mail's NSPreferencesModule
// made at the start-up (Mail's class is there only then) with the methods of
// QVPreferencesMethods, and +QVSharedPreferences, the replacement for
// NSPreferences' +sharedPreferences that adds the pane once. The pane's bindings are shared
// (shell/QVPluginRules.h); its view is built once from the pane description in the bundle's
// resources (QVPreferences.pane.plist), the same one the terminal pane draws, and its
// controls show the settings: when it is made, when the pane is displayed, after a click.

#import <AppKit/AppKit.h>
#include <objc/runtime.h>

#include <cstdlib>

#include "QVMailPlugin.h"
#include "QVObjCBridge.h"
#include "host/QVLog.h"
#include "shell/QVPluginRules.h"

// Mail's, sent by name.
@interface NSObject (QVMailPreferences)
+ (id)QVSharedPreferences;
+ (id)sharedInstance;
- (void)addPreferenceNamed:(NSString*)name owner:(id)owner;
- (id)toolbar;
@end

// The pane's methods, copied into QVPreferences when it is made. Never instantiated itself;
// no instance variables (the pane's one stored string lives outside the object).
@interface QVPreferencesMethods : NSObject
- (id)filename;
- (void)setFilename:(id)name;
- (void)setIsLegacy:(BOOL)on;
- (NSString*)version;
- (NSString*)setSignatureFilename;
- (void)setSetSignatureFilename:(NSString*)name;
- (void)openSupport:(id)sender;
- (void)awakeFromNib;
- (void)willBeDisplayed;
- (NSImage*)imageForPreferenceNamed:(NSString*)name;
// The pane's view: its controls, from the pane description, bound to the properties above.
- (NSView*)viewForPreferenceNamed:(NSString*)name;
- (NSArray*)QVControls;
- (void)QVControlChanged:(id)sender;
- (void)QVShowSettingsIn:(NSView*)view;
@end

namespace {

NSString* storedSignatureFilename = nil;
NSMutableDictionary* paneViews = nil;  // pane name -> its view, made once

// The five Boolean properties, one getter and one setter each, found by selector.
BOOL paneGetter(id, SEL cmd) {
  const qv::QVPaneBoolean* property = qv::paneBooleanNamed(sel_getName(cmd));
  return property != nullptr && qv::paneBoolean(qv::objc::plugin().context, *property) ? YES : NO;
}

void paneSetter(id, SEL cmd, BOOL value) {
  if (const qv::QVPaneBoolean* property = qv::paneBooleanNamed(sel_getName(cmd))) {
    qv::setPaneBoolean(qv::objc::plugin().context, *property, value != NO);
  }
}

void send(id target, NSString* selector, BOOL value) {
  SEL sel = NSSelectorFromString(selector);
  if (![target respondsToSelector:sel]) return;
  typedef void (*Setter)(id, SEL, BOOL);
  qv::objc::function<Setter>([target methodForSelector:sel])(target, sel, value);
}

BOOL get(id target, NSString* selector) {
  SEL sel = NSSelectorFromString(selector);
  if (![target respondsToSelector:sel]) return NO;
  typedef BOOL (*Getter)(id, SEL);
  return qv::objc::function<Getter>([target methodForSelector:sel])(target, sel);
}

// The controller one call of +sharedPreferences gave, for the shell's addition of the pane.
class Preferences final : public qv::QVPreferencesPort {
 public:
  explicit Preferences(id controller) : controller_(controller) {}
  bool hasController() override { return controller_ != nil; }
  bool hasPaneClass() override {
    Class pane = NSClassFromString(@"QVPreferences");
    return pane != Nil && [pane respondsToSelector:@selector(sharedInstance)];
  }
  void addPane(std::string_view name) override {
    id module = [NSClassFromString(@"QVPreferences") sharedInstance];
    [controller_ addPreferenceNamed:qv::objc::string(name) owner:module];
  }
  bool windowHasToolbar() override {
    id window = nil;
    try {
      window = [controller_ valueForKey:@"_preferencesPanel"];
    } catch (...) {
      window = nil;
    }
    return window != nil && [window respondsToSelector:@selector(toolbar)] &&
           [window toolbar] != nil;
  }

 private:
  id controller_;
};

void addPaneOnce(id controller) {
  Preferences preferences(controller);
  qv::addPaneOnce(preferences, qv::objc::plugin().context);
}

id sharedPreferences(id self, SEL) {
  // After the exchange this runs Mail's own +sharedPreferences.
  id controller = [self QVSharedPreferences];
  try {
    addPaneOnce(controller);
  } catch (...) {
    // Mail's controller refused the pane: Mail's preferences stand without it.
  }
  return controller;
}

}  // namespace

@implementation QVPreferencesMethods

- (id)filename {
  std::optional<std::string> name = qv::paneFilename(qv::objc::plugin().context);
  return name ? qv::objc::string(*name) : nil;
}

- (void)setFilename:(id)name {
  qv::setPaneFilename(qv::objc::plugin().context, qv::objc::text(name));
}

- (void)setIsLegacy:(BOOL)on {
  qv::setPaneLegacy(qv::objc::plugin().context, on != NO);
}

- (NSString*)version {
  return qv::objc::string(qv::paneVersion(qv::objc::plugin().context));
}

- (NSString*)setSignatureFilename {
  return [[storedSignatureFilename retain] autorelease];
}

- (void)setSetSignatureFilename:(NSString*)name {
  NSString* copy = [name copy];
  [storedSignatureFilename release];
  storedSignatureFilename = copy;
}

- (void)openSupport:(id)sender {
  (void)sender;
  qv::openPaneSupport(qv::objc::plugin().context);
}

- (void)awakeFromNib {
}

- (void)willBeDisplayed {
  try {
    for (const qv::QVRepublished& value : qv::paneWillBeDisplayed(qv::objc::plugin().context)) {
      send(self, qv::objc::string(qv::setterSelector(value.property)), value.value ? YES : NO);
    }
    NSArray* views = [paneViews allValues];
    for (NSUInteger i = 0; i < [views count]; ++i) [self QVShowSettingsIn:[views objectAtIndex:i]];
  } catch (...) {
  }
}

- (NSImage*)imageForPreferenceNamed:(NSString*)name {
  (void)name;
  NSImage* icon = [NSImage imageNamed:qv::objc::string(qv::kPaneIconName)];
  // A named-image store that does not take the name with its extension (GNUstep's) has
  // the icon under the name the start-up gave it.
  return icon != nil ? icon : [NSImage imageNamed:qv::objc::string(qv::kIconName)];
}

// A switch's or the button's click: the control's tag is its row in the description.
- (void)QVControlChanged:(id)sender {
  NSArray* controls = [self QVControls];
  const NSInteger row = [sender tag];
  if (row < 0 || row >= static_cast<NSInteger>([controls count])) return;
  NSDictionary* control = [controls objectAtIndex:static_cast<NSUInteger>(row)];
  NSString* kind = [control objectForKey:@"Kind"];
  try {
    if ([kind isEqualToString:@"switch"]) {
      send(self, [control objectForKey:@"Set"], [sender state] == NSControlStateValueOn ? YES : NO);
    } else if ([kind isEqualToString:@"text"]) {
      [self setFilename:[sender stringValue]];
    } else if ([kind isEqualToString:@"button"]) {
      SEL action = NSSelectorFromString([control objectForKey:@"Action"]);
      if ([self respondsToSelector:action]) [self performSelector:action withObject:sender];
    }
    // The controls show what the settings now hold (a switch through the menu item's
    // toggle may hold otherwise than clicked).
    if ([sender respondsToSelector:@selector(superview)])
      [self QVShowSettingsIn:[sender superview]];
  } catch (...) {
  }
}

// Each control of the view as the settings stand: a switch's state, the file name's text.
- (void)QVShowSettingsIn:(NSView*)view {
  NSArray* controls = [self QVControls];
  NSArray* shown = [view subviews];
  for (NSUInteger i = 0; i < [shown count]; ++i) {
    id made = [shown objectAtIndex:i];
    const NSInteger row = [made tag];
    if (row < 0 || row >= static_cast<NSInteger>([controls count])) continue;
    NSDictionary* control = [controls objectAtIndex:static_cast<NSUInteger>(row)];
    NSString* kind = [control objectForKey:@"Kind"];
    if ([kind isEqualToString:@"switch"]) {
      NSString* getter = [control objectForKey:@"Get"];
      NSString* setting = [control objectForKey:@"Setting"];
      BOOL on = NO;
      if (getter != nil) {
        on = get(self, getter);
      } else if (setting != nil && qv::objc::plugin().context.userDefaults != nullptr) {
        on = qv::objc::plugin().context.userDefaults->boolForKey([setting UTF8String]) ? YES : NO;
      }
      [made setState:on ? NSControlStateValueOn : NSControlStateValueOff];
    } else if ([kind isEqualToString:@"text"]) {
      id value = [self filename];
      [made setStringValue:value != nil ? value : @""];
    }
  }
}

- (NSArray*)QVControls {
  NSString* path = [qv::objc::plugin().qvBundle pathForResource:@"QVPreferences.pane"
                                                         ofType:@"plist"];
  NSDictionary* pane = path != nil ? [NSDictionary dictionaryWithContentsOfFile:path] : nil;
  NSArray* controls = [pane objectForKey:@"Controls"];
  return controls != nil ? controls : [NSArray array];
}

- (NSView*)viewForPreferenceNamed:(NSString*)name {
  NSString* key = name != nil ? name : @"";
  NSView* kept = [paneViews objectForKey:key];
  if (kept != nil) return kept;
  NSArray* controls = [self QVControls];
  const CGFloat rowHeight = 28, width = 420;
  const CGFloat height = rowHeight * ([controls count] + 1);
  NSView* view = [[[NSView alloc] initWithFrame:NSMakeRect(0, 0, width, height)] autorelease];
  for (NSUInteger row = 0; row < [controls count]; ++row) {
    NSDictionary* control = [controls objectAtIndex:row];
    NSString* kind = [control objectForKey:@"Kind"];
    NSString* title = [control objectForKey:@"Title"];
    const NSRect frame = NSMakeRect(12, height - rowHeight * (row + 1), width - 24, 22);
    NSControl* made = nil;
    if ([kind isEqualToString:@"switch"] || [kind isEqualToString:@"button"]) {
      NSButton* button = [[[NSButton alloc] initWithFrame:frame] autorelease];
      [button setTitle:title != nil ? title : @""];
      if ([kind isEqualToString:@"switch"]) [button setButtonType:QV_SWITCH_BUTTON];
      made = button;
    } else if ([kind isEqualToString:@"text"]) {
      NSTextField* field = [[[NSTextField alloc] initWithFrame:frame] autorelease];
      [field setToolTip:title];
      made = field;
    } else {
      NSTextField* label = [[[NSTextField alloc] initWithFrame:frame] autorelease];
      [label setEditable:NO];
      [label setBezeled:NO];
      [label setDrawsBackground:NO];
      NSString* getter = [control objectForKey:@"Get"];
      id value = getter != nil && [self respondsToSelector:NSSelectorFromString(getter)]
                     ? [self performSelector:NSSelectorFromString(getter)]
                     : title;
      [label setStringValue:value != nil ? value : @""];
      made = label;
    }
    [made setTag:static_cast<NSInteger>(row)];
    [made setTarget:self];
    [made setAction:@selector(QVControlChanged:)];
    [view addSubview:made];
  }
  [self QVShowSettingsIn:view];
  if (paneViews == nil) paneViews = [[NSMutableDictionary alloc] init];
  [paneViews setObject:view forKey:key];
  return view;
}

@end

namespace qv::objc {

bool addPreferencesTraits() {
  Class preferences = NSClassFromString(@"NSPreferences");
  if (preferences == Nil) return false;
  class_addMethod(object_getClass(preferences), @selector(QVSharedPreferences),
                  qv::objc::implementation(&sharedPreferences), "@@:");
  return true;
}

bool makePreferencesModule() {
  Class module = NSClassFromString(@"NSPreferencesModule");
  if (module == Nil) return false;
  [module class];  // its own class initialisation first, as for any subclass
  Class pane = objc_allocateClassPair(module, "QVPreferences", 0);
  if (pane == Nil) return NSClassFromString(@"QVPreferences") != Nil;  // made already
  unsigned int count = 0;
  Method* methods = class_copyMethodList([QVPreferencesMethods class], &count);
  for (unsigned int i = 0; i < count; ++i) {
    class_addMethod(pane, method_getName(methods[i]), method_getImplementation(methods[i]),
                    method_getTypeEncoding(methods[i]));
  }
  std::free(methods);
  const char* getterTypes = [[NSString stringWithFormat:@"%s@:", @encode(BOOL)] UTF8String];
  const char* setterTypes = [[NSString stringWithFormat:@"v@:%s", @encode(BOOL)] UTF8String];
  for (const QVPaneBoolean& property : kPaneBooleans) {
    class_addMethod(pane, sel_registerName(std::string(property.property).c_str()),
                    implementation(&paneGetter), getterTypes);
    class_addMethod(pane, sel_registerName(setterSelector(property.property).c_str()),
                    implementation(&paneSetter), setterTypes);
  }
  objc_registerClassPair(pane);
  return true;
}

}  // namespace qv::objc
