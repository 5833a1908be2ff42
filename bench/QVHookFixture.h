#pragma once
// The stand-in Mail with the plug-in's hook in place around a generator that hands back a
// message made in advance: what is measured is everything but the generator itself.
//
//   QVHookFixture fixture(std::move(rawMessage));
//   fixture.send();   // one message through the hook; the rebuilt bytes are in the result

#include <map>
#include <memory>
#include <string>

#include "host/QVUserDefaults.h"
#include "standin/QVRuntime.h"
#include "standin/QVStandInMail.h"

namespace qv::bench {

// A settings store in memory, with the plug-in's defaults written in.
class QVMemoryDefaults final : public QVUserDefaults {
 public:
  [[nodiscard]] std::optional<QVDefaultsValue> objectForKey(std::string_view key) const override;
  void setObject(std::string_view key, QVDefaultsValue value) override;

 private:
  std::map<std::string, QVDefaultsValue, std::less<>> values_;
};

class QVHookFixture {
 public:
  // `raw` is what Mail's generator produces for the message.
  explicit QVHookFixture(std::string raw);
  ~QVHookFixture();
  QVHookFixture(const QVHookFixture&) = delete;
  QVHookFixture& operator=(const QVHookFixture&) = delete;

  // The generator's call as Mail makes it, through the hook: the outgoing message.
  QVObjectRef send();
  [[nodiscard]] std::size_t rawSize() const { return rawSize_; }

 private:
  QVMemoryDefaults store_;
  mail::QVStandInMail mail_;
  QVObjectRef raw_;
  std::size_t rawSize_ = 0;
  QVObjectRef generator_, html_, plain_, list_, headers_;
};

}  // namespace qv::bench
