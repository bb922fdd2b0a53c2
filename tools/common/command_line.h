#pragma once
// What the tools' command lines share.
//
// Strict number parsing: the whole text must be one number in decimal (a sign allowed), with
// nothing before or after it and within the type's range; floating-point values must also be
// finite. On failure the output is left untouched.
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "mvsdk/engine_config.h"

namespace mvsdk::tools {

bool parse_int(std::string_view text, std::int64_t& out);
bool parse_u64(std::string_view text, std::uint64_t& out);  // no sign accepted
bool parse_float(std::string_view text, float& out);
bool parse_double(std::string_view text, double& out);

// Numbers separated by `sep`, each parsed as parse_float parses it; an empty piece is an error.
bool parse_float_list(std::string_view text, char sep, std::vector<float>& out);

// The input conditioning options: --denoise[=DB] (noise suppression, at most DB, default the
// kit's), --gate DBFS (noise gate threshold) and --gain DB, each switching its stage on in
// `input`. `next` as for parse_session_option. Returns false when `arg` is none of them;
// otherwise true, with `error` set when its value is not a number or outside the kit's range.
bool parse_conditioning_option(const std::string& arg, const std::function<bool(std::string&)>& next,
                               InputConditioning& input, std::string& error);

// The live conditioning commands, a verb and its words: "denoise on|off|DB", "gate off|DBFS",
// "gain off|DB" (a number switches the stage on with that value). True, with `input` changed,
// when they make a command whose values the kit accepts; false, `input` untouched, otherwise.
bool parse_conditioning_command(std::string_view verb, const std::vector<std::string_view>& args,
                                InputConditioning& input);

// The kit-session options the converting tools share: --service URL, --token T, --voice ID,
// --mode 0|1|2, --intonation X, --pitch Y and --threads N (0..16), into the fields of those names
// of `o`, --half (no value) into o.half, and the input conditioning options above, into
// o.conditioning. `next(v)` takes the
// option's value into v (false when the command line has none). Returns false when `arg` is none
// of them; otherwise true, with `error` set when its value is bad.
template <class Options, class Next>
bool parse_session_option(const std::string& arg, Next&& next, Options& o, std::string& error) {
  std::string v;
  if (parse_conditioning_option(arg, next, o.conditioning, error)) return true;
  // The option's value as a number (an integer within [lo, hi], or a finite float) into field,
  // else `says` as the error.
  const auto integer = [&](std::int64_t lo, std::int64_t hi, const char* says, auto& field) {
    std::int64_t n = 0;
    if (!next(v) || !parse_int(v, n) || n < lo || n > hi) error = says;
    else field = n;
  };
  const auto real = [&](const char* says, auto& field) {
    float x = 0;
    if (!next(v) || !parse_float(v, x)) error = says;
    else field = x;
  };
  if (arg == "--service") {
    if (!next(v) || v.empty()) error = "--service takes a URL";
    else o.service = v;
  } else if (arg == "--token") {
    if (!next(v)) error = "--token takes a value";
    else o.token = v;
  } else if (arg == "--voice") {
    integer(INT64_MIN, INT64_MAX, "--voice takes a voice id (an integer)", o.voice);
  } else if (arg == "--mode") {
    integer(0, 2, "--mode takes 0, 1 or 2", o.mode);
  } else if (arg == "--intonation") {
    real("--intonation takes a number", o.intonation);
  } else if (arg == "--pitch") {
    real("--pitch takes a number", o.pitch);
  } else if (arg == "--threads") {
    integer(0, 16, "--threads takes 0 (automatic) to 16", o.threads);
  } else if (arg == "--half") {
    o.half = true;
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
