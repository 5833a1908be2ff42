// The superclass change on the runtime at hand: made inside +initialize, it holds for class
// and instance methods, gives the class its new base's instance size, and survives classes
// loaded afterwards (the runtime relinks superclasses from its subclass lists then).
//   qv-superclass-test LATE_MODULE

#import <Foundation/Foundation.h>
#include <dlfcn.h>
#include <objc/runtime.h>

#include <cstdio>

#include "QVSuperclass.h"

@interface QVBase : NSObject {
  long fields[8];
}
+ (int)classAnswer;
- (int)answer;
@end

@implementation QVBase
+ (int)classAnswer {
  return 41;
}
- (int)answer {
  fields[7] = 42;  // the base's last field: inside the object only with the new size
  return static_cast<int>(fields[7]);
}
@end

@interface QVMoved : NSObject
@end

@implementation QVMoved
+ (void)initialize {
  if (self == [QVMoved class]) qv::objc::setSuperclass(self, [QVBase class]);
}
@end

// A class with instance variables of its own: a larger base would lie over them.
@interface QVOwnFields : NSObject {
  int own;
}
@end

@implementation QVOwnFields
@end

// The class moved must be in its new base's list of subclasses alone.
bool listedUnder(Class parent, Class child) {
  const auto* p = reinterpret_cast<const qv::objc::QVGnuClass*>(parent);
  for (const qv::objc::QVGnuClass* c = p->subclass_list; c != nullptr; c = c->sibling_class) {
    if (c == reinterpret_cast<const qv::objc::QVGnuClass*>(child)) return true;
  }
  return false;
}

@interface NSObject (QVBaseMethods)
+ (int)classAnswer;
- (int)answer;
@end

int main(int argc, char** argv) {
  NSAutoreleasePool* pool = [[NSAutoreleasePool alloc] init];
  int failures = 0;
  const auto check = [&](bool ok, const char* what) {
    if (!ok) {
      ++failures;
      std::fprintf(stderr, "FAILED: %s\n", what);
    }
  };
  [QVMoved class];
  check([QVMoved superclass] == [QVBase class], "the superclass is changed");
  check([QVMoved classAnswer] == 41, "class methods come from the new base");
  id moved = [[QVMoved alloc] init];
  check([moved answer] == 42 && [moved isKindOfClass:[QVBase class]],
        "instance methods too, and membership");
  check(class_getInstanceSize([QVMoved class]) >= class_getInstanceSize([QVBase class]),
        "the instance size is the new base's");
  check(listedUnder([QVBase class], [QVMoved class]) &&
            !listedUnder([NSObject class], [QVMoved class]),
        "the class is listed under its new base alone");
  [moved release];
  check(argc == 2 && dlopen(argv[1], RTLD_NOW) != nullptr, "a further module loads");
  check(NSClassFromString(@"QVLateClass") != Nil, "its class is there");
  check([QVMoved superclass] == [QVBase class] && [QVMoved classAnswer] == 41,
        "the change survives classes loaded afterwards");
  check(!qv::objc::setSuperclass(Nil, [QVBase class]), "no class: false");
  check(!qv::objc::setSuperclass([QVOwnFields class], [QVBase class]) &&
            [QVOwnFields superclass] == [NSObject class],
        "a class whose own variables a larger base would cover: refused, unchanged");
  std::printf("%s: %d failed\n", argv[0], failures);
  [pool release];
  return failures == 0 ? 0 : 1;
}
