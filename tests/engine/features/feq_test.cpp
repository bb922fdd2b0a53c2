#include "engine/features/feq.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/alloc_counter.h"

namespace mvsdk::engine {
namespace {

// Frame number f carries the value f + band / 100 in band `band`, so rows identify their frame.
std::vector<float> frame_of(int f) {
  std::vector<float> v(FeatureQueue::kBands);
  for (int b = 0; b < FeatureQueue::kBands; ++b) v[b] = static_cast<float>(f) + b / 100.0f;
  return v;
}

void expect_row_is_frame(const Tensor<float>* t, int row, int f) {
  const std::vector<float> want = frame_of(f);
  for (int b = 0; b < FeatureQueue::kBands; ++b) {
    ASSERT_EQ(t->data[row * FeatureQueue::kBands + b], want[b]) << "row " << row << " frame " << f;
  }
}

TEST(FeatureQueue, ChunksOverlapByThreeFrames) {
  FeatureQueue q;
  ASSERT_TRUE(q.valid());
  EXPECT_EQ(q.pop(), nullptr);
  int f = 0;
  for (; f < 18; ++f) q.push(frame_of(f).data(), 1);
  EXPECT_EQ(q.size(), 0);
  EXPECT_EQ(q.fill(), 18);
  q.push(frame_of(f++).data(), 1);
  EXPECT_EQ(q.size(), 1);
  EXPECT_EQ(q.fill(), 3);
  // Every 16 further frames complete one more chunk.
  for (int i = 0; i < 16 + 16; ++i) q.push(frame_of(f++).data(), 1);
  ASSERT_EQ(q.size(), 3);

  int first = 0;
  for (int c = 0; c < 3; ++c) {
    Tensor<float>* t = q.pop();
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->shape[0], 1);
    EXPECT_EQ(t->shape[1], 1);
    EXPECT_EQ(t->shape[2], 19);
    EXPECT_EQ(t->shape[3], 80);
    EXPECT_EQ(t->size, 19 * 80);
    for (int r = 0; r < 19; ++r) expect_row_is_frame(t, r, first + r);
    first += 16;
    delete t;  // the caller owns popped chunks
  }
  EXPECT_EQ(q.pop(), nullptr);
  EXPECT_EQ(q.dropped(), 0);
}

TEST(FeatureQueue, ResetRestartsFillingButKeepsWaitingChunks) {
  FeatureQueue q;
  for (int f = 0; f < 19 + 5; ++f) q.push(frame_of(f).data(), 1);
  ASSERT_EQ(q.size(), 1);
  q.reset();
  EXPECT_EQ(q.fill(), 0);
  EXPECT_EQ(q.size(), 1);
  // After the reset a chunk needs 19 new frames again and carries no overlap.
  for (int f = 100; f < 118; ++f) q.push(frame_of(f).data(), 1);
  EXPECT_EQ(q.size(), 1);
  q.push(frame_of(118).data(), 1);
  ASSERT_EQ(q.size(), 2);
  Tensor<float>* a = q.pop();
  Tensor<float>* b = q.pop();
  expect_row_is_frame(a, 0, 0);
  for (int r = 0; r < 19; ++r) expect_row_is_frame(b, r, 100 + r);
  delete a;
  delete b;
}

TEST(FeatureQueue, RecycledChunksKeepPushesFreeOfAllocation) {
  FeatureQueue q;
  // Many waiting chunks first: the waiting room grows beyond its initial 8.
  int f = 0;
  for (; f < 19 + 16 * 11; ++f) q.push(frame_of(f).data(), 1);
  ASSERT_EQ(q.size(), 12);
  int first = 0;
  while (Tensor<float>* t = q.pop()) {
    expect_row_is_frame(t, 0, first);
    expect_row_is_frame(t, 18, first + 18);
    first += 16;
    EXPECT_TRUE(q.recycle(t));
  }
  const std::vector<float> frame = frame_of(7);
  test::AllocationGuard guard;
  for (int i = 0; i < 16 * 50; ++i) {
    q.push(frame.data(), 1);
    if (Tensor<float>* t = q.pop()) {
      t->resize(1, 1, 2, 80);  // whatever the consumer did with the shape
      EXPECT_TRUE(q.recycle(t));
    }
  }
  EXPECT_EQ(guard.count(), 0u);
}

TEST(FeatureQueue, RecycleRejectsWhatItCannotOwn) {
  FeatureQueue q;
  EXPECT_FALSE(q.recycle(nullptr));
  auto* small = new Tensor<float>(18, 80);
  EXPECT_FALSE(q.recycle(small));
  delete small;
  for (int f = 0; f < 19; ++f) q.push(frame_of(f).data(), 1);
  Tensor<float>* t = q.pop();
  ASSERT_NE(t, nullptr);
  EXPECT_TRUE(q.recycle(t));
  EXPECT_FALSE(q.recycle(t));  // already back in the pool
  // A bigger tensor is fine and gets used with the chunk shape.
  auto* big = new Tensor<float>(40, 80);
  EXPECT_TRUE(q.recycle(big));
}

}  // namespace
}  // namespace mvsdk::engine
