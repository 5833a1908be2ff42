// A class in a module of its own, loaded after a superclass change.
#import <Foundation/Foundation.h>

@interface QVLateClass : NSObject
@end

@implementation QVLateClass
@end
