// AVC: the two answers the start-up puts in place of Mail's AttachmentViewController's own
// (the policy itself is shared: shell/QVPluginRules.h). After the exchange these methods
// run on Mail's controllers, so `attachment` is the controller's own.

#import <Foundation/Foundation.h>

#include "QVObjCBridge.h"
#include "shell/QVPluginRules.h"

@interface NSObject (QVMailAttachment)
- (id)filename;
@end

@interface AVC : NSObject
@property(readonly, nonatomic) id attachment;
- (BOOL)QVShouldBeDisplayedInlineByDefault;
- (BOOL)QVCanBeDisplayedInline;
@end

@implementation AVC

@dynamic attachment;

- (BOOL)QVShouldBeDisplayedInlineByDefault {
  bool shown = true;
  try {
    shown = qv::shouldBeDisplayedInlineByDefault(qv::objc::plugin().context,
                                                 [&]() -> std::optional<std::string> {
                                                   id attachment = [self attachment];
                                                   if (attachment == nil) return std::nullopt;
                                                   return qv::objc::text([attachment filename]);
                                                 });
  } catch (...) {
    shown = true;  // a controller that cannot say: as an attachment without a name, inline
  }
  return shown ? YES : NO;
}

- (BOOL)QVCanBeDisplayedInline {
  return YES;
}

@end
