// Fuzz target: the engine's push and pull path with arbitrary rates, samples, push and pull
// lengths, conversion modes, pitch parameter blocks, delays, resets and style vectors.
//
// The synthetic model files (tools/common) are written and mapped once at start-up, where the
// MVSoundLibrary facade's answers (rates refused, calls without an engine, start and stop) are
// checked too. Engines are kept between inputs, one per rate pair, built on first use and
// restarted before every input (engine::restart: a reset that also clears the vocoder's source,
// which a reset keeps running), so an input costs its own chunks only. A chunk (the three
// networks) costs tens of milliseconds and everything else in an input well under one, so most
// inputs get less audio than the first chunk needs and explore the driver alone (rates, push and
// pull lengths, resampling, features, resets, delays, styles) at hundreds of inputs a second;
// one input in kChunkEvery (by its hash, so the share holds whatever the fuzzer prefers) gets
// enough for a chunk and the networks run. A restart must bring an
// engine back to the state it had when built: every input whose hash is a multiple of
// kRepeatEvery runs twice in a row and the two runs must agree to the bit (pushes' and pulls'
// answers, pulled samples, every stage a chunk shows its observer), so state one input leaves
// behind cannot go unnoticed.
//
// Input layout: byte 0 input rate, byte 1 output rate (indexes into kRates, which also holds
// rates the engine must refuse), byte 2 delay steps (signed), then operations of 8 bytes each
// (opcode, then arguments; see run). Samples are synthesised from the operation's bytes so a short
// input still completes chunks.
//
// Properties checked:
//  - the engine is built exactly for the rates in 8000..192000 Hz;
//  - a push answers 0 or the output of one or more whole chunks (3840 samples at 24 kHz resampled
//    to the output rate, within the resampler's slack), and a chunk that completes while the ring
//    has room is reported;
//  - a pull answers its count, or -1 once output has begun and the ring holds too little, and
//    fills the buffer without writing past it (guard samples);
//  - the output is silent up to and including the first chunk after a start or reset;
//  - setdelay answers the delay in force (no change below 1, at most 16);
//  - with the catalogue's style and pitch parameters in their supported ranges (mode 0, 1, 2;
//    intonation -30..30 semitones; pitch -200..200; threshold 0.1; limit 2000), the pitch and the
//    acoustic features of every chunk, and the values mode 2 writes back, are finite (the pitch
//    may be negative: a downward transposition plus a negative offset takes it below zero, and
//    the vocoder's source treats such frames as unvoiced). Out-of-range parameters (any float,
//    NaN included) must not fault;
//  - a restarted engine given the same input twice answers the same to the bit (see above).
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "synthetic/model_folder.h"
#include "engine/driver/MVSoundLibrary.h"
#include "engine/driver/engine.h"
#include "engine/driver/model_file.h"
#include "engine/nets/amengine.h"
#include "engine/nets/bnengine.h"
#include "engine/nets/vocengine.h"

namespace {

using mvsdk::engine::ChunkStage;
using mvsdk::engine::engine;
using mvsdk::engine::ModelFile;
using mvsdk::engine::MVSoundLibrary;

constexpr int kRates[] = {16000, 48000, 44100, 24000, 8000, 22050, 32000, 11025,
                          96000, 192000, 7999,  0,     -48000, 192001, 12345, 8001};
constexpr int kNumRates = 16;
constexpr int kMaxSamples = 30000;     // most samples in one push or pull
constexpr int kMaxInputMs = 320;       // input of an input that may complete a chunk (one at most)
constexpr int kDriverInputMs = 120;    // input of the others: after a restart a chunk needs 125 ms
constexpr int kChunkEvery = 8;         // one input in this many may complete a chunk
constexpr int kGuard = 16;             // guard samples after a pull's buffer
constexpr int kRepeatEvery = 4;        // one input in this many runs twice (see above)

std::string g_am_path, g_bn_path, g_voc_path;
ModelFile g_am, g_bn, g_voc;
std::vector<float> g_style;
std::unique_ptr<engine> g_engines[kNumRates][kNumRates];

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "engine_push_fuzz: property failed: %s\n", what);
    std::abort();
  }
}

bool valid_rate(int rate) { return rate >= engine::kMinRate && rate <= engine::kMaxRate; }

// FNV-1a over everything a run answers, to compare two runs of one input.
struct Digest {
  std::uint64_t h = 14695981039346656037ull;
  void add(const void* p, std::size_t n) {
    const auto* b = static_cast<const std::uint8_t*>(p);
    for (std::size_t i = 0; i < n; ++i) h = (h ^ b[i]) * 1099511628211ull;
  }
  void add(int v) { add(&v, sizeof v); }
};

