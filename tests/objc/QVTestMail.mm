// A Mail of our own on the real Objective-C runtime, Foundation and AppKit: Mail's private
// classes, written here with the selectors Mail has, load Stowlet.mailbundle by its path as
// Mail does and run the plug-in's scenario tables against it. Its messages are written in
// Mail's format by the stand-in's message writer, so the rebuilt messages can be held to
// the same golden files as the stand-in's.
//
//   qv-test-mail BUNDLE GOLDEN_DIR
//
// Built once as the whole Mail and once per class or selector a Mail may lack
// (QV_LACKS=...): each variant runs the start-up table's row for its host. One line per
// failed check on standard error; exit 1 when any failed.

#import <AppKit/AppKit.h>
#include <objc/runtime.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "mail/QVMailObjects.h"
#include "mail/QVMessageWriter.h"
#include "mail/QVStandInMail.h"

#define QV_LACKS_NOTHING 0
#define QV_LACKS_MAIL_BUNDLE 1
#define QV_LACKS_GENERATOR_METHOD 2
#define QV_LACKS_INLINE_BY_DEFAULT 3
#define QV_LACKS_CAN_INLINE 4
#define QV_LACKS_PREFERENCES 5
#ifndef QV_LACKS
#define QV_LACKS QV_LACKS_NOTHING
#endif

namespace {

int failures = 0;
std::vector<std::string> logLines;  // "QVMailPlugin - ..." lines, as NSLog wrote them
std::vector<std::string> alerts;    // message texts of the alerts run
std::vector<std::string> openedURLs;
int generatorRuns = 0;
enum class Sabotage { kNone, kNotOutgoing, kNoRawData, kUnrebuildable };
Sabotage sabotage = Sabotage::kNone;
std::unique_ptr<qv::mail::QVUuidSource> uuids;
qv::mail::QVStandInMail* writerObjects = nullptr;  // makes the writer's attachments
std::vector<std::shared_ptr<qv::mail::QVMailAttachment>> files;

void check(bool ok, const std::string& what) {
  if (ok) return;
  ++failures;
  std::fprintf(stderr, "FAILED: %s\n", what.c_str());
}

std::string text(id object) {
  if (object == nil || ![object isKindOfClass:[NSString class]]) return "(nil)";
  return [(NSString*)object UTF8String];
}

NSString* string(const std::string& s) {
  return [[[NSString alloc] initWithBytes:s.data() length:s.size()
                                 encoding:NSUTF8StringEncoding] autorelease];
}

void captureLog(NSString* message) {
  std::string line = [message UTF8String];
  const std::size_t at = line.find("QVMailPlugin - ");
  if (at != std::string::npos) {
    std::string own = line.substr(at);
    while (!own.empty() && own.back() == '\n') own.pop_back();
    logLines.push_back(own);
  }
}

bool logged(const std::string& line) {
  for (const std::string& l : logLines) {
    if (l == line) return true;
  }
  return false;
}

}  // namespace

// What the plug-in's classes answer, sent by name (the test Mail links none of them).
@interface NSObject (QVPluginMethods)
+ (void)toggle:(id)sender;
+ (void)toggleTo:(BOOL)state;
+ (void)toggleOn;
+ (void)toggleOff;
- (BOOL)isPluginEnabled;
- (void)setIsPluginEnabled:(BOOL)on;
- (BOOL)isDisableInlineAttachments;
- (BOOL)isDisableInlineAttachmentsAll;
- (id)filename;
- (void)setFilename:(id)name;
- (void)setIsLegacy:(BOOL)on;
- (NSString*)version;
- (NSString*)setSignatureFilename;
- (void)setSetSignatureFilename:(NSString*)name;
- (void)openSupport:(id)sender;
- (void)willBeDisplayed;
- (NSImage*)imageForPreferenceNamed:(NSString*)name;
- (NSView*)viewForPreferenceNamed:(NSString*)name;
- (void)giveWindowWithToolbar;
+ (id)QVSharedPreferences;
// Mail's own selectors, which some variants' classes lack.
- (id)newMessageWithHtmlString:(id)html
              plainTextAlternative:(id)plain
    otherHtmlStringsAndAttachments:(id)list
                           headers:(id)headers;
- (BOOL)shouldBeDisplayedInlineByDefault;
- (BOOL)canBeDisplayedInline;
@end

// ---- Mail's classes ----

