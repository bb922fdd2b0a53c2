#include "models/speaker_list_model.h"

#include <gtest/gtest.h>

namespace mvsdk {
namespace {

using nlohmann::json;
using Ids = std::vector<std::int64_t>;

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
