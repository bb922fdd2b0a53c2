#include "engine/nets/amengine.h"

#include <cmath>

#include "engine/layers/pos_enc.h"

namespace mvsdk::engine {

namespace {

// Normalised pitch <-> Hz: Hz = n x kPitchScale + kPitchFloor, in double.
constexpr double kPitchScale = 525.049766020263;
constexpr double kPitchFloor = 74.9358171247276;
// The rounded scale of the pitch parameter block's offset entry (params[2] / 525.04 is an offset
// in normalised units, so one unit is close to one Hz).
constexpr double kParamScale = 525.04;

inline float to_hz(float n) { return static_cast<float>(static_cast<double>(n) * kPitchScale + kPitchFloor); }

constexpr int kPosLen = 5000;            // rows of the shared sinusoidal position table
constexpr int kVoicingWidth = 16;        // last columns of the source stack: voicing score
constexpr int kStatsFloats = 16;

int pad(int n) { return alignsize(n, 32); }

// Stream sizes of the conformer blocks, from their layer layouts.
int attention_floats(int d) { return 5 * pad(d * d) + 6 * pad(d); }
int feedforward_floats(int d, int h) { return 2 * pad(d * h) + pad(h) + pad(d); }
int convmodule_floats(int d) {
  return pad(2 * d * d) + pad(2 * d) + pad(d * 15) + pad(d) + pad(d * d) + pad(d) + 2 * pad(d);
}
int block_body_floats(int d, int h) { return attention_floats(d) + 2 * feedforward_floats(d, h) + convmodule_floats(d); }
int subencoder_floats(int d, int h) { return block_body_floats(d, h) + 5 * 2 * pad(d); }
int substyleencoder_floats(int d, int h) { return block_body_floats(d, h) + 5 * (pad(2 * d * d) + pad(2 * d)); }
int linear_floats(int in, int out) { return pad(in * out) + pad(out); }

}  // namespace

int amengine::stream_floats() {
  return Prenet::stream_floats(kContentWidth, kDim) + Prenet::stream_floats(kDim, kDim) +
         Prenet::stream_floats(kAuxWidth, kDim) + linear_floats(1, kDim) +
         2 * kBlocks * subencoder_floats(kDim, kHidden) + 2 * kBlocks * substyleencoder_floats(kDim, kHidden) +
         linear_floats(kDim, kOutWidth);
}

amengine::amengine(const float* stream, int conv_mode) {
  // The working tensors are plain pointers: if building throws (an allocation failed), the
  // destructor does not run, so they are released here before the exception goes on.
  try {
    build(stream, conv_mode);
  } catch (...) {
    free_tensors();
    throw;
  }
}

void amengine::build(const float* stream, int conv_mode) {
  content = new Tensor<float>(kMaxFrames, kDim);
  hidden = new Tensor<float>(kMaxFrames, kDim);
  f0 = new Tensor<float>(32);
  voiced = new Tensor<float>(32);
  score = new Tensor<float>(32);
  stats = new Tensor<float>(kStatsFloats);
  // The table is shared by all 16 blocks; each attention layer keeps its own projection of it.
  auto table = std::make_unique<PositionEncoding>(kPosLen, kDim, 0);
  const float* p = stream;
  auto advance = [this, &p](int n) {
    p += n;
    memsize += n;
  };
  content_prenet = std::make_unique<Prenet>(p, 0, kContentWidth, kDim);
  advance(content_prenet->get_memsize());
  predictor_prenet = std::make_unique<Prenet>(p, 0, kDim, kDim);
  advance(predictor_prenet->get_memsize());
  source_prenet = std::make_unique<Prenet>(p, 0, kAuxWidth, kDim);
  advance(source_prenet->get_memsize());
  pitch_embed = std::make_unique<Linear>(p, 0, 1, kDim);
  advance(pitch_embed->get_memsize());
  for (auto& b : encoder) {
    b = std::make_unique<SubEncoder>(p, conv_mode, table.get(), kHeads, kHeadDim, kDim, kHidden);
    advance(b->get_memsize());
  }
  for (auto& b : predictor) {
    b = std::make_unique<SubStyleEncoder>(p, conv_mode, table.get(), kHeads, kHeadDim, kDim, kHidden);
    advance(b->get_memsize());
  }
  for (auto& b : source) {
    b = std::make_unique<SubEncoder>(p, conv_mode, table.get(), kHeads, kHeadDim, kDim, kHidden);
    advance(b->get_memsize());
  }
  for (auto& b : decoder) {
    b = std::make_unique<SubStyleEncoder>(p, conv_mode, table.get(), kHeads, kHeadDim, kDim, kHidden);
    advance(b->get_memsize());
  }
  out_proj = std::make_unique<Linear>(p, 0, kDim, kOutWidth);
  advance(out_proj->get_memsize());

  f0->resize(1, 1, 0, 1);
  // A tensor whose buffer could not be allocated is left alone: the engine sees the failure
  // (aligned_malloc_failures) and is never run.
  for (Tensor<float>* t : {voiced, score, stats}) {
    if (t->data) t->zeros();
  }
}

amengine::~amengine() { free_tensors(); }

void amengine::free_tensors() {
  for (Tensor<float>** t : {&stats, &score, &voiced, &f0, &hidden, &content}) {
    delete *t;
    *t = nullptr;
  }
}

void amengine::reset() {
  frames = 0;
  for (auto& b : encoder) b->reset();
  for (auto& b : predictor) b->reset();
  for (auto& b : source) b->reset();
  for (auto& b : decoder) b->reset();
  stats->zeros();
}

void amengine::setstyle(const Tensor<float>* style) {
  for (auto& b : predictor) b->setstyle(style);
  for (auto& b : decoder) b->setstyle(style);
}

void amengine::predict_pitch(int T) {
  predictor_prenet->forward(hidden);
  for (auto& b : predictor) b->forward(hidden);
  const float* h = hidden->data;
  for (int t = 0; t < T; ++t) {
    const float* row = h + t * kDim;
    float sum = 0.0f;
    for (int i = 0; i < kDim; ++i) sum += row[i];  // index order
    const float n = sum / static_cast<float>(kDim);
    f0->data[t] = n;
    voiced->data[t] = static_cast<double>(n) > 0.001 ? 1.0f : 0.0f;
  }
}

void amengine::source_pitch(Tensor<float>* y, int T) {
  hidden->reload(y);
  source_prenet->forward(hidden);
  for (auto& b : source) b->forward(hidden);
  constexpr int kPitchWidth = kDim - kVoicingWidth;
  const float* h = hidden->data;
  for (int t = 0; t < T; ++t) {
    const float* row = h + t * kDim;
    float sa = 0.0f;
    for (int i = 0; i < kPitchWidth; ++i) sa += row[i];
    float sb = 0.0f;
    for (int i = kPitchWidth; i < kDim; ++i) sb += row[i];
    const float b = sb / static_cast<float>(kVoicingWidth);
    f0->data[t] = sa / static_cast<float>(kPitchWidth);
    score->data[t] = b;
    voiced->data[t] = static_cast<double>(b) > 0.1 ? 1.0f : 0.0f;
  }
}

// method 0: mean and deviation matching; 1: mean ratio (a pure scaling in Hz); any other value
// keeps the ratio and offset as they are.
void amengine::update_mapping(int method) {
  float* s = stats->data;
  const float mean_s = s[1] / s[0];
  const float mean_t = s[4] / s[3];
  // A perfectly steady pitch can leave E[h^2] - E[h]^2 slightly below zero through rounding of
  // the float sums; the variance is clamped at zero so the root (and everything fed from it:
  // ratio, offset, the written-back parameters) stays finite.
  const float var_s = s[2] / s[0] - mean_s * mean_s;
  const float var_t = s[5] / s[3] - mean_t * mean_t;
  const float sd_s = std::sqrt(var_s > 0.0f ? var_s : 0.0f);
  const float sd_t = std::sqrt(var_t > 0.0f ? var_t : 0.0f);
  if (method == 0) {
    s[6] = static_cast<float>(sd_t / (sd_s + 1e-5));
    s[7] = static_cast<float>((mean_t - kPitchFloor) / kPitchScale - s[6] * (mean_s - kPitchFloor) / kPitchScale);
  } else if (method == 1) {
    s[6] = static_cast<float>(mean_t / (mean_s + 1e-5));
    s[7] = static_cast<float>((s[6] - 1.0) * kPitchFloor / kPitchScale);
  }
}

bool amengine::forward(Tensor<float>*& x, Tensor<float>*& y, Tensor<float>*& f0_out, int mode, float* params) {
  if (params == nullptr) return false;
  return run(x, y, f0_out, mode, params, false);
}

bool amengine::forward(Tensor<float>*& x, Tensor<float>*& y, Tensor<float>*& f0_out, int mode, int /*unused*/) {
  return run(x, y, f0_out, mode, nullptr, true);
}

bool amengine::run(Tensor<float>* x, Tensor<float>* y, Tensor<float>*& f0_out, int mode, float* params, bool fixed) {
  if (x == nullptr || x->data == nullptr || x->shape[3] != kContentWidth) return false;
  const int T = x->size / kContentWidth;
  if (T < 1 || T > kMaxFrames || static_cast<long>(T) * kContentWidth > x->capacity) return false;
  if (mode != 0) {
    if (y == nullptr || y->data == nullptr || y->shape[3] != kAuxWidth || y->size != T * kAuxWidth) return false;
  }

  // Encoder stack; its output is kept for the residual before the decoder.
  frames = T;
  content_prenet->forward(x);
  hidden->reload(x);
  for (auto& b : encoder) b->forward(hidden);
  content->reload(hidden);

  float* n = f0->data;
  float* v = voiced->data;
  float* s = stats->data;
  if (mode == 0) {
    predict_pitch(T);
  } else if (mode == 1) {
    source_pitch(y, T);
    const float* b = score->data;
    if (fixed) {
      for (int t = 0; t < T; ++t) {
        if (static_cast<double>(b[t]) > 0.1) n[t] = static_cast<float>(0.6781 * n[t] + 0.1716);
      }
    } else {
      const float ratio = std::pow(2.0f, params[1] / 12.0f);
      const float threshold = params[3];
      for (int t = 0; t < T; ++t) {
        // A frame keeps the plain source pitch only when its score is at or below the threshold.
        if (!(b[t] <= threshold)) n[t] = static_cast<float>(params[2] / kParamScale + ratio * n[t]);
      }
    }
  } else {
    // Target statistics from the predictor's voiced frames.
    predict_pitch(T);
    for (int t = 0; t < T; ++t) {
      if (v[t] > 0.1f) {
        const float h = to_hz(n[t]);
        s[3] += 1.0f;
        s[4] += h;
        s[5] += h * h;
      }
    }
    // Source statistics; n becomes the source pitch.
    source_pitch(y, T);
    for (int t = 0; t < T; ++t) {
      if (v[t] > 0.1f) {
        const float h = to_hz(n[t]);
        s[0] += 1.0f;
        s[1] += h;
        s[2] += h * h;
      }
    }
    if (s[0] > 0.0f && s[3] > 0.0f) {
      if (fixed) {
        update_mapping(0);
      } else if (s[3] <= params[4]) {
        update_mapping(params[0] == 0.0f ? 0 : params[0] == 1.0f ? 1 : -1);
        if (s[6] > 0.0f) params[1] = 12.0f * std::log2(s[6]);
        params[2] = static_cast<float>(s[7] * kParamScale);
      }
    }
    const float threshold = fixed ? 0.1f : params[3];
    for (int t = 0; t < T; ++t) {
      if (v[t] > threshold) n[t] = std::fma(s[6], n[t], s[7]);
    }
  }

  // Pitch embedding of n, then n -> Hz (0 for unvoiced frames).
  f0->resize(1, 1, T, 1);
  f0_out = f0;
  hidden->reload(f0);
  pitch_embed->forward(hidden);
  const bool count_output = fixed && mode != 0 && mode != 1;
  for (int t = 0; t < T; ++t) {
    if (v[t] <= 0.1f) {
      n[t] = 0.0f;
    } else {
      n[t] = to_hz(n[t]);
      if (count_output) {
        s[0] += 1.0f;
        s[1] += n[t];
        s[2] += n[t] * n[t];
      }
    }
  }

  // Decoder on embedding + encoder output.
  hidden->add(1.0f, content);
  for (auto& b : decoder) b->forward(hidden);
  out_proj->forward(hidden);
  x->reload(hidden);
  return true;
}

}  // namespace mvsdk::engine
