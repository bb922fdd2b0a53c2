#include "synthetic_weights.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <numbers>
#include <system_error>

#include "common/rng.h"

namespace mvsdk::models {

namespace {

using engine::WeightBlock;
using engine::WeightRole;

// Scales by role. Products get U(+-g / sqrt(fan_in)), whose output variance is g^2 / 3 times the
// input's. Fully connected products use g = 1 (a mild shrink: the norms of the conformer blocks
// put the stream back to unit size after every block). Convolutions, which follow a rectifier,
// use g = 2.4 (variance kept through a leaky rectifier); the last convolution of a residual
// branch uses g = 1, so that each residual block adds a fraction of its input, not a copy.
constexpr float kMatrixGain = 1.0f;
constexpr float kConvGain = 2.4f;
constexpr float kResidualGain = 1.0f;
constexpr float kBiasScale = 0.02f;           // biases: small offsets
constexpr float kStyleWeightScale = 0.02f;    // style -> gain: ~8% gain change for N(0, 0.5) styles
constexpr float kPositionBiasScale = 0.05f;   // attention position biases u, v
constexpr float kPitchEmbedScale = 1.0f;      // pitch (normalised, ~0.2) -> 192 channels
// Pitch paths. The pitch is the mean of a normalised row times the gains plus the biases, so the
// biases set its level (0.2 ~ 180 Hz) and the spread of the gains its frame-to-frame motion: a
// gain spread of +-G moves the row mean by about G / sqrt(3 x 192) per unit of row deviation.
constexpr float kPitchLevel = 0.2f;           // normalised pitch: Hz = n x 525.05 + 74.94
constexpr float kPitchLevelSpread = 0.1f;     // per-channel spread of that bias
constexpr float kPitchGainSpread = 1.5f;      // per-channel gains 1 +- this
constexpr float kStylePitchScale = 0.0125f;   // style -> pitch level: ~ +-0.05 (25 Hz) per voice
constexpr int kVoicingChannels = 16;          // last outputs of the source stack
constexpr float kVoicingLevel = 0.35f;        // voicing score level (voiced above 0.1)
constexpr float kVoicingGain = 0.4f;          // its frame-to-frame motion
// Vocoder.
constexpr float kSourceConvGain = 2.0f;       // the sine source (|s| < 0.25) into the stages
// Output convolution: rows 0..8 give log-magnitudes, rows 9..17 phase values. The magnitudes
// (through exp) vary moderately, so that peaks stay near the level; the phases vary a lot, so
// that consecutive spectral frames differ and the sound is not a fixed 6 kHz pattern.
constexpr float kMagnitudeGain = 0.5f;
constexpr float kPhaseGain = 1.5f;
constexpr float kLogMagnitude = -2.3f;        // level of the 9 log-magnitudes (sets loudness)
constexpr float kLogMagnitudeSpread = 0.3f;
constexpr float kPhaseSpread = 1.5f;          // phase values pass through pi x sin(.)
constexpr int kSpecBins = 9;

void fill_uniform(Rng& r, float* out, int n, float scale) {
  for (int i = 0; i < n; ++i) out[i] = r.uniform(scale);
}

float fan_scale(const WeightBlock& b, float gain) {
  return gain / std::sqrt(static_cast<float>(b.fan_in > 0 ? b.fan_in : 1));
}

// The inverse transform: 16-point inverse real DFT of bins 0..8 with a periodic Hann synthesis
// window, hop 4, as 4 rows (sample j of the hop) of 4 window frames x 18 channels (9 real, then 9
// imaginary parts). Window frame f (0 oldest .. 3 newest) contributes its sample n = 4 (3 - f) + j.
void fill_istft(float* out, int count) {
  constexpr int kN = 16, kFrames = 4, kHop = 4, kCh = 2 * kSpecBins;
  for (int j = 0; j < kHop; ++j) {
    for (int f = 0; f < kFrames; ++f) {
      const int n = kHop * (kFrames - 1 - f) + j;
      const double w = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * n / kN);
      for (int k = 0; k < kSpecBins; ++k) {
        const double c = (k == 0 || k == kSpecBins - 1) ? 1.0 : 2.0;
        const double a = 2.0 * std::numbers::pi * k * n / kN;
        const int at = j * kFrames * kCh + f * kCh;
        if (at + kSpecBins + k >= count) continue;
        out[at + k] = static_cast<float>(w * c * std::cos(a) / kN);
        out[at + kSpecBins + k] = static_cast<float>(-w * c * std::sin(a) / kN);
      }
    }
  }
}

}  // namespace

