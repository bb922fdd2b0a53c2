#pragma once
// Three stacked fully connected layers over the rows of a (1, 1, rows, in) chunk: the input
// stages of the acoustic model (content features, the pitch predictor's input and the source
// pitch's auxiliary features).
//
//   x = act(x W1 + b1); x = act(x W2 + b2); x = x W3 + b3   (no activation after the third)
//
// Weights are borrowed from the network's weight stream (a model file's float block, which must
// outlive the layer and stay unchanged); the layer owns its parameter record and one scratch
// tensor of kMaxRows x out floats. One thread at a time; forward() allocates nothing.
#include <memory>

#include "engine/core/alignmm.h"
#include "engine/kernels/util.h"

namespace mvsdk::engine {

// Pointers into the weight stream, in stream order.
struct PrenetParams {
  const float* w1 = nullptr;  // in x out, row-major, input index as row
  const float* b1 = nullptr;  // out
  const float* w2 = nullptr;  // out x out
  const float* b2 = nullptr;  // out
  const float* w3 = nullptr;  // out x out
  const float* b3 = nullptr;  // out
};

class Prenet {
 public:
  // Most rows one forward() takes (the scratch is sized for it).
  static constexpr int kMaxRows = 16;

  // Floats a Prenet of these widths reads from a stream: every block padded to 32 floats.
  // 513 -> 192: 172800; 192 -> 192: 111168; 60 -> 192: 85824.
  static int stream_floats(int in, int out);

  // Reads w1, b1, w2, b2, w3, b3 from `stream` (each block padded to alignsize(count, 32)).
  // `act` 0 applies relu after the first two layers; any other value applies swish (the models
  // only use 0; 1 is the documented swish flag).
  Prenet(const float* stream, int act, int in, int out);
  ~Prenet();
  Prenet(const Prenet&) = delete;
  Prenet& operator=(const Prenet&) = delete;

  // x (1, 1, rows, in) becomes (1, 1, rows, out). Each layer is one cblas_sgemm into the
  // scratch (bias rows first, beta 1), the activation, then a reload into x; x's floats past
  // rows x out are left as they were. Returns false and leaves x untouched unless x.d3 == in,
  // rows <= kMaxRows and x's capacity holds rows x max(in, out) floats.
  bool forward(Tensor<float>* x);

  int get_memsize() const { return memsize; }

  int in;
  int out;
  int memsize;
  std::unique_ptr<PrenetParams> params;
  std::unique_ptr<Tensor<float>> scratch;  // (1, 1, kMaxRows, out)
  Activation activation;

 private:
  // scratch = act?(src (rows x k) * w + b), then x.reload(scratch).
  void layer(Tensor<float>* x, int rows, int k, const float* w, const float* b, bool act);
};

}  // namespace mvsdk::engine
