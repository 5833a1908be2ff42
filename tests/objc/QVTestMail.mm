// A Mail of our own on the real Objective-C runtime, Foundation and AppKit: Mail's private
// classes, written here with the selectors Mail has, load Stowlet.mailbundle by its path as
// Mail does and run the plug-in's scenario tables against it. Mail's own generator gives, for
// the layouts held to golden files, the very message Mail writes (tests/golden/mail/
// NAME.in.eml, which the stand-in Mail's writer made), so that the bundle's rebuilt messages
// can be held to the same NAME.out.eml as the stand-in's; for the other rows a plain message
// of its own. It needs nothing of the project but the bundle, and builds against GNUstep and
// against Apple's Foundation and AppKit alike.
//
//   qv-test-mail BUNDLE GOLDEN_DIR
//
// Built once as the whole Mail and once per class or selector a Mail may lack, or per state
// it may be in (QV_LACKS=...): each variant runs the start-up table's row for its host. One
// line per failed check on standard error; exit 1 when any failed.

#import <AppKit/AppKit.h>
#include <objc/runtime.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#define QV_LACKS_NOTHING 0
#define QV_LACKS_MAIL_BUNDLE 1
#define QV_LACKS_GENERATOR_METHOD 2
#define QV_LACKS_INLINE_BY_DEFAULT 3
#define QV_LACKS_CAN_INLINE 4
#define QV_LACKS_PREFERENCES 5
// Not a lack but a state: the plug-in stored as off before Mail starts, a registration that
// raises, a preferences window without a toolbar.
#define QV_STORED_OFF 6
#ifndef QV_LACKS
#define QV_LACKS QV_LACKS_NOTHING
#endif

