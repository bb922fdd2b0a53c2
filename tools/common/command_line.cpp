#include "common/command_line.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string>

namespace mvsdk::tools {

namespace {

// strto* skip leading white space and read as much as they can: both are refused here.
template <class T, class Conv>
bool parse_whole(std::string_view text, T& out, Conv conv) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text.front()))) return false;
  const std::string s(text);  // strto* need a terminated string
  errno = 0;
  char* end = nullptr;
  const T v = conv(s.c_str(), &end);
  if (errno != 0 || end != s.c_str() + s.size()) return false;
  out = v;
  return true;
}

}  // namespace

bool parse_int(std::string_view text, std::int64_t& out) {
  long long v = 0;
  if (!parse_whole(text, v, [](const char* s, char** e) { return std::strtoll(s, e, 10); })) {
    return false;
  }
  out = static_cast<std::int64_t>(v);
  return true;
}

bool parse_u64(std::string_view text, std::uint64_t& out) {
  // strtoull accepts "-1" as the largest value: only digits are taken here.
  if (text.empty() || text.front() < '0' || text.front() > '9') return false;
  unsigned long long v = 0;
  if (!parse_whole(text, v, [](const char* s, char** e) { return std::strtoull(s, e, 10); })) {
    return false;
  }
  out = static_cast<std::uint64_t>(v);
  return true;
}

bool parse_float(std::string_view text, float& out) {
  float v = 0.0f;
  if (!parse_whole(text, v, [](const char* s, char** e) { return std::strtof(s, e); })) return false;
  if (!std::isfinite(v)) return false;
  out = v;
  return true;
}

bool parse_double(std::string_view text, double& out) {
  double v = 0.0;
  if (!parse_whole(text, v, [](const char* s, char** e) { return std::strtod(s, e); })) return false;
  if (!std::isfinite(v)) return false;
  out = v;
  return true;
}

bool parse_float_list(std::string_view text, char sep, std::vector<float>& out) {
  std::vector<float> values;
  std::size_t start = 0;
  while (true) {
    const std::size_t at = text.find(sep, start);
    const std::string_view piece =
        text.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start);
    float v = 0.0f;
    if (!parse_float(piece, v)) return false;
    values.push_back(v);
    if (at == std::string_view::npos) break;
    start = at + 1;
  }
  out = std::move(values);
  return true;
}

bool parse_conditioning_option(const std::string& arg, const std::function<bool(std::string&)>& next,
                               InputConditioning& input, std::string& error) {
  InputConditioning changed = input;
  std::string v;
  std::string name = arg;
  if (arg == "--denoise" || arg.starts_with("--denoise=")) {
    name = "--denoise";
    double db = changed.denoiseDb;
    if (arg.size() > name.size() && !parse_double(std::string_view(arg).substr(name.size() + 1), db)) {
      error = "--denoise=DB takes a number of dB";
      return true;
    }
    changed.denoise = true;
    changed.denoiseDb = db;
  } else if (arg == "--gate") {
    if (!next(v) || !parse_double(v, changed.gateThresholdDbfs)) {
      error = "--gate takes a threshold in dBFS";
      return true;
    }
    changed.gate = true;
  } else if (arg == "--gain") {
    if (!next(v) || !parse_double(v, changed.gainDb)) {
      error = "--gain takes a number of dB";
      return true;
    }
    changed.gain = true;
  } else {
    return false;
  }
  if (std::string why = inputConditioningProblem(changed); !why.empty()) {
    error = name + ": " + why;
    return true;
  }
  input = changed;
  return true;
}

bool parse_conditioning_command(std::string_view verb, const std::vector<std::string_view>& args,
                                InputConditioning& input) {
  if (args.size() != 1) return false;
  InputConditioning changed = input;
  const std::string_view word = args[0];
  double value = 0;
  const bool number = parse_double(word, value);
  if (verb == "denoise") {
    if (word == "on" || word == "off") {
      changed.denoise = word == "on";
    } else if (number) {
      changed.denoise = true;
      changed.denoiseDb = value;
    } else {
      return false;
    }
  } else if (verb == "gate" || verb == "gain") {
    const bool gate = verb == "gate";
    if (word == "off") {
      (gate ? changed.gate : changed.gain) = false;
    } else if (number) {
      (gate ? changed.gate : changed.gain) = true;
      (gate ? changed.gateThresholdDbfs : changed.gainDb) = value;
    } else {
      return false;
    }
  } else {
    return false;
  }
  if (!inputConditioningProblem(changed).empty()) return false;
  input = changed;
  return true;
}

}  // namespace mvsdk::tools
