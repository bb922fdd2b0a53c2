#pragma once
// Sinusoidal position table: max_len rows of dim floats, row p for position p, sine and cosine
// interleaved (table[p][2i] = sin(p w_i), table[p][2i + 1] = cos(p w_i)).
//   mode 0:        w_i = (float)(1 / 10000^(2i / dim)), in double with pow
//   mode non-zero: w_i = (float)e^(-2i L / dim), in double, L = (float)ln(10000)
// The angle (float)p x w_i and its sine and cosine are computed in float.
//
// A network builds one table, hands it to every attention layer it constructs (each keeps only
// its own projection of the first rows) and deletes it once construction is over.
#include "engine/core/alignmm.h"

namespace mvsdk::engine {

class PositionEncoding {
 public:
  PositionEncoding(int max_len, int dim, int mode);
  PositionEncoding(const PositionEncoding&) = delete;
  PositionEncoding& operator=(const PositionEncoding&) = delete;

  // Points `out` at the table itself (no copy), reshaped to (1, 1, n, dim): its first n rows are
  // positions 0..n-1. n is clamped to 0..max_len.
  void fetch(int n, Tensor<float>*& out);

  int max_len() const { return max_len_; }
  int dim() const { return dim_; }

 private:
  int max_len_;
  int dim_;
  Tensor<float> table_;  // (1, 1, max_len, dim)
};

}  // namespace mvsdk::engine
