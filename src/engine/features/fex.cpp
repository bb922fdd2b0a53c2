#include "engine/features/fex.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <numbers>

#include "engine/kernels/simd.h"

namespace mvsdk::engine {
namespace {

typedef float v8sf __attribute__((vector_size(32)));
typedef short v8hi __attribute__((vector_size(16)));
typedef double v4df __attribute__((vector_size(32)));

constexpr int kSampleBufferBytes = kSampleBufferSamples * 2;  // 15360
constexpr int kFrameBytes = kFrameLength * 2;                 // 800
constexpr int kShiftBytes = kFrameShift * 2;                  // 320
constexpr double kMelLowHz = 20.0;
constexpr double kMelHighHz = 8000.0;  // Nyquist of 16 kHz
constexpr double kBinHz = 16000.0 / kFftSize;  // 31.25 Hz per FFT bin

double mel_scale(double hz) { return 1127.0 * std::log(1.0 + hz / 700.0); }

std::array<float, kFrameLength> make_window() {
  std::array<float, kFrameLength> w{};
  for (int n = 0; n < kFrameLength; ++n) {
    const double hann = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * n / (kFrameLength - 1));
    w[n] = static_cast<float>(std::pow(hann, 0.85));
  }
  w[0] = 0.0f;
  w[kFrameLength - 1] = 0.0f;
  return w;
}

MelBands make_mel_bands() {
  MelBands b{};
  const double mlo = mel_scale(kMelLowHz);
  const double mhi = mel_scale(kMelHighHz);
  const double step = (mhi - mlo) / (kMelBands + 1);
  int total = 0;
  for (int m = 0; m < kMelBands; ++m) {
    const double left = mlo + m * step;
    const double centre = mlo + (m + 1) * step;
    const double right = mlo + (m + 2) * step;
    double w[kPowerBins];
    int first = -1;
    int last = -1;
    for (int k = 0; k < kPowerBins; ++k) {
      const double mel = mel_scale(kBinHz * k);
      w[k] = 0.0;
      if (left < mel && mel <= centre) {
        w[k] = (mel - left) / (centre - left);
      } else if (centre < mel && mel < right) {
        w[k] = (right - mel) / (right - centre);
      }
      if (w[k] != 0.0) {
        if (first < 0) first = k;
        last = k;
      }
    }
    b.offset[m] = total;
    b.first_bin[m] = first < 0 ? 0 : first;
    b.n_bins[m] = 0;
    // The mel scale is monotonic, so a band's non-zero weights form one run.
    for (int k = first; first >= 0 && k <= last && total < MelBands::kMaxWeights; ++k) {
      b.weights[total++] = static_cast<float>(w[k]);
      ++b.n_bins[m];
    }
  }
  b.n_weights = total;
  return b;
}

inline v4sf reverse4(v4sf v) { return __builtin_shufflevector(v, v, 3, 2, 1, 0); }

}  // namespace

const float* window_hex() {
  static const std::array<float, kFrameLength> window = make_window();
  return window.data();
}

const MelBands& melcoe_hex() {
  static const MelBands bands = make_mel_bands();
  return bands;
}

FeatureExtract::FeatureExtract(int mode) : mode_(mode) {
  frame_ = static_cast<float*>(aligned_malloc(32, sizeof(float) * kFftSize));
  spectrum_ = static_cast<float*>(aligned_malloc(32, sizeof(float) * kFftSize));
  fft_ = rfft_init(kFftSize);
  buf_ = static_cast<std::uint8_t*>(aligned_malloc(32, kSampleBufferBytes));
  if (buf_) cap_ = kSampleBufferBytes;
  if (frame_) std::memset(frame_, 0, sizeof(float) * kFftSize);
  if (spectrum_) std::memset(spectrum_, 0, sizeof(float) * kFftSize);
  // Build the shared tables now rather than on the first frame.
  (void)window_hex();
  (void)melcoe_hex();
  reset();
}

FeatureExtract::~FeatureExtract() {
  rfft_uninit(fft_);
  aligned_free(buf_);
  aligned_free(frame_);
  aligned_free(spectrum_);
}

bool FeatureExtract::valid() const {
  return queue_.valid() && frame_ && spectrum_ && fft_ && buf_;
}

