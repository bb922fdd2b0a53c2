#pragma once
// Test helpers for the layer tests: seeded weight streams, tensors from row matrices, and naive
// double-precision references written from the layers' formulas (no BLAS, no vector code),
// reading the same float weight streams as the layers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <deque>
#include <memory>
#include <vector>

#include "engine/core/alignmm.h"
#include "engine/layers/pos_enc.h"
#include "support/seeded_weights.h"

namespace layer_ref {

using Tf = mvsdk::engine::Tensor<float>;
using Mat = std::vector<std::vector<double>>;  // rows of features
using mvsdk::test::SeededFloats;

inline int padded(int n) { return (n + 31) / 32 * 32; }

// A weight stream of n floats; the padding floats are NaN so that a layer reading one poisons
// its output.
struct Stream {
  std::vector<float> data;
  std::size_t pos = 0;  // cursor used by take()
  explicit Stream(std::size_t n) : data(n, std::nanf("")) {}
  // Fills the next block of `count` floats, uniform in [-scale, scale), and skips its padding.
  const float* take(int count, SeededFloats& rng, float scale) {
    float* p = data.data() + pos;
    rng.fill(p, static_cast<std::size_t>(count), scale);
    pos += static_cast<std::size_t>(padded(count));
    return p;
  }
};

inline Mat random_mat(int rows, int cols, SeededFloats& rng, float scale = 1.0f) {
  Mat m(rows, std::vector<double>(cols));
  for (auto& r : m)
    for (auto& v : r) v = rng.next(scale);  // representable as float
  return m;
}

// A tensor (1, 1, rows, cols) holding m, with `capacity_rows` rows of room (at least rows).
inline std::unique_ptr<Tf> to_tensor(const Mat& m, int cols, int capacity_rows = 0) {
  const int rows = static_cast<int>(m.size());
  auto t = std::make_unique<Tf>(std::max(rows, capacity_rows), cols);
  t->zeros();
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < cols; ++c) t->data[r * cols + c] = static_cast<float>(m[r][c]);
  t->resize(1, 1, rows, cols);
  return t;
}

inline Mat from_tensor(const Tf& t) {
  Mat m(t.shape[2], std::vector<double>(t.shape[3]));
  for (int r = 0; r < t.shape[2]; ++r)
    for (int c = 0; c < t.shape[3]; ++c) m[r][c] = t.data[r * t.shape[3] + c];
  return m;
}

inline Mat rows_of(const Mat& m, int begin, int end) { return Mat(m.begin() + begin, m.begin() + end); }

// y = x W + b with W stored input-major (W[k * out + j]), or output-major (W[j * in + k]) when
// out_major; b may be null.
inline Mat affine(const Mat& x, const float* W, const float* b, int in, int out, bool out_major = false) {
  Mat y(x.size(), std::vector<double>(out));
  for (std::size_t t = 0; t < x.size(); ++t)
    for (int j = 0; j < out; ++j) {
      double s = b ? b[j] : 0.0;
      for (int k = 0; k < in; ++k) s += x[t][k] * W[out_major ? j * in + k : k * out + j];
      y[t][j] = s;
    }
  return y;
}

inline double sigmoid(double x) { return 1.0 / (1.0 + std::exp(-x)); }
inline double swish(double x) { return x * sigmoid(x); }
inline double leaky(double x) { return x >= 0 ? x : 0.2 * x; }

template <class F>
inline Mat map(Mat x, F f) {
  for (auto& r : x)
    for (double& v : r) v = f(v);
  return x;
}

template <class G>
inline void layer_norm(Mat& x, const G* g, const G* b, double eps) {
  for (auto& row : x) {
    const double n = static_cast<double>(row.size());
    double mean = 0, var = 0;
    for (double v : row) mean += v / n;
    for (double v : row) var += (v - mean) * (v - mean) / n;
    for (std::size_t i = 0; i < row.size(); ++i) row[i] = (row[i] - mean) / std::sqrt(var + eps) * g[i] + b[i];
  }
}

inline Mat add(const Mat& a, const Mat& b, double alpha = 1.0) {
  Mat y = a;
  for (std::size_t t = 0; t < a.size(); ++t)
    for (std::size_t i = 0; i < a[t].size(); ++i) y[t][i] += alpha * b[t][i];
  return y;
}

