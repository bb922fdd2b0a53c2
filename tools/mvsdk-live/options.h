#pragma once
// The command line of mvsdk-live, and the commands it reads from standard input while it runs.
// Pure: parsing touches no server, no file and no network.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mvsdk/engine_config.h"

namespace mvsdk::live {

// Token used with the embedded local service when none is given (that service accepts any).
inline constexpr const char* kEmbeddedToken = "local-demo";

struct Options {
  std::optional<std::string> service;   // service base URL; none: the embedded local service
  std::optional<std::string> token;     // none: kEmbeddedToken with the embedded service, else ""
  std::optional<std::int64_t> voice;    // none: the catalogue's first voice
  std::optional<std::int64_t> mode;     // 0, 1 or 2
  std::optional<float> intonation;      // semitones
  std::optional<float> pitch;           // the kit's pitch offset units
  std::int64_t threads = 1;             // EngineConfig::engineThreads
  bool half = false;                    // EngineConfig::halfPrecisionWeights
  InputConditioning conditioning;       // --denoise, --gate, --gain (all off by default)
  std::vector<std::string> in_ports;    // sources connected to the tool's input
  std::vector<std::string> out_ports;   // destinations of the tool's output
  bool connect_defaults = true;         // false: --no-connect
  std::optional<std::string> server;    // JACK server name; none: the default server
  bool quiet = false;                   // errors only
};

struct ParseResult {
  std::optional<Options> options;  // none: see help or error
  bool help = false;               // --help asked for: print usage, exit 0
  std::string error;               // a bad command line: print it with the usage, exit 2
};

ParseResult parse_options(const std::vector<std::string>& args);

// The usage text (several lines, ending with a line break).
std::string usage_text();

// One line of standard input while the tool runs.
struct Command {
  enum class Kind { kNone, kVoice, kMode, kPitch, kConditioning, kVoices, kQuit, kBad };
  Kind kind = Kind::kNone;  // kNone: an empty line
  std::int64_t number = 0;  // kVoice: the id; kMode: the mode
  float intonation = 0.0f;  // kPitch
  float pitch = 0.0f;       // kPitch
  InputConditioning conditioning;  // kConditioning: `current` with the command's change
};

// Words separated by spaces or tabs; a carriage return at the end is ignored. `current`: the
// input conditioning in force, which the commands denoise, gate and gain change.
Command parse_command(std::string_view line, const InputConditioning& current = {});

// The one line of help a bad command gets (no line break).
std::string command_help();

}  // namespace mvsdk::live
