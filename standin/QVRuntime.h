#pragma once
// The stand-in Mail's object runtime, as the plug-in's classes on it use it: classes found
// by name, methods found by selector, method exchange, class membership, categories.
//
// Every object is an instance of a runtime class; a class has a name, a superclass (which
// can change) and two method tables. A method is an entry holding a selector and a typed
// implementation; sending a selector looks the entry up through the superclass chain and
// calls its implementation. Exchanging two entries swaps their implementations, so that
// afterwards each selector runs the other's code.
//
// Implementations are typed: an instance method of signature R(A...) is stored as
// std::function<R(QVObject& self, A...)>, a class method as
// std::function<R(QVClass& cls, A...)>. Sending with the wrong signature, or a selector the
// class does not have, throws QVRuntimeError: a programming error, never undefined
// behaviour.
//
//   constexpr QVSelector<QVObjectRef()> kMimeType{"mimeType"};
//   QVObjectRef type = send(*attachment, kMimeType);

#include <any>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qv {

class QVClass;

// A host object.
class QVObject {
 public:
  explicit QVObject(QVClass& cls) : class_(&cls) {}
  virtual ~QVObject() = default;
  QVObject(const QVObject&) = delete;
  QVObject& operator=(const QVObject&) = delete;

  [[nodiscard]] QVClass& objectClass() const { return *class_; }
  // True when the object is an instance of `cls` or of one of its subclasses; false for null.
  [[nodiscard]] bool isKindOfClass(const QVClass* cls) const;

 private:
  QVClass* class_;
};

using QVObjectRef = std::shared_ptr<QVObject>;

// One entry of a method table.
struct QVMethod {
  std::string selector;
  std::any implementation;
};

// A selector with the signature of its implementation (without the receiver).
template <class Signature>
struct QVSelector;
template <class R, class... A>
struct QVSelector<R(A...)> {
  std::string_view name;
};

// A send that cannot work: the selector is missing, or its implementation has another
// signature.
class QVRuntimeError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

class QVClass {
 public:
  QVClass(std::string name, QVClass* superclass) : name_(std::move(name)), super_(superclass) {}
  QVClass(const QVClass&) = delete;
  QVClass& operator=(const QVClass&) = delete;

  [[nodiscard]] const std::string& name() const { return name_; }
  [[nodiscard]] QVClass* superclass() const { return super_; }
  void setSuperclass(QVClass* superclass) { super_ = superclass; }
  // This class or one of its ancestors is `other`.
  [[nodiscard]] bool isSubclassOf(const QVClass* other) const;

  // The entry for the selector, here or in an ancestor; null when none has it.
  [[nodiscard]] QVMethod* instanceMethod(std::string_view selector);
  [[nodiscard]] QVMethod* classMethod(std::string_view selector);

  // Adds (or replaces) a method of this class itself.
  template <class R, class... A>
  void addInstanceMethod(QVSelector<R(A...)> selector,
                         std::function<R(QVObject&, A...)> implementation) {
    addMethod(instanceMethods_, selector.name, std::any(std::move(implementation)));
  }
  template <class R, class... A>
  void addClassMethod(QVSelector<R(A...)> selector,
                      std::function<R(QVClass&, A...)> implementation) {
    addMethod(classMethods_, selector.name, std::any(std::move(implementation)));
  }

  // The categories whose methods were added to this class, by name, in order.
  void noteCategory(std::string name) { categories_.push_back(std::move(name)); }
  [[nodiscard]] const std::vector<std::string>& categories() const { return categories_; }

 private:
  using Table = std::map<std::string, std::unique_ptr<QVMethod>, std::less<>>;
  static void addMethod(Table& table, std::string_view selector, std::any implementation);

  std::string name_;
  QVClass* super_;
  Table instanceMethods_;
  Table classMethods_;
  std::vector<std::string> categories_;
};

// Swaps the implementations of two method entries.
void exchangeImplementations(QVMethod& a, QVMethod& b);

// Sends an instance method.
template <class R, class... A, class... Given>
R send(QVObject& receiver, QVSelector<R(A...)> selector, Given&&... args) {
  QVMethod* method = receiver.objectClass().instanceMethod(selector.name);
  if (method == nullptr) {
    throw QVRuntimeError("-[" + receiver.objectClass().name() + " " + std::string(selector.name) +
                         "]: unrecognized selector");
  }
  auto* implementation = std::any_cast<std::function<R(QVObject&, A...)>>(&method->implementation);
  if (implementation == nullptr) {
    throw QVRuntimeError("-[" + receiver.objectClass().name() + " " + std::string(selector.name) +
                         "]: sent with another signature");
  }
  return (*implementation)(receiver, std::forward<Given>(args)...);
}

// Sends a class method.
template <class R, class... A, class... Given>
R send(QVClass& receiver, QVSelector<R(A...)> selector, Given&&... args) {
  QVMethod* method = receiver.classMethod(selector.name);
  if (method == nullptr) {
    throw QVRuntimeError("+[" + receiver.name() + " " + std::string(selector.name) +
                         "]: unrecognized selector");
  }
  auto* implementation = std::any_cast<std::function<R(QVClass&, A...)>>(&method->implementation);
  if (implementation == nullptr) {
    throw QVRuntimeError("+[" + receiver.name() + " " + std::string(selector.name) +
                         "]: sent with another signature");
  }
  return (*implementation)(receiver, std::forward<Given>(args)...);
}

// The runtime's class registry and the Foundation values the plug-in makes.
class QVRuntime {
 public:
  virtual ~QVRuntime() = default;

  // The class of that name, or null when the host has none.
  [[nodiscard]] virtual QVClass* classNamed(std::string_view name) = 0;
  // Registers a new class (the plug-in's own); returns the existing one of that name.
  virtual QVClass& registerClass(std::string_view name, QVClass* superclass) = 0;

  // A text, a list and bytes, as the host's own string, array and data objects.
  [[nodiscard]] virtual QVObjectRef makeString(std::string text) = 0;
  [[nodiscard]] virtual QVObjectRef makeArray(std::vector<QVObjectRef> items) = 0;
  [[nodiscard]] virtual QVObjectRef makeData(std::string bytes) = 0;
};

}  // namespace qv
