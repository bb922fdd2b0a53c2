// The cache's pure rules: file names from references, the URL check, progress shares and the
// host's progress counts.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <random>

#include "download/down_file_rules.h"

namespace mvsdk {
namespace {

TEST(CacheFileName, LastPathSegmentOfTheUrl) {
  EXPECT_EQ(cache_file_name("https://files.example/models/v2/am.bin"), "am.bin");
  EXPECT_EQ(cache_file_name("https://files.example/voices/alice.txt?sig=a/b#frag/x"), "alice.txt");
  EXPECT_EQ(cache_file_name("http://h:8080/a/b%20c.bin"), "b c.bin");  // percent-decoded
  EXPECT_EQ(cache_file_name("https://files.example/v/style"), "style");  // nothing added
  // Two references with the same last segment share one file.
  EXPECT_EQ(cache_file_name("https://a.example/x/am.bin"), cache_file_name("https://b.example/y/am.bin"));
}

TEST(CacheFileName, FallsBackToTheTextsLastComponent) {
  // The URL's last segment is empty: the text's last component (trailing "/" dropped).
  EXPECT_EQ(reference_file_name("https://files.example/models/am.bin/"), "am.bin");
  EXPECT_EQ(reference_file_name("https://files.example/models//"), "models");
  EXPECT_EQ(reference_file_name("https://files.example"), "files.example");
  // Not a URL (no scheme, a space): the text as a path.
  EXPECT_EQ(reference_file_name("voices/alice 2.txt"), "alice 2.txt");
  EXPECT_EQ(reference_file_name("am.bin"), "am.bin");
  EXPECT_EQ(text_last_path_component("/"), "/");
  EXPECT_EQ(text_last_path_component("a/b///"), "b");
  EXPECT_EQ(text_last_path_component(""), "");
}

TEST(CacheFileName, NamesThatWouldLeaveTheDirectoryAreRefused) {
  for (const char* ref : {"", "https://h/files/%2E%2E", "https://h/files/..", "https://h/files/.",
                          "https://h/files/a%2Fb.bin", "https://h/files/a%5Cb.bin", "https://h/files/a%00b.bin",
                          "https://h/files/%2F", "https://h/files/.partial", "..", "a/..", "/"}) {
    EXPECT_FALSE(cache_file_name(ref).has_value()) << ref;
  }
  // A NUL in the text itself (not a URL then) is refused as well.
  EXPECT_FALSE(cache_file_name(std::string("x\0y.bin", 7)).has_value());
  // Dots inside a name are fine.
  EXPECT_EQ(cache_file_name("https://h/files/..am.bin"), "..am.bin");
  EXPECT_EQ(cache_file_name("https://h/files/.hidden"), ".hidden");
}

// Whatever the reference, an accepted name is one plain component directly under the directory.
TEST(CacheFileName, FuzzedReferencesNeverEscape) {
  std::mt19937 rng(7);
  static constexpr char kChars[] = "ab./\\%2EeFf05:?#\0 ~";
  const std::string alphabet(kChars, sizeof kChars - 1);  // the NUL included
  const std::filesystem::path dir = "/cache/MVRtvcFile";
  int accepted = 0;
  for (int i = 0; i < 20000; ++i) {
    std::string ref = (i % 2 == 0) ? "http://h/" : "";
    const std::size_t n = rng() % 12;
    for (std::size_t k = 0; k < n; ++k) ref.push_back(alphabet[rng() % alphabet.size()]);
    const auto name = cache_file_name(ref);
    if (!name) continue;
    ++accepted;
    ASSERT_TRUE(is_safe_cache_file_name(*name)) << ref;
    const std::filesystem::path p = dir / *name;
    ASSERT_EQ(p.parent_path(), dir) << ref;
    ASSERT_EQ(p.filename().string(), *name) << ref;
    ASSERT_NE(*name, "..");
  }
  EXPECT_GT(accepted, 1000);  // the generator does reach accepted names
}

TEST(ReferenceParsesAsUrl, SchemeAndCharacters) {
  EXPECT_TRUE(reference_parses_as_url("https://files.example/a.bin?x=1&y=%41"));
  EXPECT_TRUE(reference_parses_as_url("http://127.0.0.1:8080/files/am.bin"));
  EXPECT_FALSE(reference_parses_as_url("files/am.bin"));        // no scheme
  EXPECT_FALSE(reference_parses_as_url("1http://h/a"));         // scheme must start with a letter
  EXPECT_FALSE(reference_parses_as_url("https://h/a b.bin"));   // space
  EXPECT_FALSE(reference_parses_as_url("https://h/a%zz.bin"));  // bad escape
  EXPECT_FALSE(reference_parses_as_url("https://h/a%4"));       // cut escape
  EXPECT_FALSE(reference_parses_as_url("https://h/{a}"));
  EXPECT_FALSE(reference_parses_as_url(std::string("https://h/\0", 11)));
  EXPECT_FALSE(reference_parses_as_url(""));
}

TEST(DownloadShares, SplitByKind) {
  const std::vector<std::string> mixed = {"v/a.txt", "m/am.bin", "v/b.txt", "m/bn.bin", "m/voc.bin"};
  const DownloadShares s = download_shares(mixed);
  EXPECT_EQ(s.binCount, 3);
  EXPECT_EQ(s.speakerCount, 2);
  EXPECT_FLOAT_EQ(entry_share(s, "m/am.bin"), 0.8f / 3);
  EXPECT_FLOAT_EQ(entry_share(s, "v/a.txt"), 0.2f / 2);
  float total = 0;
  for (const auto& r : mixed) total += entry_share(s, r);
  EXPECT_NEAR(total, 1.0f, 1e-6f);

  const DownloadShares bins = download_shares({"a.bin", "b.bin", "x.binary"});  // ".bin" anywhere
  EXPECT_EQ(bins.binCount, 3);
  EXPECT_FLOAT_EQ(bins.binProgress, 1.0f);
  EXPECT_FLOAT_EQ(bins.speakerProgress, 0.0f);
  EXPECT_FLOAT_EQ(entry_share(bins, "a.bin"), 1.0f / 3);

  const DownloadShares speakers = download_shares({"a.txt", "b.txt"});
  EXPECT_FLOAT_EQ(speakers.binProgress, 0.0f);
  EXPECT_FLOAT_EQ(speakers.speakerProgress, 1.0f);
  EXPECT_FLOAT_EQ(entry_share(speakers, "a.txt"), 0.5f);

  const DownloadShares none = download_shares({});
  EXPECT_EQ(none.binCount + none.speakerCount, 0);
  EXPECT_FLOAT_EQ(entry_share(none, "a.bin"), 0.0f);  // no division by zero
  EXPECT_FLOAT_EQ(entry_share(none, "a.txt"), 1.0f);
}

TEST(DownloadCounts, PercentAndCurrentFile) {
  auto expect = [](float p, std::int64_t n, std::int64_t percent, std::int64_t current) {
    const DownloadCounts c = download_counts(p, n);
    EXPECT_EQ(c.percent, percent) << p << " " << n;
    EXPECT_EQ(c.current, current) << p << " " << n;
    EXPECT_EQ(c.total, n);
  };
  expect(0.5f, 5, 50, 3);
  expect(0.0f, 5, 0, 1);
  expect(1.0f, 5, 100, 5);
  expect(0.999f, 5, 99, 5);
  expect(0.19f, 5, 19, 1);
  expect(-0.5f, 5, 0, 1);  // clamped
  expect(2.0f, 5, 100, 5);
  expect(std::nanf(""), 5, 0, 1);
  expect(0.5f, 0, 50, 1);
  expect(1.0f, std::numeric_limits<std::int64_t>::max(), 100, std::numeric_limits<std::int64_t>::max());
}

TEST(HttpStatus, OnlyTwoHundredsAreFiles) {
  EXPECT_TRUE(is_success_status(200));
  EXPECT_TRUE(is_success_status(206));
  EXPECT_TRUE(is_success_status(299));
  EXPECT_FALSE(is_success_status(199));
  EXPECT_FALSE(is_success_status(302));
  EXPECT_FALSE(is_success_status(404));
  EXPECT_FALSE(is_success_status(0));
}

}  // namespace
}  // namespace mvsdk
