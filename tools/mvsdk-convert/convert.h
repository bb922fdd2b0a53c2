#pragma once
// The run of mvsdk-convert: reads the input, brings up the kit (on the embedded local service
// unless a service is given), converts the audio buffer by buffer through MVSDKManager exactly as
// a host would, writes the output and reports.
//
// Output: progress, notes and the final report on stdout (none with --quiet); every failure as
// one line "mvsdk-convert: STEP: MESSAGE" on stderr. The output file appears only complete.
#include <atomic>

#include "options.h"

namespace mvsdk::convert {

// Exit status: 0 done, 1 a step failed, 130 interrupted. `interrupted` is raised by a signal
// handler; the run then stops at the next buffer or step, stops the engine and writes nothing.
int run(const Options& options, const std::atomic<bool>& interrupted);

}  // namespace mvsdk::convert
