#pragma once
// EngineConfig: the host's configuration of the kit. A plain value: copy it, change it, hand it
// to MVSDKManager::setEngineConfig, which keeps its own copy (later changes to yours have no
// effect until you set it again).
#include <cstdint>
#include <string>

#include "mvsdk/callbacks.h"

namespace mvsdk {

// Sample format codes of host audio (EngineConfig::format). Little-endian, interleaved by frame.
inline constexpr std::int64_t kSampleFormatU8 = 0;      // unsigned 8-bit, 128 = zero
inline constexpr std::int64_t kSampleFormatS16 = 1;     // signed 16-bit
inline constexpr std::int64_t kSampleFormatS24In32 = 2; // 24-bit signed in the low bytes of 32
inline constexpr std::int64_t kSampleFormatS32 = 3;     // signed 32-bit
inline constexpr std::int64_t kSampleFormatF32 = 4;     // 32-bit float, full scale +-1

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
  // Threads that compute the engine's chunks: 1 (one engine thread), 2..16, or 0 = automatic (the
  // processor's cores, at most 4). Below 0 counts as 1, above 16 as 16. More threads shorten each
  // chunk; the converted audio is the same to the bit for every count. Applies from the next
  // engine start.
  std::int64_t engineThreads = 1;
  // Download progress of checkResources (main queue). May be empty.
  DownloadCallback onDownload;
  // Every action result (main queue). May be empty: results are then dropped.
  ActionResultCallback onActionResult;

  // The defaults above.
  static EngineConfig defaultConfig() { return EngineConfig{}; }
};

}  // namespace mvsdk
