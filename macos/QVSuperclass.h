// Changing a class's superclass at run time, the one thing the platforms' Objective-C
// runtimes do differently (Apple's has class_setSuperclass, GCC's has none).
#pragma once

#import <Foundation/Foundation.h>

namespace qv::objc {

// Makes `superclass` the superclass of `cls` (and its metaclass that of cls's metaclass),
// so that methods are found through it from then on, also for classes loaded later. A class
// with no instance variables of its own takes the new superclass's instance size. False
// when either is Nil.
bool setSuperclass(Class cls, Class superclass);

}  // namespace qv::objc
