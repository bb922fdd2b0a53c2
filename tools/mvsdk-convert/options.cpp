#include "options.h"

#include "common/command_line.h"

namespace mvsdk::convert {

using tools::parse_int;
using tools::parse_session_option;

std::string usage_text() {
  return "usage: mvsdk-convert [options] INPUT OUTPUT\n"
         "       mvsdk-convert [--service URL --token T] --list-voices\n"
         "Converts an audio file through the whole kit, as a host application would, and writes\n"
         "OUTPUT with INPUT's rate, channels and sample format.\n"
         "  --service URL       the voice service (default: a local service inside this process,\n"
         "                      serving synthetic voices)\n"
         "  --token T           the service's access token\n"
         "  --voice ID          the voice (default: the first of the catalogue)\n"
         "  --list-voices       print the catalogue's voices and exit\n"
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
         "  --calibrate REC     measure intonation and pitch from the recording REC, print them\n"
         "                      and use them (mode 1 unless --mode says otherwise)\n"
         "  --sync              convert on the calling thread (default: pipelined)\n"
         "  --realtime          pace the buffers on the wall clock, as a live host would\n"
         "  --buffer-ms N       host buffer length in ms (default 10, 1..100)\n"
         "  --quiet             print nothing but errors\n"
         "  --verbose           also print the kit's own log lines (stderr)\n";
}

ParseResult parse_options(const std::vector<std::string>& args) {
  ParseResult r;
  Options o;
  std::vector<std::string> positional;
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
    } else if (a == "--list-voices") {
      o.list_voices = true;
    } else if (a == "--calibrate") {
      if (!value(v) || v.empty()) return fail("--calibrate takes a recording");
      o.calibrate = v;
    } else if (a == "--sync") {
      o.sync = true;
    } else if (a == "--realtime") {
      o.realtime = true;
    } else if (a == "--quiet") {
      o.quiet = true;
    } else if (a == "--verbose") {
      o.verbose = true;
    } else if (a == "--buffer-ms") {
      std::int64_t ms = 0;
      if (!value(v) || !parse_int(v, ms) || ms < 1 || ms > 100) {
        return fail("--buffer-ms takes a length from 1 to 100");
      }
      o.buffer_ms = static_cast<int>(ms);
    } else if (a.size() > 1 && a[0] == '-') {
      return fail("unknown option " + a);
    } else {
      positional.push_back(a);
    }
  }
  if (o.calibrate && (o.intonation || o.pitch)) {
    return fail("--calibrate measures intonation and pitch; give neither with it");
  }
  if (o.list_voices) {
    if (!positional.empty()) return fail("--list-voices takes no files");
  } else {
    if (positional.size() != 2) return fail("give an INPUT and an OUTPUT file");
    o.input = positional[0];
    o.output = positional[1];
  }
  r.options = std::move(o);
  return r;
}

}  // namespace mvsdk::convert
