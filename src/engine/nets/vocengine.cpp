#include "engine/nets/vocengine.h"

#include <cmath>
#include <cstring>

namespace mvsdk::engine {

// Harmonic merge weights (harmonics 1..9) and bias of the trained source module.
const float l_linear[10] = {0.0016121051f,  -0.00010799928f, -0.00026805868f, -1.3714019f,
                            -0.00080696814f, -0.00011141724f, 0.00023578311f,  1.0912652f,
                            -3.5586279e-05f, -0.016251007f};

namespace {

constexpr int kHarmonics = 9;
constexpr double kSampleRateHz = 24000.0;
constexpr double kTwoPi = 6.2831852;   // the constant the source was trained with
constexpr double kPi = 3.1415926;
constexpr double kSineAmplitude = 0.1;
constexpr float kLeakySlope = 0.2f;
// Full scale of the output: 2^18 / 3, the inverse transform's gain folded into the 16-bit scale.
constexpr double kPcmScale = 87381.333;

constexpr int kChannels0 = 512;
constexpr int kInKernel = 7;
constexpr int kOutKernel = 7;
constexpr int kSpecChannels = 18;  // 9 log-magnitudes + 9 phases
constexpr int kIstftKernel = 16;
constexpr int kSrcKernel[vocengine::kStages] = {40, 8, 1};
constexpr int kSrcStride[vocengine::kStages] = {20, 4, 1};
constexpr int kUpKernel[vocengine::kStages] = {6, 10, 8};
constexpr int kUpCum[vocengine::kStages] = {1, 3, 15};
// The inverse transform sees 60 rows per feature frame: sized for 16 x 60 = 960 input frames.
constexpr int kIstftCum = vocengine::kRowsPerFrame;

int conv1d_floats(int kernel, int in_ch, int out_ch) {
  return alignsize(out_ch * in_ch * kernel, 32) + alignsize(out_ch, 32);
}

inline std::int16_t to_pcm(float v) {
  const double s = std::trunc(static_cast<double>(v) * kPcmScale);
  if (!(s > -32768.0)) return s <= -32768.0 ? INT16_MIN : 0;  // NaN -> 0
  if (s > 32767.0) return INT16_MAX;
  return static_cast<std::int16_t>(s);
}

}  // namespace

void sinegen(const Tensor<float>* f0, Tensor<float>* out, Tensor<float>* phase) {
  const int n = f0->size;
  const float* in = f0->data;
  float* o = out->data;
  float* ph = phase->data;
  for (int i = 0; i < n; ++i) {
    float f = in[i];
    if (!std::isfinite(f)) f = 0.0f;
    const bool voiced = f > 0.0f;
    float acc = 0.0f;
    for (int h = 1; h <= kHarmonics; ++h) {
      const float prod = f * static_cast<float>(h);
      const float inc = static_cast<float>(static_cast<double>(prod) / kSampleRateHz);
      float p = ph[h - 1] + (inc - std::trunc(inc));
      p -= std::trunc(p);
      ph[h - 1] = p;
      // Unvoiced rows add sin(.) x 0.1 x 0 = 0: the sine is skipped, the sum is the same.
      if (voiced) {
        const double s = std::sin(kTwoPi * static_cast<double>(p)) * kSineAmplitude;
        acc = static_cast<float>(static_cast<double>(acc) +
                                 static_cast<double>(l_linear[h - 1]) * s);
      }
    }
    // For unvoiced rows acc is 0 and the argument a constant of this file: an optimiser that
    // sees that (GCC at -O3 does) evaluates tanh at build time, correctly rounded, where the
    // run-time library may differ by a rounding step. The barrier keeps every row on the
    // run-time tanh, so the output does not depend on the optimisation level.
    float x = acc + l_linear[kHarmonics];
    __asm__ __volatile__("" : "+m"(x));
    o[i] = std::tanh(x);
  }
  out->resize(f0->shape[0], f0->shape[1], f0->shape[2], f0->shape[3]);
}

void fwd_istft_pre(const Tensor<float>* in, Tensor<float>* out) {
  constexpr int kBins = kSpecChannels / 2;
  const int rows = in->size / kSpecChannels;
  const float* a = in->data;
  float* o = out->data;
  for (int r = 0; r < rows; ++r) {
    const float* ar = a + static_cast<size_t>(r) * kSpecChannels;
    float* orow = o + static_cast<size_t>(r) * kSpecChannels;
    float m[kBins];
    float p[kBins];
    for (int k = 0; k < kBins; ++k) {
      m[k] = std::exp(ar[k]);
      p[k] = static_cast<float>(kPi * static_cast<double>(std::sin(ar[kBins + k])));
    }
    for (int k = 0; k < kBins; ++k) {
      orow[k] = m[k] * std::cos(p[k]);
      orow[kBins + k] = m[k] * std::sin(p[k]);
    }
  }
  out->resize(in->shape[0], in->shape[1], in->shape[2], in->shape[3]);
}

vocengine::vocengine(const float* weights, int /*mode*/) : memsize(0), first_done(0) {
  post = std::make_unique<Tensor<float>>(kWorkRows, 64);
  x = std::make_unique<Tensor<float>>(kWorkRows, 64);
  src = std::make_unique<Tensor<float>>(kWorkRows, kHarmonics);
  nz = std::make_unique<Tensor<float>>(kWorkRows, 256);
  phase = std::make_unique<Tensor<float>>(kHarmonics);
  phase->zeros();
  cols = std::make_unique<Tensor<float>>(workspace_floats());

  const float* p = weights;
  conv_in = std::make_unique<Conv1d>(p, kInKernel, 1, kFeatures, kChannels0, cols.get());
  p += conv_in->get_memsize();
  for (int s = 0; s < kStages; ++s) {
    const int c = kChannels0 >> s;
    src_conv[s] = std::make_unique<Conv1d>(p, kSrcKernel[s], 1, 1, c / 2, cols.get());
    p += src_conv[s]->get_memsize();
    ups[s] = std::make_unique<UpSampler>(p, kUpKernel[s], 1, c / 2, c, kUpCum[s], cols.get());
    p += ups[s]->get_memsize();
  }
  const int c_last = kChannels0 >> kStages;
  conv_out = std::make_unique<Conv1d>(p, kOutKernel, 1, c_last, kSpecChannels, cols.get());
  p += conv_out->get_memsize();
  istft = std::make_unique<DeConv1d>(p, kIstftKernel, 1, 1, kSpecChannels, 1, kIstftCum);
  p += istft->get_memsize();
  memsize = static_cast<int>(p - weights);
}

vocengine::~vocengine() = default;

int vocengine::weight_floats() {
  int n = conv1d_floats(kInKernel, kFeatures, kChannels0);
  for (int s = 0; s < kStages; ++s) {
    const int c = kChannels0 >> s;
    n += conv1d_floats(kSrcKernel[s], 1, c / 2);
    n += UpSampler::weight_floats(kUpKernel[s], c / 2, c);
  }
  n += conv1d_floats(kOutKernel, kChannels0 >> kStages, kSpecChannels);
  n += DeConv1d::weight_floats(kIstftKernel, 1, kSpecChannels, 1);
  return n;
}

int vocengine::workspace_floats() {
  const int rows = kMaxFrames * kRowsPerFrame;  // source rows and output-convolution frames
  int most = kMaxFrames * kInKernel * kFeatures;
  auto at_least = [&most](int floats) { most = floats > most ? floats : most; };
  for (int s = 0; s < kStages; ++s) {
    const int c = kChannels0 >> s;
    at_least(((rows - 1) / kSrcStride[s] + 1) * kSrcKernel[s]);  // one source channel
    const int frames = kMaxFrames * kUpCum[s] * (kUpKernel[s] / 2);
    at_least(frames * UpSampler::kResKernel * (c / 2));
  }
  at_least(rows * kOutKernel * (kChannels0 >> kStages));
  return most;
}

void vocengine::reset() {
  first_done = 0;
  conv_in->reset();
  for (auto& u : ups) u->reset();
  conv_out->reset();
  istft->reset();
}

void vocengine::restart() {
  reset();
  for (auto& c : src_conv) c->reset();
  phase->zeros();
}

int vocengine::forward(Tensor<float>*& feat, Tensor<float>*& f0, short* pcm) {
  if (feat == nullptr || f0 == nullptr || pcm == nullptr) return 0;
  return forward(*feat, *f0, pcm);
}

int vocengine::forward(const Tensor<float>& feat, const Tensor<float>& f0, std::int16_t* pcm) {
  const int t = feat.shape[2];
  if (pcm == nullptr || t < 1 || t > kMaxFrames || feat.shape[3] != kFeatures ||
      feat.size != t * kFeatures || f0.size != t || feat.data == nullptr || f0.data == nullptr) {
    return 0;
  }
  const int rows = t * kRowsPerFrame;

  x->reload(feat);
  src->resize(1, 1, t, 1);
  std::memcpy(src->data, f0.data, sizeof(float) * t);
  src->upsample(src.get(), kRowsPerFrame);
  sinegen(src.get(), src.get(), phase.get());

  conv_in->forward(x.get(), 1);
  for (int s = 0; s < kStages; ++s) {
    nz->reload(src.get());
    src_conv[s]->forward(nz.get(), kSrcStride[s]);
    ups[s]->forward(x.get(), nz.get());
  }
  x->leakyrelu(kLeakySlope);

  const int ch = x->shape[3];
  if (first_done == 0) {
    // The stream's very first frame is preceded by a reflection of its second.
    std::memcpy(post->data, x->data + ch, sizeof(float) * ch);
    std::memcpy(post->data + ch, x->data, sizeof(float) * static_cast<size_t>(rows - 1) * ch);
    post->resize(1, 1, rows, ch);
    first_done = 1;
  } else {
    post->reload(x.get());
  }
  conv_out->forward(post.get(), 1);
  fwd_istft_pre(post.get(), post.get());
  istft->forward(post.get());

  const int n = post->size;
  const float* y = post->data;
  for (int i = 0; i < n; ++i) pcm[i] = to_pcm(y[i]);
  return n;
}

}  // namespace mvsdk::engine
