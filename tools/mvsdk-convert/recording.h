#pragma once
// The calibration recording: any audio file libsndfile reads, turned into what the kit's
// calibration takes (raw 16-bit mono PCM, host byte order, at the conversion's sample rate) in a
// temporary file that the owner removes.
#include <string>

namespace mvsdk::convert {

struct RawRecording {
  std::string path;      // the temporary raw file (empty on failure)
  double seconds = 0.0;  // its length
  std::string error;     // empty on success
};

// Reads `path`, keeps its first channel (as the kit does with host audio), resamples it to
// rate_hz when its rate differs, and writes the raw file.
RawRecording make_raw_recording(const std::string& path, int rate_hz);

// Removes the raw file (no-op for an empty path).
void remove_raw_recording(const RawRecording& r);

}  // namespace mvsdk::convert