namespace {

int failures = 0;
std::vector<std::string> logLines;  // "QVMailPlugin - ..." lines, as NSLog wrote them
std::vector<std::string> alerts;    // message texts of the alerts run
std::vector<std::string> openedURLs;
int generatorRuns = 0;
// What Mail's own generator does this time: its message as it should be, or one that the
// hook cannot use, or a raise (Mail's own failure) on a given run.
enum class Sabotage {
  kNone,
  kNotOutgoing,       // an object that is no message at all
  kOtherWithRawData,  // an object of another class, with raw data
  kNoRawData,
  kUnrebuildable,
  kRaiseFirstRun,   // raises on its first run only
  kRaiseSecondRun,  // its first message no outgoing one, and its second run raises
  kRaiseEveryRun,
};
Sabotage sabotage = Sabotage::kNone;
std::string goldenInput;  // Mail's own message for this row, when it is a golden layout
NSString* const kMailsOwnFailure = @"QVMailsOwnFailure";
// Objects of Mail's that must come and go: every message and every raw data made is freed
// once nobody holds it.
int messagesMade = 0, messagesFreed = 0, dataMade = 0, dataFreed = 0;
int filesMade = 0, filesFreed = 0;

void check(bool ok, const std::string& what) {
  if (ok) return;
  ++failures;
  std::printf("FAILED: %s\n", what.c_str());
}

std::string text(id object) {
  if (object == nil || ![object isKindOfClass:[NSString class]]) return "(nil)";
  return [(NSString*)object UTF8String];
}

NSString* string(const std::string& s) {
  return [[[NSString alloc] initWithBytes:s.data() length:s.size()
                                 encoding:NSUTF8StringEncoding] autorelease];
}

void captureLine(const std::string& line) {
  const std::size_t at = line.find("QVMailPlugin - ");
  if (at != std::string::npos) {
    std::string own = line.substr(at);
    while (!own.empty() && own.back() == '\n') own.pop_back();
    logLines.push_back(own);
  }
}

#if defined(GNUSTEP)
// GNUstep hands each NSLog line to this handler.
void captureLog(NSString* message) {
  captureLine([message UTF8String]);
}
void readLog() {}
#else
// Apple's NSLog writes each line to standard error: the test Mail sends its standard error
// to a file of its own and reads the plug-in's lines back from there.
std::string logFile;
void readLog() {
  logLines.clear();
  std::ifstream in(logFile);
  for (std::string line; std::getline(in, line);) captureLine(line);
}
#endif

// An exception nobody caught: a failed test, not a dialog waiting for a click.
void uncaught(NSException* exception) {
  std::printf("FAILED: uncaught exception %s: %s\n", text([exception name]).c_str(),
              text([exception reason]).c_str());
  std::exit(1);
}

bool logged(const std::string& line) {
  readLog();
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
- (void)giveWindowWithToolbar:(BOOL)toolbar;
+ (id)sharedPreferences;
+ (id)QVSharedPreferences;
- (id)removeTagsWithCids:(id)html cids:(id)cids;
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
#if QV_LACKS == QV_STORED_OFF
  [NSException raise:kMailsOwnFailure format:@"registration refused"];
#endif
}
@end
#endif

#if defined(GNUSTEP)
// The host's own string class for the list's HTML texts (on a Mac, CoreFoundation's).
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
#endif

@interface MCAttachment : NSObject {
 @public
  NSString* type;
  NSString* name;
  NSString* identifier;
  NSData* bytes;
}
- (id)mimeType;
- (id)filename;
- (id)contentID;
@end

@implementation MCAttachment
- (id)init {
  if ((self = [super init]) != nil) ++filesMade;
  return self;
}
- (void)dealloc {
  ++filesFreed;
  [type release];
  [name release];
  [identifier release];
  [bytes release];
  [super dealloc];
}
- (id)mimeType {
  return type;
}
- (id)filename {
  return name;
}
- (id)contentID {
  return identifier;
}
@end

// Raw data that counts its going.
@interface QVCountedData : NSData {
  NSData* backing;
}
- (id)initCountingBytes:(const char*)bytes length:(NSUInteger)length;
@end

@implementation QVCountedData
// (No [super init]: the abstract class's initialisers expect a subclass's storage.)
- (id)initCountingBytes:(const char*)bytes length:(NSUInteger)length {
  backing = [[NSData alloc] initWithBytes:bytes length:length];
  ++dataMade;
  return self;
}
- (void)dealloc {
  ++dataFreed;
  [backing release];
  [super dealloc];
}
- (const void*)bytes {
  return [backing bytes];
}
- (NSUInteger)length {
  return [backing length];
}
@end

// A message of Mail's: its raw text in an instance variable without accessors, its coming
// and going counted.
@interface QVCountedMessage : NSObject {
  NSData* _rawData;
}
@end

@implementation QVCountedMessage
- (id)init {
  if ((self = [super init]) != nil) ++messagesMade;
  return self;
}
- (void)dealloc {
  ++messagesFreed;
  [_rawData release];
  [super dealloc];
}
@end

// The message Mail sends.
@interface MCOutgoingMessage : QVCountedMessage
@end

@implementation MCOutgoingMessage
@end

// Another class of Mail's with raw data of its own: no outgoing message.
@interface QVOtherMessage : QVCountedMessage
@end

@implementation QVOtherMessage
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

namespace {

// A message of Mail's for the rows with no golden layout: the texts and files as they are,
// in a multipart/alternative.
[[maybe_unused]] std::string plainMessage(const std::string& html, const std::string& plain,
                                          const std::vector<MCAttachment*>& files) {
  std::string out = "Subject: golden\nContent-Type: multipart/alternative; boundary=\"QV-T\"\n\n";
  out += "--QV-T\nContent-Type: text/plain\n\n" + plain + "\n--QV-T\nContent-Type: text/html\n\n" +
         html + "\n";
  for (MCAttachment* file : files) {
    out += "--QV-T\nContent-Type: " + text(file->type) + "\nContent-Disposition: inline";
    if (file->name != nil) out += "; filename=\"" + text(file->name) + "\"";
    out += "\n";
    if (file->identifier != nil) out += "Content-Id: " + text(file->identifier) + "\n";
    out += "\n" + std::string(static_cast<const char*>([file->bytes bytes]), [file->bytes length]) +
           "\n";
  }
  return out + "--QV-T--\n";
}

}  // namespace

@implementation MCMessageGenerator
#if QV_LACKS != QV_LACKS_GENERATOR_METHOD
- (id)newMessageWithHtmlString:(id)html
              plainTextAlternative:(id)plain
    otherHtmlStringsAndAttachments:(id)list
                           headers:(id)headers {
  (void)headers;
  ++generatorRuns;
  lastHtml = text(html);
  lastList.clear();
  std::vector<MCAttachment*> files;
  for (NSUInteger i = 0; i < [(NSArray*)list count]; ++i) {
    id item = [(NSArray*)list objectAtIndex:i];
    if ([item isKindOfClass:[MCAttachment class]]) {
      files.push_back(item);
      lastList.push_back("file " + text([item filename]));
    } else if ([item isKindOfClass:[NSString class]]) {
      lastList.push_back("html " + text(item));
    } else {
      lastList.push_back("other");
    }
  }
  if (sabotage == Sabotage::kRaiseEveryRun ||
      (sabotage == Sabotage::kRaiseFirstRun && generatorRuns == 1) ||
      (sabotage == Sabotage::kRaiseSecondRun && generatorRuns == 2)) {
    [NSException raise:kMailsOwnFailure format:@"Mail's own generator failed"];
  }
  if (sabotage == Sabotage::kNotOutgoing ||
      (sabotage == Sabotage::kRaiseSecondRun && generatorRuns == 1)) {
    return [[NSObject alloc] init];
  }
  const std::string raw = !goldenInput.empty() && generatorRuns == 1
                              ? goldenInput
                              : plainMessage(text(html), text(plain), files);
  id message = sabotage == Sabotage::kOtherWithRawData ? [[QVOtherMessage alloc] init]
                                                       : [[MCOutgoingMessage alloc] init];
  if (sabotage != Sabotage::kNoRawData) {
    const std::string bytes = sabotage == Sabotage::kUnrebuildable ? "no MIME at all\n" : raw;
    QVCountedData* data = [[QVCountedData alloc] initCountingBytes:bytes.data()
                                                            length:bytes.size()];
    [message setValue:data forKey:@"_rawData"];
    [data release];
  }
  return message;
}
#endif
@end

@interface AttachmentViewController : NSObject {
 @public
  MCAttachment* shown;
  BOOL raises;  // its attachment cannot be had
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
  if (raises) [NSException raise:kMailsOwnFailure format:@"no attachment"];
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

// Mail's preferences controller: its panes, and its window under "_preferencesPanel". On
// GNUstep the test Mail has the classes (NSPreferences, NSPreferencesModule) of its own; on a
// Mac, AppKit has them (Mail's come from there), and the test gives AppKit's NSPreferences the
// controller's behaviour the scenarios need, before the bundle is loaded.
static NSMutableArray* panes = nil;  // name and owner of each pane added
static id sharedController = nil;
static bool controllerExists = false;

@interface QVPreferencesBehaviour : NSObject
+ (id)sharedPreferences;
- (void)addPreferenceNamed:(NSString*)name owner:(id)owner;
- (void)giveWindowWithToolbar:(BOOL)toolbar;
@end

@implementation QVPreferencesBehaviour
+ (id)sharedPreferences {
  if (!controllerExists) return nil;
  if (sharedController == nil)
    sharedController = [[NSClassFromString(@"NSPreferences") alloc] init];
  return sharedController;
}
- (void)addPreferenceNamed:(NSString*)name owner:(id)owner {
  [panes addObject:[NSArray arrayWithObjects:name, owner, nil]];
}
- (void)giveWindowWithToolbar:(BOOL)toolbar {
  NSWindow* window = [[[NSWindow alloc] initWithContentRect:NSMakeRect(0, 0, 100, 100)
                                                  styleMask:NSTitledWindowMask
                                                    backing:NSBackingStoreBuffered
                                                      defer:YES] autorelease];
  if (toolbar) [window setToolbar:[[[NSToolbar alloc] initWithIdentifier:@"prefs"] autorelease]];
  [self setValue:window forKey:@"_preferencesPanel"];
}
@end

#if defined(GNUSTEP) && QV_LACKS != QV_LACKS_PREFERENCES
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

@interface NSPreferences : NSObject {
  NSWindow* _preferencesPanel;
}
@end

@implementation NSPreferences
- (void)dealloc {
  [_preferencesPanel release];
  [super dealloc];
}
@end
#endif

namespace {

// Mail's NSPreferences with the behaviour above: the test's own class, or AppKit's.
void givePreferencesBehaviour() {
  Class preferences = NSClassFromString(@"NSPreferences");
  if (preferences == Nil) return;
  Class behaviour = [QVPreferencesBehaviour class];
  Method shared = class_getClassMethod(behaviour, @selector(sharedPreferences));
  class_replaceMethod(object_getClass(preferences), @selector(sharedPreferences),
                      method_getImplementation(shared), method_getTypeEncoding(shared));
  for (SEL sel : { @selector(addPreferenceNamed:owner:), @selector(giveWindowWithToolbar:) }) {
    Method m = class_getInstanceMethod(behaviour, sel);
    class_replaceMethod(preferences, sel, method_getImplementation(m), method_getTypeEncoding(m));
  }
}

}  // namespace

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

// A file of the list, owned by the caller: "type name cid" ("-" for none); its bytes differ
// by its place.
MCAttachment* newAttachment(const std::string& type, const std::string& name,
                            const std::string& cid, int n) {
  MCAttachment* file = [[MCAttachment alloc] init];
  file->type = [[NSString alloc] initWithUTF8String:type.c_str()];
  if (name != "-") file->name = [[NSString alloc] initWithUTF8String:name.c_str()];
  if (cid != "-") file->identifier = [[NSString alloc] initWithUTF8String:cid.c_str()];
  const std::string bytes(300 + 97 * n, static_cast<char>('A' + n));
  file->bytes = [[NSData alloc] initWithBytes:bytes.data() length:bytes.size()];
  return file;
}

// One composed message, sent to the generator as Mail's composer does: "html:" pieces of
// Mail's string class, "text:" pieces of another string class, "other" objects and files.
// The message is the caller's to release. Nothing here autoreleases: it runs on threads
// without a pool too.
id compose(const std::string& html, const std::vector<std::string>& list, bool plain = true) {
  NSMutableArray* items = [[NSMutableArray alloc] init];
  int n = 0;
  for (const std::string& item : list) {
    id made = nil;
    if (item.rfind("html:", 0) == 0) {
      NSString* piece = [[NSString alloc] initWithUTF8String:item.substr(5).c_str()];
#if defined(GNUSTEP)
      made = [[__NSCFString alloc] initWithText:piece];
#else
      made = [[NSMutableString alloc] initWithString:piece];  // an __NSCFString, never tagged
#endif
      [piece release];
    } else if (item.rfind("text:", 0) == 0) {
      made = [[NSString alloc] initWithUTF8String:item.substr(5).c_str()];
    } else if (item == "other") {
      made = [[NSObject alloc] init];
    } else {
      const std::size_t a = item.find(' '), b = item.rfind(' ');
      made =
          newAttachment(item.substr(0, a), item.substr(a + 1, b - a - 1), item.substr(b + 1), n++);
    }
    [items addObject:made];
    [made release];
  }
  NSDictionary* headers =
      [[NSDictionary alloc] initWithObjectsAndKeys:@"golden", @"Subject",
                                                   @"Thu, 1 Jan 2026 00:00:00 +0000", @"Date", nil];
  NSString* htmlText = [[NSString alloc] initWithUTF8String:html.c_str()];
  generatorRuns = 0;
  MCMessageGenerator* generator = [[MCMessageGenerator alloc] init];
  id message = [generator newMessageWithHtmlString:htmlText
                              plainTextAlternative:plain ? @"Hi, the text." : nil
                    otherHtmlStringsAndAttachments:items
                                           headers:headers];
  [generator release];
  [htmlText release];
  [headers release];
  [items release];
  return message;
}

std::string raw(id message) {
  if (![message isKindOfClass:[MCOutgoingMessage class]] &&
      ![message isKindOfClass:[QVOtherMessage class]]) {
    return "(no message)";
  }
  id data = [message valueForKey:@"_rawData"];
  if (![data isKindOfClass:[NSData class]]) return "(no raw data)";
  return std::string(static_cast<const char*>([data bytes]), [data length]);
}

// A method of Mail's platform that raises, to put in place of one for a moment.
void raiseNow(id, SEL) {
  [NSException raise:kMailsOwnFailure format:@"refused"];
}
IMP raising() {
  return reinterpret_cast<IMP>(reinterpret_cast<void (*)()>(&raiseNow));
}

// Whether Mail's own failure reached the caller: the call raised, and only the raise of
// Mail's generator was made.
template <typename Call>
bool raisesMailsOwn(Call call) {
  try {
    call();
  } catch (...) {
    return true;
  }
  return false;
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
  int runs;                // of Mail's own method
  const char* golden;      // the rebuilt message, or nullptr: Mail's own output
  std::string sentHtml;    // what Mail's own method last received
  std::size_t listed = 0;  // how many elements it last received (0: not checked)
};

// One row through the hook in a pool of its own: every message and raw data made is freed
// with the pool.
void hookRow(const HookRow& row, const std::string& goldenDir) {
  const int made = messagesMade, freed = messagesFreed, data = dataMade, dataGone = dataFreed;
  NSAutoreleasePool* pool = [[NSAutoreleasePool alloc] init];
  std::srand(20261208);
  goldenInput = row.golden != nullptr ? readFile(goldenDir + "/" + row.golden + ".in.eml") : "";
  const int files = filesMade, filesGone = filesFreed;
  id message = [compose(row.html, row.list, row.plain) autorelease];
  goldenInput.clear();
  // What the hook autoreleased went with its own pool: nothing holds Mail's files now.
  check(filesMade - files == filesFreed - filesGone,
        std::string(row.what) + ": the hook's own pool is drained when it returns");
  check(generatorRuns == row.runs, std::string(row.what) + ": Mail's own method runs " +
                                       std::to_string(row.runs) + " time(s), not " +
                                       std::to_string(generatorRuns));
  check(lastHtml == row.sentHtml,
        std::string(row.what) + ": Mail's own method received " + lastHtml);
  check(row.listed == 0 || lastList.size() == row.listed,
        std::string(row.what) + ": Mail's own method received every element of the list");
  if (row.golden != nullptr) {
    const std::string expected = readFile(goldenDir + "/" + row.golden + ".out.eml");
    check(!expected.empty() && raw(message) == expected,
          std::string(row.what) + ": the rebuilt message is the golden file byte for byte");
  } else {
    check(raw(message).find("Content-Type: multipart/mixed") == std::string::npos,
          std::string(row.what) + ": Mail's own output");
  }
  [pool release];
  check(messagesMade - made == messagesFreed - freed && dataMade - data == dataFreed - dataGone,
        std::string(row.what) + ": every message and raw data Mail made is freed");
}

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
      // A text of another string class than Mail's (on Apple's runtime a short one may be
      // a tagged string): what it is cannot be told, so nothing is dropped or guessed.
      {"a text of another string class",
       "<p><img src=\"cid:p@x\"></p>",
       {"image/png p.png <p@x>", "text:<br>", "image/png q.png <q@x>"},
       true,
       1,
       nullptr,
       "<p><img src=\"cid:p@x\"></p>",
       3},
  };
  // The first message, before the counting starts.
  [compose("<p>x</p>", {"image/png p.png <p@x>"}) release];
  [defaults() removeObjectForKey:@"QVStowletCount"];
  for (const HookRow& row : rows) hookRow(row, goldenDir);
  // Off, and legacy: Mail's own output from one run with the arguments as they came.
  NSArray* switches = [NSArray arrayWithObjects:@"QVStowletEnabled", @"QVStowletLegacy", nil];
  for (NSUInteger k = 0; k < [switches count]; ++k) {
    NSString* key = [switches objectAtIndex:k];
    [defaults() setBool:[key isEqualToString:@"QVStowletLegacy"] forKey:key];
    id message = [compose("<p><img src=\"cid:p@x\"></p>", {"image/png p.png <p@x>"}) autorelease];
    check(generatorRuns == 1 && lastHtml == "<p><img src=\"cid:p@x\"></p>" &&
              raw(message).find("multipart/alternative") != std::string::npos &&
              raw(message).find("Content-Type: multipart/mixed") == std::string::npos,
          text(key) + " switched: the message passes through");
    [defaults() setBool:YES forKey:@"QVStowletEnabled"];
    [defaults() removeObjectForKey:@"QVStowletLegacy"];
  }
  // A result that cannot be rebuilt, or a first run that raised: Mail's own method again,
  // uncleaned HTML, the list whole.
  for (Sabotage s : {Sabotage::kNotOutgoing, Sabotage::kOtherWithRawData, Sabotage::kNoRawData,
                     Sabotage::kUnrebuildable, Sabotage::kRaiseFirstRun}) {
    sabotage = s;
    const int made = messagesMade, freed = messagesFreed;
    NSAutoreleasePool* pool = [[NSAutoreleasePool alloc] init];
    id message = [compose("<p>a<img src=\"cid:x1\"></p>",
                          {"html:<p>b<img src=\"cid:x1\"></p>", "image/png p.png <x1>", "other"})
        autorelease];
    sabotage = Sabotage::kNone;
    check(generatorRuns == 2 && lastHtml == "<p>b<img src=\"cid:x1\"></p>" &&
              lastList.size() == 3 && lastList[2] == "other" &&
              raw(message).find("Content-Type: multipart/mixed") == std::string::npos,
          "an unusable first run (" + std::to_string(static_cast<int>(s)) +
              "): Mail's own method runs again with the list as it came, and its message stands");
    [pool release];
    check(messagesMade - made == messagesFreed - freed,
          "an unusable first run: the first message is freed too");
  }
  // Mail's own failure stays Mail's: on a pass-through, and in the second run.
  for (Sabotage s : {Sabotage::kRaiseEveryRun, Sabotage::kRaiseSecondRun}) {
    sabotage = s;
    if (s == Sabotage::kRaiseEveryRun) [defaults() setBool:NO forKey:@"QVStowletEnabled"];
    NSAutoreleasePool* pool = [[NSAutoreleasePool alloc] init];
    const bool raised = raisesMailsOwn(
        [] { [compose("<p><img src=\"cid:p@x\"></p>", {"image/png p.png <p@x>"}) release]; });
    check(raised && generatorRuns == (s == Sabotage::kRaiseEveryRun ? 1 : 2),
          s == Sabotage::kRaiseEveryRun
              ? "Mail's own method raising on a pass-through: its exception reaches Mail"
              : "Mail's own method raising in the second run: its exception reaches Mail");
    [pool release];
    sabotage = Sabotage::kNone;
    [defaults() setBool:YES forKey:@"QVStowletEnabled"];
  }
  check([defaults() integerForKey:@"QVStowletCount"] == 10,
        "the count adds every attachment written (10), not " +
            std::to_string([defaults() integerForKey:@"QVStowletCount"]));
}

