#pragma once
// Tensor record and aligned memory of the streaming engine.
//
// Every activation, weight block, cache and scratch buffer of the engine is a Tensor<float>: a
// four-dimensional shape (d0, d1, d2, d3), row-major with d3 fastest, over one flat 32-byte
// aligned float buffer allocated once at its largest extent (the capacity). Streaming code then
// changes the logical shape and element count freely inside that capacity with resize, reload,
// concat and upsample; nothing here reallocates or checks, nothing throws (except a failed
// allocation under TensorAllocationThrows, below), and nothing here allocates except alloc_buff
// (called by the constructors).
//
// Sequences are shaped (1, 1, frames, features): d2 is the time axis, d3 the feature axis.
//
// Ownership: a tensor owns its buffer and releases it in its destructor. Tensors are not
// copyable; they are created with new (or as members) and passed by pointer.
// Threads: a tensor is not synchronised; one thread at a time.
// Caller contract: size <= capacity at all times. Operations that grow the logical size
// (resize, reload, concat, upsample) rely on the caller having allocated enough capacity.
#include <cstdint>

namespace mvsdk::engine {

// Returns a block of `size_bytes` bytes whose address is a multiple of `alignment` (a power of
// two; the engine always passes 32), or null when the allocation fails or the request cannot be
// represented. The block must be released with aligned_free, never with free.
// Layout: malloc(size_bytes + alignment - 1 + 8); the raw pointer is kept in the 8 bytes just
// before the returned address.
void* aligned_malloc(std::uint64_t alignment, std::uint64_t size_bytes);

// How many aligned_malloc calls on the calling thread have returned null so far. A tensor whose
// allocation failed keeps a null buffer without saying so; a constructor that builds many of
// them (a network, the engine) compares this count before and after instead of checking each.
std::uint64_t aligned_malloc_failures();

// While one of these is alive on a thread, a Tensor whose buffer cannot be allocated there throws
// std::bad_alloc instead of keeping a null buffer (an impossible shape still gives a null buffer
// quietly). Builders of whole networks use it, so that a failed allocation unwinds the partly
// built network (layers hold their tensors by value or by smart pointer) instead of leaving
// layers that compute on null buffers, some of them already while being built.
class TensorAllocationThrows {
 public:
  TensorAllocationThrows();
  ~TensorAllocationThrows();
  TensorAllocationThrows(const TensorAllocationThrows&) = delete;
  TensorAllocationThrows& operator=(const TensorAllocationThrows&) = delete;
};

// Releases a block from aligned_malloc. Null is ignored.
void aligned_free(void* p);

// Rounds n up to the next multiple of a: n + ((a - n % a) % a) (truncating division).
// alignsize(0, 32) = 0, alignsize(1, 32) = 32, alignsize(33, 32) = 64. Model weight files pad
// every parameter block to alignsize(count, 32) floats. Returns n unchanged when a <= 0.
int alignsize(int n, int a);

template <typename T>
class Tensor;  // only Tensor<float> exists

template <>
class Tensor<float> {
 public:
  // Fields in this order; public because every layer reads and reshapes them directly.
  int capacity = 0;        // floats the buffer was allocated for; set only by alloc_buff
  float* data = nullptr;   // 32-byte aligned, owned; null after free_buff or a failed allocation
  int shape[4] = {0, 0, 0, 0};  // d0, d1, d2, d3, outermost first
  int size = 0;            // logical element count, kept equal to d0 * d1 * d2 * d3

  // Each constructor sets the shape and calls alloc_buff. Contents are undefined (not zeroed).
  explicit Tensor(int w);                     // (1, 1, 1, w)
  Tensor(int h, int w);                       // (1, 1, h, w)
  Tensor(int c, int h, int w);                // (1, c, h, w)
  Tensor(int n, int c, int h, int w);         // (n, c, h, w)
  ~Tensor();                                  // free_buff

  Tensor(const Tensor&) = delete;
  Tensor& operator=(const Tensor&) = delete;

  // size = capacity = d0 * d1 * d2 * d3, data = aligned_malloc(32, size * 4). A failed
  // allocation leaves data null (not reported), or throws std::bad_alloc with size = capacity = 0
  // under TensorAllocationThrows. A negative extent or a product that does not fit
  // an int leaves data null and size = capacity = 0. An existing buffer is released first.
  void alloc_buff();
  // Releases the buffer if there is one and sets data to null. Safe to call twice. Afterwards
  // the tensor may only be destroyed (or alloc_buff called again).
  void free_buff();

  // Stores the four extents and sets size to their product. Touches neither capacity nor data.
  void resize(int d0, int d1, int d2, int d3);
  // Copies src's size floats to the start of data, then takes src's shape.
  // Requires capacity >= src.size. src may be this tensor (no-op copy).
  void reload(const Tensor<float>* src);
  void reload(const Tensor<float>& src) { reload(&src); }
  // Sets the first size floats (not the whole capacity) to 0.
  void zeros();
  // data[i] += other.data[i] for i in 0..size-1 (this tensor's size governs).
  void add(const Tensor<float>* other);
  void add(const Tensor<float>& other) { add(&other); }
  // data[i] = fma(alpha, other.data[i], data[i]) for i in 0..size-1: one fused multiply-add
  // per element (residual connections use alpha 0.5 and 1.0).
  void add(float alpha, const Tensor<float>* other);
  void add(float alpha, const Tensor<float>& other) { add(alpha, &other); }
  // Appends other's size floats behind the first size floats of data, adds other.size to size
  // and other's extent in `axis` (0..3) to this extent in `axis`. The data are appended flat:
  // a true concatenation only along the outermost extent above 1 (axis 2 for (1, 1, T, C)).
  // Requires capacity >= size + other.size. other may be this tensor.
  void concat(const Tensor<float>* other, int axis);
  void concat(const Tensor<float>& other, int axis) { concat(&other, axis); }
  // Nearest-neighbour repetition along time: each of src's d2 rows (d3 floats each) is written
  // `factor` times in a row into data; then the shape becomes (src.d0, src.d1, src.d2 * factor,
  // src.d3). Only src's first d2 rows are read. Requires capacity >= src.size * factor.
  // src may be this tensor. A factor below 1 writes nothing and leaves d2 = 0.
  void upsample(const Tensor<float>* src, int factor);
  void upsample(const Tensor<float>& src, int factor) { upsample(&src, factor); }
  // In place over the first size floats: x stays where x >= 0, becomes slope * x where x < 0.
  // Vectorised: 4-lane groups compute max(x, 0) + slope * min(x, 0); the leftover elements use
  // the comparison form. Never touches data[size] or beyond.
  void leakyrelu(float slope);
};

}  // namespace mvsdk::engine