// Causal convolution from silence: y[t][o] = b[o] + sum_k sum_c W[o][k*C + c] x[t - D*(K-1) + k*D][c]
// for every stride-th t (W out rows of K*C floats, tap-major).
inline Mat causal_conv(const Mat& x, const float* W, const float* b, int K, int D, int C, int O,
                       int stride = 1) {
  Mat y;
  for (int t = 0; t < static_cast<int>(x.size()); t += stride) {
    std::vector<double> row(O);
    for (int o = 0; o < O; ++o) {
      double s = b ? b[o] : 0.0;
      for (int k = 0; k < K; ++k) {
        const int src = t - D * (K - 1) + k * D;
        for (int c = 0; src >= 0 && c < C; ++c) s += x[src][c] * W[(o * K + k) * C + c];
      }
      row[o] = s;
    }
    y.push_back(row);
  }
  return y;
}

// Causal transposed convolution per input frame with a window of F frames and u outputs per
// frame: y[t*u + j][o] = b[o] + sum_f sum_c W[j*out + o][f*C + c] x[t - F + 1 + f][c]; b may be null.
inline Mat deconv(const Mat& x, const float* W, const float* b, int F, int u, int C, int O) {
  Mat y(x.size() * u, std::vector<double>(O));
  for (int t = 0; t < static_cast<int>(x.size()); ++t)
    for (int j = 0; j < u; ++j)
      for (int o = 0; o < O; ++o) {
        double s = b ? b[o] : 0.0;
        for (int f = 0; f < F; ++f) {
          const int src = t - F + 1 + f;
          for (int c = 0; src >= 0 && c < C; ++c) s += W[((j * O + o) * F + f) * C + c] * x[src][c];
        }
        y[t * u + j][o] = s;
      }
  return y;
}

// Every element of `got` within tol of `want` (and the shapes equal); NaN fails. Stops at the
// first element outside.
inline void expect_near(const Mat& got, const Mat& want, double tol, const char* what = "") {
  ASSERT_EQ(got.size(), want.size()) << what;
  for (std::size_t t = 0; t < want.size(); ++t) {
    ASSERT_EQ(got[t].size(), want[t].size()) << what;
    for (std::size_t i = 0; i < want[t].size(); ++i) {
      ASSERT_NEAR(got[t][i], want[t][i], tol) << what << " at row " << t << " col " << i;
    }
  }
}

// Streaming self-attention: caches of keys and values, the 20-chunk window with the one-call
// position shift, two position biases.
struct AttnWeights {
  const float* w[11];  // q W, q b, k W, k b, v W, v b, out W, out b, pos W, pos u, pos v
};

// Fills the 11 blocks of an attention layer in `s` with uniform values.
inline AttnWeights fill_attn(Stream& s, int dim, SeededFloats& rng, float wscale, float bscale) {
  AttnWeights a;
  for (int i = 0; i < 11; ++i) {
    const bool matrix = i == 0 || i == 2 || i == 4 || i == 6 || i == 8;
    a.w[i] = s.take(matrix ? dim * dim : dim, rng, matrix ? wscale : bscale);
  }
  return a;
}

class RefAttn {
 public:
  RefAttn(const AttnWeights& a, mvsdk::engine::PositionEncoding& pe, int heads, int head_dim)
      : a_(a), H_(heads), d_(head_dim), dim_(heads * head_dim) {
    mvsdk::engine::Tensor<float>* table = nullptr;
    pe.fetch(336, table);
    pos_ = affine(from_tensor(*table), a.w[8], nullptr, dim_, dim_);
  }

  Mat forward(const Mat& x) {
    const int T = static_cast<int>(x.size());
    const Mat q = affine(x, a_.w[0], a_.w[1], dim_, dim_);
    const Mat k = affine(x, a_.w[2], a_.w[3], dim_, dim_);
    const Mat v = affine(x, a_.w[4], a_.w[5], dim_, dim_);
    for (int t = 0; t < T; ++t) {
      keys_.push_back(k[t]);
      values_.push_back(v[t]);
    }
    int shift = 0;
    if (static_cast<int>(keys_.size()) > 20 * T) {
      for (int t = 0; t < T; ++t) {
        keys_.pop_front();
        values_.pop_front();
      }
      shift = T;
    }
    const int L = static_cast<int>(keys_.size());
    Mat context(T, std::vector<double>(dim_, 0.0));
    for (int t = 0; t < T; ++t) {
      for (int h = 0; h < H_; ++h) {
        std::vector<double> s(L);
        double m = -INFINITY;
        for (int l = 0; l < L; ++l) {
          double c = 0, p = 0;
          for (int j = 0; j < d_; ++j) {
            const int i = h * d_ + j;
            c += (q[t][i] + a_.w[9][i]) * keys_[l][i];
            p += (q[t][i] + a_.w[10][i]) * pos_[shift + l][i];
          }
          s[l] = (c + p) / std::sqrt(static_cast<double>(d_));
          m = std::max(m, s[l]);
        }
        double sum = 0;
        for (double& e : s) sum += (e = std::exp(e - m));
        for (int l = 0; l < L; ++l)
          for (int j = 0; j < d_; ++j) context[t][h * d_ + j] += s[l] / sum * values_[l][h * d_ + j];
      }
    }
    return affine(context, a_.w[6], a_.w[7], dim_, dim_);
  }

