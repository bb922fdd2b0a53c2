#pragma once
// Causal streaming transposed convolution of the vocoder, computed per input frame.
//
// Each input frame t, together with the F - 1 frames before it (carried across calls as
// history), produces u = K / F output frames: output frame t*u + j, channel o, is
//   bias[o] (mode 0 only) + sum over f < F, c < C of W[j*out + o][f*C + c] * in[t - F + 1 + f][c]
// with F = 2 window frames in mode 0 (the upsampling stages, with bias) and F = 4 in mode 1 (the
// inverse short-time transform, no bias). The whole chunk is one im2col gather and one
// cblas_sgemm.
//
// Weights are borrowed from the network's weight stream (it must outlive the layer); the layer
// owns its history and im2col tensors, allocated at construction. One thread at a time;
// forward() allocates nothing.
#include <memory>

#include "engine/core/alignmm.h"

namespace mvsdk::engine {

class DeConv1d {
 public:
  // Stream blocks: weight, (out_ch x u) rows of (F x in_ch) floats; then, in mode 0 only, bias
  // (out_ch floats); each block padded to a multiple of 32 floats. `base` is recorded (1).
  // `cum` sizes the im2col tensor: forward() takes at most 16 x cum input frames.
  DeConv1d(const float* w, int kernel, int base, int out_ch, int in_ch, int mode, int cum);
  ~DeConv1d();
  DeConv1d(const DeConv1d&) = delete;
  DeConv1d& operator=(const DeConv1d&) = delete;

  // Floats a DeConv1d of this geometry reads from the stream.
  static int weight_floats(int kernel, int out_ch, int in_ch, int mode);
  // Window frames F of a mode: 2 (mode 0) or 4 (mode 1).
  static int window_frames(int mode) { return mode == 0 ? 2 : 4; }

  // x (1, 1, T, in_ch) becomes (1, 1, T x u, out_ch). Needs 1 <= T <= max_frames(), x.d3 ==
  // in_ch and x's capacity >= max((T + F - 1) x in_ch, T x u x out_ch); otherwise returns false
  // and leaves x and the history untouched.
  bool forward(Tensor<float>* x);
  // History back to F - 1 frames of silence.
  void reset();

  int get_memsize() const { return memsize; }
  int max_frames() const { return max_in_frames; }
  int upsampling() const { return factor; }

 private:
  int in_ch;
  int out_ch;
  int memsize;
  int window;   // F
  int factor;   // u = kernel / F
  int max_in_frames;
  const float* weight;
  const float* bias;  // null in mode 1
  std::unique_ptr<Tensor<float>> history;  // (F - 1) x in_ch
  std::unique_ptr<Tensor<float>> cols;     // max_in_frames x (F x in_ch)
};

}  // namespace mvsdk::engine
