#pragma once
// EngineConfig: the host's configuration of the kit. A plain value: copy it, change it, hand it
// to MVSDKManager::setEngineConfig, which keeps its own copy (later changes to yours have no
// effect until you set it again).
#include <cstdint>
#include <string>
#include <vector>

#include "mvsdk/callbacks.h"

namespace mvsdk {

// Sample format codes of host audio (EngineConfig::format). Little-endian, interleaved by frame.
inline constexpr std::int64_t kSampleFormatU8 = 0;      // unsigned 8-bit, 128 = zero
inline constexpr std::int64_t kSampleFormatS16 = 1;     // signed 16-bit
inline constexpr std::int64_t kSampleFormatS24In32 = 2; // 24-bit signed in the low bytes of 32
inline constexpr std::int64_t kSampleFormatS32 = 3;     // signed 32-bit
inline constexpr std::int64_t kSampleFormatF32 = 4;     // 32-bit float, full scale +-1

// Conditioning of the host's audio before it is converted: three stages, each off by default, run
// in this order on the 16-bit mono audio the engine receives. Off, a stage changes nothing and
// delays nothing. Set with the rest of the configuration; while the engine runs, a new setting
// takes effect from the next buffer, without a click. Values outside the ranges below are
// refused: start answers (2, 3, reason), and set while running they make transform return the
// fallback, as an unsupported audio configuration does.
struct InputConditioning {
  // Input gain, -40 to 40 dB, with a soft limiter above -2.5 dBFS (no wrap-around).
  bool gain = false;
  double gainDb = 0.0;
  // Noise suppression (a spectral denoiser), lowering noise by at most denoiseDb, 1 to 60 dB. It
  // works on 5 ms frames and delays the audio by 10 ms while on.
  bool denoise = false;
  double denoiseDb = 30.0;
  // Noise gate: while the audio's peaks stay below gateThresholdDbfs (-100 to 0 dBFS) the engine
  // gets exact silence. It opens over gateAttackMs (0 to 100), stays open gateHoldMs (0 to 2000)
  // after the last peak above the threshold, then closes over gateReleaseMs (1 to 2000).
  bool gate = false;
  double gateThresholdDbfs = -50.0;
  double gateAttackMs = 1.0;
  double gateHoldMs = 100.0;
  double gateReleaseMs = 100.0;

  bool operator==(const InputConditioning&) const = default;
};

// Why the kit would refuse input: a value of a stage that is on lies outside its range above, or
// is not a number (e.g. "Unsupported input gain 50 dB (-40 to 40 dB)"); empty when the kit takes
// it. The values of a stage that is off are not looked at. Lets a host check a setting before it
// hands it over. Pure; any thread (allocates its answer).
std::string inputConditioningProblem(const InputConditioning& input);

// One line a stage, in processing order, saying whether it is on and with which settings: the
// lines the kit logs at start. Pure; any thread (allocates its answer).
std::vector<std::string> inputConditioningReport(const InputConditioning& input);

struct EngineConfig {
  // Sample rate of the host's audio, Hz. Below 1 counts as 48000.
  std::int64_t sampleRate = 48000;
  // Access token of the cloud service. Required by prepare and by voice changes.
  std::string token;
  // Stored only; nothing depends on them.
  bool debug = false;
  bool transformDebug = false;
  // Channels of the host's audio (interleaved). Below 1 counts as 1.
  std::int64_t channel = 1;
  // Sample format code of the host's audio (kSampleFormat*). Other codes convert to silence.
  std::int64_t format = kSampleFormatS16;
  // When conversion cannot take place, transform returns silence of the input's length (true)
  // or the input itself (false).
  bool muteOnFail = true;
  // true: transform runs the engine on the calling thread (each call may take as long as one
  // engine chunk). false: pipelined; the engine runs on the kit's engine queue and transform
  // never waits for it.
  bool isSync = false;
  // Gain, noise suppression and gate on the audio before conversion (all off by default).
  InputConditioning input;
  // Threads that compute the engine's chunks: 1 (one engine thread), 2..16, or 0 = automatic (the
  // processor's cores, at most 4). Below 0 counts as 1, above 16 as 16. More threads shorten each
  // chunk; the converted audio is the same to the bit for every count. Applies from the next
  // engine start.
  std::int64_t engineThreads = 1;
  // true: the engine holds its networks' matrix weights in half precision (converted once at
  // engine start, computed in single precision): about half the engine's weight memory and faster
  // weight reads, at a small loss of fidelity (the output is close to, not the same to the bit as,
  // single precision; the engine states the bound). false (default): single precision, as the
  // model files hold them. Applies from the next engine start.
  bool halfPrecisionWeights = false;
  // Download progress of checkResources (main queue). May be empty.
  DownloadCallback onDownload;
  // Every action result (main queue). May be empty: results are then dropped.
  ActionResultCallback onActionResult;

  // The defaults above.
  static EngineConfig defaultConfig() { return EngineConfig{}; }
};

}  // namespace mvsdk