int FeatureExtract::insert(const short* samples, int count, int /*flag*/) {
  if (!valid()) return 0;
  int stored = 0;
  if (samples && count >= 1) {
    const long long want = 2LL * count;
    const int k = static_cast<int>(std::min<long long>(want, cap_ - wr_ + rd_));
    if (k > 0) {
      if (wr_ + k > cap_) {  // move the unread bytes to the front instead of wrapping
        std::memmove(buf_, buf_ + rd_, static_cast<size_t>(wr_ - rd_));
        wr_ -= rd_;
        rd_ = 0;
      }
      std::memcpy(buf_ + wr_, samples, static_cast<size_t>(k));
      wr_ += k;
    }
    stored = k / 2;
    if (k < want) return stored;  // buffer full: keep what fitted, cut no frame this time
  }
  alignas(32) float feat[kMelBands];
  while (wr_ - rd_ >= kFrameBytes) {
    short x[kFrameLength];
    std::memcpy(x, buf_ + rd_, kFrameBytes);
    rd_ += kShiftBytes;
    compute_frame(x, feat);
    queue_.push(feat, 1);
  }
  return stored;
}

int FeatureExtract::size() const { return queue_.size(); }

int FeatureExtract::fetch(Tensor<float>*& out) {
  Tensor<float>* t = queue_.pop();
  if (!t) return 0;
  out = t;
  return 1;
}

bool FeatureExtract::recycle(Tensor<float>* chunk) { return queue_.recycle(chunk); }

void FeatureExtract::reset() {
  rd_ = 0;
  wr_ = 0;
  queue_.reset();
}

void FeatureExtract::compute_frame(const short* samples, float* feat) {
  if (!valid()) return;
  // Mean in single precision. Every partial sum of 16-bit samples is an integer below 2^24 in
  // magnitude (400 x 32768), so the float sum is exact in any order and equals this integer sum.
  int isum = 0;
  for (int i = 0; i < kFrameLength; ++i) isum += samples[i];
  const float mean = static_cast<float>(isum) / static_cast<float>(kFrameLength);

  // cur[i] = x[i] - mean (float) into the spectrum buffer, shifted by one so that cur[-1] (the
  // "previous" sample of x[0]) is x[0] - mean itself.
  float* cur = spectrum_;
  const v8sf mean8 = {mean, mean, mean, mean, mean, mean, mean, mean};
  for (int i = 0; i < kFrameLength; i += 8) {
    v8hi s;
    std::memcpy(&s, samples + i, sizeof s);
    const v8sf v = __builtin_convertvector(s, v8sf) - mean8;
    std::memcpy(cur + 1 + i, &v, sizeof v);
  }
  cur[0] = cur[1];

  // Pre-emphasis and window in double: frame[i] = w[i] * (cur[i] - 0.97 cur[i-1]), stored as float.
  const float* win = window_hex();
  const v4df k097 = {kPreemphasis, kPreemphasis, kPreemphasis, kPreemphasis};
  for (int i = 0; i < kFrameLength; i += 4) {
    const v4df c = __builtin_convertvector(load4(cur + 1 + i), v4df);
    const v4df p = __builtin_convertvector(load4(cur + i), v4df);
    const v4df w = __builtin_convertvector(load4(win + i), v4df);
    store4(frame_ + i, __builtin_convertvector(w * (c - k097 * p), v4sf));
  }
  // frame_[400..511] stay zero from construction.

  rfft_process(fft_, frame_, spectrum_);
  melspect(spectrum_, feat);
}

void FeatureExtract::power_spectrum(const float* o, float* power) {
  power[0] = o[0] * o[0];
  int k = 1;
  for (; k + 3 < kPowerBins; k += 4) {
    const v4sf re = load4(o + k);
    const v4sf im = reverse4(load4(o + kFftSize - k - 3));  // o[512-k] .. o[512-k-3]
    store4(power + k, fma4(re, re, im * im));
  }
  for (; k < kPowerBins; ++k) {
    const float im = o[kFftSize - k];
    power[k] = std::fma(o[k], o[k], im * im);
  }
}

void FeatureExtract::melspect(const float* spectrum, float* out) const {
  alignas(32) float power[kPowerBins];
  power_spectrum(spectrum, power);
  const MelBands& mb = melcoe_hex();
  for (int m = 0; m < kMelBands; ++m) {
    const float* w = mb.weights + mb.offset[m];
    const float* p = power + mb.first_bin[m];
    float acc = 0.0f;
    for (int t = 0; t < mb.n_bins[m]; ++t) acc = acc + w[t] * p[t];
    out[m] = acc;
  }
  global_cmvn(out);
}

void FeatureExtract::global_cmvn(float* feat) {
  for (int m = 0; m < kMelBands; ++m) {
    const double v = std::max(static_cast<double>(feat[m]), kLogFloor);
    feat[m] = std::log(static_cast<float>(v));
  }
}

}  // namespace mvsdk::engine
