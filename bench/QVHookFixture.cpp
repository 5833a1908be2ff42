#include "bench/QVHookFixture.h"

#include <functional>

#include "adapters/standin/QVExchange.h"
#include "adapters/standin/QVGeneratorHook.h"
#include "adapters/standin/QVMailPlugin.h"
#include "adapters/standin/QVPluginState.h"
#include "shell/QVSettings.h"

namespace qv::bench {

std::optional<QVDefaultsValue> QVMemoryDefaults::objectForKey(std::string_view key) const {
  auto it = values_.find(key);
  return it == values_.end() ? std::nullopt : std::optional<QVDefaultsValue>(it->second);
}

void QVMemoryDefaults::setObject(std::string_view key, QVDefaultsValue value) {
  values_.insert_or_assign(std::string(key), std::move(value));
}

QVHookFixture::QVHookFixture(std::string raw) : rawSize_(raw.size()) {
  writeDefaults(store_);
  standInPlugin().context.userDefaults = &store_;
  raw_ = mail_.makeData(std::move(raw));
  // Mail's generator, standing in: hands back the message made in advance, as Mail's would.
  mail_.classNamed(mail::kMessageGeneratorClass)
      ->addInstanceMethod(
          mail::kNewMessage,
          std::function<QVObjectRef(QVObject&, QVObjectRef, QVObjectRef, QVObjectRef, QVObjectRef)>(
              [this](QVObject&, QVObjectRef, QVObjectRef, QVObjectRef, QVObjectRef) -> QVObjectRef {
                auto message = std::make_shared<mail::QVMailOutgoingMessage>(
                    *mail_.classNamed(mail::kOutgoingMessageClass));
                message->rawData = raw_;
                return message;
              }));
  addGeneratorTraits(mail_);
  fun(mail_, mail::kMessageGeneratorClass, mail::kNewMessage.name, mail::kMessageGeneratorClass,
      kQVNewMessage.name, true);
  auto photo = mail_.makeAttachment("x");
  photo->mimeType = "image/jpeg";
  photo->filename = "IMG_1000.jpeg";
  photo->contentID = "<p1>";
  generator_ = mail_.makeGenerator();
  html_ = mail_.makeString("<p>Here <img src=\"cid:p1\" a=1></p>");
  plain_ = mail_.makeString("Here");
  list_ = mail_.makeArray({photo});
  headers_ = mail_.makeHeaders({});
}

QVHookFixture::~QVHookFixture() {
  QVMailPlugin::unload();
}

QVObjectRef QVHookFixture::send() {
  return qv::send(*generator_, mail::kNewMessage, html_, plain_, list_, headers_);
}

}  // namespace qv::bench