void fill_block(const WeightBlock& b, std::uint64_t seed, float* out) {
  Rng r(seed);
  const int n = b.count;
  std::memset(out, 0, sizeof(float) * static_cast<std::size_t>(b.padded()));
  switch (b.role) {
    case WeightRole::kMatrix:
    case WeightRole::kDepthwiseKernel:
    case WeightRole::kPositionWeight:
      fill_uniform(r, out, n, fan_scale(b, kMatrixGain));
      break;
    case WeightRole::kConvKernel:
      fill_uniform(r, out, n, fan_scale(b, kConvGain));
      break;
    case WeightRole::kResidualKernel:
      fill_uniform(r, out, n, fan_scale(b, kResidualGain));
      break;
    case WeightRole::kBias:
      fill_uniform(r, out, n, kBiasScale);
      break;
    case WeightRole::kNormGain:
      for (int i = 0; i < n; ++i) out[i] = 1.0f;
      break;
    case WeightRole::kNormBias:
      break;
    case WeightRole::kStyleNormWeight:
      fill_uniform(r, out, n, kStyleWeightScale);
      break;
    case WeightRole::kStyleNormBias:
      for (int i = 0; i < n / 2; ++i) out[i] = 1.0f;
      break;
    case WeightRole::kPositionBias:
      fill_uniform(r, out, n, kPositionBiasScale);
      break;
    case WeightRole::kPitchEmbedWeight:
      fill_uniform(r, out, n, kPitchEmbedScale);
      break;
    case WeightRole::kPitchEmbedBias:
      fill_uniform(r, out, n, kBiasScale);
      break;
    case WeightRole::kPitchNormWeight: {
      // Gain rows: the usual small style dependence. Bias rows share one row vector, so that the
      // mean of the bias, and with it the predicted pitch level, follows the style: voices differ
      // in pitch.
      const int dim = b.fan_in;
      fill_uniform(r, out, dim * dim, kStyleWeightScale);
      std::unique_ptr<float[]> shared(new float[static_cast<std::size_t>(dim)]);
      fill_uniform(r, shared.get(), dim, kStylePitchScale);
      for (int row = dim; row < 2 * dim; ++row) {
        float* o = out + static_cast<std::size_t>(row) * dim;
        for (int c = 0; c < dim; ++c) o[c] = shared[c] + r.uniform(0.25f * kStyleWeightScale);
      }
      break;
    }
    case WeightRole::kPitchNormBias: {
      const int dim = n / 2;
      for (int i = 0; i < dim; ++i) out[i] = 1.0f + r.uniform(kPitchGainSpread);
      for (int i = dim; i < n; ++i) out[i] = kPitchLevel + r.uniform(kPitchLevelSpread);
      break;
    }
    case WeightRole::kSourcePitchGain:
      for (int i = 0; i < n - kVoicingChannels; ++i) out[i] = 1.0f + r.uniform(kPitchGainSpread);
      for (int i = n - kVoicingChannels; i < n; ++i) out[i] = kVoicingGain;
      break;
    case WeightRole::kSourcePitchBias:
      for (int i = 0; i < n - kVoicingChannels; ++i) out[i] = kPitchLevel + r.uniform(kPitchLevelSpread);
      for (int i = n - kVoicingChannels; i < n; ++i) out[i] = kVoicingLevel;
      break;
    case WeightRole::kSourceConvKernel:
      fill_uniform(r, out, n, fan_scale(b, kSourceConvGain));
      break;
    case WeightRole::kSpectrumKernel: {
      const int row = b.fan_in;
      for (int i = 0; i < n; ++i) {
        out[i] = r.uniform(fan_scale(b, i / row < kSpecBins ? kMagnitudeGain : kPhaseGain));
      }
      break;
    }
    case WeightRole::kSpectrumBias:
      for (int i = 0; i < n && i < kSpecBins; ++i) out[i] = kLogMagnitude + r.uniform(kLogMagnitudeSpread);
      for (int i = kSpecBins; i < n; ++i) out[i] = r.uniform(kPhaseSpread);
      break;
    case WeightRole::kIstftBasis:
      fill_istft(out, n);
      break;
  }
}

WeightFileResult write_weight_file(const std::filesystem::path& path, const engine::WeightPlan& plan,
                                   Network network, std::uint64_t seed) {
  const auto start = std::chrono::steady_clock::now();
  WeightFileResult result;
  std::filesystem::path tmp = path;
  tmp += ".tmp";
  std::FILE* f = std::fopen(tmp.c_str(), "wb");
  if (!f) {
    result.error = "cannot create " + tmp.string() + ": " + std::strerror(errno);
    return result;
  }
  // Blocks are generated into one large buffer that goes out in big writes.
  std::size_t capacity = std::size_t{1} << 22;
  for (const auto& b : plan) capacity = std::max(capacity, static_cast<std::size_t>(b.padded()));
  std::unique_ptr<float[]> buffer(new float[capacity]);
  std::size_t used = 0;
  bool ok = true;
  auto flush = [&] {
    if (used > 0 && std::fwrite(buffer.get(), sizeof(float), used, f) != used) ok = false;
    result.floats += used;
    used = 0;
  };
  for (std::size_t i = 0; i < plan.size() && ok; ++i) {
    const auto& b = plan[i];
    const auto need = static_cast<std::size_t>(b.padded());
    if (used + need > capacity) flush();
    fill_block(b, derive_seed(seed, static_cast<std::uint64_t>(network), i), buffer.get() + used);
    used += need;
  }
  flush();
  if (std::fflush(f) != 0) ok = false;
  if (std::fclose(f) != 0) ok = false;
  std::error_code ec;
  if (!ok) {
    result.error = "cannot write " + tmp.string() + ": " + std::strerror(errno);
    std::filesystem::remove(tmp, ec);
    return result;
  }
  std::filesystem::rename(tmp, path, ec);
  if (ec) {
    result.error = "cannot rename " + tmp.string() + " to " + path.string() + ": " + ec.message();
    std::filesystem::remove(tmp, ec);
    return result;
  }
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return result;
}

}  // namespace mvsdk::models