// The hook on a thread that has no autorelease pool of its own: the plug-in's own pool takes
// what it autoreleases, so that Mail's objects are freed all the same.
void* hookWithoutPool(void* goldenDir) {
  goldenInput = readFile(*static_cast<std::string*>(goldenDir) + "/picture.in.eml");
  std::srand(20261208);
  id message = compose("<p>Hi <img src=\"cid:p1@x\"></p>", {"image/jpeg IMG_1.jpg <p1@x>"});
  goldenInput.clear();
  [message release];
  return nullptr;
}

[[maybe_unused]] void theHookWithoutPool(const std::string& goldenDir) {
  const int made = messagesMade, freed = messagesFreed, data = dataMade, dataGone = dataFreed;
  std::string dir = goldenDir;
  pthread_t thread;
  check(pthread_create(&thread, nullptr, &hookWithoutPool, &dir) == 0 &&
            pthread_join(thread, nullptr) == 0,
        "a thread of Mail's without a pool runs the hook");
  check(messagesMade - made == 1 && messagesFreed - freed == 1 && dataMade - data == 1 &&
            dataFreed - dataGone == 1,
        "on a thread without a pool: the message and Mail's raw data are freed");
}

// The bundle's tag removal (the platform's engine over the shared pattern).
[[maybe_unused]] void theTagRemoval() {
  struct Row {
    const char* what;
    std::string html;
    std::vector<std::string> cids;
    std::string expected;
  };
  std::string hostile;  // a backtracking engine on the whole of it would take hours
  for (int i = 0; i < 250000; ++i) hostile += "<img";
  hostile += " src=\"cid:x\">";
  const Row rows[] = {
      {"every tag", "a<img src=\"cid:ab12\">b<img alt=x src=\"cid:ab12\">c", {"ab12"}, "abc"},
      {"capitals", "a<IMG SRC=\"CID:AB12\">b", {"ab12"}, "ab"},
      {"a character after the reference", "a<img src=cid:ab12>b", {"ab12"}, "a<img src=cid:ab12>b"},
      {"over several lines", "a<img\n  src=\"cid:ab12\"\n  width=3>b", {"ab12"}, "ab"},
      {"'>' before the reference",
       "a<img alt=\">\" src=\"cid:ab12\">b",
       {"ab12"},
       "a<img alt=\">\" src=\"cid:ab12\">b"},
      {"'>' after the reference", "a<img src=\"cid:ab12\" alt=\"x>y\">b", {"ab12"}, "ay\">b"},
      {"two identifiers", "<img src=\"cid:a1\">-<img src=\"cid:b2\">", {"a1", "b2"}, "-"},
      {"full stop is literal", "<img src=\"cid:aXb\">", {"a.b"}, "<img src=\"cid:aXb\">"},
      {"metacharacters", "<img src=\"cid:(x[*+?\\\\y\">", {"(x[*+?\\\\y"}, ""},
      {"empty identifier", "<img src=\"cid:x\">", {""}, "<img src=\"cid:x\">"},
      {"non-ASCII identifier", "<img src=\"cid:caf\xc3\xa9\">", {"CAF\xc3\x89"}, ""},
      {"an \"<img\" inside a tag", "<img <img src=\"cid:x\">y", {"x"}, "y"},
      {"megabytes of \"<img\"", hostile, {"x"}, ""},
  };
  MCMessageGenerator* generator = [[[MCMessageGenerator alloc] init] autorelease];
  for (const Row& row : rows) {
    NSMutableArray* cids = [NSMutableArray array];
    for (const std::string& cid : row.cids) [cids addObject:string(cid)];
    check(text([generator removeTagsWithCids:string(row.html) cids:cids]) == row.expected,
          std::string("tag removal: ") + row.what);
  }
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
    controller->shown =
        [newAttachment("image/png", row.name != nullptr ? row.name : "-", "-", 0) autorelease];
    check([controller shouldBeDisplayedInlineByDefault] == row.inlineByDefault,
          std::string("shown inline by default: ") + (row.name ? row.name : "(no name)"));
    check([controller canBeDisplayedInline], "every attachment can be shown inline");
  }
  // A controller whose attachment cannot be had: the plug-in answers, and raises nothing.
  AttachmentViewController* failing = [[[AttachmentViewController alloc] init] autorelease];
  failing->raises = YES;
  check(!raisesMailsOwn([&] { (void)[failing shouldBeDisplayedInlineByDefault]; }),
        "the display policy never raises into Mail");
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
  // AppKit raising under the toggles: the plug-in's code ends there, and raises nothing.
  Method setState = class_getInstanceMethod([NSMenuItem class], @selector(setState:));
  IMP own = method_setImplementation(setState, raising());
  check(!raisesMailsOwn([&] {
    [plugin toggleOff];
    [plugin toggle:item];
    [plugin toggleTo:NO];
  }),
        "the toggles never raise into Mail");
  method_setImplementation(setState, own);
}

