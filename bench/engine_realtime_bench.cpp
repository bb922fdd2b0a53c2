// Real-time runner of the native engine: S seconds of 48 kHz audio pushed in 10 ms buffers
// through MVSoundLibrary as fast as possible, popping as a host would after every push; and the
// machine's limits the engine's work is held against.
//
//   engine_realtime_bench --models DIR [--seconds S] [--threads N[,N...]] [--rate R] [--half]
//
// DIR holds am.bin, bn.bin and voc.bin (mvsdk-models writes them). --half runs the engine with its
// weights in half precision (default: single precision). Prints first this machine's
// limits, measured in the same run: the streaming read bandwidth (a vectorised read of a buffer far
// larger than the last-level cache, on 1 and on N threads) and the multiply-add throughput (eight
// lanes of fused multiply-adds in independent chains). Then per engine thread count: the start
// time, the real-time factor, the time per chunk (first, median, p99, max), the peak resident
// memory, and a table of the chunk's stages: for each network the matrix bytes it reads and the
// floating-point operations of its products per chunk, the bound they imply (the larger of
// bytes / bandwidth and operations / throughput, for that many threads), the median time measured
// inside the whole chunk and bound / time; the stages outside the networks (input resampling and
// features, output resampling and the ring, the pushes that complete no chunk, the pops) are
// timed too, so the whole chunk is accounted for. BLAS runs on one thread; the engine's own
// threads share the products.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <cblas.h>

#include "engine/driver/MVSoundLibrary.h"
#include "engine/driver/engine.h"
#include "engine/kernels/gemm.h"
#include "engine/kernels/simd.h"
#include "engine/kernels/weight_copies.h"
#include "engine/nets/weight_plan.h"

using mvsdk::engine::ChunkStage;
using mvsdk::engine::MVSoundLibrary;
using mvsdk::engine::ProductTally;
using mvsdk::engine::WeightCopies;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// This process's resident memory now (/proc/self/statm), 0 where that cannot be read.
double resident_mb() {
  long pages = 0, resident = 0;
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return 0;
  const int got = std::fscanf(f, "%ld %ld", &pages, &resident);
  std::fclose(f);
  const double page = static_cast<double>(sysconf(_SC_PAGESIZE));
  return got == 2 ? static_cast<double>(resident) * page / (1 << 20) : 0;
}

std::vector<short> speechlike(int rate, double seconds) {
  const auto n = static_cast<std::size_t>(rate * seconds);
  std::vector<short> s(n);
  double phase = 0;
  unsigned noise = 1;
  for (std::size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / rate;
    const double f0 = 120 + 60 * std::sin(2 * M_PI * 0.5 * t);
    const double env = 0.5 + 0.5 * std::sin(2 * M_PI * 3 * t);  // syllable-like envelope
    phase += 2 * M_PI * f0 / rate;
    noise = noise * 1664525u + 1013904223u;
    const double v = env * (0.4 * std::sin(phase) + 0.2 * std::sin(2 * phase) + 0.1 * std::sin(3 * phase)) +
                     0.02 * (static_cast<double>(noise >> 8) / 8388608.0 - 1.0);
    s[i] = static_cast<short>(std::lround(v * 20000));
  }
  return s;
}

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// ---- the machine's limits --------------------------------------------------------------------

#if defined(MVSDK_SIMD_HAVE_V8)
using Vec = mvsdk::engine::v8sf;
inline Vec vload(const float* p) { return mvsdk::engine::load8(p); }
#else
using Vec = mvsdk::engine::v4sf;
inline Vec vload(const float* p) { return mvsdk::engine::load4(p); }
#endif
constexpr int kLanes = sizeof(Vec) / sizeof(float);

// Reads n floats at p once with vector loads into four sums.
float read_once(const float* p, std::size_t n) {
  Vec s0{}, s1{}, s2{}, s3{};
  for (std::size_t i = 0; i + 4 * kLanes <= n; i += 4 * kLanes) {
    s0 += vload(p + i);
    s1 += vload(p + i + kLanes);
    s2 += vload(p + i + 2 * kLanes);
    s3 += vload(p + i + 3 * kLanes);
  }
  const Vec s = (s0 + s1) + (s2 + s3);
  float t = 0;
  for (int l = 0; l < kLanes; ++l) t += s[l];
  return t;
}

