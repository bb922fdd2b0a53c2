#pragma once
// The kit's one log sink for plain lines. stderr by default; a host may replace or silence it.
// The library never prints anywhere else.
#include <functional>
#include <string_view>

namespace mvsdk::platform {

using LogSink = std::function<void(std::string_view line)>;

// Replaces the sink (an empty function silences the log). Safe from any thread.
void log_set_sink(LogSink sink);
// Restores the default sink (stderr).
void log_reset_sink();
// True when a sink is set. Callers on the audio path test this before formatting anything.
bool log_enabled();
// Writes one line (without its line break) to the sink.
void log_line(std::string_view line);

}  // namespace mvsdk::platform
