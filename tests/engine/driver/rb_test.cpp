#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "engine/driver/rb.h"

using namespace mvsdk::engine;

namespace {
struct RingDeleter {
  void operator()(RingBuffer* rb) const { rb_release(rb); }
};
using Ring = std::unique_ptr<RingBuffer, RingDeleter>;
}  // namespace

TEST(ByteRing, WriteReadShiftShortWriteAndNullRing) {
  Ring rb(rb_init(16));
  ASSERT_TRUE(rb);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(rb->buf) % 32, 0u);
  const char msg[] = "abcdefghijklmnopqrstuvwxyz";
  EXPECT_EQ(rb_write(rb.get(), msg, 0), 0);
  EXPECT_EQ(rb_write(rb.get(), msg, 10), 10);
  EXPECT_TRUE(rb_used_size(rb.get()) == 10 && rb_free_size(rb.get()) == 6);
  EXPECT_EQ(rb_read(rb.get(), 11), nullptr);
  // Read 8, consume only 3: the overlap stays for the next read.
  const std::uint8_t* p = rb_read_and_shift(rb.get(), 8, 3);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(std::memcmp(p, "abcdefgh", 8), 0);
  p = rb_read(rb.get(), 7);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(std::memcmp(p, "defghij", 7), 0);
  // Free space is 16 - 10 + 3 = 9: a 12-byte write stores 9 and drops the rest.
  EXPECT_EQ(rb_write(rb.get(), "0123456789AB", 12), 9);
  EXPECT_TRUE(rb->rd == 0 && rb->wr == 16);  // unread bytes were moved to the front
  p = rb_read(rb.get(), 16);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(std::memcmp(p, "defghij012345678", 16), 0);
  EXPECT_EQ(rb_free_size(rb.get()), 0);
  // A null ring is harmless.
  EXPECT_TRUE(rb_free_size(nullptr) == 0 && rb_used_size(nullptr) == 0 && rb_write(nullptr, "x", 1) == 0);
  EXPECT_TRUE(rb_read(nullptr, 0) == nullptr && rb_read_and_shift(nullptr, 1, 1) == nullptr);
  rb_shift(nullptr, 1);
  rb_reset(nullptr);
  rb_release(nullptr);
}