static NSMutableArray* registeredBundles = nil;

#if QV_LACKS != QV_LACKS_MAIL_BUNDLE
@interface MVMailBundle : NSObject
+ (void)registerBundle;
@end

@implementation MVMailBundle
+ (void)registerBundle {
  [registeredBundles addObject:NSStringFromClass(self)];
}
@end
#endif

// The host's own string class for the list's HTML texts.
@interface __NSCFString : NSString {
  NSString* backing;
}
- (id)initWithText:(NSString*)text;
@end

@implementation __NSCFString
- (id)initWithText:(NSString*)text {
  if ((self = [super init]) != nil) backing = [text copy];
  return self;
}
- (void)dealloc {
  [backing release];
  [super dealloc];
}
- (NSUInteger)length {
  return [backing length];
}
- (unichar)characterAtIndex:(NSUInteger)index {
  return [backing characterAtIndex:index];
}
- (void)getCharacters:(unichar*)buffer range:(NSRange)range {
  [backing getCharacters:buffer range:range];
}
@end

@interface MCAttachment : NSObject {
 @public
  qv::mail::QVMailAttachment* file;  // kept by `files`
}
- (id)mimeType;
- (id)filename;
- (id)contentID;
@end

@implementation MCAttachment
- (id)mimeType {
  return file->mimeType ? string(*file->mimeType) : nil;
}
- (id)filename {
  return file->filename ? string(*file->filename) : nil;
}
- (id)contentID {
  return file->contentID ? string(*file->contentID) : nil;
}
@end

// The message Mail sends: its raw text in an instance variable without accessors.
@interface MCOutgoingMessage : NSObject {
  NSData* _rawData;
}
@end

@implementation MCOutgoingMessage
- (void)dealloc {
  [_rawData release];
  [super dealloc];
}
@end

@interface MCMessageGenerator : NSObject
#if QV_LACKS != QV_LACKS_GENERATOR_METHOD
- (id)newMessageWithHtmlString:(id)html
              plainTextAlternative:(id)plain
    otherHtmlStringsAndAttachments:(id)list
                           headers:(id)headers;
#endif
@end

// The last arguments Mail's own generator received.
static std::string lastHtml;
static std::vector<std::string> lastList;

@implementation MCMessageGenerator
#if QV_LACKS != QV_LACKS_GENERATOR_METHOD
- (id)newMessageWithHtmlString:(id)html
              plainTextAlternative:(id)plain
    otherHtmlStringsAndAttachments:(id)list
                           headers:(id)headers {
  ++generatorRuns;
  qv::mail::QVMessageContent content;
  if (html != nil) content.html = text(html);
  if (plain != nil) content.plain = text(plain);
  lastHtml = text(html);
  lastList.clear();
  for (NSUInteger i = 0; i < [(NSArray*)list count]; ++i) {
    id item = [(NSArray*)list objectAtIndex:i];
    if ([item isKindOfClass:[MCAttachment class]]) {
      content.pieces.push_back({std::nullopt, ((MCAttachment*)item)->file});
      lastList.push_back("file " + text([item filename]));
    } else if ([item isKindOfClass:[NSString class]]) {
      content.pieces.push_back({text(item), nullptr});
      lastList.push_back("html " + text(item));
    } else {
      lastList.push_back("other");
    }
  }
  NSArray* names = [(NSDictionary*)headers allKeys];
  for (NSUInteger i = 0; i < [names count]; ++i) {
    NSString* name = [names objectAtIndex:i];
    content.headers.emplace_back(text(name), text([(NSDictionary*)headers objectForKey:name]));
  }
  std::sort(content.headers.begin(), content.headers.end());
  const std::string raw = qv::mail::writeMessage(content, *uuids);
  if (sabotage == Sabotage::kNotOutgoing) return [[NSObject alloc] init];
  MCOutgoingMessage* message = [[MCOutgoingMessage alloc] init];
  if (sabotage != Sabotage::kNoRawData) {
    const std::string bytes = sabotage == Sabotage::kUnrebuildable ? "no MIME at all\n" : raw;
    [message setValue:[NSData dataWithBytes:bytes.data() length:bytes.size()] forKey:@"_rawData"];
  }
  return message;
}
#endif
@end

