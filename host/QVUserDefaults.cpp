#include "host/QVUserDefaults.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>

namespace qv {

namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

std::int64_t leadingInteger(std::string_view s) {
  s = trimmed(s);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  std::int64_t value = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  (void)end;
  if (ec == std::errc::result_out_of_range) {
    return (!s.empty() && s.front() == '-') ? std::numeric_limits<std::int64_t>::min()
                                            : std::numeric_limits<std::int64_t>::max();
  }
  return ec == std::errc() ? value : 0;
}

std::int64_t truncatedReal(double d) {
  if (std::isnan(d)) return 0;
  if (d >= 9.2e18) return std::numeric_limits<std::int64_t>::max();
  if (d <= -9.2e18) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(d);
}

}  // namespace

bool QVUserDefaults::boolForKey(std::string_view key) const {
  auto value = objectForKey(key);
  if (!value) return false;
  if (auto* b = std::get_if<bool>(&*value)) return *b;
  if (auto* i = std::get_if<std::int64_t>(&*value)) return *i != 0;
  if (auto* d = std::get_if<double>(&*value)) return *d != 0.0;
  if (auto* s = std::get_if<std::string>(&*value)) {
    std::string_view t = trimmed(*s);
    if (equalsIgnoringCase(t, "yes") || equalsIgnoringCase(t, "true")) return true;
    return leadingInteger(t) != 0;
  }
  return false;
}

std::int64_t QVUserDefaults::integerForKey(std::string_view key) const {
  auto value = objectForKey(key);
  return value ? integerOf(*value) : 0;
}

std::int64_t QVUserDefaults::integerOf(const QVDefaultsValue& value) {
  if (auto* i = std::get_if<std::int64_t>(&value)) return *i;
  if (auto* b = std::get_if<bool>(&value)) return *b ? 1 : 0;
  if (auto* d = std::get_if<double>(&value)) return truncatedReal(*d);
  if (auto* s = std::get_if<std::string>(&value)) return leadingInteger(*s);
  return 0;
}

}  // namespace qv
