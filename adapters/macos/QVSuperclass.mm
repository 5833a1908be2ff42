#include "QVSuperclass.h"

#if (defined(GNU_RUNTIME) || defined(__GNU_LIBOBJC__)) && !defined(QV_CHECK_APPLE_RUNTIME)
#include <objc/runtime.h>
#include <objc/thr.h>

// The runtime's lock and the call that rebuilds a class's dispatch table, which the
// installed headers do not declare either.
extern "C" objc_mutex_t __objc_runtime_mutex;
extern "C" void __objc_update_dispatch_table_for_class(Class);

namespace {

using qv::objc::QVGnuClass;

// Takes `cls` out of its old superclass's list of subclasses and into the new one's: the
// runtime rebuilds the superclass links from these lists when further classes load.
void relink(QVGnuClass* cls, QVGnuClass* from, QVGnuClass* to) {
  if (from != nullptr) {
    for (QVGnuClass** link = &from->subclass_list; *link != nullptr;
         link = &(*link)->sibling_class) {
      if (*link == cls) {
        *link = cls->sibling_class;
        break;
      }
    }
  }
  cls->sibling_class = to->subclass_list;
  to->subclass_list = cls;
  cls->super_class = to;
}

}  // namespace

bool qv::objc::setSuperclass(Class cls, Class superclass) {
  if (cls == Nil || superclass == Nil) return false;
  auto* gnu = reinterpret_cast<QVGnuClass*>(cls);
  auto* super = reinterpret_cast<QVGnuClass*>(superclass);
  objc_mutex_lock(__objc_runtime_mutex);
  const bool ownIvars = gnu->ivars != nullptr;
  if (ownIvars && gnu->instance_size < super->instance_size) {
    objc_mutex_unlock(__objc_runtime_mutex);
    return false;  // its variables would lie over the superclass's
  }
  relink(gnu->isa, gnu->isa->super_class, super->isa);
  relink(gnu, gnu->super_class, super);
  if (!ownIvars && gnu->instance_size < super->instance_size) {
    gnu->instance_size = super->instance_size;
  }
  __objc_update_dispatch_table_for_class(reinterpret_cast<Class>(gnu->isa));
  __objc_update_dispatch_table_for_class(cls);
  objc_mutex_unlock(__objc_runtime_mutex);
  return true;
}

#else
#include <objc/runtime.h>

#if defined(QV_CHECK_APPLE_RUNTIME) && !defined(__APPLE__)
// This branch compiled on another runtime, to check it: the one call that runtime lacks.
extern "C" Class class_setSuperclass(Class cls, Class superclass);
#endif

bool qv::objc::setSuperclass(Class cls, Class superclass) {
  if (cls == Nil || superclass == Nil) return false;
  // Instances made from the class's own size would be too small (or too large) for the
  // superclass's methods.
  if (class_getInstanceSize(cls) != class_getInstanceSize(superclass)) return false;
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wdeprecated-declarations"
  class_setSuperclass(cls, superclass);
#pragma clang diagnostic pop
  return true;
}

#endif
