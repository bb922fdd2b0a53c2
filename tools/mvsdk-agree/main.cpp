// mvsdk-agree: checks that two builds of the engine (e.g. x86-64 and arm64) compute the same
// thing from the same input and model files.
//
//   mvsdk-agree signal --out F [--seconds S] [--rate R]
//       writes a fixed speech-like test signal (voiced syllables with a gliding pitch and a little
//       noise) as raw 16-bit little-endian mono PCM; the same arguments give the same bytes.
//   mvsdk-agree kernels --out DIR
//       writes the vectorised kernels' results on fixed inputs, one file each: exp.f32 (exp_ps
//       over a dense sweep of -100..100 and a stride through every bit pattern), swish.f32,
//       glu.f32, softmax.f32 and leakyrelu.f32 (inputs from a fixed integer generator, odd
//       lengths so that both the 4-lane groups and the scalar tails are covered).
//   mvsdk-agree compare REF_DIR OTHER_DIR [--min-snr DB] [--min-snr STAGE=DB ...] [--exact STAGE ...]
//       compares the *.f32 / *.s16 files of two folders (mvsdk-engine --dump folders, plus any
//       other raw output placed beside them) stage by stage and prints, for each stage, the values
//       compared, how many differ at all, the largest absolute difference, the relative RMS
//       difference and the signal-to-difference ratio in dB. Fails (status 1) on missing or
//       unequal files, non-finite disagreements, a stage below its SNR floor, or a stage named
//       by --exact whose values are not all bit-identical.
//
// Exit status 0 on success, 1 on a failed check or an unwritable file, 2 on a bad command line.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <map>
#include <numbers>
#include <set>
#include <string>
#include <vector>

#include "common/agreement.h"
#include "common/command_line.h"
#include "engine/core/alignmm.h"
#include "engine/kernels/util.h"

namespace {

int usage(const std::string& why) {
  std::fprintf(stderr,
               "mvsdk-agree: %s\n"
               "usage: mvsdk-agree signal --out F [--seconds S] [--rate R]\n"
               "       mvsdk-agree kernels --out DIR\n"
               "       mvsdk-agree compare REF_DIR OTHER_DIR [--min-snr DB] [--min-snr STAGE=DB ...]\n"
               "                           [--exact STAGE ...]\n",
               why.c_str());
  return 2;
}

using mvsdk::tools::parse_double;

int run_signal(int argc, char** argv) {
  std::string out;
  double seconds = 3.0;
  double rate = 16000.0;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (i + 1 >= argc) return usage("missing value for " + a);
    const char* v = argv[++i];
    if (a == "--out") {
      out = v;
    } else if (a == "--seconds") {
      if (!parse_double(v, seconds) || seconds <= 0 || seconds > 600) return usage("bad --seconds");
    } else if (a == "--rate") {
      if (!parse_double(v, rate) || rate < 8000 || rate > 192000) return usage("bad --rate");
    } else {
      return usage("unknown option " + a);
    }
  }
  if (out.empty()) return usage("--out is required");

  const auto n = static_cast<std::size_t>(seconds * rate);
  std::vector<std::int16_t> pcm(n);
  double phase = 0.0;
  std::uint32_t noise = 12345u;
  for (std::size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / rate;
    // Syllables of 0.4 s: 0.3 s voiced with a raised-cosine envelope, 0.1 s of breath.
    const double in_syllable = std::fmod(t, 0.4);
    const double env = in_syllable < 0.3 ? 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * in_syllable / 0.3) : 0.0;
    const double f0 = 120.0 + 60.0 * std::sin(2.0 * std::numbers::pi * 0.7 * t);
    phase += 2.0 * std::numbers::pi * f0 / rate;
    double voiced = 0.0;
    for (int h = 1; h <= 12; ++h) voiced += std::sin(h * phase) / h;
    noise = noise * 1664525u + 1013904223u;  // Numerical Recipes LCG
    const double white = (static_cast<double>(noise >> 8) / 16777216.0) * 2.0 - 1.0;
    const double v = 0.35 * env * voiced + 0.01 * white;
    pcm[i] = static_cast<std::int16_t>(std::lround(std::clamp(v, -1.0, 1.0) * 32000.0));
  }
  std::FILE* f = std::fopen(out.c_str(), "wb");
  if (!f) {
    std::fprintf(stderr, "mvsdk-agree: cannot write %s\n", out.c_str());
    return 1;
  }
  bool ok = true;
  for (const std::int16_t s : pcm) {
    const auto u = static_cast<std::uint16_t>(s);
    const unsigned char b[2] = {static_cast<unsigned char>(u & 0xFF), static_cast<unsigned char>(u >> 8)};
    ok = ok && std::fwrite(b, 1, 2, f) == 2;
  }
  ok = (std::fclose(f) == 0) && ok;
  if (!ok) {
    std::fprintf(stderr, "mvsdk-agree: error writing %s\n", out.c_str());
    return 1;
  }
  return 0;
}

