// The outgoing road's own costs: the tag removal, and the hook around Mail's generator
// (everything but the generator itself, which here hands back a message made in advance).

#include <benchmark/benchmark.h>

#include "bench/QVHookFixture.h"
#include "bench/QVMailMessageMaker.h"
#include "hooks/QVTagRemoval.h"

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

void BM_HookOwnCost_25MB(benchmark::State& state) {
  bench::QVHookFixture fixture(bench::makeMailMessage(25u << 20));
  for (auto _ : state) {
    benchmark::DoNotOptimize(fixture.send());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * fixture.rawSize()));
}
BENCHMARK(BM_HookOwnCost_25MB)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
