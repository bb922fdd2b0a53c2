#pragma once
// Layer normalisation whose gain and bias come from the speaker style vector:
// gainbias = weight x style + bias (2 x dim values: the gain, then the bias), recomputed by
// setstyle(); the normalisation itself is LayerNorm's (see layernorm.h) with the gain applied
// directly (no 1 added).
//
// Weights are borrowed from the weight stream, which must outlive the layer unchanged. The gain
// and bias of the last style stay in force until the next setstyle() (a network reset leaves
// them alone); they hold no defined value before the first setstyle(). One thread at a time;
// nothing is allocated after construction.
#include "engine/core/alignmm.h"

namespace mvsdk::engine {

struct StyleNormParams {
  const float* weight = nullptr;  // 2dim x dim, row-major
  const float* bias = nullptr;    // 2dim
};

class StyleLayerNorm {
 public:
  // Reads weight (2dim x dim) then bias (2dim), each padded to 32 floats.
  StyleLayerNorm(const float* stream, float eps, int dim);
  StyleLayerNorm(const StyleLayerNorm&) = delete;
  StyleLayerNorm& operator=(const StyleLayerNorm&) = delete;

  // Recomputes the gain and bias from a style vector of dim floats (one cblas_sgemv; under a table
  // holding a half-precision copy of the weights, gemm_acc on the copy). The tensor
  // form reads style's data; it returns false and changes nothing when style holds fewer than
  // dim floats.
  bool setstyle(const Tensor<float>* style);
  void setstyle(const float* style);

  // Normalises every row of dim floats of x in place; rows = x.size / dim.
  void forward(Tensor<float>* x) const;
  void mean_var(const float* row, float& mean, float& var) const;
  void norm(float* row, float mean, float var) const;

  // Floats consumed: alignsize(2 x dim x dim, 32) + alignsize(2 x dim, 32).
  int get_memsize() const { return memsize_; }
  // The current gain (first dim floats) and bias (last dim floats).
  const Tensor<float>& gainbias() const { return gainbias_; }

 private:
  int dim_;
  int memsize_;
  StyleNormParams params_;
  Tensor<float> gainbias_;  // (1, 1, 1, 2dim)
  float eps_;
};

}  // namespace mvsdk::engine