// Little-endian floats to path.
bool write_f32(const std::string& path, const float* v, std::size_t n) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = true;
  for (std::size_t i = 0; i < n && ok; ++i) {
    const auto u = std::bit_cast<std::uint32_t>(v[i]);
    const unsigned char b[4] = {static_cast<unsigned char>(u), static_cast<unsigned char>(u >> 8),
                                static_cast<unsigned char>(u >> 16), static_cast<unsigned char>(u >> 24)};
    ok = std::fwrite(b, 1, 4, f) == 4;
  }
  return (std::fclose(f) == 0) && ok;
}

// Uniform values in [-range, range] from a 32-bit LCG; the same bits on every processor (the
// conversion of a 24-bit integer and the scaling by a power of two are exact).
std::vector<float> lcg_values(std::size_t n, float range, std::uint32_t seed) {
  std::vector<float> v(n);
  for (auto& x : v) {
    seed = seed * 1664525u + 1013904223u;
    x = (static_cast<float>(seed >> 8) * 0x1p-23f - 1.0f) * range;
  }
  return v;
}

int run_kernels(int argc, char** argv) {
  using mvsdk::engine::Tensor;
  std::string out;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--out" && i + 1 < argc) {
      out = argv[++i];
    } else {
      return usage("unknown option " + a);
    }
  }
  if (out.empty()) return usage("--out is required");
  std::error_code ec;
  std::filesystem::create_directories(out, ec);
  bool ok = !ec;

  // exp_ps: the working range densely, then every 65521st bit pattern (infinities, NaNs and
  // denormals included).
  std::vector<float> xs;
  for (int k = -100000; k <= 100000; ++k) xs.push_back(static_cast<float>(k) * 0.001f);
  for (std::uint64_t b = 0; b <= 0xFFFFFFFFull; b += 65521) xs.push_back(std::bit_cast<float>(static_cast<std::uint32_t>(b)));
  while (xs.size() % 4) xs.push_back(0.0f);
  std::vector<float> ex(xs.size());
  for (std::size_t i = 0; i < xs.size(); i += 4) {
    mvsdk::engine::store4(&ex[i], mvsdk::engine::exp_ps(mvsdk::engine::load4(&xs[i])));
  }
  ok = ok && write_f32(out + "/exp.f32", ex.data(), ex.size());

  // The tensor kernels on 4099 values (groups of 16, 8 and 4 and a scalar tail of 3).
  const int n = 4099;
  const auto vals = lcg_values(n, 12.0f, 99u);
  Tensor<float> t(n);
  if (!t.data) return 1;
  auto load = [&] { std::copy(vals.begin(), vals.end(), t.data); };
  load();
  mvsdk::engine::swish(&t);
  ok = ok && write_f32(out + "/swish.f32", t.data, n);
  load();
  t.leakyrelu(0.2f);
  ok = ok && write_f32(out + "/leakyrelu.f32", t.data, n);

  // glu over rows of 2 x 37 (4-lane groups of 8 and 4 and a tail of 1).
  const int h = 37;
  const int rows = n / (2 * h);
  Tensor<float> g(rows * h);
  if (!g.data) return 1;
  load();
  mvsdk::engine::glu(&t, &g, h);
  ok = ok && write_f32(out + "/glu.f32", g.data, static_cast<std::size_t>(rows) * h);

  // softmax over rows of 67 in a stride of 72 (zero fill included).
  std::vector<float> sm(72 * 50);
  const auto logits = lcg_values(sm.size(), 20.0f, 7u);
  std::copy(logits.begin(), logits.end(), sm.begin());
  for (int r = 0; r < 50; ++r) mvsdk::engine::softmax(sm.data() + r * 72, 67, 72);
  ok = ok && write_f32(out + "/softmax.f32", sm.data(), sm.size());

  if (!ok) {
    std::fprintf(stderr, "mvsdk-agree: cannot write the kernel results into %s\n", out.c_str());
    return 1;
  }
  return 0;
}

