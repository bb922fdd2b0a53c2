#include "engine/layers/prenet.h"

#include <cstring>

#include "engine/kernels/gemm.h"

namespace mvsdk::engine {

int Prenet::stream_floats(int in, int out) {
  return alignsize(in * out, 32) + 2 * alignsize(out * out, 32) + 3 * alignsize(out, 32);
}

Prenet::Prenet(const float* stream, int act, int in_, int out_)
    : in(in_), out(out_), memsize(0), params(std::make_unique<PrenetParams>()),
      scratch(std::make_unique<Tensor<float>>(kMaxRows, out_)),
      activation(act == 0 ? relu : swish) {
  const float* p = stream;
  auto take = [&p, this](int count) {
    const float* block = p;
    const int step = alignsize(count, 32);
    p += step;
    memsize += step;
    return block;
  };
  params->w1 = take(in * out);
  params->b1 = take(out);
  params->w2 = take(out * out);
  params->b2 = take(out);
  params->w3 = take(out * out);
  params->b3 = take(out);
}

Prenet::~Prenet() = default;

void Prenet::layer(Tensor<float>* x, int rows, int k, const float* w, const float* b, bool act) {
  scratch->resize(1, 1, rows, out);
  float* s = scratch->data;
  for (int r = 0; r < rows; ++r) std::memcpy(s + static_cast<size_t>(r) * out, b, sizeof(float) * out);
  gemm_acc(rows, out, k, 1.0f, x->data, k, w, out, false, s, out);
  if (act) activation(scratch.get());
  x->reload(scratch.get());
}

bool Prenet::forward(Tensor<float>* x) {
  if (x == nullptr || x->data == nullptr || x->shape[3] != in || in <= 0) return false;
  const int rows = x->size / in;
  const int widest = in > out ? in : out;
  if (rows < 1 || rows > kMaxRows || static_cast<long>(rows) * widest > x->capacity) return false;
  layer(x, rows, in, params->w1, params->b1, true);
  layer(x, rows, out, params->w2, params->b2, true);
  layer(x, rows, out, params->w3, params->b3, false);
  return true;
}

}  // namespace mvsdk::engine
