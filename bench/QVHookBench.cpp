// The outgoing road's own costs: the tag removal, and the hook around Mail's generator
// (everything but the generator itself, which here hands back a message made in advance).

#include <benchmark/benchmark.h>

#include <map>

#include "bench/QVMailMessageMaker.h"
#include "core/QVSettingKeys.h"
#include "hooks/QVGeneratorHook.h"
#include "hooks/QVTagRemoval.h"
#include "mail/QVStandInMail.h"
#include "shell/QVExchange.h"
#include "shell/QVSettings.h"

namespace {

using namespace qv;

// About 1 MB of Mail-like HTML with 20 pictures referred to by cid:.
std::string html1MB(std::vector<std::string>& cids) {
  std::string html = "<html><head></head><body style=\"word-wrap: break-word;\">";
  for (int i = 0; html.size() < (1u << 20); ++i) {
    html += "<div>Paragraph " + std::to_string(i) +
            " with <b>some</b> text, a <a href=\"https://example.com/x\">link</a>.</div>";
    if (i % 400 == 0 && cids.size() < 20) {
      cids.push_back("5D8E2F1B-7C4A-4B3D-8E9F-" + std::to_string(100000000000 + i) +
                     "@example.net");
      html += "<div><img apple-inline=\"yes\" id=\"A" + std::to_string(i) +
              "\" src=\"cid:" + cids.back() + "\"></div>";
    }
  }
  return html + "</body></html>";
}

void BM_RemoveTagsWithCids_1MB_20Ids(benchmark::State& state) {
  std::vector<std::string> cids;
  const std::string html = html1MB(cids);
  for (auto _ : state) {
    benchmark::DoNotOptimize(removeTagsWithCids(html, cids));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * html.size()));
}
BENCHMARK(BM_RemoveTagsWithCids_1MB_20Ids)->Unit(benchmark::kMillisecond);

void BM_RemoveTagsWithCids_HostileImgWithoutClose(benchmark::State& state) {
  std::string html;
  while (html.size() < static_cast<std::size_t>(state.range(0))) html += "<img";
  const std::vector<std::string> cids = {"a", "b", "c"};
  for (auto _ : state) {
    benchmark::DoNotOptimize(removeTagsWithCids(html, cids));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * html.size()));
}
BENCHMARK(BM_RemoveTagsWithCids_HostileImgWithoutClose)
    ->Arg(1 << 20)
    ->Arg(4 << 20)
    ->Unit(benchmark::kMillisecond);

class MemoryStore final : public QVUserDefaults {
 public:
  std::optional<QVDefaultsValue> objectForKey(std::string_view key) const override {
    auto it = values.find(std::string(key));
    return it == values.end() ? std::nullopt : std::optional<QVDefaultsValue>(it->second);
  }
  void setObject(std::string_view key, QVDefaultsValue value) override {
    values[std::string(key)] = std::move(value);
  }
  std::map<std::string, QVDefaultsValue> values;
};

void BM_HookOwnCost_25MB(benchmark::State& state) {
  MemoryStore store;
  writeDefaults(store);
  userDefaults = &store;
  mail::QVStandInMail mail;
  const QVObjectRef raw = mail.makeData(bench::makeMailMessage(25u << 20));
  // Mail's generator, standing in: hands back the message made above, as Mail's would.
  mail.classNamed(mail::kMessageGeneratorClass)
      ->addInstanceMethod(
          mail::kNewMessage,
          std::function<QVObjectRef(QVObject&, QVObjectRef, QVObjectRef, QVObjectRef, QVObjectRef)>(
              [&](QVObject&, QVObjectRef, QVObjectRef, QVObjectRef, QVObjectRef) -> QVObjectRef {
                auto message = std::make_shared<mail::QVMailOutgoingMessage>(
                    *mail.classNamed(mail::kOutgoingMessageClass));
                message->rawData = raw;
                return message;
              }));
  addGeneratorTraits(mail);
  fun(mail, mail::kMessageGeneratorClass, mail::kNewMessage.name, mail::kMessageGeneratorClass,
      kQVNewMessage.name, true);
  auto photo = mail.makeAttachment("x");
  photo->mimeType = "image/jpeg";
  photo->filename = "IMG_1000.jpeg";
  photo->contentID = "<p1>";
  const QVObjectRef generator = mail.makeGenerator();
  const QVObjectRef html = mail.makeString("<p>Here <img src=\"cid:p1\" a=1></p>");
  const QVObjectRef plain = mail.makeString("Here");
  const QVObjectRef list = mail.makeArray({photo});
  const QVObjectRef headers = mail.makeHeaders({});
  for (auto _ : state) {
    benchmark::DoNotOptimize(send(*generator, mail::kNewMessage, html, plain, list, headers));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(
      state.iterations() * dynamic_cast<const QVData&>(*raw).bytes().size()));
  userDefaults = nullptr;
}
BENCHMARK(BM_HookOwnCost_25MB)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
