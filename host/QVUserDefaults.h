#pragma once
// The settings store the plug-in reads and writes: the host's standard user defaults.
//
// Every key either has no value or holds one of the store's value types. The plug-in
// itself only ever stores Booleans, strings and integers, but a store shared with the
// host may hold other kinds under other keys (or under ours, written by hand); those
// read back as `QVOtherValue` and are never replaced by the defaults writer.
//
// The start-up hands Mail's store to every reader in the plug-in's context
// (host/QVPluginContext.h); a reader asks the store at the moment of use and keeps no copy.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace qv {

// A value of a kind the plug-in does not handle itself (a date, data, an array, ...).
struct QVOtherValue {
  std::string kind;  // for diagnostics, e.g. "array"
  friend bool operator==(const QVOtherValue&, const QVOtherValue&) = default;
};

using QVDefaultsValue = std::variant<bool, std::int64_t, double, std::string, QVOtherValue>;

class QVUserDefaults {
 public:
  virtual ~QVUserDefaults() = default;

  // The stored value, or nothing when the key has no value.
  [[nodiscard]] virtual std::optional<QVDefaultsValue> objectForKey(std::string_view key) const = 0;

  // Stores a value under the key, replacing whatever was there.
  virtual void setObject(std::string_view key, QVDefaultsValue value) = 0;

  // Typed reads, with the platform store's conversions:
  // - boolForKey: Booleans as they are, numbers non-zero, strings "YES"/"true"/a non-zero
  //   number (case ignored); anything else, and an absent key, reads false.
  // - integerForKey: integers as they are, reals truncated, Booleans 0/1, strings by their
  //   leading decimal number; anything else, and an absent key, reads 0.
  // - valueForKey: the stored object as it is (the caller checks its kind).
  [[nodiscard]] bool boolForKey(std::string_view key) const;
  [[nodiscard]] std::int64_t integerForKey(std::string_view key) const;
  // A value as integerForKey reads it.
  [[nodiscard]] static std::int64_t integerOf(const QVDefaultsValue& value);
  [[nodiscard]] std::optional<QVDefaultsValue> valueForKey(std::string_view key) const {
    return objectForKey(key);
  }

  // Stores a value only where the key has none: the start-up's defaults. A store shared by
  // several processes writes it only where the key has no value at the moment it saves,
  // never over a value another process wrote meanwhile.
  virtual void setObjectIfAbsent(std::string_view key, QVDefaultsValue value) {
    if (!objectForKey(key)) setObject(key, std::move(value));
  }

  // Adds `delta` to the 32-bit signed counter under the key (its integer value's low 32 bits,
  // wrapping). A store shared by several processes adds it to the value the key holds at
  // the moment it saves, so no process's count is lost.
  virtual void addToCounter(std::string_view key, std::int64_t delta) {
    setObject(key, countedUp(integerForKey(key), delta));
  }
  // `stored` + `delta` as a 32-bit signed counter.
  [[nodiscard]] static std::int64_t countedUp(std::int64_t stored, std::int64_t delta) {
    const auto low = static_cast<std::uint32_t>(static_cast<std::uint64_t>(stored));
    return static_cast<std::int32_t>(low + static_cast<std::uint32_t>(delta));
  }

  void setBool(bool value, std::string_view key) { setObject(key, value); }
  void setValue(std::string value, std::string_view key) { setObject(key, std::move(value)); }
  void setInteger(std::int64_t value, std::string_view key) { setObject(key, value); }
};

}  // namespace qv