// What the observer saw during one push, and the digest of the whole run.
struct Observed {
  bool strict = false;  // finite values required
  int chunks = 0;
  float params[5] = {};
  Digest digest;
};

void observer(void* user, ChunkStage stage, const float* data, int rows, int cols) {
  auto& seen = *static_cast<Observed*>(user);
  const int n = rows * cols;
  seen.digest.add(static_cast<int>(stage));
  seen.digest.add(data, static_cast<std::size_t>(n) * sizeof(float));
  if (stage == ChunkStage::kVocoder) ++seen.chunks;
  if (stage == ChunkStage::kParams) std::memcpy(seen.params, data, sizeof seen.params);
  if (!seen.strict) return;
  if (stage == ChunkStage::kPitch || stage == ChunkStage::kAcoustic || stage == ChunkStage::kMel) {
    for (int i = 0; i < n; ++i) check(std::isfinite(data[i]), "pitch and features are finite");
  }
}

std::uint32_t rd32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// Samples for a push: a tone, noise, or the input bytes themselves, from a seed.
void synthesise(std::vector<short>& out, int n, std::uint8_t kind, std::uint32_t seed, const std::uint8_t* raw,
                std::size_t raw_size) {
  out.resize(static_cast<std::size_t>(n));
  std::uint32_t x = seed | 1u;
  const double freq = 80.0 + (seed % 900);
  const double amp = (kind >> 2) == 0 ? 32767.0 : 3000.0 * ((kind >> 2) & 7);
  for (int i = 0; i < n; ++i) {
    double v;
    switch (kind & 3) {
      case 0:
        v = amp * std::sin(2.0 * M_PI * freq * i / 16000.0);
        break;
      case 1:
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        v = static_cast<double>(static_cast<std::int16_t>(x & 0xFFFF)) * amp / 32768.0;
        break;
      case 2:
        v = raw_size ? static_cast<double>(static_cast<std::int8_t>(raw[static_cast<std::size_t>(i) % raw_size])) * 256.0
                     : 0.0;
        break;
      default:
        v = (i & 1) ? 32767.0 : -32768.0;  // full-scale square at Nyquist
        break;
    }
    out[static_cast<std::size_t>(i)] = static_cast<short>(std::clamp(v, -32768.0, 32767.0));
  }
}

// The facade's answers, once: rates outside the range are refused, the transfer calls answer
// "not started" without an engine, and a valid pair starts and stops.
void check_facade() {
  std::vector<short> buf(480);
  short s = 0;
  for (const int rate : kRates) {
    if (valid_rate(rate)) continue;
    for (const auto& [in, out] : {std::pair{rate, 16000}, std::pair{16000, rate}}) {
      check(MVSoundLibrary::startEngine(g_am_path.c_str(), g_bn_path.c_str(), g_voc_path.c_str(), in, out) ==
                    MVSoundLibrary::kEngineInitError &&
                MVSoundLibrary::getEngineStatus() == 0,
            "rates outside 8000..192000 Hz are refused");
    }
  }
  check(MVSoundLibrary::realTimeSoundTransferSoundLibrary(&s, 1, 0, nullptr) == MVSoundLibrary::kNotStarted,
        "push without an engine");
  check(MVSoundLibrary::getRealTimeSoundTransferSoundLibrary(buf.data(), 480) == MVSoundLibrary::kNotStarted,
        "pull without an engine");
  check(MVSoundLibrary::engineSetdelay(4) == MVSoundLibrary::kNotStarted, "setdelay without an engine");
  check(MVSoundLibrary::startEngine(g_am_path.c_str(), g_bn_path.c_str(), g_voc_path.c_str(), 16000, 48000) ==
                MVSoundLibrary::kDone &&
            MVSoundLibrary::getEngineStatus() == 1,
        "valid rates start the engine");
  check(MVSoundLibrary::engineSetdelay(4) == MVSoundLibrary::kDone, "setdelay while running");
  check(MVSoundLibrary::getRealTimeSoundTransferSoundLibrary(buf.data(), 480) == 480, "a pull before output is silence");
  MVSoundLibrary::stopEngineSoundLibrary();
  check(MVSoundLibrary::getEngineStatus() == 0, "stopped");
}

// The engine for a rate pair, built on first use and then kept; null for a pair it must refuse.
engine* engine_for(int in_index, int out_index) {
  const int in_rate = kRates[in_index];
  const int out_rate = kRates[out_index];
  auto& slot = g_engines[in_index][out_index];
  if (!slot) {
    slot = std::make_unique<engine>(g_am.floats(), g_bn.floats(), g_voc.floats(), in_rate, out_rate);
    check(slot->ok() == (valid_rate(in_rate) && valid_rate(out_rate)),
          "an engine is built exactly for rates in 8000..192000 Hz");
  }
  return slot->ok() ? slot.get() : nullptr;
}

