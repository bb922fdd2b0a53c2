// The tools' strict number parsing: a command line's number is the whole text or an error, never
// a prefix, a wrapped value or an infinity; and the conditioning options and live commands.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "common/command_line.h"

namespace {

using namespace mvsdk::tools;
using mvsdk::InputConditioning;

// Every refused text leaves the value untouched.
TEST(CommandLineNumbers, WholeTextInRangeAndFinite) {
  std::int64_t v = 7;
  EXPECT_TRUE(parse_int("-42", v) && v == -42);
  EXPECT_TRUE(parse_int("9223372036854775807", v) && v == std::numeric_limits<std::int64_t>::max());
  v = 7;
  for (const char* bad : {"", " 1", "1 ", "12abc", "0x10", "1.5", "9223372036854775808", "-", "+"}) {
    EXPECT_FALSE(parse_int(bad, v)) << '"' << bad << '"';
  }
  std::uint64_t u = 3;
  EXPECT_TRUE(parse_u64("18446744073709551615", u) && u == std::numeric_limits<std::uint64_t>::max());
  u = 3;
  // strtoull reads "-1" as the largest value and skips a leading "+" or space.
  for (const char* bad : {"-1", "+1", " 1", "18446744073709551616", "", "1e3"}) {
    EXPECT_FALSE(parse_u64(bad, u)) << '"' << bad << '"';
  }
  float f = 0.5f;
  EXPECT_TRUE(parse_float("-1.25e2", f) && f == -125.0f);
  f = 0.5f;
  for (const char* bad : {"", "inf", "-inf", "nan", "1e39", "1.5x", " 2", "2 ", ","}) {
    EXPECT_FALSE(parse_float(bad, f)) << '"' << bad << '"';
  }
  double d = 0.5;
  EXPECT_TRUE(parse_double("1e300", d) && d == 1e300);
  EXPECT_FALSE(parse_double("1e400", d) || parse_double("NaN", d));
  std::vector<float> list{9.0f};
  EXPECT_TRUE(parse_float_list("3", ',', list) && list == std::vector<float>{3.0f});
  EXPECT_TRUE(parse_float_list("0,1.5,-2,0.1,2000", ',', list));
  EXPECT_EQ(list, (std::vector<float>{0.0f, 1.5f, -2.0f, 0.1f, 2000.0f}));
  for (const char* bad : {"", ",", "1,", ",1", "1,,2", "1,abc,3", "1;2", "1,inf"}) {
    EXPECT_FALSE(parse_float_list(bad, ',', list)) << '"' << bad << '"';
  }
  EXPECT_EQ(std::tuple(v, u, f, d, list.size()), std::tuple(7, 3u, 0.5f, 1e300, 5u));
}

// The conditioning options of the converting tools: each switches its stage on with its value;
// a missing or bad number, or one the kit would refuse, is an error naming the option, and an
// error leaves the settings as they were.
TEST(CommandLineConditioning, OptionsSwitchStagesOnWithinTheKitsRanges) {
  struct Case {
    std::vector<std::string> args;
    std::string error;  // empty: accepted
    bool denoise, gate, gain;
    double denoise_db, gate_dbfs, gain_db;
  };
  const Case cases[] = {
      {{"--denoise"}, "", true, false, false, 30, -50, 0},
      {{"--denoise=12.5"}, "", true, false, false, 12.5, -50, 0},
      {{"--gate", "-42"}, "", false, true, false, 30, -42, 0},
      {{"--gain", "20"}, "", false, false, true, 30, -50, 20},
      {{"--gain", "-6", "--gate", "-60", "--denoise=40"}, "", true, true, true, 40, -60, -6},
      {{"--denoise=x"}, "--denoise=DB takes a number of dB", false, false, false, 30, -50, 0},
      {{"--denoise=0"}, "--denoise: Unsupported noise suppression 0 dB (1 to 60 dB)", false, false, false, 30, -50, 0},
      {{"--gate"}, "--gate takes a threshold in dBFS", false, false, false, 30, -50, 0},
      {{"--gain", "41"}, "--gain: Unsupported input gain 41 dB (-40 to 40 dB)", false, false, false, 30, -50, 0},
      {{"--gain", "nan"}, "--gain takes a number of dB", false, false, false, 30, -50, 0},
  };
  for (const Case& k : cases) {
    std::string joined;
    for (const auto& a : k.args) joined += a + " ";
    SCOPED_TRACE(joined);
    InputConditioning input;
    std::string error;
    for (std::size_t i = 0; i < k.args.size() && error.empty(); ++i) {
      auto next = [&](std::string& v) {
        if (i + 1 >= k.args.size()) return false;
        v = k.args[++i];
        return true;
      };
      ASSERT_TRUE(parse_conditioning_option(k.args[i], next, input, error));
    }
    EXPECT_EQ(error, k.error);
    EXPECT_EQ(std::tuple(input.denoise, input.gate, input.gain, input.denoiseDb, input.gateThresholdDbfs, input.gainDb),
              std::tuple(k.denoise, k.gate, k.gain, k.denoise_db, k.gate_dbfs, k.gain_db));
  }
  InputConditioning input;
  std::string error;
  EXPECT_FALSE(parse_conditioning_option("--voice", [](std::string&) { return false; }, input, error));
  EXPECT_FALSE(parse_conditioning_option("--denoiser", [](std::string&) { return false; }, input, error));
  EXPECT_TRUE(error.empty());
}

// The live commands change one stage of the settings in force and keep the rest; anything else,
// or a value the kit would refuse, is not a command (the settings stay).
TEST(CommandLineConditioning, LiveCommandsChangeOneStage) {
  InputConditioning start;
  start.gain = true;
  start.gainDb = 6;
  start.denoiseDb = 20;
  struct Case {
    std::string_view verb;
    std::vector<std::string_view> args;
    bool ok;
    std::function<void(InputConditioning&)> expect;
  };
  const Case cases[] = {
      {"denoise", {"on"}, true, [](InputConditioning& c) { c.denoise = true; }},
      {"denoise", {"25"}, true, [](InputConditioning& c) { c.denoise = true; c.denoiseDb = 25; }},
      {"denoise", {"off"}, true, [](InputConditioning&) {}},
      {"gate", {"-55"}, true, [](InputConditioning& c) { c.gate = true; c.gateThresholdDbfs = -55; }},
      {"gain", {"off"}, true, [](InputConditioning& c) { c.gain = false; }},
      {"gain", {"-3.5"}, true, [](InputConditioning& c) { c.gainDb = -3.5; }},
      {"gain", {"on"}, false, nullptr},
      {"gain", {"45"}, false, nullptr},
      {"gate", {"1"}, false, nullptr},
      {"denoise", {}, false, nullptr},
      {"denoise", {"on", "30"}, false, nullptr},
      {"voice", {"3"}, false, nullptr},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(std::string(k.verb) + " " + (k.args.empty() ? "" : std::string(k.args[0])));
    InputConditioning got = start;
    EXPECT_EQ(parse_conditioning_command(k.verb, k.args, got), k.ok);
    InputConditioning want = start;
    if (k.expect) k.expect(want);
    EXPECT_EQ(got, want);
  }
}

}  // namespace
