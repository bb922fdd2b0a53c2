#pragma once
// Resident memory of this process, and the verdict on its course over a run.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace mvsdk::soak {

// VmRSS of /proc/self/status in kB; none when it cannot be read.
std::optional<std::int64_t> resident_kb();
// The VmRSS value (kB) of a /proc/<pid>/status text; none without a well-formed VmRSS line.
std::optional<std::int64_t> parse_vmrss_kb(const std::string& status_text);

struct MemorySample {
  double audio_s = 0.0;  // audio converted when the sample was taken
  std::int64_t kb = 0;
};

struct MemoryVerdict {
  bool ok = true;
  std::optional<MemorySample> reference;  // the first sample at or after the reference point
  std::optional<MemorySample> last;
  std::int64_t max_kb = 0;
  double growth_mb = 0.0;                 // last minus reference
  std::string message;                    // why not ok
};

// Memory is flat when the last sample exceeds the reference sample (the first one taken at or
// after reference_s of audio: by then the models are loaded and every buffer has its working
// size) by no more than limit_mb. Without a sample at or after the reference point there is
// nothing to judge and the verdict is a failure too.
MemoryVerdict judge_memory(const std::vector<MemorySample>& samples, double reference_s, double limit_mb);

}  // namespace mvsdk::soak
