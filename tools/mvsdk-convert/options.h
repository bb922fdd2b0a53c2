#pragma once
// The command line of mvsdk-convert. Pure: parsing touches no file and no network.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "mvsdk/engine_config.h"

namespace mvsdk::convert {

// Token used with the embedded local service when none is given (that service accepts any).
inline constexpr const char* kEmbeddedToken = "local-demo";

struct Options {
  std::string input;                    // INPUT audio file
  std::string output;                   // OUTPUT audio file
  std::optional<std::string> service;   // service base URL; none: the embedded local service
  std::optional<std::string> token;     // none: kEmbeddedToken with the embedded service, else ""
  std::optional<std::int64_t> voice;    // none: the catalogue's first voice
  bool list_voices = false;
  std::optional<std::int64_t> mode;     // 0, 1 or 2
  std::optional<float> intonation;      // semitones
  std::optional<float> pitch;           // the kit's pitch offset units
  InputConditioning conditioning;       // --denoise, --gate, --gain (all off by default)
  bool sync = false;                    // EngineConfig::isSync
  std::int64_t threads = 1;             // EngineConfig::engineThreads
  bool half = false;                    // EngineConfig::halfPrecisionWeights
  std::optional<std::string> calibrate; // recording to calibrate intonation and pitch from
  bool realtime = false;                // pace the buffers on the wall clock
  bool quiet = false;                   // errors only
  bool verbose = false;                 // the kit's own log lines on stderr
  int buffer_ms = 10;                   // host buffer length, ms (1..100)
};

struct ParseResult {
  std::optional<Options> options;  // none: see help or error
  bool help = false;               // --help asked for: print usage, exit 0
  std::string error;               // a bad command line: print it with the usage, exit 2
};

ParseResult parse_options(const std::vector<std::string>& args);

// The usage text (several lines, ending with a line break).
std::string usage_text();

}  // namespace mvsdk::convert