@interface AttachmentViewController : NSObject {
 @public
  MCAttachment* shown;
}
- (id)attachment;
#if QV_LACKS != QV_LACKS_INLINE_BY_DEFAULT
- (BOOL)shouldBeDisplayedInlineByDefault;
#endif
#if QV_LACKS != QV_LACKS_CAN_INLINE
- (BOOL)canBeDisplayedInline;
#endif
@end

@implementation AttachmentViewController
- (id)attachment {
  return shown;
}
// Mail's own answers, which the plug-in's replace: never inline.
#if QV_LACKS != QV_LACKS_INLINE_BY_DEFAULT
- (BOOL)shouldBeDisplayedInlineByDefault {
  return NO;
}
#endif
#if QV_LACKS != QV_LACKS_CAN_INLINE
- (BOOL)canBeDisplayedInline {
  return NO;
}
#endif
@end

#if QV_LACKS != QV_LACKS_PREFERENCES
@interface NSPreferencesModule : NSObject {
  NSView* _preferencesView;
  NSSize _minSize;
  BOOL _hasChanges;
  void* _reserved[4];
}
+ (id)sharedInstance;
@end

static NSMutableDictionary* modules = nil;

@implementation NSPreferencesModule
+ (id)sharedInstance {
  NSString* name = NSStringFromClass(self);
  id module = [modules objectForKey:name];
  if (module == nil) {
    module = [[[self alloc] init] autorelease];
    [modules setObject:module forKey:name];
  }
  return module;
}
- (id)init {
  if ((self = [super init]) != nil) {
    _minSize = NSMakeSize(400, 300);
    _hasChanges = NO;
    for (int i = 0; i < 4; ++i) _reserved[i] = self;  // fills the whole layout
  }
  return self;
}
@end

// Mail's preferences controller; its window under "_preferencesPanel".
@interface NSPreferences : NSObject {
  NSWindow* _preferencesPanel;
 @public
  NSMutableArray* panes;
}
+ (id)sharedPreferences;
- (void)addPreferenceNamed:(NSString*)name owner:(id)owner;
@end

static NSPreferences* sharedController = nil;
static bool controllerExists = false;

@implementation NSPreferences
+ (id)sharedPreferences {
  if (!controllerExists) return nil;
  if (sharedController == nil) {
    sharedController = [[NSPreferences alloc] init];
    sharedController->panes = [[NSMutableArray alloc] init];
  }
  return sharedController;
}
- (void)addPreferenceNamed:(NSString*)name owner:(id)owner {
  [panes addObject:[NSArray arrayWithObjects:name, owner, nil]];
}
- (void)giveWindowWithToolbar {
  _preferencesPanel = [[NSWindow alloc] initWithContentRect:NSMakeRect(0, 0, 100, 100)
                                                  styleMask:NSTitledWindowMask
                                                    backing:NSBackingStoreBuffered
                                                      defer:YES];
  [_preferencesPanel setToolbar:[[[NSToolbar alloc] initWithIdentifier:@"prefs"] autorelease]];
}
@end
#endif

// The alert and the browser, as the test sees them: recorded, never shown.
static NSInteger recordAlert(id self, SEL) {
  alerts.push_back(text([self messageText]));
  return NSAlertFirstButtonReturn;
}
static BOOL recordURL(id, SEL, NSURL* url) {
  openedURLs.push_back(text([url absoluteString]));
  return YES;
}

// ---- the scenarios ----

namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

NSUserDefaults* defaults() {
  return [NSUserDefaults standardUserDefaults];
}

MCAttachment* attachment(const std::string& type, const std::string& name, const std::string& cid,
                         int n) {
  MCAttachment* file = [[[MCAttachment alloc] init] autorelease];
  files.push_back(
      writerObjects->makeAttachment(std::string(300 + 97 * n, static_cast<char>('A' + n))));
  file->file = files.back().get();
  file->file->mimeType = type;
  if (name != "-") file->file->filename = name;
  if (cid != "-") file->file->contentID = cid;
  return file;
}

