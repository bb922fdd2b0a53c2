#pragma once
// Causal streaming one-dimensional convolution over chunks of frames (1, 1, T, channels).
//
// The layer keeps the last dilation x (kernel - 1) input frames between calls, so a stream cut
// into chunks of any length gives the same output as the whole signal in one call (stride 1).
// Weights are borrowed from the weight stream, which must outlive the layer unchanged; the
// history is owned and allocated at construction; the im2col matrix is either owned (sized for
// kMaxOutFrames output frames) or a workspace borrowed from the owner of several convolutions that
// run one after another (the vocoder shares one between all of its convolutions). One thread at a
// time, and one thread for all layers sharing a workspace; forward() allocates nothing.
#include "engine/core/alignmm.h"

namespace mvsdk::engine {

// Pointers into the weight stream, in stream order.
struct Conv1dParams {
  // out_ch rows of kernel x in_ch floats, tap-major: element [o][k * in_ch + c].
  const float* weight = nullptr;
  const float* bias = nullptr;  // out_ch
};

class Conv1d {
 public:
  static constexpr int kMaxOutFrames = 960;  // output frames one forward() takes (cols size)

  // Reads weight (out_ch x in_ch x kernel) then bias (out_ch), each padded to 32 floats, and
  // starts with a silent history (reset()). `workspace` null: the layer owns an im2col matrix of
  // kMaxOutFrames rows. Otherwise the im2col matrix is borrowed: it must outlive the layer, its
  // contents are scratch (overwritten by every forward of any layer sharing it), and its capacity
  // bounds the output frames one forward() takes (n x kernel x in_ch floats).
  Conv1d(const float* stream, int kernel, int dilation, int in_ch, int out_ch,
         Tensor<float>* workspace = nullptr);
  Conv1d(const Conv1d&) = delete;
  Conv1d& operator=(const Conv1d&) = delete;

  // x (1, 1, T, in_ch) becomes (1, 1, n, out_ch), n = (T - 1) / stride + 1, computed in x's own
  // buffer. Output frame t depends on input frames t - P .. t, P = dilation x (kernel - 1), the
  // older ones coming from the history. Needs x's capacity >= (T + P) x in_ch and >= n x out_ch,
  // n x kernel x in_ch within the im2col matrix (n <= kMaxOutFrames when owned), stride >= 1 and x.d3 == in_ch; otherwise returns false and leaves x and
  // the history untouched. T = 0 yields (1, 1, 0, out_ch).
  bool forward(Tensor<float>* x, int stride = 1);

  // History back to P frames of silence (and an owned im2col matrix cleared).
  void reset();

  // Floats consumed: alignsize(out_ch x in_ch x kernel, 32) + alignsize(out_ch, 32).
  int get_memsize() const { return memsize_; }
  // The history: P frames of in_ch floats, oldest first.
  const Tensor<float>& history() const { return cache_; }

 private:
  int out_ch_;
  int in_ch_;
  int kernel_;
  int dilation_;
  int memsize_;
  Conv1dParams params_;
  Tensor<float> cache_;  // (1, 1, P, in_ch)
  Tensor<float> own_cols_;  // (1, 1, kMaxOutFrames, kernel x in_ch), or empty when borrowed
  Tensor<float>* cols_;     // own_cols_ or the borrowed workspace
};

}  // namespace mvsdk::engine
