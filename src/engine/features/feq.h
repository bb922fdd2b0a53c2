#pragma once
// FeatureQueue: packs 80-band feature frames into overlapping chunks of 19 frames for the
// content encoder. The first chunk after construction or reset holds 19 new frames; every later
// chunk repeats the last 3 frames of its predecessor and adds 16 new ones (160 ms of audio).
//
// Chunks are Tensor<float> objects shaped (1, 1, 19, 80), created with new. pop hands the oldest
// finished chunk to the caller, who owns it from then on and may delete it. To keep the streaming
// path free of heap allocation, the caller hands finished-with chunks back through recycle: the
// queue keeps a small pool of spare chunk tensors (kSpareChunks are made at construction) and
// allocates a new one only when that pool is empty.
//
// Threads: none of its own; one thread at a time (the engine's processing thread).
#include "engine/core/alignmm.h"

namespace mvsdk::engine {

class FeatureQueue {
 public:
  static constexpr int kRows = 19;       // frames per chunk
  static constexpr int kOverlap = 3;     // frames each chunk repeats from its predecessor
  static constexpr int kBands = 80;      // floats per frame
  static constexpr int kSpareChunks = 3; // spare tensors made at construction
  static constexpr int kMaxSpare = 8;    // recycled tensors kept beyond this are released

  // Allocates the chunk being filled, kSpareChunks spares and room for 8 waiting chunks.
  // Check valid() afterwards: false when any of these allocations failed.
  FeatureQueue();
  ~FeatureQueue();
  FeatureQueue(const FeatureQueue&) = delete;
  FeatureQueue& operator=(const FeatureQueue&) = delete;

  bool valid() const { return filling_ != nullptr && ring_ != nullptr; }

  // Copies 80 floats into the next row of the chunk being filled. When the chunk is full it goes
  // to the back of the queue and a new chunk starts with copies of its last 3 rows. flag is
  // accepted for the engine's calling convention and does not change anything.
  // Allocates only when the spare pool is empty or more than the waiting room's chunks wait. If
  // that allocation fails the full chunk is dropped (counted in dropped()) and filling continues
  // with its last 3 rows, so the stream stays consistent.
  void push(const float* frame80, int flag);

  // Removes and returns the oldest finished chunk (the caller owns it), or null when none waits.
  Tensor<float>* pop();

  // Number of finished chunks waiting.
  int size() const { return count_; }

  // Rows of the chunk being filled (0..18).
  int fill() const { return fill_; }

  // Forgets the partly filled chunk (fill = 0). Waiting chunks stay queued.
  void reset() { fill_ = 0; }

  // Takes back a chunk tensor for reuse (typically one returned by pop). Returns false, leaving
  // ownership with the caller, for null, a tensor whose buffer cannot hold 19 x 80 floats, or a
  // tensor the queue already owns (the chunk being filled, a spare or a waiting chunk).
  // When the pool already holds kMaxSpare tensors the tensor is released.
  bool recycle(Tensor<float>* chunk);

  // Chunks lost because an allocation failed (see push).
  int dropped() const { return dropped_; }

 private:
  Tensor<float>* take_spare();
  bool grow_ring();

  Tensor<float>* filling_ = nullptr;  // owned
  int fill_ = 0;
  // Waiting chunks: a ring of ring_cap_ owned pointers, oldest at head_.
  Tensor<float>** ring_ = nullptr;
  int ring_cap_ = 0;
  int head_ = 0;
  int count_ = 0;
  Tensor<float>* spare_[kMaxSpare] = {};  // owned
  int n_spare_ = 0;
  int dropped_ = 0;
};

}  // namespace mvsdk::engine
