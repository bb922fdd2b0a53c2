#pragma once
// Front end of the content encoder: input normalisation and convolutional subsampling of a chunk
// of log mel frames to frames of width d, one per four input frames (40 ms).
//
//   1. x[t][m] = (x[t][m] - mean[m]) x invstd[m]             (fixed tables, 80 bands)
//   2. conv0: 1 -> d channels, 3 x 3 kernel, stride 2 in time and frequency, no padding, relu:
//      (T, 80) -> plane [d][39][T1], T1 = (T - 1) / 2
//   3. conv1: d -> d channels, same geometry, relu: -> [T2][d][19], T2 = (T1 - 1) / 2
//   4. projection of each time step's d x 19 values to d, scaled by 16 (sqrt of the width 256):
//      out = 16 x (in x W + b)
// A kernel tap is numbered frequency offset x 3 + time offset. Each convolution is one im2col
// gather and one matrix product (BLAS for conv0, gemm_acc for conv1) with the bias preloaded into
// the output.
//
// Weights are borrowed from the model file's block (it must outlive the layer); all scratch is
// allocated at construction for at most kMaxFrames input frames. One thread at a time;
// forward() allocates nothing.
#include <memory>

#include "engine/core/alignmm.h"

namespace mvsdk::engine {

// Input normalisation of the content encoder, band 0 first: the means of the training features
// and the inverse standard deviations (used as multipliers).
extern const float global_cmvn_mean_online_hex[80];
extern const float global_cmvn_std_online_hex[80];

class EmbedLayer {
 public:
  static constexpr int kBands = 80;
  static constexpr int kMinFrames = 7;   // smallest T that leaves one output frame
  static constexpr int kMaxFrames = 19;  // one feature chunk
  static constexpr int kTaps = 9;        // 3 x 3
  static constexpr int kFreq1 = (kBands - 1) / 2;  // 39 frequency positions after conv0
  static constexpr int kFreq2 = (kFreq1 - 1) / 2;  // 19 after conv1
  static constexpr int kScale = 16;

  // Stream blocks, each padded to a multiple of 32 floats: conv0 weight (9 x d, row = tap),
  // conv0 bias (d), conv1 weight ((d x 9) x d, row = input channel x 9 + tap), conv1 bias (d),
  // projection weight ((d x 19) x d, row = channel x 19 + frequency position), projection bias.
  EmbedLayer(const float* weights, int d);
  ~EmbedLayer();
  EmbedLayer(const EmbedLayer&) = delete;
  EmbedLayer& operator=(const EmbedLayer&) = delete;

  // Floats an EmbedLayer of width d reads from the stream.
  static int weight_floats(int d);
  // Output frames for T input frames.
  static int out_frames(int t) { return ((t - 1) / 2 - 1) / 2; }

  // x (1, 1, T, 80), kMinFrames <= T <= kMaxFrames, is only read; out becomes
  // (1, 1, out_frames(T), d) and needs that many floats of capacity. Returns false and touches
  // nothing on other shapes.
  bool forward(const Tensor<float>& x, Tensor<float>* out);

  int get_memsize() const { return memsize; }

  int d;
  int memsize;
  const float* conv0_w;
  const float* conv0_b;
  const float* conv1_w;
  const float* conv1_b;
  const float* proj_w;
  const float* proj_b;
  std::unique_ptr<Tensor<float>> norm;      // kMaxFrames x 80, the normalised input
  std::unique_ptr<Tensor<float>> patches0;  // 9 x (39 x T1), conv0 patches, one tap per row
  std::unique_ptr<Tensor<float>> plane;     // d x (39 x T1), conv0 output [channel][freq][time]
  std::unique_ptr<Tensor<float>> patches1;  // (19 x T2) x (d x 9), conv1 patches
  std::unique_ptr<Tensor<float>> conv1_out; // (19 x T2) x d
  std::unique_ptr<Tensor<float>> proj_in;   // T2 x (d x 19), [time][channel][freq]
};

}  // namespace mvsdk::engine
