#include "engine/core/alignmm.h"

#include <cmath>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

#include "engine/kernels/simd.h"

namespace mvsdk::engine {

namespace {
thread_local std::uint64_t g_aligned_failures = 0;
thread_local int g_tensor_allocation_throws = 0;
}  // namespace

std::uint64_t aligned_malloc_failures() { return g_aligned_failures; }

TensorAllocationThrows::TensorAllocationThrows() { ++g_tensor_allocation_throws; }
TensorAllocationThrows::~TensorAllocationThrows() { --g_tensor_allocation_throws; }

void* aligned_malloc(std::uint64_t alignment, std::uint64_t size_bytes) {
  // alignment - 1 bytes of slack to round down into, plus 8 for the stored raw pointer.
  const std::uint64_t offset = alignment - 1 + sizeof(void*);
  if (alignment == 0 || (alignment & (alignment - 1)) != 0 || size_bytes > SIZE_MAX - offset) {
    ++g_aligned_failures;
    return nullptr;
  }
  void* raw = std::malloc(static_cast<std::size_t>(size_bytes + offset));
  if (raw == nullptr) {
    ++g_aligned_failures;
    return nullptr;
  }
  const std::uintptr_t aligned =
      (reinterpret_cast<std::uintptr_t>(raw) + offset) & ~static_cast<std::uintptr_t>(alignment - 1);
  std::memcpy(reinterpret_cast<void*>(aligned - sizeof(void*)), &raw, sizeof raw);
  return reinterpret_cast<void*>(aligned);
}

void aligned_free(void* p) {
  if (p == nullptr) return;
  void* raw;
  std::memcpy(&raw, static_cast<char*>(p) - sizeof(void*), sizeof raw);
  std::free(raw);
}

int alignsize(int n, int a) {
  if (a <= 0) return n;
  return n + ((a - n % a) % a);
}

Tensor<float>::Tensor(int w) : shape{1, 1, 1, w} { alloc_buff(); }
Tensor<float>::Tensor(int h, int w) : shape{1, 1, h, w} { alloc_buff(); }
Tensor<float>::Tensor(int c, int h, int w) : shape{1, c, h, w} { alloc_buff(); }
Tensor<float>::Tensor(int n, int c, int h, int w) : shape{n, c, h, w} { alloc_buff(); }
Tensor<float>::~Tensor() { free_buff(); }

void Tensor<float>::alloc_buff() {
  free_buff();
  long long count = 1;
  bool ok = true;
  for (int d : shape) {
    if (d < 0) ok = false;
    count *= d;
    // Stop before the 64-bit product can overflow; the byte count must fit an int of floats.
    if (count > INT_MAX) {
      ok = false;
      break;
    }
  }
  if (!ok) {
    size = capacity = 0;
    return;
  }
  size = capacity = static_cast<int>(count);
  data = static_cast<float*>(aligned_malloc(32, static_cast<std::uint64_t>(size) * sizeof(float)));
  if (data == nullptr && g_tensor_allocation_throws > 0) {
    size = capacity = 0;
    throw std::bad_alloc();
  }
}

void Tensor<float>::free_buff() {
  if (data != nullptr) {
    aligned_free(data);
    data = nullptr;
  }
}

void Tensor<float>::resize(int d0, int d1, int d2, int d3) {
  shape[0] = d0;
  shape[1] = d1;
  shape[2] = d2;
  shape[3] = d3;
  size = d0 * d1 * d2 * d3;
}

void Tensor<float>::reload(const Tensor<float>* src) {
  if (src != this && src->size > 0) {
    std::memcpy(data, src->data, static_cast<std::size_t>(src->size) * sizeof(float));
  }
  resize(src->shape[0], src->shape[1], src->shape[2], src->shape[3]);
}

void Tensor<float>::zeros() {
  if (size > 0) std::memset(data, 0, static_cast<std::size_t>(size) * sizeof(float));
}

void Tensor<float>::add(const Tensor<float>* other) {
  float* __restrict d = data;
  const float* o = other->data;
  for (int i = 0; i < size; ++i) d[i] += o[i];
}

void Tensor<float>::add(float alpha, const Tensor<float>* other) {
  float* d = data;
  const float* o = other->data;
  const v4sf va = splat4(alpha);
  int i = 0;
  for (; i + 16 <= size; i += 16) {
    const v4sf r0 = fma4(va, load4(o + i), load4(d + i));
    const v4sf r1 = fma4(va, load4(o + i + 4), load4(d + i + 4));
    const v4sf r2 = fma4(va, load4(o + i + 8), load4(d + i + 8));
    const v4sf r3 = fma4(va, load4(o + i + 12), load4(d + i + 12));
    store4(d + i, r0);
    store4(d + i + 4, r1);
    store4(d + i + 8, r2);
    store4(d + i + 12, r3);
  }
  for (; i + 4 <= size; i += 4) store4(d + i, fma4(va, load4(o + i), load4(d + i)));
  for (; i < size; ++i) d[i] = std::fma(alpha, o[i], d[i]);
}

void Tensor<float>::concat(const Tensor<float>* other, int axis) {
  const int n = other->size;
  const bool valid_axis = axis >= 0 && axis < 4;
  const int extent = valid_axis ? other->shape[axis] : 0;
  if (n > 0) {
    // memmove: other may be this tensor (the source then ends where the copy begins).
    std::memmove(data + size, other->data, static_cast<std::size_t>(n) * sizeof(float));
  }
  size += n;
  if (valid_axis) shape[axis] += extent;
}

void Tensor<float>::upsample(const Tensor<float>* src, int factor) {
  const int rows = src->shape[2];
  const int w = src->shape[3];
  const int d0 = src->shape[0], d1 = src->shape[1];
  if (factor < 0) factor = 0;
  if (rows > 0 && w > 0 && factor > 0) {
    const float* s = src->data;
    float* d = data;
    // Rows from the last to the first: when src is this tensor, row r's destination starts at
    // row r * factor >= r, so every source row is read before anything overwrites it.
    for (int r = rows - 1; r >= 0; --r) {
      const float* row = s + static_cast<std::ptrdiff_t>(r) * w;
      float* dst = d + static_cast<std::ptrdiff_t>(r) * factor * w;
      if (w == 1) {
        const float v = row[0];
        for (int k = 0; k < factor; ++k) dst[k] = v;
      } else {
        // Last repetition first, so the in-place row 0 (dst == row) is copied before it is
        // overwritten.
        for (int k = factor - 1; k >= 0; --k) {
          std::memmove(dst + static_cast<std::ptrdiff_t>(k) * w, row, static_cast<std::size_t>(w) * sizeof(float));
        }
      }
    }
  }
  resize(d0, d1, rows * factor, w);
}

void Tensor<float>::leakyrelu(float slope) {
  float* d = data;
  const v4sf vs = splat4(slope);
  const v4sf zero = splat4(0.0f);
  auto group = [&](v4sf x) { return max4(x, zero) + vs * min4(x, zero); };
  int i = 0;
  for (; i + 16 <= size; i += 16) {
    const v4sf r0 = group(load4(d + i));
    const v4sf r1 = group(load4(d + i + 4));
    const v4sf r2 = group(load4(d + i + 8));
    const v4sf r3 = group(load4(d + i + 12));
    store4(d + i, r0);
    store4(d + i + 4, r1);
    store4(d + i + 8, r2);
    store4(d + i + 12, r3);
  }
  for (; i + 8 <= size; i += 8) {
    const v4sf r0 = group(load4(d + i));
    const v4sf r1 = group(load4(d + i + 4));
    store4(d + i, r0);
    store4(d + i + 4, r1);
  }
  for (; i + 4 <= size; i += 4) store4(d + i, group(load4(d + i)));
  for (; i < size; ++i) d[i] = d[i] >= 0.0f ? d[i] : slope * d[i];
}

}  // namespace mvsdk::engine
