#pragma once
// The soak run: the whole kit, in pipelined mode, over the local service inside this process
// with the synthetic voices, for a long stretch of audio. Three threads use one MVSDKManager:
//   - the audio thread (the caller) hands speech-like input to transform in host-sized buffers,
//     paced on the wall clock or as fast as the kit converts, and checks every buffer returned;
//   - a control thread follows the audio position: it changes the voice every few seconds,
//     restarts the engine (alternately stop and engineRelease, each followed by prepare, start
//     and setVoice) and samples the resident memory;
//   - a tone thread calls setMode with random settings at random moments and checks what the
//     kit then reports.
// At the end a summary goes to stdout and each failure to stderr.
#include <atomic>

#include "options.h"

namespace mvsdk::soak {

// Exit status: 0 every check passed, 1 a check or a step failed, 130 interrupted.
int run(const Options& options, const std::atomic<bool>& interrupted);

}  // namespace mvsdk::soak