// Streaming read bandwidth in bytes per second with `threads` threads reading their own part of a
// 512 MB buffer at the same time (best of five passes).
double read_bandwidth(int threads) {
  const std::size_t n = (512u << 20) / sizeof(float);
  std::vector<float> buf(n, 1.0f);
  const std::size_t part = n / static_cast<std::size_t>(threads) / 64 * 64;
  double best = 0;
  volatile float sink = 0;
  for (int pass = 0; pass < 5; ++pass) {
    std::vector<float> sums(static_cast<std::size_t>(threads));
    const auto t0 = Clock::now();
    std::vector<std::thread> pool;
    for (int t = 1; t < threads; ++t) {
      pool.emplace_back([&, t] { sums[t] = read_once(buf.data() + part * t, part); });
    }
    sums[0] = read_once(buf.data(), part);
    for (auto& th : pool) th.join();
    const double dt = seconds_since(t0);
    for (float v : sums) sink = sink + v;
    best = std::max(best, static_cast<double>(part) * threads * sizeof(float) / dt);
  }
  return best;
}

// Floating-point operations per second of fused multiply-adds on one thread: twelve independent
// chains (enough to cover the instruction's latency on two pipes), two operations a lane; the best
// of ten short runs, since a shared machine's neighbours slow some of them.
double fma_throughput() {
  constexpr int kChains = 12;
  constexpr long kSteps = 4'000'000;
  double best = 0;
  volatile float sink = 0;
  for (int run = 0; run < 10; ++run) {
    Vec acc[kChains];
    for (int c = 0; c < kChains; ++c) acc[c] = Vec{} + static_cast<float>(c) * 0.01f;
    const Vec a = Vec{} + 0.999999f, b = Vec{} + 1e-7f;
    const auto t0 = Clock::now();
    for (long i = 0; i < kSteps; ++i) {
#pragma GCC unroll 16
      for (int c = 0; c < kChains; ++c) acc[c] = mvsdk::engine::fma_lanes(acc[c], a, b);
    }
    const double dt = seconds_since(t0);
    for (int c = 0; c < kChains; ++c) sink = sink + acc[c][0];
    best = std::max(best, 2.0 * kLanes * kChains * static_cast<double>(kSteps) / dt);
  }
  return best;
}

// ---- one chunk's stages ----------------------------------------------------------------------

// Stage boundaries of the chunk being computed, from the engine's observer (pushing thread).
struct ChunkTrace {
  Clock::time_point at[7];       // when each ChunkStage was shown
  ProductTally tally_at[7];      // the products counted so far at that moment
  ProductTally* tally = nullptr; // this thread's running count
};

