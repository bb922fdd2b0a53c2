// mvsdk-engine: runs the native engine alone over a raw 16-bit mono PCM file.
//
//   mvsdk-engine --am F --bn F --voc F --in F [--style F] [--in-rate R] [--out-rate R]
//                [--mode M] [--params a,b,c,d,e] [--push N] [--delay N] [--reset-after K]
//                [--threads N] [--half] [--out F] [--dump DIR]
//
// --half starts the engine with its weights in half precision (default: single precision).
// After every push it pops push x out-rate / in-rate samples and writes what the pops return to
// --out. --dump DIR writes, for every converted chunk NNNN (from 0000), little-endian raw files:
// NNNN.mel.f32 (19x80), NNNN.bn.f32 (16x513), NNNN.aux.f32 (16x60), NNNN.am.f32 (16x100),
// NNNN.f0.f32 (16, Hz), NNNN.voc.s16 (the vocoder's 24 kHz samples before output resampling and
// before the first chunk is silenced) and NNNN.params.f32 (the five pitch parameters after it).
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/command_line.h"
#include "engine/driver/MVSoundLibrary.h"
#include "engine/driver/engine.h"
#include "synthetic/style_cipher.h"
#include "synthetic/voices.h"

using mvsdk::engine::ChunkStage;
using mvsdk::engine::MVSoundLibrary;
namespace fs = std::filesystem;

namespace {

struct Options {
  std::string am, bn, voc, style, in, out, dump;
  int in_rate = 16000;
  int out_rate = 24000;
  int mode = 1;
  std::vector<float> params{0.0f, 0.0f, 0.0f, 0.1f, 2000.0f, 0.0f};
  int push = 0;  // 0: 10 ms of input
  int delay = 0;
  int reset_after = 0;
  int threads = 1;  // engine threads; 0: automatic
  bool half = false;  // weights in half precision
};

[[noreturn]] void usage(const char* why) {
  std::fprintf(stderr,
               "mvsdk-engine: %s\n"
               "usage: mvsdk-engine --am F --bn F --voc F --in F [--style F] [--in-rate R] [--out-rate R]\n"
               "                    [--mode M] [--params a,b,c,d,e] [--push N] [--delay N]\n"
               "                    [--reset-after K] [--threads N] [--half] [--out F] [--dump DIR]\n",
               why);
  std::exit(2);
}

int parse_int(const char* s, const char* name) {
  std::int64_t v = 0;
  if (!mvsdk::tools::parse_int(s, v) || v < -1000000000 || v > 1000000000) {
    usage((std::string("bad number for ") + name).c_str());
  }
  return static_cast<int>(v);
}

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) usage(("missing value for " + a).c_str());
      return argv[++i];
    };
    if (a == "--am") o.am = value();
    else if (a == "--bn") o.bn = value();
    else if (a == "--voc") o.voc = value();
    else if (a == "--style") o.style = value();
    else if (a == "--in") o.in = value();
    else if (a == "--out") o.out = value();
    else if (a == "--dump") o.dump = value();
    else if (a == "--in-rate") o.in_rate = parse_int(value(), "--in-rate");
    else if (a == "--out-rate") o.out_rate = parse_int(value(), "--out-rate");
    else if (a == "--mode") o.mode = parse_int(value(), "--mode");
    else if (a == "--push") o.push = parse_int(value(), "--push");
    else if (a == "--delay") o.delay = parse_int(value(), "--delay");
    else if (a == "--reset-after") o.reset_after = parse_int(value(), "--reset-after");
    else if (a == "--threads") o.threads = parse_int(value(), "--threads");
    else if (a == "--half") o.half = true;
    else if (a == "--params") {
      std::vector<float> p;
      if (!mvsdk::tools::parse_float_list(value(), ',', p) || p.size() != 5) {
        usage("--params takes five comma-separated numbers");
      }
      p.push_back(0.0f);
      o.params = p;
    } else if (a == "-h" || a == "--help") {
      usage("help");
    } else {
      usage(("unknown option " + a).c_str());
    }
  }
  if (o.am.empty() || o.bn.empty() || o.voc.empty() || o.in.empty()) usage("--am, --bn, --voc and --in are required");
  if (o.push < 0) usage("--push must be positive");
  if (o.threads < 0 || o.threads > 16) usage("--threads takes 0 (automatic) to 16");
  return o;
}

// Writes each chunk's stages to DIR/NNNN.*; counts chunks by their mel stage.
struct Dumper {
  fs::path dir;
  int chunk = -1;
  bool failed = false;

  static void observe(void* user, ChunkStage stage, const float* data, int rows, int cols) {
    static_cast<Dumper*>(user)->write(stage, data, rows, cols);
  }

