#include "sdk/input_conditioning.h"

#include <cmath>
#include <cstdio>

namespace mvsdk::sdk {

namespace {

using Limits = bridge::ConditionerSettings;

// A number as the messages write it: at most 6 significant digits, no trailing zeros.
std::string number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", v);
  return text;
}

// "Unsupported <what> <v> <unit> (<lo> to <hi> <unit>)" when v is outside [lo, hi] or NaN.
std::string out_of_range(const char* what, double v, double lo, double hi, const char* unit) {
  if (v >= lo && v <= hi) return {};
  return std::string("Unsupported ") + what + " " + number(v) + " " + unit + " (" + number(lo) + " to " + number(hi) +
         " " + unit + ")";
}

}  // namespace

std::string input_conditioning_problem(const InputConditioning& in) {
  std::string why;
  auto check = [&why](const char* what, double v, double lo, double hi, const char* unit) {
    if (why.empty()) why = out_of_range(what, v, lo, hi, unit);
  };
  if (in.gain) check("input gain", in.gainDb, Limits::kMinGainDb, Limits::kMaxGainDb, "dB");
  if (in.denoise) {
    check("noise suppression", in.denoiseDb, Limits::kMinDenoiseDb, Limits::kMaxDenoiseDb, "dB");
  }
  if (in.gate) {
    check("gate threshold", in.gateThresholdDbfs, Limits::kMinGateDbfs, Limits::kMaxGateDbfs, "dBFS");
    check("gate attack", in.gateAttackMs, 0.0, Limits::kMaxGateAttackMs, "ms");
    check("gate hold", in.gateHoldMs, 0.0, Limits::kMaxGateTimeMs, "ms");
    check("gate release", in.gateReleaseMs, Limits::kMinGateReleaseMs, Limits::kMaxGateTimeMs, "ms");
  }
  return why;
}

bridge::ConditionerSettings conditioner_settings(const InputConditioning& in) {
  bridge::ConditionerSettings s;
  s.gain = in.gain;
  s.gain_db = static_cast<float>(in.gainDb);
  s.denoise = in.denoise;
  s.denoise_db = static_cast<float>(in.denoiseDb);
  s.gate = in.gate;
  s.gate_threshold_dbfs = static_cast<float>(in.gateThresholdDbfs);
  s.gate_attack_ms = static_cast<float>(in.gateAttackMs);
  s.gate_hold_ms = static_cast<float>(in.gateHoldMs);
  s.gate_release_ms = static_cast<float>(in.gateReleaseMs);
  return s;
}

std::vector<std::string> input_conditioning_report(const InputConditioning& in) {
  std::vector<std::string> lines;
  if (in.gain) {
    lines.push_back("input gain on: " + std::string(in.gainDb > 0 ? "+" : "") + number(in.gainDb) +
                    " dB, soft limiter above -2.5 dBFS");
  } else {
    lines.emplace_back("input gain off");
  }
  const int delay_ms = 2 * bridge::kConditionerFrameMs;
  if (in.denoise) {
    lines.push_back("noise suppression on: at most " + number(in.denoiseDb) + " dB, " + std::to_string(delay_ms) +
                    " ms delay");
  } else {
    lines.emplace_back("noise suppression off");
  }
  if (in.gate) {
    lines.push_back("noise gate on: threshold " + number(in.gateThresholdDbfs) + " dBFS, attack " +
                    number(in.gateAttackMs) + " ms, hold " + number(in.gateHoldMs) + " ms, release " +
                    number(in.gateReleaseMs) + " ms");
  } else {
    lines.emplace_back("noise gate off");
  }
  return lines;
}

}  // namespace mvsdk::sdk

namespace mvsdk {

std::string inputConditioningProblem(const InputConditioning& input) {
  return sdk::input_conditioning_problem(input);
}

std::vector<std::string> inputConditioningReport(const InputConditioning& input) {
  return sdk::input_conditioning_report(input);
}

}  // namespace mvsdk
