#pragma once
// The kit's log: plain lines with a level, delivered to one sink (stderr by default) on the kit's
// own log thread. The library never prints anywhere else.
//
// Producers (any thread, the host's audio thread included) never wait, lock or allocate: a line
// is formatted straight into one of kLogSlots preallocated slots of a lock-free queue, and the log
// thread is woken with sem_post. When every slot is taken the line is dropped and counted; the log
// thread later delivers one line saying how many were dropped. The one exception is the first
// line of the process, which starts the log thread; the kit calls log_start() while it is set up
// (and the tests before they count allocations), so no audio-path line is ever that first one.
//
// Lines keep their text as given, without a line break. A line longer than kLogLineMax bytes is
// cut to kLogLineMax bytes ending in kLogCutMarker (never inside a UTF-8 sequence).
//
// The sink runs on the log thread only, one line at a time, in the order the slots were taken.
// The state is never destroyed: threads that outlive static destruction may still log at exit,
// and lines still queued then are lost without harm.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

namespace mvsdk::platform {

// Log levels, most severe first. A threshold of kOff lets nothing through.
enum class Level : std::uint8_t { kOff = 0, kError = 1, kInfo = 2, kDebug = 3 };

inline constexpr std::size_t kLogSlots = 256;
inline constexpr std::size_t kLogLineMax = 1007;  // bytes of text one slot holds
inline constexpr std::string_view kLogCutMarker = " [cut]";

using LogSink = std::function<void(Level level, std::string_view line)>;

// Starts the log thread if it is not running yet (the first line would otherwise start it).
void log_start();

// Replaces the sink (an empty function silences the log). Lines already queued go to whichever
// sink is in place when the log thread reaches them; log_flush() first to keep them with the old
// one. Safe from any thread; after the next successful log_flush() the old sink is no longer called.
void log_set_sink(LogSink sink);
// Restores the default sink (stderr).
void log_reset_sink();

// Lines of a level above the threshold are not queued. Default: kInfo.
void log_set_level(Level threshold);
Level log_level();

// True when a line of this level would be queued (a sink is set and the threshold lets it
// through): two relaxed atomic loads. Audio-path callers test it before computing arguments.
bool log_enabled(Level level);

// Queues one line. Never blocks and never allocates (see above); the text is copied.
void log_line(Level level, std::string_view line);
// Formats one line straight into a slot (vsnprintf, no heap).
void log_printf(Level level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Waits until every line queued before the call (and the report of any line dropped before it)
// has left the sink. False on timeout, and at once when called from the log thread itself.
bool log_flush(std::chrono::milliseconds timeout);

// Lines dropped because the queue was full, since the process started.
std::uint64_t log_dropped_lines();

}  // namespace mvsdk::platform
