#pragma once
// Interruption of a command-line run: SIGINT and SIGTERM raise a flag that the run polls between
// steps (so output files are finished or removed, never left half-written), and SIGPIPE is
// ignored (a closed pipe on stdout must not kill the run). Call once, from main.
#include <atomic>

namespace mvsdk::tools {

// Installs the handlers and returns the flag they raise (lives for the whole process).
std::atomic<bool>& catch_interrupts();

}  // namespace mvsdk::tools