void on_stage(void* user, ChunkStage stage, const float*, int, int) {
  auto& t = *static_cast<ChunkTrace*>(user);
  const int i = static_cast<int>(stage);
  t.at[i] = Clock::now();
  t.tally_at[i] = *t.tally;
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const auto k = static_cast<std::size_t>(std::min<double>(v.size() - 1, std::ceil(p * v.size()) - 1));
  return v[k];
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir;
  double seconds = 60;
  int rate = 48000;
  std::vector<int> threads{1, 2};
  bool half = false;
  bool bad = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--half") {
      half = true;
      continue;
    }
    if (i + 1 >= argc) {
      bad = true;
      break;
    }
    const char* v = argv[++i];
    if (a == "--models") dir = v;
    else if (a == "--seconds") seconds = std::atof(v);
    else if (a == "--rate") rate = std::atoi(v);
    else if (a == "--threads") {
      threads.clear();
      std::stringstream ss(v);
      std::string t;
      while (std::getline(ss, t, ',')) threads.push_back(std::atoi(t.c_str()));
    }
  }
  if (bad || dir.empty() || seconds <= 0 || rate < 8000) {
    std::fprintf(stderr,
                 "usage: engine_realtime_bench --models DIR [--seconds S] [--threads 1,2] [--rate R] [--half]\n");
    return 2;
  }
  const std::string am = (fs::path(dir) / "am.bin").string();
  const std::string bn = (fs::path(dir) / "bn.bin").string();
  const std::string voc = (fs::path(dir) / "voc.bin").string();
  std::error_code ec;
  const double model_mb =
      static_cast<double>(fs::file_size(am, ec) + fs::file_size(bn, ec) + fs::file_size(voc, ec)) / (1 << 20);
  openblas_set_num_threads(1);  // the engine's own threads share the products
  MVSoundLibrary::setLogger([](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); });

  const auto input = speechlike(rate, seconds);
  const int step = rate / 100;
  std::vector<short> out(static_cast<std::size_t>(step));
  float params[6] = {0, 4.622f, 138.813f, 0.1f, 2000, 0};
  std::vector<float> style(192);
  for (int i = 0; i < 192; ++i) style[i] = 0.3f * std::sin(0.1f * static_cast<float>(i));

  std::printf("input: %.0f s at %d Hz in 10 ms pushes, models %.1f MB\n", seconds, rate, model_mb);
  std::printf("weights: %s precision\n", half ? "half" : "single");
  // The limits are measured in a child process, so that their 512 MB buffer stays out of this
  // process's peak memory.
  const int most_threads = std::max(1, *std::max_element(threads.begin(), threads.end()));
  std::vector<double> bandwidth(static_cast<std::size_t>(most_threads) + 1, 0.0);
  double flops_1 = 0;
  {
    int fds[2];
    if (pipe(fds) != 0) return 1;
    const pid_t child = fork();
    if (child == 0) {
      std::vector<double> limits(bandwidth.size(), 0.0);
      limits[0] = fma_throughput();
      for (int t : threads) limits[static_cast<std::size_t>(std::max(1, t))] = read_bandwidth(std::max(1, t));
      if (limits[1] == 0) limits[1] = read_bandwidth(1);
      const auto bytes = static_cast<ssize_t>(limits.size() * sizeof(double));
      _exit(write(fds[1], limits.data(), static_cast<std::size_t>(bytes)) == bytes ? 0 : 1);
    }
    close(fds[1]);
    std::vector<double> limits(bandwidth.size(), 0.0);
    const auto bytes = static_cast<ssize_t>(limits.size() * sizeof(double));
    const bool got = child > 0 && read(fds[0], limits.data(), static_cast<std::size_t>(bytes)) == bytes;
    close(fds[0]);
    if (child > 0) waitpid(child, nullptr, 0);
    if (!got) {
      std::fprintf(stderr, "the machine's limits could not be measured\n");
      return 1;
    }
    flops_1 = limits[0];
    for (std::size_t k = 1; k < limits.size(); ++k) bandwidth[k] = limits[k];
  }
  std::printf("machine: multiply-add throughput %.1f GFLOP/s a thread; read bandwidth", flops_1 / 1e9);
  for (std::size_t k = 1; k < bandwidth.size(); ++k) {
    if (bandwidth[k] > 0) std::printf(" %.1f GB/s on %zu thread(s)", bandwidth[k] / 1e9, k);
  }
  std::printf("\n");

  ProductTally tally;
  mvsdk::engine::set_product_tally(&tally);
  // The first thread count's whole chunk and bound, for the speed-up of the others.
  int first_threads = 0;
  double first_whole = 0, first_bound = 0;
  for (int n_threads : threads) {
    MVSoundLibrary::setEngineThreads(n_threads);
    MVSoundLibrary::setHalfPrecisionWeights(half);
    const auto t0 = Clock::now();
    if (MVSoundLibrary::startEngine(am.c_str(), bn.c_str(), voc.c_str(), rate, rate) != MVSoundLibrary::kDone) {
      std::fprintf(stderr, "engine did not start\n");
      return 1;
    }
    const double start_s = seconds_since(t0);
    const int used_threads = MVSoundLibrary::engineThreads();
    if (n_threads == threads.front()) {
      // What the engine holds its weights in: its copies, and the floats of the files it still
      // reads in place (the copied blocks' pages went back).
      double copied_floats = 0, copy_bytes = 0;
      if (const WeightCopies* copies = MVSoundLibrary::currentEngine()->weight_copies()) {
        for (const WeightCopies::Block& b : copies->blocks()) {
          copied_floats += static_cast<double>(b.count);
          copy_bytes += static_cast<double>(b.count) * (b.half ? sizeof(std::uint16_t) : sizeof(float));
        }
      }
      // The blocks read only while the networks are built went back too.
      double built_floats = 0;
      for (const auto& plan : {mvsdk::engine::am_weight_plan(), mvsdk::engine::bn_weight_plan(),
                               mvsdk::engine::voc_weight_plan()}) {
        for (const mvsdk::engine::WeightBlock& b : plan) {
          if (mvsdk::engine::build_only_weights(b.role)) built_floats += b.count;
        }
      }
      const double files_mb = model_mb - (copied_floats + built_floats) * sizeof(float) / (1 << 20);
      const double held_mb = copy_bytes / (1 << 20) + files_mb;
      std::printf("weights held: copies %.1f MB + files in place %.1f MB = %.1f MB (%.0f%% of the files); "
                  "resident after start %.0f MB\n",
                  copy_bytes / (1 << 20), files_mb, held_mb, 100 * held_mb / model_mb, resident_mb());
    }
    MVSoundLibrary::setSpeakersStyleSoundLibrary(style.data());
    ChunkTrace trace;
    trace.tally = &tally;
    MVSoundLibrary::currentEngine()->set_observer(on_stage, &trace);

    // Per chunk: the whole chunk (its push and pop), and its parts.
    enum Part { kFront, kContent, kAcoustic, kVocoder, kTail, kPop, kOtherPushes, kParts };
    std::array<std::vector<double>, kParts> part_ms;
    std::vector<double> chunk_ms;
    double compute_s = 0, other_s = 0;
    ProductTally per_net[3];  // content encoder, acoustic model, vocoder (last chunk)
    for (std::size_t pos = 0; pos + static_cast<std::size_t>(step) <= input.size(); pos += static_cast<std::size_t>(step)) {
      const auto c0 = Clock::now();
      const int q = MVSoundLibrary::realTimeSoundTransferSoundLibrary(input.data() + pos, step, 1, params);
      const auto c1 = Clock::now();
      MVSoundLibrary::getRealTimeSoundTransferSoundLibrary(out.data(), step);
      const auto c2 = Clock::now();
      const double dt = std::chrono::duration<double>(c2 - c0).count();
      compute_s += dt;
      if (q <= 0) {
        other_s += dt;
        continue;
      }
      auto ms = [](Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double, std::milli>(b - a).count(); };
      const auto& at = trace.at;
      const auto stage = [](ChunkStage s) { return static_cast<int>(s); };
      chunk_ms.push_back(dt * 1000);
      part_ms[kFront].push_back(ms(c0, at[stage(ChunkStage::kMel)]));
      part_ms[kContent].push_back(ms(at[stage(ChunkStage::kMel)], at[stage(ChunkStage::kContent)]));
      part_ms[kAcoustic].push_back(ms(at[stage(ChunkStage::kAux)], at[stage(ChunkStage::kAcoustic)]));
      part_ms[kVocoder].push_back(ms(at[stage(ChunkStage::kParams)], at[stage(ChunkStage::kVocoder)]));
      part_ms[kTail].push_back(ms(at[stage(ChunkStage::kVocoder)], c1));
      part_ms[kPop].push_back(ms(c1, c2));
      part_ms[kOtherPushes].push_back(other_s * 1000);
      other_s = 0;
      const auto diff = [](const ProductTally& a, const ProductTally& b) {
        return ProductTally{b.products - a.products, b.multiply_adds - a.multiply_adds, b.b_bytes - a.b_bytes};
      };
      const auto& ta = trace.tally_at;
      per_net[0] = diff(ta[stage(ChunkStage::kMel)], ta[stage(ChunkStage::kContent)]);
      per_net[1] = diff(ta[stage(ChunkStage::kAux)], ta[stage(ChunkStage::kAcoustic)]);
      per_net[2] = diff(ta[stage(ChunkStage::kParams)], ta[stage(ChunkStage::kVocoder)]);
    }
    MVSoundLibrary::stopEngineSoundLibrary();
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    std::printf(
        "engine threads %d: start %.3f s, real-time factor %.3f, first chunk %.1f ms, per chunk median %.1f ms, p99 "
        "%.1f ms, max %.1f ms (%zu chunks), peak RSS %.0f MB (models %.0f MB + %.0f MB)\n",
        used_threads, start_s, compute_s / seconds, chunk_ms.empty() ? 0.0 : chunk_ms.front(), percentile(chunk_ms, 0.5),
        percentile(chunk_ms, 0.99),
        chunk_ms.empty() ? 0.0 : *std::max_element(chunk_ms.begin(), chunk_ms.end()), chunk_ms.size(),
        static_cast<double>(ru.ru_maxrss) / 1024, model_mb, static_cast<double>(ru.ru_maxrss) / 1024 - model_mb);
    if (chunk_ms.empty()) continue;

    // The bounds with this many threads: their bandwidth together, each its own multiply-adds.
    // (An automatic thread count may exceed the counts measured: then one thread's bandwidth.)
    const std::size_t measured = std::min<std::size_t>(static_cast<std::size_t>(used_threads), bandwidth.size() - 1);
    const double bw = bandwidth[measured] > 0 ? bandwidth[measured] : bandwidth[1];
    const double flops = flops_1 * used_threads;
    std::printf("  %-34s %9s %8s %9s %9s %7s\n", "stage (median per chunk)", "bytes MB", "GFLOP", "bound ms",
                "time ms", "ratio");
    const char* net_names[3] = {"content encoder", "acoustic model", "vocoder"};
    const Part net_parts[3] = {kContent, kAcoustic, kVocoder};
    double bound_sum = 0, net_sum = 0;
    for (int i = 0; i < 3; ++i) {
      const double mb = per_net[i].b_bytes / 1e6;
      const double gflop = 2 * per_net[i].multiply_adds / 1e9;
      const double bound = 1000 * std::max(per_net[i].b_bytes / bw, 2 * per_net[i].multiply_adds / flops);
      const double time = percentile(part_ms[net_parts[i]], 0.5);
      bound_sum += bound;
      net_sum += time;
      std::printf("  %-34s %9.1f %8.3f %9.2f %9.2f %6.0f%%\n", net_names[i], mb, gflop, bound, time, 100 * bound / time);
    }
    const char* other_names[] = {"input resampling and features", "output resampling and ring",
                                 "pops", "the other pushes and pops"};
    const Part other_parts[] = {kFront, kTail, kPop, kOtherPushes};
    double other_sum = 0;
    for (int i = 0; i < 4; ++i) {
      const double time = percentile(part_ms[other_parts[i]], 0.5);
      other_sum += time;
      std::printf("  %-34s %9s %8s %9s %9.2f\n", other_names[i], "", "", "", time);
    }
    const double whole = percentile(chunk_ms, 0.5) + percentile(part_ms[kOtherPushes], 0.5);
    std::printf("  %-34s %9s %8s %9.2f %9.2f %6.0f%%  (sum of the parts above %.2f ms)\n", "whole chunk (16 pushes and pops)",
                "", "", bound_sum, whole, 100 * bound_sum / whole, net_sum + other_sum);
    // The speed-up the bounds allow: shared bandwidth caps it below the thread count.
    if (first_threads == 0) {
      first_threads = used_threads;
      first_whole = whole;
      first_bound = bound_sum;
    } else {
      std::printf("  speed-up over %d thread(s): %.2fx measured, %.2fx between the bounds\n", first_threads,
                  first_whole / whole, first_bound / bound_sum);
    }
  }
  mvsdk::engine::set_product_tally(nullptr);
  return 0;
}
