#include "standin/QVRuntime.h"

namespace qv {

bool QVObject::isKindOfClass(const QVClass* cls) const {
  return cls != nullptr && class_->isSubclassOf(cls);
}

bool QVClass::isSubclassOf(const QVClass* other) const {
  for (const QVClass* c = this; c != nullptr; c = c->super_) {
    if (c == other) return true;
  }
  return false;
}

QVMethod* QVClass::instanceMethod(std::string_view selector) {
  for (QVClass* c = this; c != nullptr; c = c->super_) {
    auto it = c->instanceMethods_.find(selector);
    if (it != c->instanceMethods_.end()) return it->second.get();
  }
  return nullptr;
}

QVMethod* QVClass::classMethod(std::string_view selector) {
  for (QVClass* c = this; c != nullptr; c = c->super_) {
    auto it = c->classMethods_.find(selector);
    if (it != c->classMethods_.end()) return it->second.get();
  }
  return nullptr;
}

void QVClass::addMethod(Table& table, std::string_view selector, std::any implementation) {
  auto it = table.find(selector);
  if (it != table.end()) {
    it->second->implementation = std::move(implementation);
    return;
  }
  table.emplace(std::string(selector), std::make_unique<QVMethod>(QVMethod{
                                           std::string(selector), std::move(implementation)}));
}

void exchangeImplementations(QVMethod& a, QVMethod& b) {
  std::swap(a.implementation, b.implementation);
}

}  // namespace qv
