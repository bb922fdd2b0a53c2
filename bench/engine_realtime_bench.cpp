// Real-time runner of the native engine: 60 s of 48 kHz audio pushed in 10 ms buffers through
// MVSoundLibrary as fast as possible, popping as a host would after every push.
//
//   engine_realtime_bench --models DIR [--seconds S] [--threads N[,N...]] [--rate R]
//
// DIR holds am.bin, bn.bin and voc.bin (mvsdk-models writes them). Prints per BLAS thread count:
// the engine start time, the real-time factor (compute time over audio time), the time per chunk
// (median, p99, max) and the peak resident memory against the model files' size.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include <cblas.h>

#include "engine/driver/MVSoundLibrary.h"

using mvsdk::engine::MVSoundLibrary;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

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
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--models") dir = argv[i + 1];
    else if (a == "--seconds") seconds = std::atof(argv[i + 1]);
    else if (a == "--rate") rate = std::atoi(argv[i + 1]);
    else if (a == "--threads") {
      threads.clear();
      std::stringstream ss(argv[i + 1]);
      std::string t;
      while (std::getline(ss, t, ',')) threads.push_back(std::atoi(t.c_str()));
    }
  }
  if (dir.empty() || seconds <= 0 || rate < 8000) {
    std::fprintf(stderr, "usage: engine_realtime_bench --models DIR [--seconds S] [--threads 1,2] [--rate R]\n");
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
  for (int n_threads : threads) {
    MVSoundLibrary::setEngineThreads(n_threads);
    const auto t0 = Clock::now();
    if (MVSoundLibrary::startEngine(am.c_str(), bn.c_str(), voc.c_str(), rate, rate) != MVSoundLibrary::kDone) {
      std::fprintf(stderr, "engine did not start\n");
      return 1;
    }
    const double start_s = std::chrono::duration<double>(Clock::now() - t0).count();
    MVSoundLibrary::setSpeakersStyleSoundLibrary(style.data());
    std::vector<double> chunk_ms;
    double compute_s = 0;
    for (std::size_t pos = 0; pos + static_cast<std::size_t>(step) <= input.size(); pos += static_cast<std::size_t>(step)) {
      const auto c0 = Clock::now();
      const int q = MVSoundLibrary::realTimeSoundTransferSoundLibrary(input.data() + pos, step, 1, params);
      MVSoundLibrary::getRealTimeSoundTransferSoundLibrary(out.data(), step);
      const double dt = std::chrono::duration<double>(Clock::now() - c0).count();
      compute_s += dt;
      if (q > 0) chunk_ms.push_back(dt * 1000);
    }
    MVSoundLibrary::stopEngineSoundLibrary();
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    std::printf(
        "engine threads %d: start %.3f s, real-time factor %.3f, first chunk %.1f ms, per chunk median %.1f ms, p99 "
        "%.1f ms, max %.1f ms (%zu chunks), peak RSS %.0f MB (models %.0f MB + %.0f MB)\n",
        n_threads, start_s, compute_s / seconds, chunk_ms.empty() ? 0.0 : chunk_ms.front(), percentile(chunk_ms, 0.5),
        percentile(chunk_ms, 0.99),
        chunk_ms.empty() ? 0.0 : *std::max_element(chunk_ms.begin(), chunk_ms.end()), chunk_ms.size(),
        static_cast<double>(ru.ru_maxrss) / 1024, model_mb, static_cast<double>(ru.ru_maxrss) / 1024 - model_mb);
  }
  return 0;
}
