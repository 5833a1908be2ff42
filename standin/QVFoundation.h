#pragma once
// The host's value objects, as the plug-in reads them: texts, lists, bytes. The host makes
// them (QVRuntime::makeString and so on); a reader checks the kind before using one.

#include <optional>
#include <string>
#include <vector>

#include "standin/QVRuntime.h"

namespace qv {

class QVString : public QVObject {
 public:
  QVString(QVClass& cls, std::string value) : QVObject(cls), value_(std::move(value)) {}
  [[nodiscard]] const std::string& value() const { return value_; }

 private:
  std::string value_;
};

class QVArray : public QVObject {
 public:
  QVArray(QVClass& cls, std::vector<QVObjectRef> items) : QVObject(cls), items_(std::move(items)) {}
  [[nodiscard]] const std::vector<QVObjectRef>& items() const { return items_; }

 private:
  std::vector<QVObjectRef> items_;
};

class QVData : public QVObject {
 public:
  QVData(QVClass& cls, std::string bytes) : QVObject(cls), bytes_(std::move(bytes)) {}
  [[nodiscard]] const std::string& bytes() const { return bytes_; }

 private:
  std::string bytes_;
};

// The text of a string object; nothing for null or another kind of object.
[[nodiscard]] inline std::optional<std::string> stringValue(const QVObjectRef& object) {
  if (auto* s = dynamic_cast<const QVString*>(object.get())) return s->value();
  return std::nullopt;
}

}  // namespace qv
