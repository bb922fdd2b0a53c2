#include "engine/driver/rb.h"

#include <cstdlib>
#include <cstring>

#include "engine/core/alignmm.h"

namespace mvsdk::engine {

RingBuffer* rb_init(int cap) {
  if (cap < 0) return nullptr;
  auto* rb = static_cast<RingBuffer*>(std::malloc(sizeof(RingBuffer)));
  if (!rb) return nullptr;
  rb->buf = static_cast<std::uint8_t*>(aligned_malloc(32, static_cast<std::uint64_t>(cap) + 1));
  if (!rb->buf) {
    std::free(rb);
    return nullptr;
  }
  rb->rd = 0;
  rb->wr = 0;
  rb->cap = cap;
  return rb;
}

int rb_free_size(const RingBuffer* rb) { return rb ? rb->cap - rb->wr + rb->rd : 0; }

int rb_used_size(const RingBuffer* rb) { return rb ? rb->wr - rb->rd : 0; }

int rb_write(RingBuffer* rb, const void* src, int n) {
  if (!rb || !src || n < 1) return 0;
  const int free_bytes = rb_free_size(rb);
  const int k = n < free_bytes ? n : free_bytes;
  if (k < 1) return 0;
  if (rb->wr + k > rb->cap) {
    const int used = rb->wr - rb->rd;
    if (used > 0) std::memmove(rb->buf, rb->buf + rb->rd, static_cast<std::size_t>(used));
    rb->wr = used;
    rb->rd = 0;
  }
  std::memcpy(rb->buf + rb->wr, src, static_cast<std::size_t>(k));
  rb->wr += k;
  return k;
}

const std::uint8_t* rb_read(const RingBuffer* rb, int n) {
  if (!rb || n < 0 || rb->wr - rb->rd < n) return nullptr;
  return rb->buf + rb->rd;
}

void rb_shift(RingBuffer* rb, int n) {
  if (!rb || n < 1) return;
  const int used = rb->wr - rb->rd;
  rb->rd += n < used ? n : used;
}

const std::uint8_t* rb_read_and_shift(RingBuffer* rb, int n, int m) {
  const std::uint8_t* p = rb_read(rb, n);
  if (p) rb_shift(rb, m);
  return p;
}

void rb_reset(RingBuffer* rb) {
  if (!rb) return;
  rb->rd = 0;
  rb->wr = 0;
}

void rb_release(RingBuffer* rb) {
  if (!rb) return;
  rb_reset(rb);
  aligned_free(rb->buf);
  std::free(rb);
}

}  // namespace mvsdk::engine
