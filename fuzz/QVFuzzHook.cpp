// The generator hook through the stand-in Mail, with the list and the settings drawn from
// the input. Nothing escapes the hook; the message it returns always has raw data, and
// when the plug-in rebuilt it, GMime reads it as multipart/mixed.

#include <gmime/gmime.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "adapters/standin/QVExchange.h"
#include "adapters/standin/QVGeneratorHook.h"
#include "adapters/standin/QVMailPlugin.h"
#include "adapters/standin/QVPluginState.h"
#include "host/QVSettingKeys.h"
#include "shell/QVSettings.h"
#include "standin/QVFoundation.h"
#include "standin/QVStandInMail.h"

namespace {

class Store final : public qv::QVUserDefaults {
 public:
  std::optional<qv::QVDefaultsValue> objectForKey(std::string_view key) const override {
    for (const auto& [k, v] : values) {
      if (k == key) return v;
    }
    return std::nullopt;
  }
  void setObject(std::string_view key, qv::QVDefaultsValue value) override {
    for (auto& [k, v] : values) {
      if (k == key) {
        v = std::move(value);
        return;
      }
    }
    values.emplace_back(std::string(key), std::move(value));
  }
  std::vector<std::pair<std::string, qv::QVDefaultsValue>> values;
};

// Reads pieces of the input in turn.
struct Reader {
  std::string_view rest;
  std::uint8_t byte() {
    if (rest.empty()) return 0;
    const auto b = static_cast<std::uint8_t>(rest.front());
    rest.remove_prefix(1);
    return b;
  }
  std::string text() {
    const std::size_t n = std::min<std::size_t>(byte(), rest.size());
    std::string t(rest.substr(0, n));
    rest.remove_prefix(n);
    return t;
  }
};

void check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "property broken: %s\n", what);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool ready = [] {
    g_mime_init();
    return true;
  }();
  (void)ready;
  Reader in{std::string_view(reinterpret_cast<const char*>(data), size)};
  Store store;
  qv::writeDefaults(store);
  const std::uint8_t flags = in.byte();
  store.setBool(flags & 1, qv::keys::kEnabled);
  if (flags & 2) store.setBool(true, qv::keys::kLegacy);
  if (flags & 4) store.setValue(in.text(), qv::keys::kSignatureFilename);
  if (flags & 8) store.setInteger(7, qv::keys::kSignatureFilename);
  qv::standInPlugin().context.userDefaults = &store;

  qv::mail::QVStandInMail mail;
  mail.setUuidSeed(1);
  qv::addGeneratorTraits(mail);
  qv::fun(mail, qv::mail::kMessageGeneratorClass, qv::mail::kNewMessage.name,
          qv::mail::kMessageGeneratorClass, qv::kQVNewMessage.name, true);
  const std::string html = in.text();
  std::vector<qv::QVObjectRef> list;
  for (int i = 0, n = in.byte() % 8; i < n; ++i) {
    switch (in.byte() % 4) {
      case 0: list.push_back(mail.makeString(in.text())); break;
      case 1: list.push_back(mail.makeOtherObject()); break;
      default: {
        auto a = mail.makeAttachment(in.text());
        const std::uint8_t has = in.byte();
        if (has & 1) a->mimeType = in.text();
        if (has & 2) a->filename = in.text();
        if (has & 4) a->contentID = in.text();
        if (has & 8) a->mimeType = "image/png";
        list.push_back(a);
      }
    }
  }
  const qv::QVObjectRef generator = mail.makeGenerator();
  qv::QVObjectRef message;
  try {
    message =
        send(*generator, qv::mail::kNewMessage, mail.makeString(html),
             (flags & 16) ? nullptr : mail.makeString("plain"), mail.makeArray(list),
             mail.makeHeaders({{"Subject", "s"}, {"Date", "Thu, 1 Jan 2026 00:00:00 +0000"}}));
  } catch (...) {
    check(false, "nothing escapes the hook");
  }
  const auto* raw = dynamic_cast<const qv::QVData*>(
      send(*message, qv::mail::kValueForKey, std::string(qv::mail::kRawDataKey)).get());
  check(raw != nullptr, "the message has raw data");
  if (raw->bytes().find("Content-Type: multipart/mixed;\n\tboundary=\"Apple-Mail=_") ==
      std::string::npos) {
    qv::QVMailPlugin::unload();
    return 0;
  }
  GMimeStream* stream = g_mime_stream_mem_new_with_buffer(raw->bytes().data(), raw->bytes().size());
  GMimeParser* parser = g_mime_parser_new_with_stream(stream);
  GMimeMessage* parsed = g_mime_parser_construct_message(parser, nullptr);
  check(parsed != nullptr, "GMime reads the message");
  g_object_unref(parsed);
  g_object_unref(parser);
  g_object_unref(stream);
  qv::QVMailPlugin::unload();
  return 0;
}
