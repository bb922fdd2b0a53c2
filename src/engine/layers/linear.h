#pragma once
// Fully connected layer over the rows of a (1, 1, rows, in) chunk.
//
// Weights are borrowed from the network's weight stream (a model file's float block, which must
// outlive the layer and stay unchanged); the layer owns only its scratch. One thread at a time;
// forward() allocates nothing.
#include "engine/core/alignmm.h"
#include "engine/kernels/util.h"

namespace mvsdk::engine {

// Pointers into the weight stream, in stream order.
struct LinearParams {
  const float* weight = nullptr;  // in x out, row-major, input index as row
  const float* bias = nullptr;    // out
};

class Linear {
 public:
  static constexpr int kMaxRows = 16;  // rows one forward() takes (scratch size)

  // Reads weight (in x out) then bias (out) from `stream`, each block padded to 32 floats.
  // `act` non-zero stores swish as the activation, zero stores relu; forward() never applies it.
  Linear(const float* stream, int act, int in, int out);
  Linear(const Linear&) = delete;
  Linear& operator=(const Linear&) = delete;

  // x (1, 1, rows, in) becomes (1, 1, rows, out) = x W + bias (one cblas_sgemm).
  // Needs x.d3 == in, rows <= kMaxRows and x's capacity >= rows x out; otherwise returns false
  // and leaves x untouched.
  bool forward(Tensor<float>* x);

  // Floats consumed from the stream: alignsize(in x out, 32) + alignsize(out, 32).
  int get_memsize() const { return memsize_; }
  // The stored activation (swish or relu), for callers that apply it themselves.
  Activation activation() const { return activation_; }

 private:
  int in_;
  int out_;
  int memsize_;
  LinearParams params_;
  Tensor<float> scratch_;  // (1, 1, kMaxRows, out)
  Activation activation_;
};

}  // namespace mvsdk::engine
