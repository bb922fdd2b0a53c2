#pragma once
// mvsdk-live's run: brings up the JACK client and the kit, converts live until told to stop, and
// answers the commands read from standard input.
#include <atomic>

#include "options.h"

namespace mvsdk::live {

// Exit status: 0 after `quit`, 1 a step failed or the JACK server went away, 130 interrupted
// (SIGINT, SIGTERM).
// `interrupted` is raised by the signal handlers; the run also raises it itself when the server
// goes away, to end a step being awaited.
int run(const Options& options, std::atomic<bool>& interrupted);

}  // namespace mvsdk::live
