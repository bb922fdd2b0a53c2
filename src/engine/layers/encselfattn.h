#pragma once
// Streaming multi-head self-attention with two learned position biases and a projected
// sinusoidal position table, over a sliding window of past frames.
//
// Every forward() call takes one chunk of T <= 16 frames, appends its keys and values to the
// caches and lets every query of the chunk attend over all cached keys (no mask, no relative
// shift). Once the cache holds more than 20 x T keys, the T oldest are dropped and, for that
// call only, key slot l meets projected position row T + l instead of row l.
//
// Weights are borrowed from the weight stream, which must outlive the layer unchanged. The
// projected position table (336 rows) is computed once at construction; the position table
// itself is only read there. Caches and scratch are owned and allocated at construction.
// One thread at a time; forward() allocates nothing.
#include "engine/core/alignmm.h"
#include "engine/layers/pos_enc.h"

namespace mvsdk::engine {

// Pointers into the weight stream, in stream order. Matrices are dim x dim, row-major with the
// input index as row; vectors dim floats.
struct EncSelfAttnParams {
  const float* query_weight = nullptr;
  const float* query_bias = nullptr;
  const float* key_weight = nullptr;
  const float* key_bias = nullptr;
  const float* value_weight = nullptr;
  const float* value_bias = nullptr;
  const float* out_weight = nullptr;
  const float* out_bias = nullptr;
  const float* pos_weight = nullptr;  // projection of the position table, no bias
  const float* pos_bias_u = nullptr;  // added to the queries for the content term
  const float* pos_bias_v = nullptr;  // added to the queries for the position term
};

class EncSelfAttn {
 public:
  static constexpr int kMaxFrames = 16;   // frames per call
  static constexpr int kPosRows = 336;    // rows of the projected position table
  static constexpr int kWindowChunks = 20;  // chunks kept after a call

  // Reads the 11 blocks (5 matrices, 6 vectors, each padded to 32 floats) and projects the first
  // 336 rows of `pe` (rows past the table's end stay zero). dim should be heads x head_dim.
  EncSelfAttn(const float* stream, PositionEncoding* pe, int heads, int head_dim, int dim);
  EncSelfAttn(const EncSelfAttn&) = delete;
  EncSelfAttn& operator=(const EncSelfAttn&) = delete;

  // Self-attention over the chunk x (1, 1, T, dim); the result replaces x's contents. Only x is
  // read: key and value are accepted for the callers' convenience and ignored. Returns false and
  // leaves x and the caches untouched when the chunk does not fit (see accepts()).
  bool forward(Tensor<float>* x, Tensor<float>* key = nullptr, Tensor<float>* value = nullptr);

  // True when a chunk of T frames fits: 0 <= T <= 16, heads x head_dim == dim, and the keys
  // after the append (cached + T) fit the cache capacity (84 rows for dim 256, else 336) and the
  // position rows in use fit the projected table.
  bool accepts(int T) const;

  // Empties both caches and sets the position offset to 0.
  void reset();

  // Floats consumed: 5 x alignsize(dim x dim, 32) + 6 x alignsize(dim, 32).
  int get_memsize() const { return memsize_; }
  int cached_keys() const { return cache_rows_; }
  int pos_offset() const { return pos_offset_; }
  int max_keys() const { return max_keys_; }
  const Tensor<float>& pos_proj() const { return pos_proj_; }

 private:
  int heads_;
  int head_dim_;
  int dim_;
  int memsize_;
  int pos_offset_;  // floats into pos_proj; non-zero only inside a call that slid the window
  int max_keys_;
  EncSelfAttnParams params_;
  Tensor<float> pos_proj_;     // (1, 336, H, head_dim)
  // The caches: the window's L = cache_rows_ rows start cache_start_ rows into each buffer. The
  // window slides by moving its start; the rows are moved back to the front only when an append
  // would run past the buffer's kSpareRows rows beyond max_keys (once every few chunks instead of
  // every chunk).
  static constexpr int kSpareRows = 4 * kMaxFrames;
  int cache_start_ = 0;
  int cache_rows_ = 0;
  Tensor<float> key_cache_;    // (max_keys + kSpareRows) x dim
  Tensor<float> value_cache_;  // same
  Tensor<float> scores_;       // (1, T, H, L), capacity (1, 16, H, max_keys)
  Tensor<float> context_;      // (1, 1, T, dim), capacity 16 rows
  Tensor<float> q_;            // (1, T, H, head_dim), capacity 16 rows
  Tensor<float> k_;
  Tensor<float> v_;
  Tensor<float> q_u_;          // q + position bias u
  Tensor<float> q_v_;          // q + position bias v
};

}  // namespace mvsdk::engine
