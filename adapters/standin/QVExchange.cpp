#include "adapters/standin/QVExchange.h"

namespace qv {

bool fun(QVRuntime& runtime, std::string_view hostClass, std::string_view hostSelector,
         std::string_view replacementClass, std::string_view replacementSelector,
         bool instanceMethod) {
  auto lookUp = [&](std::string_view className, std::string_view selector) -> QVMethod* {
    QVClass* cls = runtime.classNamed(className);
    if (cls == nullptr) return nullptr;
    return instanceMethod ? cls->instanceMethod(selector) : cls->classMethod(selector);
  };
  QVMethod* host = lookUp(hostClass, hostSelector);
  QVMethod* replacement = lookUp(replacementClass, replacementSelector);
  if (host == nullptr || replacement == nullptr) return false;
  exchangeImplementations(*host, *replacement);
  return true;
}

}  // namespace qv
