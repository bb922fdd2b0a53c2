// The tools' strict number parsing of every command line: a number is the whole text or an error,
// never a prefix, a wrapped value or an infinity.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "common/command_line.h"

namespace {

using namespace mvsdk::tools;

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

}  // namespace