// One composed message: "html:" pieces and files "type name cid" ("-" for none).
id generate(const std::string& html, const std::vector<std::string>& list, bool plain = true) {
  NSMutableArray* items = [NSMutableArray array];
  int n = 0;
  for (const std::string& item : list) {
    if (item.rfind("html:", 0) == 0) {
      [items addObject:[[[__NSCFString alloc] initWithText:string(item.substr(5))] autorelease]];
    } else if (item == "other") {
      [items addObject:[[[NSObject alloc] init] autorelease]];
    } else {
      const std::size_t a = item.find(' '), b = item.rfind(' ');
      [items addObject:attachment(item.substr(0, a), item.substr(a + 1, b - a - 1),
                                  item.substr(b + 1), n++)];
    }
  }
  NSDictionary* headers =
      [NSDictionary dictionaryWithObjectsAndKeys:@"golden", @"Subject",
                                                 @"Thu, 1 Jan 2026 00:00:00 +0000", @"Date", nil];
  uuids = std::make_unique<qv::mail::QVUuidSource>(11);
  generatorRuns = 0;
  MCMessageGenerator* generator = [[[MCMessageGenerator alloc] init] autorelease];
  id message = [generator newMessageWithHtmlString:string(html)
                              plainTextAlternative:plain ? @"Hi, the text." : nil
                    otherHtmlStringsAndAttachments:items
                                           headers:headers];
  return [message autorelease];
}

std::string raw(id message) {
  id data = [message valueForKey:@"_rawData"];
  if (![data isKindOfClass:[NSData class]]) return "(no raw data)";
  return std::string(static_cast<const char*>([data bytes]), [data length]);
}

[[maybe_unused]] void theStartUp(Class plugin) {
  check(logged("QVMailPlugin - Ready."), "the start-up logs Ready.");
  check([plugin superclass] == NSClassFromString(@"MVMailBundle"),
        "QVMailPlugin inherits from MVMailBundle");
  check([registeredBundles containsObject:@"QVMailPlugin"], "the bundle is registered");
  check([defaults() boolForKey:@"QVStowletEnabled"] && [defaults() boolForKey:@"QVStowletAAI"] &&
            [defaults() boolForKey:@"QVStowletDSI"] &&
            [defaults() boolForKey:@"QVStowletDisableInlineAttachments"] &&
            [defaults() objectForKey:@"QVStowletDisableInlineAttachmentsAll"] != nil &&
            ![defaults() boolForKey:@"QVStowletDisableInlineAttachmentsAll"] &&
            text([defaults() objectForKey:@"QVStowletSignatureFilename"]) == "email-signature" &&
            [defaults() objectForKey:@"QVStowletLegacy"] == nil &&
            [defaults() objectForKey:@"QVStowletCount"] == nil,
        "the six defaults, and no legacy flag or count");
  // The application menu: A, separator, the plug-in's item, separator, B.
  NSMenu* appMenu = [[[NSApp mainMenu] itemAtIndex:0] submenu];
  check([appMenu numberOfItems] == 5, "two items added to the application menu");
  NSMenuItem* item = [appMenu itemAtIndex:2];
  check(text([item title]) == "QV's Stowlet" && [[appMenu itemAtIndex:1] isSeparatorItem] &&
            [[appMenu itemAtIndex:3] isSeparatorItem] &&
            text([[appMenu itemAtIndex:4] title]) == "B",
        "the menu reads A, separator, QV's Stowlet, separator, B");
  check([item state] == NSOnState && [item isEnabled], "the menu item is on and enabled");
  check([item target] == plugin && sel_isEqual([item action], @selector(toggle:)),
        "the menu item sends toggle: to QVMailPlugin");
  check(text([item toolTip]) == "Enable/Disable QV's Stowlet Plugin",
        "the menu item's tool tip: " + text([item toolTip]));
  check([NSImage imageNamed:@"QVStowletIcon"] != nil, "the icon is named");
}

struct HookRow {
  const char* what;
  std::string html;
  std::vector<std::string> list;
  bool plain;
  int runs;              // of Mail's own method
  const char* golden;    // the rebuilt message, or nullptr: Mail's own output
  std::string sentHtml;  // what Mail's own method last received
};

