#include "engine/features/feq.h"

#include <cstring>
#include <new>

namespace mvsdk::engine {
namespace {

constexpr int kChunkFloats = FeatureQueue::kRows * FeatureQueue::kBands;
constexpr int kInitialRing = 8;

Tensor<float>* new_chunk() {
  auto* t = new (std::nothrow) Tensor<float>(FeatureQueue::kRows, FeatureQueue::kBands);
  if (t && !t->data) {
    delete t;
    return nullptr;
  }
  return t;
}

}  // namespace

FeatureQueue::FeatureQueue() {
  filling_ = new_chunk();
  ring_ = new (std::nothrow) Tensor<float>*[kInitialRing];
  if (ring_) ring_cap_ = kInitialRing;
  for (int i = 0; i < kSpareChunks; ++i) {
    Tensor<float>* t = new_chunk();
    if (!t) {
      delete filling_;  // report the failure through valid()
      filling_ = nullptr;
      break;
    }
    spare_[n_spare_++] = t;
  }
}

FeatureQueue::~FeatureQueue() {
  delete filling_;
  for (int i = 0; i < count_; ++i) delete ring_[(head_ + i) % ring_cap_];
  delete[] ring_;
  for (int i = 0; i < n_spare_; ++i) delete spare_[i];
}

Tensor<float>* FeatureQueue::take_spare() {
  if (n_spare_ > 0) {
    Tensor<float>* t = spare_[--n_spare_];
    spare_[n_spare_] = nullptr;
    return t;
  }
  return new_chunk();
}

bool FeatureQueue::grow_ring() {
  const int cap = ring_cap_ * 2;
  auto** ring = new (std::nothrow) Tensor<float>*[cap];
  if (!ring) return false;
  for (int i = 0; i < count_; ++i) ring[i] = ring_[(head_ + i) % ring_cap_];
  delete[] ring_;
  ring_ = ring;
  ring_cap_ = cap;
  head_ = 0;
  return true;
}

void FeatureQueue::push(const float* frame80, int /*flag*/) {
  if (!valid()) return;
  std::memcpy(filling_->data + fill_ * kBands, frame80, sizeof(float) * kBands);
  ++fill_;
  if (fill_ < kRows) return;

  Tensor<float>* full = filling_;
  const float* tail = full->data + (kRows - kOverlap) * kBands;
  Tensor<float>* next = nullptr;
  if (count_ < ring_cap_ || grow_ring()) next = take_spare();
  if (!next) {
    // No room for another chunk: drop this one but keep the overlap so the next chunk still
    // starts with the right frames.
    std::memmove(full->data, tail, sizeof(float) * kOverlap * kBands);
    fill_ = kOverlap;
    ++dropped_;
    return;
  }
  full->resize(1, 1, kRows, kBands);
  ring_[(head_ + count_) % ring_cap_] = full;
  ++count_;
  next->resize(1, 1, kRows, kBands);
  std::memcpy(next->data, tail, sizeof(float) * kOverlap * kBands);
  filling_ = next;
  fill_ = kOverlap;
}

Tensor<float>* FeatureQueue::pop() {
  if (count_ == 0) return nullptr;
  Tensor<float>* t = ring_[head_];
  ring_[head_] = nullptr;
  head_ = (head_ + 1) % ring_cap_;
  --count_;
  return t;
}

bool FeatureQueue::recycle(Tensor<float>* chunk) {
  if (!chunk || !chunk->data || chunk->capacity < kChunkFloats) return false;
  // A tensor the queue already owns must not be taken twice.
  if (chunk == filling_) return false;
  for (int i = 0; i < n_spare_; ++i)
    if (spare_[i] == chunk) return false;
  for (int i = 0; i < count_; ++i)
    if (ring_[(head_ + i) % ring_cap_] == chunk) return false;
  if (n_spare_ == kMaxSpare) {
    delete chunk;
    return true;
  }
  spare_[n_spare_++] = chunk;
  return true;
}

}  // namespace mvsdk::engine