int run_compare(int argc, char** argv) {
  if (argc < 4) return usage("compare needs two folders");
  const std::string ref = argv[2];
  const std::string other = argv[3];
  double min_snr = -std::numeric_limits<double>::infinity();
  std::map<std::string, double> stage_min;
  std::set<std::string> exact;
  for (int i = 4; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--exact" && i + 1 < argc) {
      exact.insert(argv[++i]);
      continue;
    }
    if (a != "--min-snr") return usage("unknown option " + a);
    if (i + 1 >= argc) return usage("missing value for --min-snr");
    const std::string v = argv[++i];
    const std::size_t eq = v.find('=');
    double db = 0;
    if (eq == std::string::npos) {
      if (!parse_double(v.c_str(), db)) return usage("bad --min-snr " + v);
      min_snr = db;
    } else {
      if (eq == 0 || !parse_double(v.c_str() + eq + 1, db)) return usage("bad --min-snr " + v);
      stage_min[v.substr(0, eq)] = db;
    }
  }

  const auto result = mvsdk::tools::compare_folders(ref, other);
  bool ok = result.problems.empty();
  for (const auto& p : result.problems) std::printf("problem: %s\n", p.c_str());
  if (result.stages.empty()) {
    std::printf("problem: no *.f32 or *.s16 files to compare\n");
    ok = false;
  }
  std::printf("%-14s %6s %9s %9s %12s %12s %9s  %s\n", "stage", "files", "values", "differ", "max_abs", "rel_rms",
              "snr_db", "floor");
  for (const auto& s : result.stages) {
    const auto& v = s.values;
    const auto it = stage_min.find(s.stage);
    const double floor = it != stage_min.end() ? it->second : min_snr;
    const bool must_match = exact.count(s.stage) > 0;
    const bool pass = v.mismatches() == 0 && v.snr_db() >= floor && (!must_match || v.differing() == 0);
    ok = ok && pass;
    const char* verdict = pass ? "ok"
                          : v.mismatches()                      ? "FAIL (non-finite values disagree)"
                          : (must_match && v.differing() != 0) ? "FAIL (must be bit-identical)"
                                                                : "FAIL";
    if (must_match) {
      std::printf("%-14s %6zu %9zu %9zu %12.6g %12.6g %9.2f  exact %s\n", s.stage.c_str(), s.files, v.count(),
                  v.differing(), v.max_abs(), v.rel_rms(), v.snr_db(), verdict);
    } else {
      std::printf("%-14s %6zu %9zu %9zu %12.6g %12.6g %9.2f  %.1f %s\n", s.stage.c_str(), s.files, v.count(),
                  v.differing(), v.max_abs(), v.rel_rms(), v.snr_db(), floor, verdict);
    }
  }
  for (const auto& stage : exact) {
    if (!stage_min.count(stage)) stage_min[stage] = min_snr;
  }
  for (const auto& [stage, floor] : stage_min) {
    bool seen = false;
    for (const auto& s : result.stages) seen = seen || s.stage == stage;
    if (!seen) {
      std::printf("problem: no files of stage %s\n", stage.c_str());
      ok = false;
    }
  }
  std::printf("%s\n", ok ? "agreement: ok" : "agreement: FAILED");
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage("which command?");
  const std::string cmd = argv[1];
  if (cmd == "signal") return run_signal(argc, argv);
  if (cmd == "kernels") return run_kernels(argc, argv);
  if (cmd == "compare") return run_compare(argc, argv);
  if (cmd == "-h" || cmd == "--help") return usage("help");
  return usage("unknown command " + cmd);
}
