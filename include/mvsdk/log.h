#pragma once
// The kit's log lines, in the host's hands: how much is logged, where the lines go, and waiting
// for them at exit.
//
// Levels: errors (failures of any kind), info (lifecycle steps: the engine starting and stopping,
// downloads, voice changes) and debug (a line for every audio buffer converted, and other detail).
// The default, LogLevel::info, logs errors and lifecycle steps and nothing per buffer. Each line
// is plain text without a line break, at most 1007 bytes (a longer one is cut and ends in
// " [cut]"). The text of a line is meant for people, not part of the API contract.
//
// Threads: lines are written to a bounded queue by whichever thread logs (the host's audio thread
// included: that costs no allocation, no lock and no waiting) and delivered one at a time, in
// order, on the kit's own log thread. When the queue is full a line is dropped, and the log thread
// later delivers one error line saying how many were dropped. All three calls below may be made
// from any thread at any time.
//
// Nothing here throws.
#include <chrono>
#include <functional>
#include <string>

namespace mvsdk {

enum class LogLevel { off = 0, error = 1, info = 2, debug = 3 };

// Receives the kit's log lines. Called on the kit's log thread only, never on the thread that
// logged, one line at a time. A sink that blocks holds up every later line (and, once the queue
// is full, makes lines drop), so hand slow work to your own threads. Exceptions are caught and
// the line is lost.
using LogSink = std::function<void(LogLevel level, const std::string& line)>;

// Lines of this level and the more severe ones are logged; off logs nothing. Process-wide.
// Takes effect for lines logged after the call.
void setLogLevel(LogLevel level);
LogLevel logLevel();

// Replaces the destination of the lines, process-wide; an empty function restores the default
// (each line and a line break to stderr). Lines already queued go to whichever sink is in place
// when the log thread reaches them; call flushLog first to keep them with the old one.
// Ownership: the kit keeps a copy of the sink until it is replaced. The previous sink may still be
// finishing a line when this returns; once a later flushLog returns true it is no longer called,
// so whatever it captures may then be destroyed.
void setLogSink(LogSink sink);

// Waits until every line logged before the call has been delivered (call it before the process
// exits, or before a sink's captures go away). True when done, false when the timeout ran out
// first, and false at once when called from inside a sink.
bool flushLog(std::chrono::milliseconds timeout = std::chrono::seconds(2));

}  // namespace mvsdk
