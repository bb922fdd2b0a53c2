// The host's control of the kit's log (include/mvsdk/log.h) over the platform log.
#include <string>
#include <utility>

#include "mvsdk/log.h"
#include "platform/log.h"

namespace mvsdk {
namespace {

platform::Level to_platform(LogLevel level) {
  switch (level) {
    case LogLevel::off: return platform::Level::kOff;
    case LogLevel::error: return platform::Level::kError;
    case LogLevel::info: return platform::Level::kInfo;
    case LogLevel::debug: return platform::Level::kDebug;
  }
  return platform::Level::kOff;  // a value outside the enumeration
}

LogLevel to_public(platform::Level level) {
  switch (level) {
    case platform::Level::kOff: return LogLevel::off;
    case platform::Level::kError: return LogLevel::error;
    case platform::Level::kInfo: return LogLevel::info;
    case platform::Level::kDebug: return LogLevel::debug;
  }
  return LogLevel::off;
}

}  // namespace

void setLogLevel(LogLevel level) {
  platform::log_start();
  platform::log_set_level(to_platform(level));
}

LogLevel logLevel() { return to_public(platform::log_level()); }

void setLogSink(LogSink sink) {
  if (!sink) return platform::log_reset_sink();
  try {
    // Runs on the log thread, where building the string is allowed; the buffer is reused.
    platform::log_set_sink([sink = std::move(sink), text = std::string()](platform::Level level,
                                                                          std::string_view line) mutable {
      text.assign(line);
      sink(to_public(level), text);
    });
  } catch (...) {
    // Out of memory while copying the sink: the previous one stays.
  }
}

bool flushLog(std::chrono::milliseconds timeout) { return platform::log_flush(timeout); }

}  // namespace mvsdk
