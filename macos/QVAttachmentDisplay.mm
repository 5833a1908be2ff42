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
  std::optional<std::string> name;
  try {
    id attachment = [self attachment];
    if (attachment != nil) name = qv::objc::text([attachment filename]);
  } catch (...) {
    name.reset();  // a controller that cannot say: as an attachment without a name
  }
  return qv::shouldBeDisplayedInlineByDefault(qv::userDefaults, name) ? YES : NO;
}

- (BOOL)QVCanBeDisplayedInline {
  return YES;
}

@end
