#pragma once
// Test helpers for the layer tests: seeded weight streams, tensors from vectors, and naive
// double-precision references written from the layers' formulas (no BLAS, no vector code).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <deque>
#include <memory>
#include <random>
#include <vector>

#include "engine/core/alignmm.h"

namespace layer_ref {

using Tf = mvsdk::engine::Tensor<float>;
using Mat = std::vector<std::vector<double>>;  // rows of features

inline int padded(int n) { return (n + 31) / 32 * 32; }

// A weight stream of n floats, uniform in [-scale, scale]; the padding floats are NaN so that a
// layer reading one poisons its output.
struct Stream {
  std::vector<float> data;
  std::size_t pos = 0;  // cursor used by take()

  // Fills the next block of `count` floats with uniform values and skips its padding.
  const float* take(int count, std::mt19937& rng, float scale) {
    std::uniform_real_distribution<float> u(-scale, scale);
    const float* p = data.data() + pos;
    for (int i = 0; i < count; ++i) data[pos + i] = u(rng);
    pos += padded(count);
    return p;
  }
  // Fills the next block with a constant.
  const float* take_const(int count, float value) {
    const float* p = data.data() + pos;
    for (int i = 0; i < count; ++i) data[pos + i] = value;
    pos += padded(count);
    return p;
  }
  explicit Stream(std::size_t n) : data(n, std::nanf("")) {}
  const float* at(std::size_t offset) const { return data.data() + offset; }
};

inline Mat random_mat(int rows, int cols, std::mt19937& rng, double scale = 1.0) {
  std::uniform_real_distribution<double> u(-scale, scale);
  Mat m(rows, std::vector<double>(cols));
  for (auto& r : m)
    for (auto& v : r) v = static_cast<float>(u(rng));  // representable as float
  return m;
}

// A tensor (1, 1, rows, cols) holding m, with `capacity_rows` rows of room (at least rows).
inline std::unique_ptr<Tf> to_tensor(const Mat& m, int cols, int capacity_rows = 0) {
  const int rows = static_cast<int>(m.size());
  auto t = std::make_unique<Tf>(std::max(rows, capacity_rows), cols);
  for (int i = 0; i < t->capacity; ++i) t->data[i] = 0.0f;
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < cols; ++c) t->data[r * cols + c] = static_cast<float>(m[r][c]);
  t->resize(1, 1, rows, cols);
  return t;
}

inline Mat from_tensor(const Tf& t) {
  const int rows = t.shape[2];
  const int cols = t.shape[3];
  Mat m(rows, std::vector<double>(cols));
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < cols; ++c) m[r][c] = t.data[r * cols + c];
  return m;
}

inline Mat slice_rows(const Mat& m, int begin, int end) {
  return Mat(m.begin() + begin, m.begin() + end);
}

// y = x W + b with W stored input-major (W[k * out + j]); b may be null.
inline Mat affine_in_major(const Mat& x, const float* W, const float* b, int in, int out) {
  Mat y(x.size(), std::vector<double>(out));
  for (std::size_t t = 0; t < x.size(); ++t)
    for (int j = 0; j < out; ++j) {
      double s = b ? b[j] : 0.0;
      for (int k = 0; k < in; ++k) s += x[t][k] * W[static_cast<std::size_t>(k) * out + j];
      y[t][j] = s;
    }
  return y;
}

// y = x W^T + b with W stored output-major (W[j * in + k]).
inline Mat affine_out_major(const Mat& x, const float* W, const float* b, int in, int out) {
  Mat y(x.size(), std::vector<double>(out));
  for (std::size_t t = 0; t < x.size(); ++t)
    for (int j = 0; j < out; ++j) {
      double s = b ? b[j] : 0.0;
      for (int k = 0; k < in; ++k) s += x[t][k] * W[static_cast<std::size_t>(j) * in + k];
      y[t][j] = s;
    }
  return y;
}

inline double sigmoid(double x) { return 1.0 / (1.0 + std::exp(-x)); }
inline double swish(double x) { return x * sigmoid(x); }

inline void layer_norm(Mat& x, const double* g, const double* b, double eps) {
  for (auto& row : x) {
    const double n = static_cast<double>(row.size());
    double mean = 0;
    for (double v : row) mean += v;
    mean /= n;
    double var = 0;
    for (double v : row) var += (v - mean) * (v - mean);
    var /= n;
    for (std::size_t i = 0; i < row.size(); ++i) row[i] = (row[i] - mean) / std::sqrt(var + eps) * g[i] + b[i];
  }
}

inline void layer_norm(Mat& x, const float* g, const float* b, double eps) {
  const std::vector<double> gd(g, g + x[0].size()), bd(b, b + x[0].size());
  layer_norm(x, gd.data(), bd.data(), eps);
}

inline Mat add(const Mat& a, const Mat& b, double alpha = 1.0) {
  Mat y = a;
  for (std::size_t t = 0; t < a.size(); ++t)
    for (std::size_t i = 0; i < a[t].size(); ++i) y[t][i] += alpha * b[t][i];
  return y;
}

inline double max_abs(const Mat& m) {
  double r = 0;
  for (const auto& row : m)
    for (double v : row) r = std::max(r, std::abs(v));
  return r;
}

// Every element of `got` within tol of `want` (and the shapes equal).
inline void expect_near(const Mat& got, const Mat& want, double tol, const char* what = "") {
  ASSERT_EQ(got.size(), want.size()) << what;
  double worst = 0;
  std::size_t wt = 0, wi = 0;
  for (std::size_t t = 0; t < want.size(); ++t) {
    ASSERT_EQ(got[t].size(), want[t].size()) << what;
    for (std::size_t i = 0; i < want[t].size(); ++i) {
      const double e = std::abs(got[t][i] - want[t][i]);
      if (!(e <= worst)) {  // also catches NaN
        worst = std::isnan(e) ? INFINITY : e;
        wt = t;
        wi = i;
      }
    }
  }
  EXPECT_LE(worst, tol) << what << " worst at row " << wt << " col " << wi << ": got "
                        << got[wt][wi] << " want " << want[wt][wi];
}

inline void expect_same(const Tf& a, const Tf& b, const char* what = "") {
  ASSERT_EQ(a.size, b.size) << what;
  for (int i = 0; i < 4; ++i) ASSERT_EQ(a.shape[i], b.shape[i]) << what;
  EXPECT_EQ(std::memcmp(a.data, b.data, sizeof(float) * a.size), 0) << what;
}

}  // namespace layer_ref
