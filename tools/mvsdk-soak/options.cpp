#include "options.h"

#include "common/command_line.h"

namespace mvsdk::soak {

using tools::parse_double;
using tools::parse_int;

std::string usage_text() {
  return "usage: mvsdk-soak [options]\n"
         "Drives the whole kit in pipelined mode over a local service with synthetic voices:\n"
         "speech-like input in host-sized buffers, a voice change every few seconds, engine\n"
         "restarts, and a second thread changing the pitch settings at random moments. Checks\n"
         "every buffer and the resident memory, prints a summary, and exits 1 on any failure.\n"
         "  --seconds S          audio to convert (default 600)\n"
         "  --speed X            pace as a multiple of real time (default 1); 0: as fast as the\n"
         "                       kit converts, each restart made at its place in the audio\n"
         "  --voice-every S      audio seconds between voice changes (default 5)\n"
         "  --restarts N         engine restarts spread over the run (default 4)\n"
         "  --buffer-frames N    host buffer in frames (default: a cycle of typical sizes)\n"
         "  --rate HZ            host sample rate (default 48000)\n"
         "  --format f32|s16     host sample format (default f32)\n"
         "  --rss-every S        audio seconds between memory samples (default 5)\n"
         "  --rss-growth-mb M    allowed growth of resident memory from the first minute (or the\n"
         "                       middle of a shorter run) to the end (default 32)\n"
         "  --leak-mb-per-min M  keep M MB more memory every audio minute (to see the memory\n"
         "                       check trip)\n"
         "  --seed N             seed of the input and of the random moments (default 1)\n"
         "  --verbose            the kit's own log lines, and every memory sample\n"
         "Exit status: 0 every check passed, 1 a check failed, 2 a bad command line,\n"
         "130 interrupted.\n";
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
    if (a == "--help" || a == "-h") {
      r.help = true;
      return r;
    }
    if (a == "--verbose") {
      o.verbose = true;
      continue;
    }
    if (i + 1 >= args.size()) return fail("unknown option or missing value: " + a);
    const std::string& v = args[++i];
    double d = 0.0;
    std::int64_t n = 0;
    if (a == "--seconds") {
      if (!parse_double(v, d) || d <= 0.0 || d > 7.0 * 24 * 3600) return fail("--seconds: a positive number of seconds");
      o.seconds = d;
    } else if (a == "--speed") {
      if (!parse_double(v, d) || d < 0.0 || d > 1000.0) return fail("--speed: 0 or a positive multiple up to 1000");
      o.speed = d;
    } else if (a == "--voice-every") {
      if (!parse_double(v, d) || d < 0.1) return fail("--voice-every: at least 0.1 s");
      o.voice_every_s = d;
    } else if (a == "--restarts") {
      if (!parse_int(v, n) || n < 0 || n > 1000) return fail("--restarts: 0 to 1000");
      o.restarts = static_cast<int>(n);
    } else if (a == "--buffer-frames") {
      if (!parse_int(v, n) || n < 1 || n > 16384) return fail("--buffer-frames: 1 to 16384");
      o.buffer_frames = static_cast<int>(n);
    } else if (a == "--rate") {
      if (!parse_int(v, n) || n < 8000 || n > 192000) return fail("--rate: 8000 to 192000 Hz");
      o.rate_hz = n;
    } else if (a == "--format") {
      if (v != "f32" && v != "s16") return fail("--format: f32 or s16");
      o.f32 = v == "f32";
    } else if (a == "--rss-every") {
      if (!parse_double(v, d) || d < 0.1) return fail("--rss-every: at least 0.1 s");
      o.rss_every_s = d;
    } else if (a == "--rss-growth-mb") {
      if (!parse_double(v, d) || d < 0.0) return fail("--rss-growth-mb: a number of MB, 0 or more");
      o.rss_growth_mb = d;
    } else if (a == "--leak-mb-per-min") {
      if (!parse_double(v, d) || d < 0.0 || d > 1024.0) return fail("--leak-mb-per-min: 0 to 1024");
      o.leak_mb_per_min = d;
    } else if (a == "--seed") {
      if (!parse_int(v, n) || n < 0) return fail("--seed: a number, 0 or more");
      o.seed = static_cast<std::uint64_t>(n);
    } else {
      return fail("unknown option: " + a);
    }
  }
  r.options = o;
  return r;
}

}  // namespace mvsdk::soak
