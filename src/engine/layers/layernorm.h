#pragma once
// Layer normalisation over rows of dim floats, with learned gain (gamma) and bias (beta).
//
// Per row: mean = (sum in index order) / dim; var = (sum of (x - mean)^2, each term added by one
// fused multiply-add) / dim (population variance); s = 1 / sqrt(var + eps) once per row; then
// x = fma((x - mean) * s, g, b) per element. Weights are borrowed from the weight stream, which
// must outlive the layer unchanged. Stateless between calls; allocates nothing after construction.
#include "engine/core/alignmm.h"

namespace mvsdk::engine {

struct NormParams {
  const float* gamma = nullptr;  // dim
  const float* beta = nullptr;   // dim
};

// The arithmetic above, shared by LayerNorm and StyleLayerNorm: mean and variance of one row,
// normalisation of one row with gain g[i] and bias b[i], and both over `rows` rows in place.
void layer_norm_mean_var(const float* row, int dim, float& mean, float& var);
void layer_norm_row(float* row, int dim, float mean, float var, const float* g, const float* b,
                    float eps);
void layer_norm_rows(float* data, int rows, int dim, const float* g, const float* b, float eps);

class LayerNorm {
 public:
  // Reads gamma (dim) then beta (dim), each padded to 32 floats.
  LayerNorm(const float* stream, float eps, int dim);
  LayerNorm(const LayerNorm&) = delete;
  LayerNorm& operator=(const LayerNorm&) = delete;

  // Normalises every row of dim floats of x in place; rows = x.size / dim.
  void forward(Tensor<float>* x) const;
  // The two steps of forward() for one row of dim floats.
  void mean_var(const float* row, float& mean, float& var) const;
  void norm(float* row, float mean, float var) const;

  // Floats consumed: 2 x alignsize(dim, 32).
  int get_memsize() const { return memsize_; }
  int dim() const { return dim_; }

 private:
  int dim_;
  int memsize_;
  NormParams params_;
  float eps_;
};

}  // namespace mvsdk::engine
