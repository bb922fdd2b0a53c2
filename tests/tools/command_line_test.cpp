// The tools' strict number parsing: a command line's number is the whole text or an error, never
// a prefix, a wrapped value or an infinity; and the shared end of a tool's main.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "common/command_line.h"

namespace {

using namespace mvsdk::tools;

TEST(CommandLineNumbers, IntegersAreWholeAndInRange) {
  std::int64_t v = 7;
  EXPECT_TRUE(parse_int("-42", v));
  EXPECT_EQ(v, -42);
  EXPECT_TRUE(parse_int("9223372036854775807", v));
  EXPECT_EQ(v, std::numeric_limits<std::int64_t>::max());
  v = 7;
  for (const char* bad : {"", " 1", "1 ", "12abc", "0x10", "1.5", "9223372036854775808", "-", "+"}) {
    EXPECT_FALSE(parse_int(bad, v)) << '"' << bad << '"';
  }
  EXPECT_EQ(v, 7) << "a refused text leaves the value untouched";

  std::uint64_t u = 3;
  EXPECT_TRUE(parse_u64("18446744073709551615", u));
  EXPECT_EQ(u, std::numeric_limits<std::uint64_t>::max());
  u = 3;
  // strtoull reads "-1" as the largest value and skips a leading "+" or space.
  for (const char* bad : {"-1", "+1", " 1", "18446744073709551616", "", "1e3"}) {
    EXPECT_FALSE(parse_u64(bad, u)) << '"' << bad << '"';
  }
  EXPECT_EQ(u, 3u);
}

TEST(CommandLineNumbers, RealsAreWholeAndFinite) {
  float f = 0.5f;
  EXPECT_TRUE(parse_float("-1.25e2", f));
  EXPECT_EQ(f, -125.0f);
  f = 0.5f;
  for (const char* bad : {"", "inf", "-inf", "nan", "1e39", "1.5x", " 2", "2 ", ","}) {
    EXPECT_FALSE(parse_float(bad, f)) << '"' << bad << '"';
  }
  EXPECT_EQ(f, 0.5f);

  double d = 0.5;
  EXPECT_TRUE(parse_double("1e300", d));
  EXPECT_EQ(d, 1e300);
  EXPECT_FALSE(parse_double("1e400", d));
  EXPECT_FALSE(parse_double("NaN", d));
  EXPECT_EQ(d, 1e300);
}

TEST(CommandLineNumbers, ListsRefuseEmptyAndBadPieces) {
  std::vector<float> v{9.0f};
  EXPECT_TRUE(parse_float_list("0,1.5,-2,0.1,2000", ',', v));
  EXPECT_EQ(v, (std::vector<float>{0.0f, 1.5f, -2.0f, 0.1f, 2000.0f}));
  EXPECT_TRUE(parse_float_list("3", ',', v));
  EXPECT_EQ(v, (std::vector<float>{3.0f}));
  v = {9.0f};
  for (const char* bad : {"", ",", "1,", ",1", "1,,2", "1,abc,3", "1;2", "1,inf"}) {
    EXPECT_FALSE(parse_float_list(bad, ',', v)) << '"' << bad << '"';
  }
  EXPECT_EQ(v, (std::vector<float>{9.0f}));
}

struct FakeParsed {
  std::optional<int> options;
  bool help = false;
  std::string error;
};

TEST(CommandLineMain, HelpErrorAndRun) {
  int runs = 0;
  auto run = [&](int value) {
    ++runs;
    return value;
  };
  testing::internal::CaptureStdout();
  EXPECT_EQ(finish_main("tool", FakeParsed{std::nullopt, true, ""}, "usage: tool\n", run), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "usage: tool\n");

  testing::internal::CaptureStderr();
  EXPECT_EQ(finish_main("tool", FakeParsed{std::nullopt, false, "bad --x"}, "usage: tool\n", run), 2);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "tool: bad --x\nusage: tool\n");
  EXPECT_EQ(runs, 0);

  EXPECT_EQ(finish_main("tool", FakeParsed{5, false, ""}, "usage: tool\n", run), 5);
  EXPECT_EQ(runs, 1);
}

}  // namespace
