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

}  // namespace qv::objc
