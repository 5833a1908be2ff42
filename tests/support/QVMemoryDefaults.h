#pragma once
// A settings store in memory, for tests.

#include <map>
#include <string>

#include "host/QVUserDefaults.h"

namespace qv::test {

class QVMemoryDefaults final : public QVUserDefaults {
 public:
  [[nodiscard]] std::optional<QVDefaultsValue> objectForKey(std::string_view key) const override {
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    return it->second;
  }
  void setObject(std::string_view key, QVDefaultsValue value) override {
    values_.insert_or_assign(std::string(key), std::move(value));
  }
  void remove(std::string_view key) {
    auto it = values_.find(key);
    if (it != values_.end()) values_.erase(it);
  }
  [[nodiscard]] std::size_t size() const { return values_.size(); }

 private:
  std::map<std::string, QVDefaultsValue, std::less<>> values_;
};

}  // namespace qv::test