// Runs one input's operations on e, which is brought back to its built state first; returns the
// digest of everything the run answered.
std::uint64_t run(engine& e, const std::uint8_t* data, std::size_t size, int max_input_ms) {
  const int out_rate = e.output_rate();
  const int in_rate = e.input_rate();
  const int delay = static_cast<std::int8_t>(data[2]);

  Observed seen;
  e.restart();
  e.setdelay(2);  // the delay a built engine has; restart keeps the last one
  e.set_observer(observer, &seen);
  e.setstyle(g_style.data());
  check(e.setdelay(delay) == (delay < 1 ? 2 : std::min(delay, 16)), "delay in force");
  check(e.queued_samples() == 0 && !e.started(), "a restarted engine has no output");

  // One chunk's output at the output rate; the resampler may hold back or release a few samples.
  const double chunk_out = 3840.0 * out_rate / 24000.0;
  const double slack = 64.0 + out_rate / 1000.0;

  bool style_ok = true;
  bool output_begun = false;   // a chunk has been queued since the last start or reset
  long silent_left = -1;       // samples still owed as silence at the start of output (-1: unknown yet)
  int total_in = 0;
  int chunks_before = 0;       // chunks of the earlier pushes (seen.chunks counts one push's)
  const int max_total_in = static_cast<int>(static_cast<long>(in_rate) * max_input_ms / 1000);
  std::vector<short> samples;
  std::vector<short> out;
  const std::uint8_t* ops = data + 3;
  const std::size_t n_ops = (size - 3) / 8;

  for (std::size_t i = 0; i < n_ops && total_in < max_total_in; ++i) {
    const std::uint8_t* op = ops + i * 8;
    switch (op[0] % 8) {
      case 0:
      case 1:
      case 2:
      case 3: {  // push: length, sample kind, mode, pitch parameters
        const int n = std::min<int>((op[1] | (op[2] << 8)) % (kMaxSamples + 1), max_total_in - total_in);
        total_in += n;
        synthesise(samples, std::max(n, 1), op[3], rd32(op + 4), data, size);
        const int mode = (op[0] >> 3) % 4 == 3 ? static_cast<std::int8_t>(op[7]) : (op[0] >> 3) % 4;
        float params[6];
        const bool in_range = (op[0] & 0x80) == 0;
        if (in_range) {
          params[0] = static_cast<float>(op[5] & 1);
          params[1] = static_cast<float>(static_cast<std::int8_t>(op[6])) * (30.0f / 128.0f);
          params[2] = static_cast<float>(static_cast<std::int8_t>(op[7])) * (200.0f / 128.0f);
          params[3] = 0.1f;
          params[4] = 2000.0f;
          params[5] = 0.0f;
        } else {
          // Arbitrary floats from the input, NaN and infinities included.
          for (int k = 0; k < 6; ++k) {
            const std::size_t at = (static_cast<std::size_t>(op[5]) + 4u * static_cast<unsigned>(k)) % (size >= 4 ? size - 3 : 1);
            std::memcpy(&params[k], data + at, 4);
          }
        }
        chunks_before += seen.chunks;
        seen.chunks = 0;
        seen.strict = in_range && style_ok && mode >= 0 && mode <= 2;
        const int queued_before = e.queued_samples();
        const int r = e.Inpush(samples.data(), n, 1, mode, params);
        seen.digest.add(r);
        check(r >= 0, "a push never answers a negative count");
        if (n == 0) check(r == 0 && seen.chunks == 0, "an empty push does nothing");
        if (seen.chunks == 0) check(r == 0, "no chunk, no output");
        if (r > 0) {
          // Each chunk that was queued contributes about one chunk's output.
          check(std::fabs(r - chunk_out * std::round(r / chunk_out)) <= slack * seen.chunks && r >= chunk_out - slack,
                "a push answers whole chunks' output");
        }
        if (seen.chunks > 0) {
          const int queued_after = e.queued_samples();
          check(queued_after >= queued_before, "a chunk never removes output");
          if (!output_begun) {
            // The start-up silence, then the first chunk (silenced too); when one push completed
            // several chunks, only the delay's share is known to be silent.
            const long delay_zeros = static_cast<long>(e.delay()) * (out_rate / 100);
            silent_left = seen.chunks == 1 ? static_cast<long>(queued_after - queued_before) : delay_zeros;
            check(queued_after - queued_before >= delay_zeros, "the start-up delay is queued");
          }
          output_begun = true;
        }
        if (seen.strict && seen.chunks > 0 && mode == 2) {
          check(std::isfinite(params[1]) && std::isfinite(params[2]), "mode 2 writes back finite values");
        }
        seen.digest.add(params, sizeof params);
        break;
      }
      case 4:
      case 5: {  // pull
        const int n = (op[1] | (op[2] << 8)) % (kMaxSamples + 1);
        out.assign(static_cast<std::size_t>(n) + kGuard, static_cast<short>(0x5A5A));
        const int queued = e.queued_samples();
        const int r = e.Outpop(out.data(), n);
        seen.digest.add(r);
        seen.digest.add(out.data(), out.size() * sizeof(short));
        for (int k = 0; k < kGuard; ++k) check(out[static_cast<std::size_t>(n + k)] == 0x5A5A, "a pull writes nothing past its count");
        if (n == 0) {
          check(r == 0, "an empty pull gives 0");
          break;
        }
        check(r == n || r == -1, "a pull answers its count or -1");
        if (!output_begun) check(r == n, "before the first chunk a pull is silence that counts as output");
        if (output_begun) check((r == n) == (queued >= n), "a pull succeeds exactly when the ring holds enough");
        if (r != n || !output_begun) {
          for (int k = 0; k < n; ++k) check(out[static_cast<std::size_t>(k)] == 0, "an empty pull is silence");
        } else if (silent_left > 0) {
          const long silent = std::min<long>(silent_left, n);
          for (long k = 0; k < silent; ++k) check(out[static_cast<std::size_t>(k)] == 0, "start-up output is silent");
          silent_left -= silent;
        }
        break;
      }
      case 6: {  // reset, or a new delay
        if (op[1] & 1) {
          e.reset();
          output_begun = false;
          silent_left = -1;
          check(e.queued_samples() == 0 && !e.started(), "reset empties the ring");
        } else {
          const int before = e.delay();
          const int steps = static_cast<std::int8_t>(op[2]);
          check(e.setdelay(steps) == (steps < 1 ? before : std::min(steps, 16)), "setdelay answers the delay in force");
        }
        break;
      }
      default: {  // a style vector: the catalogue's, scaled, or arbitrary floats from the input
        std::vector<float> style(g_style);
        if (op[1] & 1) {
          for (std::size_t k = 0; k < style.size(); ++k) {
            std::memcpy(&style[k], data + (k * 4 + op[2]) % (size - 3), 4);
          }
          style_ok = false;
        } else {
          const float scale = static_cast<float>(op[2]) / 128.0f;
          for (float& v : style) v *= scale;
        }
        e.setstyle(style.data());
        break;
      }
    }
  }
  e.set_observer(nullptr, nullptr);
  if (max_input_ms < 125) check(chunks_before + seen.chunks == 0, "after a restart a chunk needs 125 ms of audio");
  return seen.digest.h;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ::setenv("OPENBLAS_NUM_THREADS", "1", 0);
  char tmpl[] = "/tmp/engine_push_fuzz.XXXXXX";
  if (::mkdtemp(tmpl) == nullptr) std::abort();
  const std::filesystem::path dir = tmpl;
  const auto result = mvsdk::models::write_model_folder(dir, 7, 1);
  if (!result.error.empty()) {
    std::fprintf(stderr, "engine_push_fuzz: cannot write the models: %s\n", result.error.c_str());
    std::abort();
  }
  g_am_path = (dir / "am.bin").string();
  g_bn_path = (dir / "bn.bin").string();
  g_voc_path = (dir / "voc.bin").string();
  check(g_am.open(g_am_path, static_cast<std::size_t>(mvsdk::engine::amengine::stream_floats())) &&
            g_bn.open(g_bn_path, static_cast<std::size_t>(mvsdk::engine::bnengine::weight_floats())) &&
            g_voc.open(g_voc_path, static_cast<std::size_t>(mvsdk::engine::vocengine::weight_floats())),
        "the model files map");
  std::ifstream csv(dir / "voice-1.csv");
  std::string item;
  while (std::getline(csv, item, ',')) g_style.push_back(std::strtof(item.c_str(), nullptr));
  if (g_style.size() != engine::kStyleSize) std::abort();
  check_facade();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  engine* e = engine_for(data[0] % kNumRates, data[1] % kNumRates);
  if (!e) return 0;
  Digest input;
  input.add(data, size);
  const int max_input_ms = (input.h >> 32) % kChunkEvery == 0 ? kMaxInputMs : kDriverInputMs;
  const std::uint64_t first = run(*e, data, size, max_input_ms);
  if (input.h % kRepeatEvery == 0) {
    check(run(*e, data, size, max_input_ms) == first, "a restarted engine repeats an input exactly");
  }
  return 0;
}
