#pragma once
// SpscRing: a bounded single-producer / single-consumer ring of trivially copyable values. The
// storage is allocated once (init, off the audio path); writes and reads never allocate, never
// lock and never wait. The producer owns the head index, the consumer the tail index; each
// publishes its own with a release store and reads the other's with an acquire load.
//
// "Single" is per moment, not per thread: several threads may take turns as the producer (or the
// consumer) as long as something orders their turns (a mutex they hold while producing, for
// instance). Two producers (or two consumers) at the same time are a data race.
//
// A consumer-side flush may be requested by the producer (flush_from_producer): everything
// written before the request is dropped by the consumer's next call, everything written after it
// is kept.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>

namespace mvsdk::bridge {

template <class T>
class SpscRing {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  SpscRing() = default;
  SpscRing(const SpscRing&) = delete;
  SpscRing& operator=(const SpscRing&) = delete;

  // Allocates room for capacity values; false when the memory cannot be had. Not concurrent with
  // anything else.
  bool init(std::size_t capacity) {
    data_.reset(new (std::nothrow) T[capacity]);
    capacity_ = data_ ? capacity : 0;
    // Touched now, so the audio path never takes a page fault on a first use.
    if (data_) std::memset(static_cast<void*>(data_.get()), 0, capacity * sizeof(T));
    head_.store(0, std::memory_order_relaxed);
    tail_.store(0, std::memory_order_relaxed);
    flush_to_.store(0, std::memory_order_relaxed);
    flush_seq_.store(0, std::memory_order_relaxed);
    seen_flush_ = 0;
    return data_ != nullptr;
  }
  std::size_t capacity() const { return capacity_; }

  // --- producer ---

  // Room for values, as the producer sees it (the consumer may free more meanwhile).
  std::size_t free_space() const {
    return capacity_ - static_cast<std::size_t>(head_.load(std::memory_order_relaxed) -
                                                tail_.load(std::memory_order_acquire));
  }
  // Stores all n values, or none when they do not fit (returns false).
  bool write(const T* src, std::size_t n) {
    if (n > free_space()) return false;
    const std::uint64_t head = head_.load(std::memory_order_relaxed);
    copy_in(head, src, n);
    head_.store(head + n, std::memory_order_release);
    return true;
  }
  // Stores n values made by fill(T* dst, std::size_t count) in at most two calls (the ring's end
  // splits them), or nothing when they do not fit.
  template <class Fill>
  bool write_with(std::size_t n, Fill&& fill) {
    if (n > free_space()) return false;
    const std::uint64_t head = head_.load(std::memory_order_relaxed);
    const std::size_t at = static_cast<std::size_t>(head % capacity_);
    const std::size_t first = std::min(n, capacity_ - at);
    fill(data_.get() + at, first, std::size_t{0});
    if (n > first) fill(data_.get(), n - first, first);
    head_.store(head + n, std::memory_order_release);
    return true;
  }
  // Everything written so far is dropped by the consumer's next call.
  void flush_from_producer() {
    flush_to_.store(head_.load(std::memory_order_relaxed), std::memory_order_relaxed);
    flush_seq_.fetch_add(1, std::memory_order_release);
  }

  // --- consumer ---

  // Values ready to read (after a pending flush is applied).
  std::size_t size() {
    apply_flush();
    return static_cast<std::size_t>(head_.load(std::memory_order_acquire) - tail_.load(std::memory_order_relaxed));
  }
  // Reads exactly n values into dst, or nothing when fewer are ready (returns false).
  bool read(T* dst, std::size_t n) {
    if (n > size()) return false;
    const std::uint64_t tail = tail_.load(std::memory_order_relaxed);
    copy_out(tail, dst, n);
    tail_.store(tail + n, std::memory_order_release);
    return true;
  }
  // The value at the front without consuming it; false when empty.
  bool peek(T& out) {
    if (size() == 0) return false;
    copy_out(tail_.load(std::memory_order_relaxed), &out, 1);
    return true;
  }
  // Copies n values starting offset values behind the front, without consuming (the caller has
  // checked that they are there).
  void peek_at(std::size_t offset, T* dst, std::size_t n) const {
    copy_out(tail_.load(std::memory_order_relaxed) + offset, dst, n);
  }
  // Drops n values from the front (the caller has checked that they are there).
  void drop(std::size_t n) { tail_.store(tail_.load(std::memory_order_relaxed) + n, std::memory_order_release); }
  // Drops everything ready.
  void clear() { drop(size()); }

  // Values in the ring as any thread sees it (a snapshot for reports; may be stale).
  std::size_t approx_size() const {
    const std::uint64_t head = head_.load(std::memory_order_acquire);
    const std::uint64_t tail = tail_.load(std::memory_order_acquire);
    return head > tail ? static_cast<std::size_t>(head - tail) : 0;
  }

 private:
  void apply_flush() {
    const std::uint64_t seq = flush_seq_.load(std::memory_order_acquire);
    if (seq == seen_flush_) return;
    seen_flush_ = seq;
    const std::uint64_t to = flush_to_.load(std::memory_order_relaxed);
    if (to > tail_.load(std::memory_order_relaxed)) tail_.store(to, std::memory_order_release);
  }
  void copy_in(std::uint64_t pos, const T* src, std::size_t n) {
    if (n == 0) return;  // src may be null then
    const std::size_t at = static_cast<std::size_t>(pos % capacity_);
    const std::size_t first = std::min(n, capacity_ - at);
    std::memcpy(data_.get() + at, src, first * sizeof(T));
    if (n > first) std::memcpy(data_.get(), src + first, (n - first) * sizeof(T));
  }
  void copy_out(std::uint64_t pos, T* dst, std::size_t n) const {
    if (n == 0) return;
    const std::size_t at = static_cast<std::size_t>(pos % capacity_);
    const std::size_t first = std::min(n, capacity_ - at);
    std::memcpy(dst, data_.get() + at, first * sizeof(T));
    if (n > first) std::memcpy(dst + first, data_.get(), (n - first) * sizeof(T));
  }

  std::unique_ptr<T[]> data_;
  std::size_t capacity_ = 0;
  alignas(64) std::atomic<std::uint64_t> head_{0};  // producer
  alignas(64) std::atomic<std::uint64_t> tail_{0};  // consumer
  std::atomic<std::uint64_t> flush_to_{0};
  std::atomic<std::uint64_t> flush_seq_{0};
  std::uint64_t seen_flush_ = 0;  // consumer
};

}  // namespace mvsdk::bridge
