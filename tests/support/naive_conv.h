#pragma once
// Direct, loop-by-loop references of the engine's one-dimensional convolutions over a whole
// sequence (rows of channels, oldest first) starting from silence, accumulated in double. The
// streaming layers fed the same sequence in chunks must agree with them.
#include <cstddef>
#include <vector>

namespace mvsdk::test {

// Causal convolution: y[t][o] = b[o] + sum_k sum_c W[o][k*C + c] x[t - D*(K-1) + k*D][c]
// (frames before the start are zero). W is out rows of K*C floats, tap-major.
inline std::vector<float> naive_causal_conv(const std::vector<float>& x, int frames, int in_ch,
                                            const float* w, const float* b, int kernel,
                                            int dilation, int out_ch) {
  std::vector<float> y(static_cast<std::size_t>(frames) * out_ch);
  const int span = dilation * (kernel - 1);
  for (int t = 0; t < frames; ++t) {
    for (int o = 0; o < out_ch; ++o) {
      double acc = b[o];
      for (int k = 0; k < kernel; ++k) {
        const int s = t - span + k * dilation;
        if (s < 0) continue;
        for (int c = 0; c < in_ch; ++c) {
          acc += static_cast<double>(w[static_cast<std::size_t>(o) * kernel * in_ch + k * in_ch + c]) *
                 x[static_cast<std::size_t>(s) * in_ch + c];
        }
      }
      y[static_cast<std::size_t>(t) * out_ch + o] = static_cast<float>(acc);
    }
  }
  return y;
}

// Causal transposed convolution per input frame with a window of F frames and u outputs per
// frame: y[t*u + j][o] = b[o] + sum_f sum_c W[j*out + o][f*C + c] x[t - F + 1 + f][c].
// b may be null (no bias).
inline std::vector<float> naive_deconv(const std::vector<float>& x, int frames, int in_ch,
                                       const float* w, const float* b, int window, int factor,
                                       int out_ch) {
  std::vector<float> y(static_cast<std::size_t>(frames) * factor * out_ch);
  for (int t = 0; t < frames; ++t) {
    for (int j = 0; j < factor; ++j) {
      for (int o = 0; o < out_ch; ++o) {
        double acc = b != nullptr ? b[o] : 0.0;
        const float* wr = w + static_cast<std::size_t>(j * out_ch + o) * window * in_ch;
        for (int f = 0; f < window; ++f) {
          const int s = t - window + 1 + f;
          if (s < 0) continue;
          for (int c = 0; c < in_ch; ++c) {
            acc += static_cast<double>(wr[f * in_ch + c]) * x[static_cast<std::size_t>(s) * in_ch + c];
          }
        }
        y[(static_cast<std::size_t>(t) * factor + j) * out_ch + o] = static_cast<float>(acc);
      }
    }
  }
  return y;
}

inline void naive_leaky(std::vector<float>& v, float slope) {
  for (float& x : v) x = x >= 0.0f ? x : slope * x;
}

}  // namespace mvsdk::test
