#pragma once
// Convolution module of the conformer blocks, over chunks (1, 1, T, dim), T <= 16:
//   pointwise (dim -> 2dim) -> GLU -> depthwise convolution (kernel 15, per channel)
//   -> LayerNorm (eps 1e-5) -> swish -> pointwise (dim -> dim).
// Streaming mode (non-zero, the mode the networks use): the depthwise convolution is causal and
// keeps the last 14 gated frames between calls, so chunks of any length give the output of the
// whole stream. Mode 0: the convolution sees the chunk alone, with 7 zero frames on each side,
// and keeps no history.
//
// Weights are borrowed from the weight stream, which must outlive the layer unchanged; history
// and scratch are owned and allocated at construction. One thread at a time; forward() and
// reset() allocate nothing.
#include <memory>

#include "engine/core/alignmm.h"
#include "engine/layers/layernorm.h"

namespace mvsdk::engine {

// Pointers into the weight stream, in stream order. The pointwise weights are output-major
// (row o holds the input weights of output o), unlike Linear's.
struct EncConvParams {
  const float* pw1_weight = nullptr;  // 2dim x dim
  const float* pw1_bias = nullptr;    // 2dim
  const float* dw_weight = nullptr;   // dim x 15: row c holds channel c's taps, oldest tap first
  const float* dw_bias = nullptr;     // dim
  const float* pw2_weight = nullptr;  // dim x dim
  const float* pw2_bias = nullptr;    // dim
};

class ConvModule {
 public:
  static constexpr int kMaxFrames = 16;
  static constexpr int kKernel = 15;
  static constexpr int kHistory = kKernel - 1;  // gated frames kept in streaming mode

  // Reads the six blocks above, then the norm's gamma and beta (each padded to 32 floats), and
  // ends with reset().
  ConvModule(const float* stream, int mode, int dim);
  ConvModule(const ConvModule&) = delete;
  ConvModule& operator=(const ConvModule&) = delete;

  // x (T x dim) is replaced by the module's output, shape unchanged. Dispatches on the mode.
  // Returns false and leaves x and the history untouched unless x is (1, 1, T, dim), T <= 16.
  bool forward(Tensor<float>* x);
  bool forward_mode0(Tensor<float>* x);
  bool forward_mode1(Tensor<float>* x);

  // The history back to what a run of all-zero input frames leaves: each of its 14 rows is
  // glu(first pointwise bias).
  void reset();

  // Floats consumed: the eight blocks, each padded to 32 floats.
  int get_memsize() const { return memsize_; }
  // The last 14 gated frames, oldest first (14 x dim).
  const Tensor<float>& conv_cache() const { return conv_cache_; }

 private:
  bool fits(const Tensor<float>* x) const;
  void pointwise_glu(Tensor<float>* x);
  void depthwise(Tensor<float>* x, const float* const* frames);
  void norm_swish_out(Tensor<float>* x);

  int dim_;
  int memsize_;
  std::unique_ptr<LayerNorm> norm_;
  EncConvParams params_;
  Tensor<float> conv_cache_;  // (1, 1, 14, dim)
  Tensor<float> pointwise_;   // (1, 1, 16, 2dim)
  Tensor<float> output_in_;   // (1, 1, 16, dim)
  Tensor<float> gated_;       // (1, 1, 16, dim): the gated chunk, input of the depthwise step
  Tensor<float> zero_row_;    // (1, dim) of zeros: mode 0's padding frames
  int mode_;
};

}  // namespace mvsdk::engine