[[maybe_unused]] void theHook(const std::string& goldenDir) {
  const std::vector<HookRow> rows = {
      {"picture",
       "<p>Hi <img src=\"cid:p1@x\"></p>",
       {"image/jpeg IMG_1.jpg <p1@x>"},
       true,
       1,
       "picture",
       "<p>Hi </p>"},
      {"signature and picture",
       "<p>Hi <img src=\"cid:p1@x\"></p><img src=\"cid:s1@x\">",
       {"image/jpeg IMG_1.jpg <p1@x>", "image/png email-signature-1.png <s1@x>"},
       true,
       1,
       "signature-and-picture",
       "<p>Hi </p><img src=\"cid:s1@x\">"},
      {"picture and pdf",
       "<p>Hi <img src=\"cid:p1@x\"></p>",
       {"image/png photo.png <p1@x>", "application/pdf report.pdf -"},
       true,
       1,
       "picture-and-pdf",
       "<p>Hi </p>"},
      {"pieces",
       "<p>one</p>",
       {"image/jpeg a.jpg <a@x>", "html:<p>two <img src=\"cid:a@x\"></p>", "image/gif b.gif <b@x>",
        "html:<p>three</p>"},
       true,
       1,
       "pieces",
       "<p>two </p><p>three</p>"},
      {"unnamed picture",
       "<p><img src=\"cid:u@x\"><img src=\"cid:p@x\"></p>",
       {"image/png - <u@x>", "image/png p.png <p@x>"},
       true,
       1,
       "unnamed-picture",
       "<p><img src=\"cid:u@x\"></p>"},
      {"names",
       "<p>caf\xc3\xa9 <img src=\"cid:n1@x\"> <img src=\"cid:n2@x\"></p>",
       {"image/jpeg my photo.jpg <n1@x>", "image/png caf\xc3\xa9.png <n2@x>",
        "application/pdf a;b.pdf -"},
       true,
       1,
       "names",
       "<p>caf\xc3\xa9  </p>"},
      {"no plain text",
       "<p><img src=\"cid:p@x\"></p>",
       {"image/png p.png <p@x>"},
       false,
       1,
       nullptr,
       "<p><img src=\"cid:p@x\"></p>"},
      {"empty list", "<p>x</p>", {}, true, 1, nullptr, "<p>x</p>"},
      {"only a signature picture",
       "<p><img src=\"cid:s@x\"></p>",
       {"image/png email-signature.png <s@x>"},
       true,
       1,
       nullptr,
       "<p><img src=\"cid:s@x\"></p>"},
      {"a pdf only", "<p>x</p>", {"application/pdf a.pdf -"}, true, 1, nullptr, "<p>x</p>"},
      {"only an unnamed picture",
       "<p><img src=\"cid:u@x\"></p>",
       {"image/png - <u@x>"},
       true,
       1,
       nullptr,
       "<p><img src=\"cid:u@x\"></p>"},
      {"IMAGE/PNG is no picture",
       "<p>x</p>",
       {"IMAGE/PNG a.png <a@x>"},
       true,
       1,
       nullptr,
       "<p>x</p>"},
  };
  // The first message loads the writer's codec, whose start draws on rand(): once before.
  (void)generate("<p>x</p>", {"image/png p.png <p@x>"});
  [defaults() removeObjectForKey:@"QVStowletCount"];
  for (const HookRow& row : rows) {
    std::srand(20261208);
    id message = generate(row.html, row.list, row.plain);
    check(generatorRuns == row.runs, std::string(row.what) + ": Mail's own method runs " +
                                         std::to_string(row.runs) + " time(s), not " +
                                         std::to_string(generatorRuns));
    check(lastHtml == row.sentHtml,
          std::string(row.what) + ": Mail's own method received " + lastHtml);
    if (row.golden != nullptr) {
      const std::string expected = readFile(goldenDir + "/" + row.golden + ".out.eml");
      check(!expected.empty() && raw(message) == expected,
            std::string(row.what) + ": the rebuilt message is the golden file byte for byte");
    } else {
      check(raw(message).find("Content-Type: multipart/mixed") == std::string::npos ||
                row.list.empty(),
            std::string(row.what) + ": Mail's own output");
    }
  }
  // Off, and legacy: Mail's own output from one run with the arguments as they came.
  NSArray* switches = [NSArray arrayWithObjects:@"QVStowletEnabled", @"QVStowletLegacy", nil];
  for (NSUInteger k = 0; k < [switches count]; ++k) {
    NSString* key = [switches objectAtIndex:k];
    [defaults() setBool:[key isEqualToString:@"QVStowletLegacy"] forKey:key];
    id message = generate("<p><img src=\"cid:p@x\"></p>", {"image/png p.png <p@x>"});
    check(generatorRuns == 1 && lastHtml == "<p><img src=\"cid:p@x\"></p>" &&
              raw(message).find("multipart/alternative") != std::string::npos &&
              raw(message).find("Content-Type: multipart/mixed") == std::string::npos,
          text(key) + " switched: the message passes through");
    [defaults() setBool:YES forKey:@"QVStowletEnabled"];
    [defaults() removeObjectForKey:@"QVStowletLegacy"];
  }
  // A result that cannot be rebuilt: Mail's own method again, uncleaned HTML, the list whole.
  for (Sabotage s : {Sabotage::kNotOutgoing, Sabotage::kNoRawData, Sabotage::kUnrebuildable}) {
    sabotage = s;
    id message = generate("<p>a<img src=\"cid:x1\"></p>",
                          {"html:<p>b<img src=\"cid:x1\"></p>", "image/png p.png <x1>", "other"});
    sabotage = Sabotage::kNone;
    check(generatorRuns == 2 && lastHtml == "<p>b<img src=\"cid:x1\"></p>" &&
              lastList.size() == 3 && lastList[2] == "other",
          "an unusable result: Mail's own method runs again with the list as it came");
    (void)message;
  }
  check([defaults() integerForKey:@"QVStowletCount"] == 10,
        "the count adds every attachment written (10), not " +
            std::to_string([defaults() integerForKey:@"QVStowletCount"]));
}

