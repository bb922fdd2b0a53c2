#include "platform/log.h"

#include <pthread.h>
#include <semaphore.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <utility>

namespace mvsdk::platform {
namespace {

constexpr std::size_t kSlotText = kLogLineMax + 1;  // vsnprintf writes a terminating NUL

// One queued line: 1 KiB with its header, so the queue takes 256 KiB. seq says whose turn the
// slot is, relative to the lap: for queue position p in this slot (lap = p - p % kLogSlots) it is
// lap while the slot is free for p, lap + 1 once p's line is written, and lap + kLogSlots once
// the log thread is done with it (free for p + kLogSlots).
// Counting from the lap rather than from p keeps the all-zero state valid, so the queue needs no
// construction at all.
struct alignas(64) Slot {
  std::atomic<std::uint64_t> seq{0};
  std::uint16_t length{0};
  Level level{Level::kOff};
  char text[kSlotText]{};
};
static_assert(sizeof(Slot) == 1024);

// What producers touch. Constant-initialised and trivially destructible: it exists before any
// code runs and is never torn down, so lines logged during static destruction or at exit are
// harmless. All zero, so it lands in .bss rather than in the binary.
struct Queue {
  Slot slots[kLogSlots];
  alignas(64) std::atomic<std::uint64_t> tail{0};  // next position a producer claims
};
constinit Queue g_queue;

struct Flags {
  std::atomic<std::uint8_t> threshold{static_cast<std::uint8_t>(Level::kInfo)};
  std::atomic<bool> sink_set{true};
  std::atomic<int> started{0};                  // 0 no log thread, 1 being started, 2 running
  std::atomic<std::uint64_t> dropped{0};        // lines refused for want of a slot
  alignas(64) std::atomic<std::uint64_t> reported{0};  // of those, how many the log thread reported
  std::atomic<std::uint64_t> done{0};           // queue positions the log thread is through with
};
constinit Flags g_flags;

void stderr_sink(Level, std::string_view line) {
  // Line and break under stdio's stream lock, without building a joined copy of the text.
  flockfile(stderr);
  fwrite_unlocked(line.data(), 1, line.size(), stderr);
  fputc_unlocked('\n', stderr);
  funlockfile(stderr);
}

// What only the log thread and the control calls use. Made once and leaked on purpose (the log
// thread runs until the process ends).
struct Consumer {
  Consumer() { sem_init(&wake, 0, 0); }
  sem_t wake;  // posted by producers after each line; the log thread sleeps on it
  std::mutex sink_mutex;  // guards only the pointer copy
  std::shared_ptr<const LogSink> sink = std::make_shared<const LogSink>(stderr_sink);
  std::mutex flush_mutex;
  std::condition_variable flushed;
  std::atomic<int> flush_waiters{0};
};

Consumer& consumer() {
  static Consumer* c = new Consumer();
  return *c;
}

thread_local bool tls_on_log_thread = false;

void deliver(Consumer& c, Level level, std::string_view line) noexcept {
  std::shared_ptr<const LogSink> sink;
  {
    std::lock_guard<std::mutex> lock(c.sink_mutex);
    sink = c.sink;
  }
  if (!sink || !*sink) return;
  try {
    (*sink)(level, line);
  } catch (...) {
    // A sink that throws loses its line; the log thread goes on.
  }
}

void notify_flushers(Consumer& c) {
  if (c.flush_waiters.load(std::memory_order_seq_cst) == 0) return;
  std::lock_guard<std::mutex> lock(c.flush_mutex);
  c.flushed.notify_all();
}

void report_drops(Consumer& c) {
  const std::uint64_t dropped = g_flags.dropped.load(std::memory_order_seq_cst);
  const std::uint64_t reported = g_flags.reported.load(std::memory_order_relaxed);
  if (dropped == reported) return;
  char line[96];
  const int n = std::snprintf(line, sizeof line, "log: %llu lines dropped, the log queue was full",
                              static_cast<unsigned long long>(dropped - reported));
  deliver(c, Level::kError, std::string_view(line, n > 0 ? static_cast<std::size_t>(n) : 0));
  g_flags.reported.store(dropped, std::memory_order_seq_cst);
  notify_flushers(c);
}

// Delivers the line at position head if it is written; false when the queue is empty there (or
// its producer is still writing it: that producer posts when done).
bool deliver_next(Consumer& c, std::uint64_t& head) {
  Slot& s = g_queue.slots[head % kLogSlots];
  const std::uint64_t lap = head - head % kLogSlots;
  if (s.seq.load(std::memory_order_seq_cst) != lap + 1) return false;
  deliver(c, s.level, std::string_view(s.text, s.length));
  s.seq.store(lap + kLogSlots, std::memory_order_release);
  g_flags.done.store(++head, std::memory_order_seq_cst);
  notify_flushers(c);
  return true;
}

void run_log_thread() {
  tls_on_log_thread = true;
  pthread_setname_np(pthread_self(), "mvsdk.log");
  Consumer& c = consumer();
  std::uint64_t head = g_flags.done.load(std::memory_order_relaxed);
  for (;;) {
    // Drops are reported once the queue has run empty, after the lines that were queued; under a
    // steady stream that never lets it run empty, at the latest a lap after they were noticed.
    std::size_t since_noticed = 0;
    while (deliver_next(c, head)) {
      if (since_noticed > 0 || g_flags.dropped.load(std::memory_order_relaxed) !=
                                   g_flags.reported.load(std::memory_order_relaxed)) {
        if (++since_noticed > kLogSlots) {
          report_drops(c);
          since_noticed = 0;
        }
      }
    }
    report_drops(c);
    while (sem_wait(&c.wake) != 0 && errno == EINTR) {
    }
  }
}

// Starts the log thread unless it runs or another thread is starting it. Allocates (the consumer
// state and the thread); called once per process in practice.
void try_start() noexcept {
  int expected = 0;
  if (!g_flags.started.compare_exchange_strong(expected, 1, std::memory_order_seq_cst)) return;
  try {
    Consumer& c = consumer();
    std::thread(run_log_thread).detach();
    g_flags.started.store(2, std::memory_order_seq_cst);
    sem_post(&c.wake);  // lines queued while starting
  } catch (...) {
    g_flags.started.store(0, std::memory_order_seq_cst);  // a later line tries again
  }
}

// Takes a free slot for one line, or counts the line as dropped and returns null.
Slot* claim(std::uint64_t& pos) noexcept {
  std::uint64_t p = g_queue.tail.load(std::memory_order_relaxed);
  for (;;) {
    Slot& s = g_queue.slots[p % kLogSlots];
    const std::uint64_t lap = p - p % kLogSlots;
    const std::uint64_t seq = s.seq.load(std::memory_order_acquire);
    if (seq == lap) {
      if (g_queue.tail.compare_exchange_weak(p, p + 1, std::memory_order_relaxed)) {
        pos = p;
        return &s;
      }
    } else if (seq < lap) {
      // The line of the previous lap is still in the slot: the queue is full.
      g_flags.dropped.fetch_add(1, std::memory_order_relaxed);
      return nullptr;
    } else {
      p = g_queue.tail.load(std::memory_order_relaxed);  // another producer took p
    }
  }
}

void publish(Slot& s, std::uint64_t pos, Level level, std::size_t length) noexcept {
  s.level = level;
  s.length = static_cast<std::uint16_t>(length);
  const std::uint64_t written = pos - pos % kLogSlots + 1;
  if (g_flags.started.load(std::memory_order_acquire) == 2) {
    s.seq.store(written, std::memory_order_release);
    sem_post(&consumer().wake);
    return;
  }
  // Not running yet. Both sides sequentially consistent: either this producer sees the thread
  // running and posts, or the starter's post comes after this line is visible.
  s.seq.store(written, std::memory_order_seq_cst);
  const int started = g_flags.started.load(std::memory_order_seq_cst);
  if (started == 2)
    sem_post(&consumer().wake);
  else if (started == 0)
    try_start();
}

// Length of the longest prefix of text[0..max) that ends on a UTF-8 character boundary, given
// that text continues past max.
std::size_t boundary_before(const char* text, std::size_t max) {
  while (max > 0 && (static_cast<unsigned char>(text[max]) & 0xC0) == 0x80) --max;
  return max;
}

// Cuts a slot's text that did not fit to kLogLineMax bytes, ending with the marker.
std::size_t cut(char* text, std::size_t keep) {
  std::memcpy(text + keep, kLogCutMarker.data(), kLogCutMarker.size());
  return keep + kLogCutMarker.size();
}

constexpr std::size_t kKeepWhenCut = kLogLineMax - kLogCutMarker.size();

}  // namespace

void log_start() {
  try_start();
  // Another thread may be starting it; wait for that (control calls only, never producers).
  while (g_flags.started.load(std::memory_order_acquire) == 1) std::this_thread::yield();
}

void log_set_sink(LogSink sink) {
  log_start();
  Consumer& c = consumer();
  const bool enabled = static_cast<bool>(sink);
  auto next = enabled ? std::make_shared<const LogSink>(std::move(sink)) : nullptr;
  std::shared_ptr<const LogSink> old;
  {
    std::lock_guard<std::mutex> lock(c.sink_mutex);
    old = std::exchange(c.sink, std::move(next));
    g_flags.sink_set.store(enabled, std::memory_order_relaxed);
  }
  // old is released here, outside the lock (its captures may do anything when destroyed).
}

void log_reset_sink() { log_set_sink(LogSink(stderr_sink)); }

void log_set_level(Level threshold) {
  g_flags.threshold.store(static_cast<std::uint8_t>(threshold), std::memory_order_relaxed);
}

Level log_level() { return static_cast<Level>(g_flags.threshold.load(std::memory_order_relaxed)); }

bool log_enabled(Level level) {
  return level != Level::kOff &&
         static_cast<std::uint8_t>(level) <= g_flags.threshold.load(std::memory_order_relaxed) &&
         g_flags.sink_set.load(std::memory_order_relaxed);
}

void log_line(Level level, std::string_view line) {
  if (!log_enabled(level)) return;
  std::uint64_t pos = 0;
  Slot* s = claim(pos);
  if (!s) return;
  std::size_t length = line.size();
  if (length <= kLogLineMax) {
    std::memcpy(s->text, line.data(), length);
  } else {
    const std::size_t keep = boundary_before(line.data(), kKeepWhenCut);
    std::memcpy(s->text, line.data(), keep);
    length = cut(s->text, keep);
  }
  publish(*s, pos, level, length);
}

void log_printf(Level level, const char* fmt, ...) {
  if (!log_enabled(level)) return;
  std::uint64_t pos = 0;
  Slot* s = claim(pos);
  if (!s) return;
  va_list ap;
  va_start(ap, fmt);
  const int n = std::vsnprintf(s->text, kSlotText, fmt, ap);
  va_end(ap);
  std::size_t length = 0;
  if (n < 0) {
    constexpr std::string_view kBad = "log: a line could not be formatted";
    std::memcpy(s->text, kBad.data(), kBad.size());
    length = kBad.size();
  } else if (static_cast<std::size_t>(n) <= kLogLineMax) {
    length = static_cast<std::size_t>(n);
  } else {
    length = cut(s->text, boundary_before(s->text, kKeepWhenCut));
  }
  publish(*s, pos, level, length);
}

bool log_flush(std::chrono::milliseconds timeout) {
  if (tls_on_log_thread) return false;
  const std::uint64_t target = g_queue.tail.load(std::memory_order_seq_cst);
  const std::uint64_t dropped = g_flags.dropped.load(std::memory_order_seq_cst);
  auto flushed = [&] {
    return g_flags.done.load(std::memory_order_seq_cst) >= target &&
           g_flags.reported.load(std::memory_order_seq_cst) >= dropped;
  };
  if (flushed()) return true;
  log_start();
  if (g_flags.started.load(std::memory_order_acquire) != 2) return false;
  Consumer& c = consumer();
  c.flush_waiters.fetch_add(1, std::memory_order_seq_cst);
  sem_post(&c.wake);  // in case only a drop report is outstanding
  bool ok = false;
  {
    std::unique_lock<std::mutex> lock(c.flush_mutex);
    ok = c.flushed.wait_for(lock, timeout, flushed);
  }
  c.flush_waiters.fetch_sub(1, std::memory_order_seq_cst);
  return ok;
}

std::uint64_t log_dropped_lines() { return g_flags.dropped.load(std::memory_order_relaxed); }

}  // namespace mvsdk::platform
