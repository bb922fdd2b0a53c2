#pragma once
// Position-wise feed-forward of the conformer blocks: x = act(x W1 + b1) W2 + b2 over the rows of
// a (1, 1, rows, dim) chunk, rows <= 16.
//
// Weights are borrowed from the weight stream, which must outlive the layer unchanged; the
// hidden scratch is owned. Stateless between calls; forward() allocates nothing.
#include "engine/core/alignmm.h"
#include "engine/kernels/util.h"

namespace mvsdk::engine {

// Pointers into the weight stream, in stream order (matrices row-major, input index as row).
struct FeedForwardParams {
  const float* weight1 = nullptr;  // dim x hidden
  const float* bias1 = nullptr;    // hidden
  const float* weight2 = nullptr;  // hidden x dim
  const float* bias2 = nullptr;    // dim
};

class FeedForward {
 public:
  static constexpr int kMaxRows = 16;

  // `act` non-zero selects swish, zero relu, as the hidden activation.
  FeedForward(const float* stream, int act, int dim, int hidden);
  FeedForward(const FeedForward&) = delete;
  FeedForward& operator=(const FeedForward&) = delete;

  // x (rows x dim) is replaced by the feed-forward output, shape unchanged (two cblas_sgemm).
  // Returns false and leaves x untouched unless x.d3 == dim and rows <= 16.
  bool forward(Tensor<float>* x);

  // Floats consumed: 2 x alignsize(dim x hidden, 32) + alignsize(hidden, 32) + alignsize(dim, 32).
  int get_memsize() const { return memsize_; }

 private:
  int dim_;
  int hidden_;
  int memsize_;
  FeedForwardParams params_;
  Tensor<float> scratch_;  // (1, 1, 16, hidden)
  Activation activation_;
};

}  // namespace mvsdk::engine
