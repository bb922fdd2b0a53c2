#include "engine/layers/deconv1d.h"

#include <algorithm>
#include <cstring>

#include "engine/kernels/gemm.h"
#include "engine/kernels/util.h"

namespace mvsdk::engine {

DeConv1d::DeConv1d(const float* w, int kernel_, int /*base*/, int out_ch_, int in_ch_, int mode_,
                   int cum)
    : in_ch(in_ch_),
      out_ch(out_ch_),
      memsize(weight_floats(kernel_, out_ch_, in_ch_, mode_)),
      window(window_frames(mode_)),
      factor(kernel_ / window_frames(mode_)),
      max_in_frames(16 * cum),
      weight(w),
      bias(mode_ == 0 ? w + alignsize(out_ch_ * (kernel_ / window_frames(mode_)) *
                                          window_frames(mode_) * in_ch_, 32)
                      : nullptr),
      history(std::make_unique<Tensor<float>>(window - 1, in_ch)),
      cols(std::make_unique<Tensor<float>>(max_in_frames, window * in_ch)) {
  reset();
}

DeConv1d::~DeConv1d() = default;

int DeConv1d::weight_floats(int kernel, int out_ch, int in_ch, int mode) {
  const int f = window_frames(mode);
  const int u = kernel / f;
  int n = alignsize(out_ch * u * f * in_ch, 32);
  if (mode == 0) n += alignsize(out_ch, 32);
  return n;
}

void DeConv1d::reset() {
  history->zeros();
  cols->zeros();
}

bool DeConv1d::forward(Tensor<float>* x) {
  const int t = x->shape[2];
  const int c = x->shape[3];
  const int n_out = out_ch * factor;
  if (t < 1 || t > max_in_frames || c != in_ch || x->size != t * c ||
      x->capacity < std::max((t + window - 1) * c, t * n_out)) {
    return false;
  }
  // Rows of window frames, oldest first; afterwards x holds the history followed by the chunk.
  im2col_cpu(x->data, history->data, 1, t, c, window, 1, 1, window - 1, 0, cols->data);
  std::memcpy(history->data, x->data + static_cast<size_t>(t) * c,
              sizeof(float) * static_cast<size_t>(window - 1) * c);
  // Output rows start as the bias repeated u times (mode 0) or zeros (mode 1).
  float* y = x->data;
  if (bias != nullptr) {
    for (int j = 0; j < factor; ++j) std::memcpy(y + j * out_ch, bias, sizeof(float) * out_ch);
    for (int r = 1; r < t; ++r) std::memcpy(y + static_cast<size_t>(r) * n_out, y, sizeof(float) * n_out);
  } else {
    std::memset(y, 0, sizeof(float) * static_cast<size_t>(t) * n_out);
  }
  const int k = window * c;
  gemm_acc(t, n_out, k, 1.0f, cols->data, k, weight, k, true, y, n_out);
  x->resize(1, 1, t * factor, out_ch);
  return true;
}

}  // namespace mvsdk::engine
