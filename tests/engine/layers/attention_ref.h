#pragma once
// Naive double-precision streaming self-attention, written from the layer's formulas: caches of
// keys and values, the 20-chunk window with the one-call position shift, two position biases.
#include <deque>

#include "engine/layers/pos_enc.h"
#include "layer_ref.h"

namespace layer_ref {

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
    last_shift = shift;
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

  int last_shift = 0;

 private:
  AttnWeights a_;
  int H_, d_, dim_;
  Mat pos_;
  std::deque<std::vector<double>> keys_, values_;
};

}  // namespace layer_ref
