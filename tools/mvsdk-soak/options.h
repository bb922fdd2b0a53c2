#pragma once
// The command line of mvsdk-soak. Pure: parsing touches no file and no network.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace mvsdk::soak {

struct Options {
  double seconds = 600.0;        // audio to convert, s
  double speed = 1.0;            // multiple of real time; 0: as fast as the kit converts
  double voice_every_s = 5.0;    // audio seconds between voice changes
  int restarts = 4;              // engine restarts, spread evenly over the run
  int buffer_frames = 0;         // host buffer, frames; 0: a cycle of typical host sizes
  std::int64_t rate_hz = 48000;  // host sample rate
  bool f32 = true;               // host format: 32-bit float (true) or 16-bit
  double rss_every_s = 5.0;      // audio seconds between resident-memory samples
  double rss_growth_mb = 32.0;   // allowed growth of resident memory after the reference point
  double leak_mb_per_min = 0.0;  // deliberately kept memory per audio minute (checks the check)
  std::uint64_t seed = 1;
  bool verbose = false;          // the kit's own log lines and every memory sample
};

struct ParseResult {
  std::optional<Options> options;  // none: see help or error
  bool help = false;
  std::string error;
};

ParseResult parse_options(const std::vector<std::string>& args);
std::string usage_text();

}  // namespace mvsdk::soak
