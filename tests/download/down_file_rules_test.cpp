// The pure rules behind downloads: the catalogue read from a reply (models/), and the cache's file
// names from references, progress shares and success statuses.
#include "download/down_file_rules.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "models/speaker_list_model.h"
#include "support/seeded_weights.h"

namespace mvsdk {
namespace {

using nlohmann::json;
using std::nullopt;
using Ids = std::vector<std::int64_t>;

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

// The catalogue in reply order, duplicates kept; a mistyped field keeps its default, a non-object
// element is an item of defaults, and only numbers are ids (booleans are not numbers).
TEST(TransferModel, ReadsTheCatalogueInReplyOrderKeepingDefaultsForMistypedFields) {
  for (const json& input : {json::array({1, 2}), json{{"speakers", {{"id", 1}}}, {"binFiles", 5}}}) {
    const auto model = MVRtvcSpeakerListModel::transferModel(input);
    EXPECT_TRUE(model.speakers.empty() && model.binFiles.empty()) << input.dump();
  }
  const auto model = MVRtvcSpeakerListModel::transferModel(json::parse(R"({
    "speakers": [
      {"speakerModelId": "m7", "name": "A", "coverImage": "c.png", "speakerInfo": "http://h/a.txt",
       "binFileIds": [13, 11], "id": 3},
      {"id": 3, "name": "dup"},
      5,
      {"id": "4", "name": null, "speakerInfo": 7, "binFileIds": [1, "2", 3, null, 4.9, true]}
    ],
    "binFiles": [{"id": 13, "size": 123456789012, "bid": 3, "file": "http://h/voc.bin"}, "x",
                 {"id": 2.7, "size": "100", "file": 42}]
  })"));
  const auto speaker = [](const auto& s) {
    return std::tuple(s.speakerModelId, s.name, s.coverImage, s.speakerInfo, s.id);
  };
  ASSERT_EQ(model.speakers.size(), 4u);
  EXPECT_EQ(speaker(model.speakers[0]), std::tuple("m7", "A", "c.png", "http://h/a.txt", 3));
  EXPECT_EQ(model.speakers[0].binFileIds, (Ids{13, 11}));
  EXPECT_EQ(speaker(model.speakers[1]), std::tuple("", "dup", "", "", 3));
  EXPECT_EQ(speaker(model.speakers[2]), std::tuple("", "", "", "", 0));
  EXPECT_EQ(speaker(model.speakers[3]), std::tuple("", "", "", "", 0));
  EXPECT_EQ(model.speakers[3].binFileIds, (Ids{1, 3, 4}));
  const auto bin = [](const auto& b) { return std::tuple(b.id, b.size, b.bid, b.file); };
  ASSERT_EQ(model.binFiles.size(), 3u);
  EXPECT_EQ(bin(model.binFiles[0]), std::tuple(13, 123456789012, 3, "http://h/voc.bin"));
  EXPECT_EQ(bin(model.binFiles[1]), std::tuple(0, 0, 0, ""));
  EXPECT_EQ(bin(model.binFiles[2]), std::tuple(2, 0, 0, ""));  // a real id is truncated
}

TEST(JsonNumberToInt64, SaturatesInsteadOfOverflowing) {
  EXPECT_EQ(json_number_to_int64(json(18446744073709551615ull)), INT64_MAX);
  EXPECT_EQ(json_number_to_int64(json(1e300)), INT64_MAX);
  EXPECT_EQ(json_number_to_int64(json(-1e300)), INT64_MIN);
  EXPECT_EQ(json_number_to_int64(json(-2.9)), -2);
  EXPECT_EQ(json_number_to_int64(json("3"), 9), 9);
}

}  // namespace
}  // namespace mvsdk
