#include "engine/layers/embedlayer.h"

#include <cblas.h>

#include <cstring>

#include "engine/kernels/gemm.h"
#include "engine/kernels/simd.h"

namespace mvsdk::engine {

const float global_cmvn_mean_online_hex[80] = {
    6.479507f, 6.609317f, 8.05618f,  9.154731f, 10.25908f, 11.14722f, 11.79469f, 12.14806f,
    12.33503f, 12.18037f, 12.11038f, 12.06686f, 12.30812f, 12.59161f, 12.74261f, 12.8435f,
    12.84617f, 12.76512f, 12.84786f, 12.62512f, 12.46084f, 12.64983f, 12.42571f, 12.51531f,
    12.40193f, 12.46045f, 12.33858f, 12.39271f, 12.34787f, 12.34553f, 12.35536f, 12.35043f,
    12.35519f, 12.38484f, 12.45164f, 12.53041f, 12.59256f, 12.64722f, 12.70579f, 12.63625f,
    12.72289f, 12.66453f, 12.72949f, 12.72993f, 12.78339f, 12.85861f, 12.94166f, 13.03745f,
    13.12673f, 13.22263f, 13.27055f, 13.31177f, 13.35896f, 13.41541f, 13.45106f, 13.50508f,
    13.54346f, 13.58649f, 13.63561f, 13.65373f, 13.68049f, 13.67216f, 13.65899f, 13.63536f,
    13.60766f, 13.53538f, 13.362f,   13.24484f, 13.21376f, 13.21164f, 13.22266f, 13.2192f,
    13.20597f, 13.20238f, 13.17506f, 13.11494f, 12.98715f, 12.68334f, 12.13391f, 11.30662f};

const float global_cmvn_std_online_hex[80] = {
    0.2159588f, 0.2181102f, 0.2090584f, 0.2038756f, 0.1964838f, 0.1887593f, 0.1822114f,
    0.176077f,  0.1741102f, 0.1776012f, 0.1807815f, 0.1812564f, 0.1786628f, 0.1753028f,
    0.1730887f, 0.1727364f, 0.1737168f, 0.1753115f, 0.177075f,  0.1795225f, 0.1815882f,
    0.1827577f, 0.1850796f, 0.1867598f, 0.1886406f, 0.1902687f, 0.1918435f, 0.1932524f,
    0.1947222f, 0.195712f,  0.1968039f, 0.1978848f, 0.199026f,  0.1999165f, 0.2003595f,
    0.2003437f, 0.2003154f, 0.2004883f, 0.2009231f, 0.2019284f, 0.2024829f, 0.203695f,
    0.2045109f, 0.2053147f, 0.2058377f, 0.206026f,  0.2059156f, 0.2054241f, 0.2048214f,
    0.2042448f, 0.204041f,  0.2042107f, 0.2045431f, 0.2047241f, 0.204991f,  0.205149f,
    0.2053541f, 0.2055118f, 0.2055464f, 0.2058859f, 0.2061496f, 0.2066453f, 0.2076774f,
    0.2086917f, 0.2098902f, 0.2119231f, 0.2155103f, 0.2183349f, 0.2187963f, 0.219044f,
    0.220221f,  0.2208287f, 0.2212429f, 0.2215585f, 0.2216067f, 0.2222757f, 0.2234849f,
    0.2241638f, 0.2234257f, 0.2254203f};

namespace {

constexpr int kMaxT1 = (EmbedLayer::kMaxFrames - 1) / 2;  // 9
constexpr int kMaxT2 = (kMaxT1 - 1) / 2;                  // 4

// v > 0 ? v : 0 in place (so -0 and NaN become +0).
void relu_inplace(float* v, int n) {
  const v4sf zero = splat4(0.0f);
  int i = 0;
  for (; i + 4 <= n; i += 4) store4(v + i, max4(load4(v + i), zero));
  for (; i < n; ++i) v[i] = v[i] > 0.0f ? v[i] : 0.0f;
}

// Every one of `rows` rows of `n` floats at dst set to row.
void fill_rows(float* dst, const float* row, int rows, int n) {
  for (int r = 0; r < rows; ++r) std::memcpy(dst + static_cast<size_t>(r) * n, row, sizeof(float) * n);
}

}  // namespace

EmbedLayer::EmbedLayer(const float* weights, int d_) : d(d_), memsize(weight_floats(d_)) {
  const float* p = weights;
  conv0_w = p;
  p += alignsize(kTaps * d, 32);
  conv0_b = p;
  p += alignsize(d, 32);
  conv1_w = p;
  p += alignsize(d * kTaps * d, 32);
  conv1_b = p;
  p += alignsize(d, 32);
  proj_w = p;
  p += alignsize(d * kFreq2 * d, 32);
  proj_b = p;

  norm = std::make_unique<Tensor<float>>(kMaxFrames, kBands);
  patches0 = std::make_unique<Tensor<float>>(kTaps, kFreq1 * kMaxT1);
  plane = std::make_unique<Tensor<float>>(d, kFreq1 * kMaxT1);
  patches1 = std::make_unique<Tensor<float>>(kFreq2 * kMaxT2, d * kTaps);
  conv1_out = std::make_unique<Tensor<float>>(kFreq2 * kMaxT2, d);
  proj_in = std::make_unique<Tensor<float>>(kMaxT2, d * kFreq2);
}

EmbedLayer::~EmbedLayer() = default;

int EmbedLayer::weight_floats(int d) {
  return alignsize(kTaps * d, 32) + alignsize(d, 32) + alignsize(d * kTaps * d, 32) +
         alignsize(d, 32) + alignsize(d * kFreq2 * d, 32) + alignsize(d, 32);
}

bool EmbedLayer::forward(const Tensor<float>& x, Tensor<float>* out) {
  const int t = x.shape[2];
  if (x.shape[3] != kBands || t < kMinFrames || t > kMaxFrames || x.size != t * kBands ||
      x.data == nullptr || out->capacity < out_frames(t) * d) {
    return false;
  }
  const int t1 = (t - 1) / 2;
  const int t2 = (t1 - 1) / 2;
  const int n1 = kFreq1 * t1;  // conv0 positions, frequency outer, time inner
  const int n2 = kFreq2 * t2;  // conv1 positions

  // 1. Normalisation.
  float* xn = norm->data;
  for (int r = 0; r < t; ++r) {
    const float* src = x.data + r * kBands;
    float* dst = xn + r * kBands;
    for (int m = 0; m < kBands; m += 4) {
      store4(dst + m, (load4(src + m) - load4(global_cmvn_mean_online_hex + m)) *
                          load4(global_cmvn_std_online_hex + m));
    }
  }

  // 2. conv0: patch matrix stored tap-major (9 x n1) so that one product with the weight
  // transposed leaves the output channel-major, the plane layout conv1 reads.
  float* pt = patches0->data;
  for (int kf = 0; kf < 3; ++kf) {
    for (int kt = 0; kt < 3; ++kt) {
      float* row = pt + (kf * 3 + kt) * n1;
      for (int fi = 0; fi < kFreq1; ++fi) {
        for (int ti = 0; ti < t1; ++ti) row[fi * t1 + ti] = xn[(2 * ti + kt) * kBands + 2 * fi + kf];
      }
    }
  }
  float* pl = plane->data;
  for (int c = 0; c < d; ++c) {
    const float b = conv0_b[c];
    float* row = pl + static_cast<size_t>(c) * n1;
    for (int i = 0; i < n1; ++i) row[i] = b;
  }
  cblas_sgemm(CblasRowMajor, CblasTrans, CblasNoTrans, d, n1, kTaps, 1.0f, conv0_w, d, pt, n1,
              1.0f, pl, n1);
  tally_product(d, n1, kTaps);
  relu_inplace(pl, d * n1);

  // 3. conv1: patch rows (frequency outer, time inner), each d x 9 taps channel by channel.
  const int k1 = d * kTaps;
  float* p1 = patches1->data;
  for (int fi = 0; fi < kFreq2; ++fi) {
    for (int ti = 0; ti < t2; ++ti) {
      float* row = p1 + static_cast<size_t>(fi * t2 + ti) * k1;
      const float* base = pl + (2 * fi) * t1 + 2 * ti;
      for (int c = 0; c < d; ++c) {
        const float* q = base + static_cast<size_t>(c) * n1;
        float* r = row + c * kTaps;
        r[0] = q[0];
        r[1] = q[1];
        r[2] = q[2];
        r[3] = q[t1];
        r[4] = q[t1 + 1];
        r[5] = q[t1 + 2];
        r[6] = q[2 * t1];
        r[7] = q[2 * t1 + 1];
        r[8] = q[2 * t1 + 2];
      }
    }
  }
  float* c1 = conv1_out->data;
  fill_rows(c1, conv1_b, n2, d);
  gemm_acc(n2, d, k1, 1.0f, p1, k1, conv1_w, d, false, c1, d);
  // Rectified and regrouped as [time][channel][frequency].
  const int kp = d * kFreq2;
  float* pi = proj_in->data;
  for (int fi = 0; fi < kFreq2; ++fi) {
    for (int ti = 0; ti < t2; ++ti) {
      const float* src = c1 + static_cast<size_t>(fi * t2 + ti) * d;
      float* dst = pi + static_cast<size_t>(ti) * kp + fi;
      for (int o = 0; o < d; ++o) {
        const float v = src[o];
        dst[o * kFreq2] = v > 0.0f ? v : 0.0f;
      }
    }
  }

  // 4. Projection: 16 x (in x W + b) as one product with alpha 16 over rows preset to 16 x b
  // (exact: a power of two), the same sums as alpha = beta = 16 over rows of b.
  float* o = out->data;
  for (int r = 0; r < t2; ++r) {
    for (int j = 0; j < d; ++j) o[static_cast<size_t>(r) * d + j] = proj_b[j] * static_cast<float>(kScale);
  }
  gemm_acc(t2, d, kp, static_cast<float>(kScale), pi, kp, proj_w, d, false, o, d);
  out->resize(1, 1, t2, d);
  return true;
}

}  // namespace mvsdk::engine
