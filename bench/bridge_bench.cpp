// The bridge's conversion calls as the host's audio thread sees them: one 10 ms block (480
// samples at 48 kHz) per iteration, over an engine running synthetic weights.
//   BM_SyncConversion          push and pull on the calling thread (a chunk every 16 calls)
//   BM_PipelinedConversion     pull on the calling thread, push queued (the caller's share only)
//   BM_SyncConversionQueueBusy the engine held by a queue task: the push is queued, not waited for
#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <future>
#include <random>
#include <string>
#include <vector>

#include "bridge/morvox_engine.h"
#include "engine/nets/amengine.h"
#include "engine/nets/bnengine.h"
#include "engine/nets/vocengine.h"

using mvsdk::bridge::Bytes;
using mvsdk::bridge::MorvoxEngine;

namespace {

void write_floats(const std::string& path, std::size_t n, std::uint32_t seed) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return;
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(-0.05f, 0.05f);
  std::vector<float> block(1 << 16);
  for (std::size_t done = 0; done < n;) {
    const std::size_t k = std::min(block.size(), n - done);
    for (std::size_t i = 0; i < k; ++i) block[i] = dist(rng);
    std::fwrite(block.data(), sizeof(float), k, f);
    done += k;
  }
  std::fclose(f);
}

void drain() {
  std::promise<void> p;
  MorvoxEngine::queue().async([&] { p.set_value(); });
  p.get_future().wait();
}

// One engine for the whole run, on synthetic weights in a temporary folder.
MorvoxEngine& bridge() {
  static std::shared_ptr<MorvoxEngine> engine = [] {
    std::string dir = (std::filesystem::temp_directory_path() / "mvsdk-bridge-bench-XXXXXX").string();
    if (!mkdtemp(dir.data())) std::abort();
    const std::string am = dir + "/am.bin", bn = dir + "/bn.bin", voc = dir + "/voc.bin";
    write_floats(am, static_cast<std::size_t>(mvsdk::engine::amengine::stream_floats()), 1);
    write_floats(bn, static_cast<std::size_t>(mvsdk::engine::bnengine::weight_floats()), 2);
    write_floats(voc, static_cast<std::size_t>(mvsdk::engine::vocengine::weight_floats()), 3);
    auto e = MorvoxEngine::create();
    e->startEngine(am, bn, voc);
    e->setSpeakersStyle(std::make_shared<const std::vector<float>>(192, 0.05f));
    drain();
    std::filesystem::remove_all(dir);  // the engine keeps its mapped weights
    return e;
  }();
  return *engine;
}

Bytes block() {
  Bytes b(960);
  for (int i = 0; i < 480; ++i) {
    const auto v = static_cast<std::int16_t>(6000 * std::sin(2 * M_PI * 160.0 * i / 48000.0));
    b[2 * i] = static_cast<std::uint8_t>(v & 0xff);
    b[2 * i + 1] = static_cast<std::uint8_t>((v >> 8) & 0xff);
  }
  return b;
}

void BM_SyncConversion(benchmark::State& state) {
  MorvoxEngine& e = bridge();
  const Bytes in = block();
  for (auto _ : state) benchmark::DoNotOptimize(e.getSyncRealTimeSoundTransferData(in, 1, 0, 0));
  drain();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SyncConversion)->Iterations(1600)->Unit(benchmark::kMicrosecond);

void BM_PipelinedConversion(benchmark::State& state) {
  MorvoxEngine& e = bridge();
  const Bytes in = block();
  for (auto _ : state) {
    e.getRealTimeSoundTransferData(in, 1, 0, 0, [](std::optional<Bytes> out) { benchmark::DoNotOptimize(out); });
  }
  drain();  // after the timed loop: the queued pushes are not the caller's time
}
BENCHMARK(BM_PipelinedConversion)->Iterations(320)->Unit(benchmark::kMicrosecond);

void BM_SyncConversionQueueBusy(benchmark::State& state) {
  MorvoxEngine& e = bridge();
  const Bytes in = block();
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::promise<void> held;
  MorvoxEngine::runOnEngine([&held, released] {
    held.set_value();
    released.wait();
  });
  held.get_future().wait();
  for (auto _ : state) benchmark::DoNotOptimize(e.getSyncRealTimeSoundTransferData(in, 1, 0, 0));
  release.set_value();
  drain();
}
BENCHMARK(BM_SyncConversionQueueBusy)->Iterations(320)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