[[maybe_unused]] void theDisplayPolicy() {
  struct Row {
    BOOL enabled, aai, dsi;
    const char* name;  // nullptr: none
    BOOL inlineByDefault;
  };
  const Row rows[] = {
      {NO, YES, YES, "photo.jpg", YES},
      {YES, NO, YES, "photo.jpg", YES},
      {YES, YES, NO, "email-signature.png", NO},
      {YES, YES, YES, nullptr, YES},
      {YES, YES, YES, "email-signature.png", YES},
      {YES, YES, YES, "my-email-signature-2.jpg", YES},
      {YES, YES, YES, "Email-Signature.png", NO},
      {YES, YES, YES, "photo.jpg", NO},
  };
  for (const Row& row : rows) {
    [defaults() setBool:row.enabled forKey:@"QVStowletEnabled"];
    [defaults() setBool:row.aai forKey:@"QVStowletAAI"];
    [defaults() setBool:row.dsi forKey:@"QVStowletDSI"];
    AttachmentViewController* controller = [[[AttachmentViewController alloc] init] autorelease];
    controller->shown = attachment("image/png", row.name != nullptr ? row.name : "-", "-", 0);
    check([controller shouldBeDisplayedInlineByDefault] == row.inlineByDefault,
          std::string("shown inline by default: ") + (row.name ? row.name : "(no name)"));
    check([controller canBeDisplayedInline], "every attachment can be shown inline");
  }
  [defaults() setBool:YES forKey:@"QVStowletEnabled"];
  [defaults() setBool:YES forKey:@"QVStowletAAI"];
  [defaults() setBool:YES forKey:@"QVStowletDSI"];
}

[[maybe_unused]] void theMenu(Class plugin) {
  NSMenuItem* item = [[[[NSApp mainMenu] itemAtIndex:0] submenu] itemAtIndex:2];
  [NSApp sendAction:[item action] to:[item target] from:item];
  check([item state] == NSOffState && ![defaults() boolForKey:@"QVStowletEnabled"],
        "picked once: off");
  [[item target] performSelector:@selector(toggle:) withObject:item];
  check([item state] == NSOnState && [defaults() boolForKey:@"QVStowletEnabled"],
        "picked twice: on");
  [plugin toggleTo:YES];
  check([item state] == NSOnState, "toggleTo: the shown state changes nothing");
  [defaults() setBool:NO forKey:@"QVStowletEnabled"];
  [plugin toggleTo:NO];
  check([item state] == NSOnState && [defaults() boolForKey:@"QVStowletEnabled"],
        "toggleTo: against a store changed from outside: both on");
  [plugin toggleOff];
  check([item state] == NSOffState && ![defaults() boolForKey:@"QVStowletEnabled"], "toggleOff");
  [plugin toggleOn];
  check([item state] == NSOnState && [defaults() boolForKey:@"QVStowletEnabled"], "toggleOn");
}

