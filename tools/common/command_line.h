#pragma once
// What the tools' command lines share.
//
// Strict number parsing: the whole text must be one number in decimal (a sign allowed), with
// nothing before or after it and within the type's range; floating-point values must also be
// finite. On failure the output is left untouched.
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace mvsdk::tools {

bool parse_int(std::string_view text, std::int64_t& out);
bool parse_u64(std::string_view text, std::uint64_t& out);  // no sign accepted
bool parse_float(std::string_view text, float& out);
bool parse_double(std::string_view text, double& out);

// Numbers separated by `sep`, each parsed as parse_float parses it; an empty piece is an error.
bool parse_float_list(std::string_view text, char sep, std::vector<float>& out);

// The kit-session options the converting tools share: --service URL, --token T, --voice ID,
// --mode 0|1|2, --intonation X, --pitch Y and --threads N (0..16), into the fields of those names
// of `o`. `next(v)`
// takes the option's value into v (false when the command line has none). Returns false when
// `arg` is none of them; otherwise true, with `error` set when its value is bad.
template <class Options, class Next>
bool parse_session_option(const std::string& arg, Next&& next, Options& o, std::string& error) {
  std::string v;
  if (arg == "--service") {
    if (!next(v) || v.empty()) error = "--service takes a URL";
    else o.service = v;
  } else if (arg == "--token") {
    if (!next(v)) error = "--token takes a value";
    else o.token = v;
  } else if (arg == "--voice") {
    std::int64_t id = 0;
    if (!next(v) || !parse_int(v, id)) error = "--voice takes a voice id (an integer)";
    else o.voice = id;
  } else if (arg == "--mode") {
    std::int64_t m = 0;
    if (!next(v) || !parse_int(v, m) || m < 0 || m > 2) error = "--mode takes 0, 1 or 2";
    else o.mode = m;
  } else if (arg == "--intonation") {
    float x = 0;
    if (!next(v) || !parse_float(v, x)) error = "--intonation takes a number";
    else o.intonation = x;
  } else if (arg == "--pitch") {
    float y = 0;
    if (!next(v) || !parse_float(v, y)) error = "--pitch takes a number";
    else o.pitch = y;
  } else if (arg == "--threads") {
    std::int64_t n = 0;
    if (!next(v) || !parse_int(v, n) || n < 0 || n > 16) error = "--threads takes 0 (automatic) to 16";
    else o.threads = n;
  } else {
    return false;
  }
  return true;
}

// The end of a tool's main once its options are parsed. `parsed` has `help` (print the usage on
// standard output, exit 0), `error` and `options` (empty: print "<name>: <error>" and the usage
// on standard error, exit 2); otherwise the result of run(options).
template <class Parsed, class Run>
int finish_main(const char* name, const Parsed& parsed, const std::string& usage, Run&& run) {
  if (parsed.help) {
    std::fputs(usage.c_str(), stdout);
    return 0;
  }
  if (!parsed.options) {
    std::fprintf(stderr, "%s: %s\n%s", name, parsed.error.c_str(), usage.c_str());
    return 2;
  }
  return run(*parsed.options);
}

}  // namespace mvsdk::tools
