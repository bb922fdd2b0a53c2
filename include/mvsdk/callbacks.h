#pragma once
// The callback types a host hands to the kit, and the values they carry.
//
// Threads: every callback of these types runs on the kit's main queue, one process-wide thread
// of the kit's own (not the host's UI thread). Callbacks run one at a time, in the order the kit
// posted them; a callback that blocks holds up every later one, so hand long work to your own
// threads. Exceptions thrown by a callback are caught and dropped by the kit.
//
// Ownership: the kit stores a copy of each callback (in EngineConfig, or for the duration of one
// operation) and releases it when the configuration is replaced or the operation has reported.
// Whatever a callback captures must stay valid for that long; capture a std::weak_ptr to objects
// that may go away first.
#include <cstdint>
#include <functional>
#include <string>

namespace mvsdk {

// The outcome of one step: (action, code, message). Runs on the main queue.
using ActionResultCallback =
    std::function<void(std::int64_t action, std::int64_t code, const std::string& message)>;

// Progress of a resource download batch: percent done (0-100), number of the file being
// handled (1..total) and the number of catalogue files (total). Runs on the main queue.
using DownloadCallback =
    std::function<void(std::int64_t percent, std::int64_t currentFile, std::int64_t totalFiles)>;

// Completion of one service call or of initEngine: code 0 on success, 2 for a failed request,
// 3 for a missing token; the message is the service's reply message or the error's text.
// Runs on the main queue (the missing-token answer runs at once on the calling thread).
using ServiceCompletion = std::function<void(std::int64_t code, const std::string& message)>;

// The result of a calibration: intonation (semitones) and pitch offset, in the units of
// MVSDKManager::setMode. Runs on the main queue, or at once on the calling thread for an empty
// path.
using CalibrationCallback = std::function<void(float intonation, float pitch)>;

// Actions of ActionResultCallback.
inline constexpr std::int64_t kActionVoice = 0;      // setVoice, setMode
inline constexpr std::int64_t kActionInit = 1;       // prepare: login and version check
inline constexpr std::int64_t kActionEngine = 2;     // prepare: catalogue; start; stop
inline constexpr std::int64_t kActionResources = 3;  // checkResources
inline constexpr std::int64_t kActionCleanup = 5;    // cleanAllFiles

// Codes of ActionResultCallback.
inline constexpr std::int64_t kCodeSuccess = 0;
inline constexpr std::int64_t kCodeRequestFailed = 2;   // a service request, download or clean-up
inline constexpr std::int64_t kCodeBadArgument = 3;     // a bad or missing argument or setting
inline constexpr std::int64_t kCodeWrongState = 5;      // wrong state, or the engine did not start
inline constexpr std::int64_t kCodeMissingFiles = 6;    // model files missing

// Values of MVSDKManager::getEngineStatus().
inline constexpr std::int64_t kEngineStatusIdle = 0;
inline constexpr std::int64_t kEngineStatusPreparing = 1;
inline constexpr std::int64_t kEngineStatusPrepared = 2;
inline constexpr std::int64_t kEngineStatusStarted = 3;
inline constexpr std::int64_t kEngineStatusReleased = 5;
inline constexpr std::int64_t kEngineStatusError = 6;
inline constexpr std::int64_t kEngineStatusCheckingResources = 7;

}  // namespace mvsdk
