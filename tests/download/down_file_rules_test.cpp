// The cache's pure rules: file names from references, progress shares, success statuses.
#include "download/down_file_rules.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "support/seeded_weights.h"

namespace mvsdk {
namespace {

using std::nullopt;

TEST(CacheFileName, FromReferences) {
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {"https://files.example/models/v2/am.bin", "am.bin"},
      {"https://files.example/voices/alice.txt?sig=a/b#frag/x", "alice.txt"},
      {"http://h:8080/a/b%20c.bin", "b c.bin"},  // percent-decoded
      {"https://h/v/style", "style"},
      {"https://h/files/..am.bin", "..am.bin"},
      {"https://h/files/.hidden", ".hidden"},
      // An empty last segment: the text's last component; not a URL: the text as a path.
      {"https://files.example/models/am.bin/", "am.bin"},
      {"https://files.example/models//", "models"},
      {"https://files.example", "files.example"},
      {"voices/alice 2.txt", "alice 2.txt"},
      // Names that would leave the directory are refused.
      {"", nullopt}, {"https://h/files/%2E%2E", nullopt}, {"https://h/files/..", nullopt},
      {"https://h/files/.", nullopt}, {"https://h/files/a%2Fb.bin", nullopt}, {"https://h/files/a%5Cb.bin", nullopt},
      {"https://h/files/a%00b.bin", nullopt}, {"https://h/files/%2F", nullopt}, {"https://h/files/.partial", nullopt},
      {"..", nullopt}, {"a/..", nullopt}, {"/", nullopt}, {std::string("x\0y.bin", 7), nullopt},
  };
  for (const auto& [ref, name] : cases) EXPECT_EQ(cache_file_name(ref), name) << ref;
  EXPECT_EQ(text_last_path_component("a/b///"), "b");
  EXPECT_EQ(text_last_path_component("/"), "/");
}

// Whatever the reference, an accepted name is one plain component directly under the directory.
TEST(CacheFileName, FuzzedReferencesNeverEscape) {
  test::SeededFloats rng(7);
  const std::string alphabet("ab./\\%2EeFf05:?#\0 ~", 19);  // the NUL included
  const auto pick = [&](std::size_t n) { return static_cast<std::size_t>((rng.next(0.5f) + 0.5f) * n) % n; };
  const std::filesystem::path dir = "/cache/MVRtvcFile";
  int accepted = 0;
  for (int i = 0; i < 20000; ++i) {
    std::string ref = (i % 2 == 0) ? "http://h/" : "";
    for (std::size_t k = pick(12); k > 0; --k) ref.push_back(alphabet[pick(alphabet.size())]);
    const auto name = cache_file_name(ref);
    if (!name) continue;
    ++accepted;
    ASSERT_TRUE(is_safe_cache_file_name(*name)) << ref;
    ASSERT_EQ((dir / *name).parent_path(), dir) << ref;
    ASSERT_EQ((dir / *name).filename().string(), *name) << ref;
  }
  EXPECT_GT(accepted, 1000);  // the generator does reach accepted names
}

TEST(DownloadShares, SplitByKindClampedAndStatuses) {
  const std::vector<std::string> mixed = {"v/a.txt", "m/am.bin", "v/b.txt", "m/bn.bin", "m/voc.binary"};
  const DownloadShares s = download_shares(mixed);
  EXPECT_EQ(s.binCount, 3);  // ".bin" anywhere
  EXPECT_EQ(s.speakerCount, 2);
  EXPECT_FLOAT_EQ(entry_share(s, "m/am.bin"), 0.8f / 3);
  EXPECT_FLOAT_EQ(entry_share(s, "v/a.txt"), 0.2f / 2);
  EXPECT_FLOAT_EQ(entry_share(download_shares({"a.bin", "b.bin"}), "a.bin"), 0.5f);
  EXPECT_FLOAT_EQ(entry_share(download_shares({"a.txt", "b.txt"}), "a.txt"), 0.5f);
  const DownloadShares none = download_shares({});
  EXPECT_FLOAT_EQ(entry_share(none, "a.bin"), 0.0f);  // no division by zero
  EXPECT_FLOAT_EQ(entry_share(none, "a.txt"), 1.0f);
  // Fractions are clamped to [0, 1]; NaN counts as nothing done.
  for (auto [in, out] : {std::pair(std::nanf(""), 0.0f), {-0.5f, 0.0f}, {2.0f, 1.0f}, {0.25f, 0.25f}})
    EXPECT_EQ(clamp_fraction(in), out) << in;
  for (long status : {200L, 206L, 299L}) EXPECT_TRUE(is_success_status(status)) << status;
  for (long status : {0L, 199L, 302L, 404L}) EXPECT_FALSE(is_success_status(status)) << status;
}

}  // namespace
}  // namespace mvsdk