#if QV_LACKS != QV_LACKS_PREFERENCES
[[maybe_unused]] void thePane() {
  check([NSPreferences sharedPreferences] == nil, "no controller yet: nothing");
  controllerExists = true;
  // Mail's own method (the exchanged one) makes the controller; its window has a toolbar.
  [[NSPreferences QVSharedPreferences] giveWindowWithToolbar];
  for (int i = 0; i < 3; ++i) (void)[NSPreferences sharedPreferences];
  NSPreferences* controller = [NSPreferences sharedPreferences];
  check([controller->panes count] == 1 &&
            text([[controller->panes objectAtIndex:0] objectAtIndex:0]) == "Stowlet",
        "the pane is added once, as Stowlet");
  check(logged("QVMailPlugin - Preference notice 42"), "a window with a toolbar: the notice");
  id pane = [[controller->panes objectAtIndex:0] objectAtIndex:1];
  check([pane isKindOfClass:NSClassFromString(@"NSPreferencesModule")] &&
            [pane class] == NSClassFromString(@"QVPreferences"),
        "the pane is a QVPreferences, an NSPreferencesModule");
  [pane setFilename:nil];
  check(text([defaults() objectForKey:@"QVStowletSignatureFilename"]) == "email-signature",
        "setFilename: nothing stores email-signature");
  [pane setFilename:@""];
  check(text([pane filename]) == "", "setFilename: an empty text is kept");
  [pane setFilename:@"email-signature"];
  [pane setIsLegacy:NO];
  check(alerts.size() == 1 &&
            alerts[0] == "Changing this setting requires Mail app restart.\n\nPlease restart "
                         "your Mail app, thank you." &&
            [defaults() objectForKey:@"QVStowletLegacy"] != nil,
        "setIsLegacy: stores the flag and alerts, every time");
  const std::string version = text([pane performSelector:@selector(version)]);
  check(version == "Version: 0.1.0", "the version: " + version);
  check([pane imageForPreferenceNamed:@"anything"] != nil, "the pane's icon for any name");
  [pane setIsPluginEnabled:NO];
  check(![pane isPluginEnabled] && ![defaults() boolForKey:@"QVStowletEnabled"],
        "setIsPluginEnabled: goes through the menu toggle");
  [pane setIsPluginEnabled:YES];
  [pane openSupport:nil];
  check(openedURLs.size() == 1 && openedURLs[0].size() > 4 &&
            openedURLs[0].compare(openedURLs[0].size() - 4, 4, "/faq") == 0,
        "openSupport: opens the support page");
  [pane setSetSignatureFilename:@"kept"];
  check(text([pane setSignatureFilename]) == "kept", "setSignatureFilename is stored");
  [pane willBeDisplayed];
  check([pane isDisableInlineAttachments] && ![pane isDisableInlineAttachmentsAll],
        "willBeDisplayed re-publishes the settings");
  // The view, built from the pane description: a click on a switch writes its setting.
  NSView* view = [pane viewForPreferenceNamed:@"Stowlet"];
  NSArray* controls = [view subviews];
  check([controls count] == 9, "nine controls from the pane description");
  NSButton* icons = nil;
  for (NSUInteger i = 0; i < [controls count]; ++i) {
    id control = [controls objectAtIndex:i];
    if ([control isKindOfClass:[NSButton class]] &&
        text([control title]) == "Display attachments as icons") {
      icons = control;
    }
  }
  check(icons != nil && [icons state] == NSOnState, "the icons switch shows its setting");
  [icons performClick:nil];
  check(![defaults() boolForKey:@"QVStowletAAI"], "clicking the icons switch writes QVStowletAAI");
  [icons performClick:nil];
  check([defaults() boolForKey:@"QVStowletAAI"], "and back");
  // The text field writes the signature name; the button opens the support page.
  for (NSUInteger i = 0; i < [controls count]; ++i) {
    id control = [controls objectAtIndex:i];
    if ([control isKindOfClass:[NSTextField class]] && [control isEditable]) {
      [control setStringValue:@"my-signature"];
      [control sendAction:[control action] to:[control target]];
    } else if ([control isKindOfClass:[NSButton class]] &&
               text([control title]).rfind("Support", 0) == 0) {
      [control performClick:nil];
    }
  }
  check(text([defaults() objectForKey:@"QVStowletSignatureFilename"]) == "my-signature",
        "the text field writes the signature name");
  check(openedURLs.size() == 2, "the Support button opens the support page");
}
#endif

}  // namespace

