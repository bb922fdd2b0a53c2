#pragma once
// Test helpers for the layer tests: seeded weight streams, tensors from row matrices, and naive
// double-precision references written from the layers' formulas (no BLAS, no vector code).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <memory>
#include <vector>

#include "engine/core/alignmm.h"
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

// Every element of `got` within tol of `want` (and the shapes equal); NaN fails.
inline void expect_near(const Mat& got, const Mat& want, double tol, const char* what = "") {
  ASSERT_EQ(got.size(), want.size()) << what;
  double worst = 0;
  std::size_t wt = 0, wi = 0;
  for (std::size_t t = 0; t < want.size(); ++t) {
    ASSERT_EQ(got[t].size(), want[t].size()) << what;
    for (std::size_t i = 0; i < want[t].size(); ++i) {
      const double e = std::abs(got[t][i] - want[t][i]);
      if (!(e <= worst)) {
        worst = std::isnan(e) ? INFINITY : e;
        wt = t;
        wi = i;
      }
    }
  }
  EXPECT_LE(worst, tol) << what << " worst at row " << wt << " col " << wi;
}

inline void expect_same(const Tf& a, const Tf& b, const char* what = "") {
  ASSERT_EQ(a.size, b.size) << what;
  EXPECT_EQ(std::memcmp(a.data, b.data, sizeof(float) * a.size), 0) << what;
}

}  // namespace layer_ref