#if QV_LACKS != QV_LACKS_PREFERENCES
// A control of the pane's view by its title (a prefix of it).
id control(NSView* view, const std::string& title) {
  NSArray* controls = [view subviews];
  for (NSUInteger i = 0; i < [controls count]; ++i) {
    id c = [controls objectAtIndex:i];
    if ([c isKindOfClass:[NSButton class]] && text([c title]).rfind(title, 0) == 0) return c;
  }
  return nil;
}

[[maybe_unused]] void thePane() {
  Class preferences = NSClassFromString(@"NSPreferences");
  check([preferences sharedPreferences] == nil, "no controller yet: nothing");
  controllerExists = true;
  // Mail's own method (the exchanged one) makes the controller; its window has a toolbar.
  [[preferences QVSharedPreferences] giveWindowWithToolbar:YES];
  for (int i = 0; i < 3; ++i) (void)[preferences sharedPreferences];
  check([panes count] == 1 && text([[panes objectAtIndex:0] objectAtIndex:0]) == "Stowlet",
        "the pane is added once, as Stowlet");
  check(logged("QVMailPlugin - Preference notice 42"), "a window with a toolbar: the notice");
  id pane = [[panes objectAtIndex:0] objectAtIndex:1];
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
  // The view, made once from the pane description, its controls showing the settings.
  NSView* view = [pane viewForPreferenceNamed:@"Stowlet"];
  check(view != nil && [pane viewForPreferenceNamed:@"Stowlet"] == view,
        "one view for the pane, made once");
  check([[view subviews] count] == 9, "nine controls from the pane description");
  NSButton* icons = control(view, "Display attachments as icons");
  check(icons != nil && [icons state] == NSOnState, "the icons switch shows its setting");
  [icons performClick:nil];
  check(![defaults() boolForKey:@"QVStowletAAI"], "clicking the icons switch writes QVStowletAAI");
  [icons performClick:nil];
  check([defaults() boolForKey:@"QVStowletAAI"], "and back");
  // Settings changed elsewhere (the menu, another pane): displayed, the controls show them.
  NSMenuItem* menuItem = [[[[NSApp mainMenu] itemAtIndex:0] submenu] itemAtIndex:2];
  [defaults() setBool:NO forKey:@"QVStowletAAI"];
  [defaults() setBool:NO forKey:@"QVStowletDisableInlineAttachments"];
  [defaults() setBool:NO forKey:@"QVStowletEnabled"];
  [defaults() setObject:@"elsewhere" forKey:@"QVStowletSignatureFilename"];
  [pane willBeDisplayed];
  check([icons state] == NSOffState && [control(view, "Disable inline") state] == NSOffState,
        "willBeDisplayed: the switches show the settings as they are");
  check(([menuItem state] == NSOnState) == [defaults() boolForKey:@"QVStowletEnabled"] &&
            ([control(view, "Enable") state] == NSOnState) ==
                [defaults() boolForKey:@"QVStowletEnabled"],
        "willBeDisplayed: the setting re-published through the menu item, which agrees");
  [defaults() setBool:YES forKey:@"QVStowletEnabled"];
  [menuItem setState:NSOnState];
  [defaults() setBool:YES forKey:@"QVStowletAAI"];
  [defaults() setBool:YES forKey:@"QVStowletDisableInlineAttachments"];
  // The enable switch goes through the menu item's toggle.
  NSMenuItem* item = [[[[NSApp mainMenu] itemAtIndex:0] submenu] itemAtIndex:2];
  NSButton* enable = control(view, "Enable");
  check(enable != nil && [enable state] == NSOnState && [item state] == NSOnState,
        "the enable switch shows the plug-in on");
  [enable performClick:nil];
  check(![defaults() boolForKey:@"QVStowletEnabled"] && [item state] == NSOffState,
        "the enable switch turns the plug-in off through the menu item");
  [enable performClick:nil];
  check([defaults() boolForKey:@"QVStowletEnabled"] && [item state] == NSOnState, "and on again");
  // The text field writes the signature name; the button opens the support page.
  NSArray* controls = [view subviews];
  for (NSUInteger i = 0; i < [controls count]; ++i) {
    id c = [controls objectAtIndex:i];
    if ([c isKindOfClass:[NSTextField class]] && [c isEditable]) {
      check(text([c stringValue]) == "elsewhere", "the text field shows the signature name");
      [c setStringValue:@"my-signature"];
      [c sendAction:[c action] to:[c target]];
    }
  }
  [control(view, "Support") performClick:nil];
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
#if defined(GNUSTEP)
  _NSLog_printf_handler = &captureLog;
#else
  char logName[] = "/tmp/qv-test-mail-log-XXXXXX";
  const int logFd = ::mkstemp(logName);
  if (logFd < 0 || ::dup2(logFd, STDERR_FILENO) < 0) return 70;
  logFile = logName;
#endif
  registeredBundles = [[NSMutableArray alloc] init];
#if defined(GNUSTEP) && QV_LACKS != QV_LACKS_PREFERENCES
  modules = [[NSMutableDictionary alloc] init];
#endif
  panes = [[NSMutableArray alloc] init];
  givePreferencesBehaviour();
  // Settings of the test Mail's own from the start (a Mac keeps a tool's between runs).
  [defaults() removePersistentDomainForName:[[NSProcessInfo processInfo] processName]];
  method_setImplementation(class_getInstanceMethod([NSAlert class], @selector(runModal)),
                           reinterpret_cast<IMP>(reinterpret_cast<void (*)()>(&recordAlert)));
  method_setImplementation(class_getInstanceMethod([NSWorkspace class], @selector(openURL:)),
                           reinterpret_cast<IMP>(reinterpret_cast<void (*)()>(&recordURL)));
#if QV_LACKS == QV_STORED_OFF
  [defaults() setBool:NO forKey:@"QVStowletEnabled"];
#endif

  // Mail's application and its application menu: A, separator, B.
  [NSApplication sharedApplication];
  NSSetUncaughtExceptionHandler(&uncaught);
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
  check(!raisesMailsOwn([&] { [plugin class]; }), "the start-up never raises into Mail");
  const std::string goldens = argv[2];

#if QV_LACKS == QV_LACKS_NOTHING
  theStartUp(plugin);
  theHook(goldens);
  theHookWithoutPool(goldens);
  theTagRemoval();
  theDisplayPolicy();
  theMenu(plugin);
  thePane();
#elif QV_LACKS == QV_STORED_OFF
  // Stored off before Mail started: the item starts off, the setting stays. A registration
  // that raised costs nothing of the start-up; a window without a toolbar gets no notice.
  check(logged("QVMailPlugin - Ready."), "Ready., though Mail's registration raised");
  NSMenuItem* item = [[[[NSApp mainMenu] itemAtIndex:0] submenu] itemAtIndex:2];
  check(text([item title]) == "QV's Stowlet" && [item state] == NSOffState &&
            ![defaults() boolForKey:@"QVStowletEnabled"],
        "a plug-in stored as off: its menu item starts off");
  controllerExists = true;
  Class preferences = NSClassFromString(@"NSPreferences");
  [[preferences QVSharedPreferences] giveWindowWithToolbar:NO];
  (void)[preferences sharedPreferences];
  check([panes count] == 1, "the pane is added");
  check(!logged("QVMailPlugin - Preference notice 42"), "a window without a toolbar: no notice");
  // AppKit raising under the pane's controls: the click ends there, and raises nothing.
  id pane = [[panes objectAtIndex:0] objectAtIndex:1];
  NSView* view = [pane viewForPreferenceNamed:@"Stowlet"];
  Method state = class_getInstanceMethod([NSButton class], @selector(state));
  IMP own = method_setImplementation(state, raising());
  NSArray* controls = [view subviews];
  check(!raisesMailsOwn([&] {
    for (NSUInteger i = 0; i < [controls count]; ++i) {
      id c = [controls objectAtIndex:i];
      if ([c isKindOfClass:[NSButton class]]) [c sendAction:[c action] to:[c target]];
    }
    [pane willBeDisplayed];
  }),
        "the pane never raises into Mail");
  method_setImplementation(state, own);
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
  controller->shown = [newAttachment("image/png", "email-signature.png", "-", 0) autorelease];
  check([controller shouldBeDisplayedInlineByDefault], "exchange 2 is in force");
#elif QV_LACKS == QV_LACKS_PREFERENCES
  check(logged("QVMailPlugin - Failed (0x100)."), "Failed (0x100).");
#endif
#if QV_LACKS >= QV_LACKS_INLINE_BY_DEFAULT
  {
    std::srand(20261208);
    goldenInput = readFile(goldens + "/picture.in.eml");
    id message =
        [compose("<p>Hi <img src=\"cid:p1@x\"></p>", {"image/jpeg IMG_1.jpg <p1@x>"}) autorelease];
    goldenInput.clear();
    check(raw(message).find("Content-Type: multipart/mixed") != std::string::npos,
          "exchange 1 is in force: the message is rebuilt");
  }
#endif
#endif
  readLog();
  for (const std::string& line : logLines) std::printf("%s\n", line.c_str());
  std::printf("%s: %d failed\n", argv[0], failures);
  [defaults() removePersistentDomainForName:[[NSProcessInfo processInfo] processName]];
#if !defined(GNUSTEP)
  ::unlink(logFile.c_str());
#endif
  [pool release];
  return failures == 0 ? 0 : 1;
}
