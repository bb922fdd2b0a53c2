#include "models/speaker_list_model.h"

#include <gtest/gtest.h>

namespace mvsdk {
namespace {

using nlohmann::json;
using Ids = std::vector<std::int64_t>;

TEST(TransferModel, ReadsTheCatalogueInReplyOrderKeepingDefaultsForMistypedFields) {
  for (const json& input : {json(nullptr), json::array({1, 2}), json(5), json{{"speakers", {{"id", 1}}}}}) {
    const auto model = MVRtvcSpeakerListModel::transferModel(input);
    EXPECT_TRUE(model.speakers.empty() && model.binFiles.empty()) << input.dump();
  }
  const auto model = MVRtvcSpeakerListModel::transferModel(json::parse(R"({
    "speakers": [
      {"speakerModelId": "m7", "name": "A", "coverImage": "c.png", "speakerInfo": "http://h/a.txt",
       "binFileIds": [13, 11], "id": 3, "extra": true},
      {"id": 3, "name": "dup"},
      5,
      {"id": "4", "name": null, "speakerInfo": 7, "binFileIds": [1, "2", 3, null, 4.9, true]}
    ],
    "binFiles": [
      {"id": 13, "size": 123456789012, "bid": 3, "file": "http://h/voc.bin"},
      {"id": 1, "size": "100", "bid": null, "file": 42},
      "x",
      {"id": 2.7, "size": -5}
    ]})"));
  ASSERT_EQ(model.speakers.size(), 4u);
  const auto& a = model.speakers[0];
  EXPECT_EQ(std::tuple(a.speakerModelId, a.name, a.coverImage, a.speakerInfo, a.id),
            std::tuple("m7", "A", "c.png", "http://h/a.txt", 3));
  EXPECT_EQ(a.binFileIds, (Ids{13, 11}));
  EXPECT_EQ(a.relustSpeaker, nullptr);
  EXPECT_EQ(std::tuple(model.speakers[1].id, model.speakers[1].name), std::tuple(3, "dup"));  // duplicates stay
  // A non-object element is a voice of defaults; an id given as a string keeps 0; only numbers
  // are taken as ids (booleans are not numbers).
  EXPECT_EQ(std::tuple(model.speakers[2].id, model.speakers[2].name), std::tuple(0, ""));
  const auto& d = model.speakers[3];
  EXPECT_EQ(std::tuple(d.id, d.name, d.speakerInfo), std::tuple(0, "", ""));
  EXPECT_EQ(d.binFileIds, (Ids{1, 3, 4}));

  ASSERT_EQ(model.binFiles.size(), 4u);
  const auto as_tuple = [](const auto& b) { return std::tuple(b.id, b.size, b.bid, b.file); };
  EXPECT_EQ(as_tuple(model.binFiles[0]), std::tuple(13, 123456789012, 3, "http://h/voc.bin"));
  EXPECT_EQ(as_tuple(model.binFiles[1]), std::tuple(1, 0, 0, ""));
  EXPECT_EQ(as_tuple(model.binFiles[2]), std::tuple(0, 0, 0, ""));
  EXPECT_EQ(as_tuple(model.binFiles[3]), std::tuple(2, -5, 0, ""));  // a real id is truncated
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
