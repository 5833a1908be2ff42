// In-process speed of the message core: the rebuild of a Mail message beside a plain copy
// of the same bytes (the floor any rebuild that returns fresh bytes must stand on).

#include <benchmark/benchmark.h>

#include <cstring>

#include "bench/QVMailMessageMaker.h"
#include "core/QVManipulator.h"
#include "core/QVRowScan.h"

namespace {

const std::string& message(std::size_t megabytes) {
  static std::string cache[256];
  std::string& m = cache[megabytes];
  if (m.empty()) m = qv::bench::makeMailMessage(megabytes << 20);
  return m;
}

void BM_ManipulateParts(benchmark::State& state) {
  const std::string& m = message(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    qv::QVManipulator manipulator(m);
    qv::QVSeededBoundaries boundaries;
    auto out = manipulator.manipulateParts(boundaries);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * m.size()));
}
BENCHMARK(BM_ManipulateParts)->Arg(25)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_RebuildPiecesOnly(benchmark::State& state) {
  const std::string& m = message(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    qv::QVManipulator manipulator(m);
    qv::QVSeededBoundaries boundaries;
    auto out = manipulator.rebuild(boundaries);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * m.size()));
}
BENCHMARK(BM_RebuildPiecesOnly)
    ->Arg(25)
    ->Arg(50)
    ->Arg(200)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_ScanRows(benchmark::State& state) {
  const std::string& m = message(static_cast<std::size_t>(state.range(0)));
  qv::QVRowStarts starts;
  for (auto _ : state) {
    benchmark::DoNotOptimize(qv::scanRows(m, starts));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * m.size()));
}
BENCHMARK(BM_ScanRows)->Arg(25)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_MemcpyFreshBuffer(benchmark::State& state) {
  const std::string& m = message(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    std::string copy;
    copy.reserve(m.size());
    copy.append(m);
    benchmark::DoNotOptimize(copy);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * m.size()));
}
BENCHMARK(BM_MemcpyFreshBuffer)->Arg(25)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
