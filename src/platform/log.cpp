#include "platform/log.h"

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <utility>

namespace mvsdk::platform {
namespace {

// Writes the line and its break under stdio's stream lock, so lines from several threads never
// interleave, and without building a joined copy of the text.
void stderr_sink(std::string_view line) {
  flockfile(stderr);
  fwrite_unlocked(line.data(), 1, line.size(), stderr);
  fputc_unlocked('\n', stderr);
  funlockfile(stderr);
}

// The sink is held through a shared_ptr: a line being written keeps its own reference, so a
// concurrent swap never destroys the function while it runs. The mutex guards only the pointer
// copy. The state is leaked on purpose: worker threads that outlive static destruction (the main
// queue, the timer) may still log at process exit.
struct LogState {
  std::mutex mutex;
  std::shared_ptr<const LogSink> sink = std::make_shared<const LogSink>(stderr_sink);
  std::atomic<bool> enabled{true};
};

LogState& state() {
  static LogState* s = new LogState();
  return *s;
}

void install(LogSink sink) {
  LogState& s = state();
  const bool enabled = static_cast<bool>(sink);
  auto next = enabled ? std::make_shared<const LogSink>(std::move(sink)) : nullptr;
  std::shared_ptr<const LogSink> old;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    old = std::exchange(s.sink, std::move(next));
    s.enabled.store(enabled, std::memory_order_release);
  }
  // old is released here, outside the lock (its captures may do anything when destroyed).
}

}  // namespace

void log_set_sink(LogSink sink) { install(std::move(sink)); }

void log_reset_sink() { install(LogSink(stderr_sink)); }

bool log_enabled() { return state().enabled.load(std::memory_order_acquire); }

void log_line(std::string_view line) {
  LogState& s = state();
  if (!s.enabled.load(std::memory_order_acquire)) return;
  std::shared_ptr<const LogSink> sink;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    sink = s.sink;
  }
  if (!sink) return;
  try {
    (*sink)(line);
  } catch (...) {
    // A host sink that throws loses its line; the caller is never disturbed.
  }
}

}  // namespace mvsdk::platform
