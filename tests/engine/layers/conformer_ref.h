#pragma once
// Naive double-precision feed-forward, convolution module and conformer block, written from the
// layers' formulas, reading the same float weight stream as the layers.
#include <functional>

#include "attention_ref.h"
#include "layer_ref.h"

namespace layer_ref {

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

inline Mat ref_ff(const FFWeights& f, const Mat& x, bool use_swish) {
  Mat h = affine(x, f.w1, f.b1, f.dim, f.hidden);
  for (auto& r : h)
    for (double& v : r) v = use_swish ? swish(v) : std::max(v, 0.0);
  return affine(h, f.w2, f.b2, f.hidden, f.dim);
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

  Mat gate(const Mat& x) const {
    const int dim = w_.dim;
    const Mat pw = affine(x, w_.pw1w, w_.pw1b, dim, 2 * dim, true);
    Mat g(x.size(), std::vector<double>(dim));
    for (std::size_t t = 0; t < x.size(); ++t)
      for (int c = 0; c < dim; ++c) g[t][c] = pw[t][c] * sigmoid(pw[t][dim + c]);
    return g;
  }

  Mat forward(const Mat& x) {
    const int dim = w_.dim;
    const int T = static_cast<int>(x.size());
    const Mat g = gate(x);
    Mat seq;
    if (mode_ != 0) {
      seq = hist_;
      for (const auto& r : g) seq.push_back(r);
      hist_.assign(seq.end() - 14, seq.end());
    } else {
      seq.assign(7, std::vector<double>(dim, 0.0));
      for (const auto& r : g) seq.push_back(r);
      for (int i = 0; i < 7; ++i) seq.push_back(std::vector<double>(dim, 0.0));
    }
    Mat y(T, std::vector<double>(dim));
    for (int t = 0; t < T; ++t)
      for (int c = 0; c < dim; ++c) {
        double s = w_.dwb[c];
        for (int k = 0; k < 15; ++k) s += seq[t + k][c] * w_.dww[c * 15 + k];
        y[t][c] = s;
      }
    layer_norm(y, w_.gamma, w_.beta, 1e-5);
    for (auto& r : y)
      for (double& v : r) v = swish(v);
    return affine(y, w_.pw2w, w_.pw2b, dim, dim, true);
  }

  const Mat& history() const { return hist_; }

 private:
  ConvWeights w_;
  int mode_;
  Mat hist_;
};

// A norm of the block as the reference sees it: gain and bias per feature.
struct RefNorm {
  std::vector<double> g, b;
  void apply(Mat& x) const { layer_norm(x, g.data(), b.data(), 1e-12); }
};

struct BlockWeights {
  AttnWeights attn;
  FFWeights ff_late, ff_early;
  ConvWeights conv;
};

// Fills attention, ff_late, ff_early and conv in stream order (the norms follow).
inline BlockWeights fill_block_body(Stream& s, int dim, int hidden, SeededFloats& rng) {
  BlockWeights b;
  b.attn = fill_attn(s, dim, rng, 1.5f / std::sqrt(static_cast<float>(dim)), 0.3f);
  b.ff_late = fill_ff(s, dim, hidden, rng);
  b.ff_early = fill_ff(s, dim, hidden, rng);
  b.conv = fill_conv(s, dim, rng);
  return b;
}

class RefBlock {
 public:
  // norms: late, attn, early, conv, final.
  RefBlock(const BlockWeights& w, mvsdk::engine::PositionEncoding& pe, int heads, int head_dim,
           std::vector<RefNorm> norms)
      : w_(w), attn_(w.attn, pe, heads, head_dim), conv_(w.conv, 1), n_(std::move(norms)) {}

  Mat forward(Mat x) {
    Mat r = x;
    n_[2].apply(r);
    x = add(x, ref_ff(w_.ff_early, r, true), 0.5);
    r = x;
    n_[1].apply(r);
    x = add(x, attn_.forward(r));
    r = x;
    n_[3].apply(r);
    x = add(x, conv_.forward(r));
    r = x;
    n_[0].apply(r);
    x = add(x, ref_ff(w_.ff_late, r, true), 0.5);
    n_[4].apply(x);
    return x;
  }

 private:
  BlockWeights w_;
  RefAttn attn_;
  RefConv conv_;
  std::vector<RefNorm> n_;
};

}  // namespace layer_ref