 private:
  AttnWeights a_;
  int H_, d_, dim_;
  Mat pos_;
  std::deque<std::vector<double>> keys_, values_;
};

// Feed-forward, convolution module and conformer block.
struct FFWeights {
  const float *w1, *b1, *w2, *b2;
  int dim, hidden;
};

inline FFWeights fill_ff(Stream& s, int dim, int hidden, SeededFloats& rng) {
  FFWeights f;
  f.dim = dim;
  f.hidden = hidden;
  f.w1 = s.take(dim * hidden, rng, 1.7f / std::sqrt(static_cast<float>(dim)));
  f.b1 = s.take(hidden, rng, 0.5f);
  f.w2 = s.take(hidden * dim, rng, 1.7f / std::sqrt(static_cast<float>(hidden)));
  f.b2 = s.take(dim, rng, 0.5f);
  return f;
}

inline Mat ref_ff(const FFWeights& f, const Mat& x) {
  return affine(map(affine(x, f.w1, f.b1, f.dim, f.hidden), swish), f.w2, f.b2, f.hidden, f.dim);
}

struct ConvWeights {
  const float *pw1w, *pw1b, *dww, *dwb, *pw2w, *pw2b, *gamma, *beta;
  int dim;
};

inline ConvWeights fill_conv(Stream& s, int dim, SeededFloats& rng) {
  ConvWeights c;
  c.dim = dim;
  const float ws = 1.7f / std::sqrt(static_cast<float>(dim));
  c.pw1w = s.take(2 * dim * dim, rng, ws);
  c.pw1b = s.take(2 * dim, rng, 0.5f);
  c.dww = s.take(dim * 15, rng, 0.4f);
  c.dwb = s.take(dim, rng, 0.5f);
  c.pw2w = s.take(dim * dim, rng, ws);
  c.pw2b = s.take(dim, rng, 0.5f);
  c.gamma = s.take(dim, rng, 1.5f);
  c.beta = s.take(dim, rng, 0.5f);
  return c;
}

class RefConv {
 public:
  RefConv(const ConvWeights& w, int mode) : w_(w), mode_(mode) { reset(); }

  // The history after a reset: glu of the first pointwise bias, 14 times.
  void reset() {
    hist_.assign(14, std::vector<double>(w_.dim));
    for (auto& r : hist_)
      for (int c = 0; c < w_.dim; ++c) r[c] = w_.pw1b[c] * sigmoid(w_.pw1b[w_.dim + c]);
  }

  // Gated pointwise convolution, depthwise convolution over the history (mode 1) or between
  // seven zero frames either side (mode 0), norm, swish, pointwise convolution.
  Mat forward(const Mat& x) {
    const int dim = w_.dim;
    const int T = static_cast<int>(x.size());
    const Mat pw = affine(x, w_.pw1w, w_.pw1b, dim, 2 * dim, true);
    Mat seq = mode_ != 0 ? hist_ : Mat(7, std::vector<double>(dim, 0.0));
    for (int t = 0; t < T; ++t) {
      seq.emplace_back(dim);
      for (int c = 0; c < dim; ++c) seq.back()[c] = pw[t][c] * sigmoid(pw[t][dim + c]);
    }
    if (mode_ != 0) hist_.assign(seq.end() - 14, seq.end());
    seq.resize(seq.size() + 7, std::vector<double>(dim, 0.0));
    Mat y(T, std::vector<double>(dim));
    for (int t = 0; t < T; ++t)
      for (int c = 0; c < dim; ++c) {
        double s = w_.dwb[c];
        for (int k = 0; k < 15; ++k) s += seq[t + k][c] * w_.dww[c * 15 + k];
        y[t][c] = s;
      }
    layer_norm(y, w_.gamma, w_.beta, 1e-5);
    return affine(map(y, swish), w_.pw2w, w_.pw2b, dim, dim, true);
  }

 private:
  ConvWeights w_;
  int mode_;
  Mat hist_;
};

}  // namespace layer_ref