int main(int argc, char** argv) {
  NSAutoreleasePool* pool = [[NSAutoreleasePool alloc] init];
  if (argc != 3) {
    std::fprintf(stderr, "usage: qv-test-mail BUNDLE GOLDEN_DIR\n");
    return 64;
  }
  _NSLog_printf_handler = &captureLog;
  registeredBundles = [[NSMutableArray alloc] init];
#if QV_LACKS != QV_LACKS_PREFERENCES
  modules = [[NSMutableDictionary alloc] init];
#endif
  qv::mail::QVStandInMail writer;
  writerObjects = &writer;
  method_setImplementation(class_getInstanceMethod([NSAlert class], @selector(runModal)),
                           reinterpret_cast<IMP>(reinterpret_cast<void (*)()>(&recordAlert)));
  method_setImplementation(class_getInstanceMethod([NSWorkspace class], @selector(openURL:)),
                           reinterpret_cast<IMP>(reinterpret_cast<void (*)()>(&recordURL)));

  // Mail's application and its application menu: A, separator, B.
  [NSApplication sharedApplication];
  NSMenu* main = [[NSMenu alloc] initWithTitle:@"Main"];
  NSMenu* app = [[NSMenu alloc] initWithTitle:@"Mail"];
  [app addItemWithTitle:@"A" action:NULL keyEquivalent:@""];
  [app addItem:[NSMenuItem separatorItem]];
  [app addItemWithTitle:@"B" action:NULL keyEquivalent:@""];
  [[main addItemWithTitle:@"Mail" action:NULL keyEquivalent:@""] setSubmenu:app];
  [NSApp setMainMenu:main];

  // Loaded as Mail loads its plug-ins; the first message to the principal class starts it.
  NSBundle* bundle = [NSBundle bundleWithPath:[NSString stringWithUTF8String:argv[1]]];
  check(bundle != nil && [bundle load], "the bundle loads");
  Class plugin = [bundle principalClass];
  check(plugin != Nil && text(NSStringFromClass(plugin)) == "QVMailPlugin",
        "its principal class is QVMailPlugin");
  if (plugin == Nil) return 1;
  [plugin class];
  const std::string goldens = argv[2];

#if QV_LACKS == QV_LACKS_NOTHING
  theStartUp(plugin);
  theHook(goldens);
  theDisplayPolicy();
  theMenu(plugin);
  thePane();
#else
  // A Mail without a class or a selector: the start-up stops at its row, with its message,
  // and leaves the rest of the table undone.
  const bool noMenuItem = [[[[NSApp mainMenu] itemAtIndex:0] submenu] numberOfItems] == 3;
  check(noMenuItem, "no menu item");
  check(!logged("QVMailPlugin - Ready."), "no Ready.");
  check([defaults() objectForKey:@"QVStowletEnabled"] != nil, "the defaults are written");
#if QV_LACKS == QV_LACKS_MAIL_BUNDLE
  check(logged("QVMailPlugin - Bundle support not available."), "Bundle support not available.");
#else
  check([registeredBundles containsObject:@"QVMailPlugin"], "the bundle is registered");
#endif
#if QV_LACKS == QV_LACKS_GENERATOR_METHOD
  check(logged("QVMailPlugin - Failed (0x002a)."), "Failed (0x002a).");
#elif QV_LACKS == QV_LACKS_INLINE_BY_DEFAULT
  check(logged("QVMailPlugin - Failed (0x003)."), "Failed (0x003).");
#elif QV_LACKS == QV_LACKS_CAN_INLINE
  check(logged("QVMailPlugin - Failed (0x004)."), "Failed (0x004).");
  AttachmentViewController* controller = [[[AttachmentViewController alloc] init] autorelease];
  controller->shown = attachment("image/png", "email-signature.png", "-", 0);
  check([controller shouldBeDisplayedInlineByDefault], "exchange 2 is in force");
#elif QV_LACKS == QV_LACKS_PREFERENCES
  check(logged("QVMailPlugin - Failed (0x100)."), "Failed (0x100).");
#endif
#if QV_LACKS >= QV_LACKS_INLINE_BY_DEFAULT
  {
    std::srand(20261208);
    id message = generate("<p>Hi <img src=\"cid:p1@x\"></p>", {"image/jpeg IMG_1.jpg <p1@x>"});
    check(raw(message).find("Content-Type: multipart/mixed") != std::string::npos,
          "exchange 1 is in force: the message is rebuilt");
  }
#endif
#endif
  for (const std::string& line : logLines) std::printf("%s\n", line.c_str());
  std::printf("%s: %d failed\n", argv[0], failures);
  [pool release];
  return failures == 0 ? 0 : 1;
}
