#pragma once
// Byte ring: a linear buffer with read and write offsets. Unread bytes are always the contiguous
// bytes buf[rd, wr); instead of wrapping, a write that would run past the end first moves the
// unread bytes to the front. Invariant: 0 <= rd <= wr <= cap.
//
// Sizes are in bytes. A null ring yields 0 (or null) and does nothing. Not thread-safe: callers
// serialise access (the engine guards its output ring with a short copy lock).
#include <cstdint>

namespace mvsdk::engine {

struct RingBuffer {
  std::int32_t rd;
  std::int32_t wr;
  std::int32_t cap;
  std::uint8_t* buf;  // 32-byte aligned, cap bytes
};

// Allocates a ring of cap bytes; null if an allocation fails (nothing is leaked).
RingBuffer* rb_init(int cap);
int rb_free_size(const RingBuffer* rb);
int rb_used_size(const RingBuffer* rb);
// Stores min(n, free size) bytes of src and returns that count (0 for n < 1): a short write
// drops the rest. Moves the unread bytes to the front first when they would not fit behind wr.
int rb_write(RingBuffer* rb, const void* src, int n);
// Pointer to the unread bytes if at least n are there, else null. Does not consume.
const std::uint8_t* rb_read(const RingBuffer* rb, int n);
// Consumes n bytes (the caller has checked that they are there).
void rb_shift(RingBuffer* rb, int n);
// rb_read(n) and, when it succeeded, rb_shift(m). The pointer stays valid until the next write.
const std::uint8_t* rb_read_and_shift(RingBuffer* rb, int n, int m);
void rb_reset(RingBuffer* rb);
// Resets, then releases the block and the record.
void rb_release(RingBuffer* rb);

}  // namespace mvsdk::engine