  void write(ChunkStage stage, const float* data, int rows, int cols) {
    if (stage == ChunkStage::kMel) ++chunk;
    const char* ext = nullptr;
    switch (stage) {
      case ChunkStage::kMel: ext = "mel.f32"; break;
      case ChunkStage::kContent: ext = "bn.f32"; break;
      case ChunkStage::kAux: ext = "aux.f32"; break;
      case ChunkStage::kAcoustic: ext = "am.f32"; break;
      case ChunkStage::kPitch: ext = "f0.f32"; break;
      case ChunkStage::kParams: ext = "params.f32"; break;
      case ChunkStage::kVocoder: ext = "voc.s16"; break;
    }
    char name[32];
    std::snprintf(name, sizeof name, "%04d.%s", chunk, ext);
    std::ofstream f(dir / name, std::ios::binary);
    const std::size_t n = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
    if (stage == ChunkStage::kVocoder) {
      std::vector<std::int16_t> s(n);
      for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<std::int16_t>(data[i]);
      f.write(reinterpret_cast<const char*>(s.data()), static_cast<std::streamsize>(n * sizeof(std::int16_t)));
    } else {
      f.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(n * sizeof(float)));
    }
    if (!f) failed = true;
  }
};

std::optional<std::vector<char>> read_all(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return std::nullopt;
  return std::vector<char>(std::istreambuf_iterator<char>(f), {});
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parse(argc, argv);
  MVSoundLibrary::setLogger([](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); });

  auto input = read_all(o.in);
  if (!input) {
    std::fprintf(stderr, "mvsdk-engine: cannot read input %s\n", o.in.c_str());
    return 1;
  }
  std::vector<short> samples(input->size() / 2);
  std::memcpy(samples.data(), input->data(), samples.size() * 2);

  const auto t0 = std::chrono::steady_clock::now();
  MVSoundLibrary::setEngineThreads(o.threads);
  MVSoundLibrary::setHalfPrecisionWeights(o.half);
  const int rc = MVSoundLibrary::startEngine(o.am.c_str(), o.bn.c_str(), o.voc.c_str(), o.in_rate, o.out_rate);
  const double start_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  if (rc != MVSoundLibrary::kDone) {
    std::fprintf(stderr, "mvsdk-engine: the engine did not start (status %d)\n", rc);
    return 1;
  }
  std::printf("engine started in %.3f s (weights in %s precision)\n", start_s,
              MVSoundLibrary::halfPrecisionWeights() ? "half" : "single");
  auto* eng = MVSoundLibrary::currentEngine();

  if (!o.style.empty()) {
    auto text = read_all(o.style);
    if (!text) {
      std::fprintf(stderr, "mvsdk-engine: cannot read style %s\n", o.style.c_str());
      return 1;
    }
    auto style = mvsdk::models::decode_style_text(std::string_view(text->data(), text->size()));
    if (!style || style->size() < static_cast<std::size_t>(mvsdk::models::kStyleLength)) {
      std::fprintf(stderr, "mvsdk-engine: style %s holds fewer than 192 numbers\n", o.style.c_str());
      return 1;
    }
    MVSoundLibrary::setSpeakersStyleSoundLibrary(style->data());
  }
  if (o.delay) MVSoundLibrary::engineSetdelay(o.delay);

  Dumper dumper;
  if (!o.dump.empty()) {
    std::error_code ec;
    fs::create_directories(o.dump, ec);
    if (ec) {
      std::fprintf(stderr, "mvsdk-engine: cannot create %s: %s\n", o.dump.c_str(), ec.message().c_str());
      return 1;
    }
    dumper.dir = o.dump;
    eng->set_observer(&Dumper::observe, &dumper);
  }

  std::FILE* out = nullptr;
  if (!o.out.empty()) {
    out = std::fopen(o.out.c_str(), "wb");
    if (!out) {
      std::fprintf(stderr, "mvsdk-engine: cannot write %s\n", o.out.c_str());
      return 1;
    }
  }

  const int push = o.push > 0 ? o.push : std::max(1, o.in_rate / 100);
  std::vector<float> params = o.params;
  std::vector<short> popped;
  int chunks = 0;
  bool reset_done = false;
  double compute_s = 0;
  for (std::size_t pos = 0; pos < samples.size(); pos += static_cast<std::size_t>(push)) {
    const int n = static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(push), samples.size() - pos));
    const auto c0 = std::chrono::steady_clock::now();
    const int q = MVSoundLibrary::realTimeSoundTransferSoundLibrary(samples.data() + pos, n, o.mode, params.data());
    compute_s += std::chrono::duration<double>(std::chrono::steady_clock::now() - c0).count();
    if (q > 0) ++chunks;
    if (o.reset_after > 0 && !reset_done && chunks >= o.reset_after) {
      MVSoundLibrary::engineReset();
      reset_done = true;
    }
    const int want = static_cast<int>(static_cast<long long>(n) * o.out_rate / o.in_rate);
    if (out && want > 0) {
      popped.assign(static_cast<std::size_t>(want), 0);
      MVSoundLibrary::getRealTimeSoundTransferSoundLibrary(popped.data(), want);
      std::fwrite(popped.data(), sizeof(short), popped.size(), out);
    }
  }
  if (out && std::fclose(out) != 0) {
    std::fprintf(stderr, "mvsdk-engine: error writing %s\n", o.out.c_str());
    return 1;
  }
  MVSoundLibrary::stopEngineSoundLibrary();
  if (dumper.failed) {
    std::fprintf(stderr, "mvsdk-engine: some dump files could not be written\n");
    return 1;
  }
  const double audio_s = static_cast<double>(samples.size()) / o.in_rate;
  std::printf("chunks %d, audio %.2f s, compute %.3f s, real-time factor %.3f\n", chunks, audio_s, compute_s,
              audio_s > 0 ? compute_s / audio_s : 0.0);
  return 0;
}
