#include "options.h"

#include <algorithm>

#include "common/command_line.h"

namespace mvsdk::live {

using tools::parse_conditioning_command;
using tools::parse_float;
using tools::parse_int;
using tools::parse_session_option;

std::string usage_text() {
  return "usage: mvsdk-live [options]\n"
         "A JACK client that converts its input port into a voice of the kit's catalogue on its output\n"
         "port, live, at the server's sample rate. Reads commands from standard input:\n"
         "  voice ID | mode 0|1|2 | pitch X Y | denoise on|off|DB | gate off|DBFS | gain off|DB | voices | quit\n"
         "  --service URL       the voice service (default: a local service inside this process,\n"
         "                      serving synthetic voices)\n"
         "  --token T           the service's access token\n"
         "  --voice ID          the voice (default: the first of the catalogue)\n"
         "  --mode 0|1|2        pitch mode: 0 the voice's own, 1 the speaker's contour moved by\n"
         "                      --intonation and --pitch, 2 a mapping learnt while converting\n"
         "  --intonation X      pitch fluctuation, semitones (-30..30)\n"
         "  --pitch Y           pitch offset (-200..200)\n"
         "  --threads N         engine threads (default 1; 0: the processor's cores, at most 4)\n"
         "  --half              the engine's weights in half precision (less memory, output close\n"
         "                      to but not the same as the default single precision)\n"
         "  --denoise[=DB]      noise suppression of the input, lowering noise by at most DB\n"
         "                      (1..60, default 30); adds 10 ms of delay\n"
         "  --gate DBFS         noise gate: silence while the input's peaks stay below DBFS (-100..0)\n"
         "  --gain DB           input gain (-40..40), with a soft limiter\n"
         "  --in PORT           connect PORT (an output port, e.g. system:capture_1) to the input;\n"
         "                      repeatable (default: the first physical capture port)\n"
         "  --out PORT          connect the output to PORT (an input port, e.g. system:playback_1);\n"
         "                      repeatable (default: the first two physical playback ports)\n"
         "  --no-connect        make no default connections (--in and --out still apply)\n"
         "  --server NAME       the JACK server to join (default: $JACK_DEFAULT_SERVER or \"default\");\n"
         "                      a server is never started\n"
         "  --quiet             print nothing but errors\n";
}

ParseResult parse_options(const std::vector<std::string>& args) {
  ParseResult r;
  Options o;
  auto fail = [&r](std::string why) {
    r.error = std::move(why);
    return r;
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= args.size()) return false;
      out = args[++i];
      return true;
    };
    std::string v;
    if (a == "--help" || a == "-h") {
      r.help = true;
      return r;
    } else if (std::string why; parse_session_option(a, value, o, why)) {
      if (!why.empty()) return fail(why);
    } else if (a == "--in" || a == "--out") {
      if (!value(v) || v.empty()) return fail(a + " takes a port name");
      (a == "--in" ? o.in_ports : o.out_ports).push_back(v);
    } else if (a == "--no-connect") {
      o.connect_defaults = false;
    } else if (a == "--server") {
      if (!value(v) || v.empty()) return fail("--server takes a server name");
      o.server = v;
    } else if (a == "--quiet") {
      o.quiet = true;
    } else if (a.size() > 1 && a[0] == '-') {
      return fail("unknown option " + a);
    } else {
      return fail("unexpected argument " + a + " (mvsdk-live takes options only)");
    }
  }
  r.options = std::move(o);
  return r;
}

Command parse_command(std::string_view line, const InputConditioning& current) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  std::vector<std::string_view> words;
  std::size_t at = 0;
  while (at < line.size()) {
    const std::size_t start = line.find_first_not_of(" \t", at);
    if (start == std::string_view::npos) break;
    const std::size_t end = std::min(line.find_first_of(" \t", start), line.size());
    words.push_back(line.substr(start, end - start));
    at = end;
  }
  Command c;
  if (words.empty()) return c;
  c.kind = Command::Kind::kBad;
  const std::string_view verb = words[0];
  if (verb == "voice" && words.size() == 2 && parse_int(words[1], c.number)) {
    c.kind = Command::Kind::kVoice;
  } else if (verb == "mode" && words.size() == 2 && parse_int(words[1], c.number) && c.number >= 0 && c.number <= 2) {
    c.kind = Command::Kind::kMode;
  } else if (verb == "pitch" && words.size() == 3 && parse_float(words[1], c.intonation) &&
             parse_float(words[2], c.pitch)) {
    c.kind = Command::Kind::kPitch;
  } else if (InputConditioning next = current;
             parse_conditioning_command(verb, {words.begin() + 1, words.end()}, next)) {
    c.kind = Command::Kind::kConditioning;
    c.conditioning = next;
  } else if (verb == "voices" && words.size() == 1) {
    c.kind = Command::Kind::kVoices;
  } else if (verb == "quit" && words.size() == 1) {
    c.kind = Command::Kind::kQuit;
  }
  if (c.kind == Command::Kind::kBad) {
    c = Command{};
    c.kind = Command::Kind::kBad;
  }
  return c;
}

std::string command_help() {
  return "commands: voice ID | mode 0|1|2 | pitch X Y (intonation in semitones, pitch offset) | "
         "denoise on|off|DB (1..60) | gate off|DBFS (-100..0) | gain off|DB (-40..40) | voices | quit";
}

}  // namespace mvsdk::live
