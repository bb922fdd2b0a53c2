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

void push_frames(FeatureQueue& q, int first, int end) {
  for (int f = first; f < end; ++f) q.push(frame_of(f).data(), 1);
}

void expect_rows(const Tensor<float>* t, int first_frame) {
  ASSERT_NE(t, nullptr);
  EXPECT_TRUE(t->shape[0] == 1 && t->shape[1] == 1 && t->shape[2] == 19 && t->shape[3] == 80);
  for (int r = 0; r < 19; ++r) {
    const std::vector<float> want = frame_of(first_frame + r);
    for (int b = 0; b < FeatureQueue::kBands; ++b) ASSERT_EQ(t->data[r * 80 + b], want[b]) << r;
  }
}

TEST(FeatureQueue, ChunksOverlapByThreeFramesAndResetKeepsWaitingChunks) {
  FeatureQueue q;
  ASSERT_TRUE(q.valid());
  EXPECT_EQ(q.pop(), nullptr);
  push_frames(q, 0, 18);
  EXPECT_TRUE(q.size() == 0 && q.fill() == 18);
  push_frames(q, 18, 19);
  EXPECT_TRUE(q.size() == 1 && q.fill() == 3);
  push_frames(q, 19, 19 + 32);  // every 16 further frames complete one more chunk
  ASSERT_EQ(q.size(), 3);
  // reset forgets the partial chunk but keeps those waiting; the next needs 19 new frames.
  push_frames(q, 51, 56);
  q.reset();
  EXPECT_EQ(q.fill(), 0);
  push_frames(q, 100, 119);
  ASSERT_EQ(q.size(), 4);
  for (int first : {0, 16, 32, 100}) {
    Tensor<float>* t = q.pop();
    expect_rows(t, first);
    delete t;  // the caller owns popped chunks
  }
  EXPECT_TRUE(q.pop() == nullptr && q.dropped() == 0);
}

TEST(FeatureQueue, RecycledChunksKeepPushesFreeOfAllocation) {
  FeatureQueue q;
  // Many waiting chunks first: the waiting room grows beyond its initial 8.
  push_frames(q, 0, 19 + 16 * 11);
  ASSERT_EQ(q.size(), 12);
  for (int first = 0; Tensor<float>* t = q.pop(); first += 16) {
    expect_rows(t, first);
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
  push_frames(q, 0, 19);
  Tensor<float>* t = q.pop();
  ASSERT_NE(t, nullptr);
  EXPECT_TRUE(q.recycle(t));
  EXPECT_FALSE(q.recycle(t));  // already back in the pool
  EXPECT_TRUE(q.recycle(new Tensor<float>(40, 80)));  // a bigger one is used with the chunk shape
}

}  // namespace
}  // namespace mvsdk::engine
