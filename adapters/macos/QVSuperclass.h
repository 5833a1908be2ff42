// Changing a class's superclass at run time, the one thing the platforms' Objective-C
// runtimes do differently (Apple's has class_setSuperclass, GCC's has none).
#pragma once

#import <Foundation/Foundation.h>

namespace qv::objc {

// Makes `superclass` the superclass of `cls` (and its metaclass that of cls's metaclass),
// so that methods are found through it from then on, also for classes loaded later.
//
// An instance of `cls` must hold the new superclass's instance variables, so the change is
// made only where the sizes come out right, and refused (false, nothing changed) where they
// would not:
// - on GCC's runtime, a class without instance variables of its own takes the new
//   superclass's instance size; one with its own is refused when the new superclass's
//   instances are larger (its variables would lie over the superclass's);
// - on Apple's runtime, where a class's instance size is fixed once it is in use, the change
//   is refused when the two instance sizes differ.
// False too when either is Nil.
bool setSuperclass(Class cls, Class superclass);

#if (defined(GNU_RUNTIME) || defined(__GNU_LIBOBJC__)) && !defined(QV_CHECK_APPLE_RUNTIME)
// GCC's runtime (module ABI 8): its class structure, which its installed headers do not
// declare. Each class is in its superclass's list of subclasses, from which the runtime links
// classes loaded later.
struct QVGnuClass {
  QVGnuClass* isa;
  QVGnuClass* super_class;
  const char* name;
  long version;
  unsigned long info;
  long instance_size;
  void* ivars;
  void* methods;
  void* dtable;
  QVGnuClass* subclass_list;
  QVGnuClass* sibling_class;
  void* protocols;
  void* gc_object_type;
};
#endif

}  // namespace qv::objc
