#include "models/speaker_list_model.h"

#include <gtest/gtest.h>

namespace mvsdk {
namespace {

using nlohmann::json;

TEST(TransferModel, NonObjectGivesEmptyCatalogue) {
  for (const json& input : {json(nullptr), json::array({1, 2}), json("speakers"), json(5)}) {
    const auto model = MVRtvcSpeakerListModel::transferModel(input);
    EXPECT_TRUE(model.speakers.empty()) << input.dump();
    EXPECT_TRUE(model.binFiles.empty()) << input.dump();
  }
}

TEST(TransferModel, ReadsFullCatalogueInReplyOrder) {
  const json data = json::parse(R"({
    "speakers": [
      {"speakerModelId": "m7", "name": "A", "coverImage": "c.png", "speakerInfo": "http://h/a.txt",
       "binFileIds": [13, 11], "id": 3, "extra": true},
      {"id": 3, "name": "dup"}
    ],
    "binFiles": [
      {"id": 13, "size": 123456789012, "bid": 3, "file": "http://h/voc.bin"},
      {"id": 11, "size": 10, "bid": 1, "file": "http://h/am.bin"}
    ],
    "other": 1})");
  const auto model = MVRtvcSpeakerListModel::transferModel(data);
  ASSERT_EQ(model.speakers.size(), 2u);
  const auto& a = model.speakers[0];
  EXPECT_EQ(a.speakerModelId, "m7");
  EXPECT_EQ(a.name, "A");
  EXPECT_EQ(a.coverImage, "c.png");
  EXPECT_EQ(a.speakerInfo, "http://h/a.txt");
  EXPECT_EQ(a.binFileIds, (std::vector<std::int64_t>{13, 11}));
  EXPECT_EQ(a.id, 3);
  EXPECT_EQ(a.relustSpeaker, nullptr);
  // Duplicate ids stay, in order.
  EXPECT_EQ(model.speakers[1].id, 3);
  EXPECT_EQ(model.speakers[1].name, "dup");
  ASSERT_EQ(model.binFiles.size(), 2u);
  EXPECT_EQ(model.binFiles[0].id, 13);
  EXPECT_EQ(model.binFiles[0].size, 123456789012);
  EXPECT_EQ(model.binFiles[0].bid, 3);
  EXPECT_EQ(model.binFiles[0].file, "http://h/voc.bin");
  EXPECT_EQ(model.binFiles[1].bid, 1);
}

TEST(TransferModel, MistypedAndMissingFieldsKeepDefaults) {
  const json data = json::parse(R"({
    "speakers": [
      {"id": 3, "name": "A"},
      5,
      {"id": "4", "name": null, "speakerInfo": 7, "binFileIds": [1, "2", 3, null, 4.9, true]},
      {"binFileIds": "1,2"}
    ],
    "binFiles": [
      {"id": 1, "size": "100", "bid": null, "file": 42},
      "x",
      {"id": 2.7, "size": -5}
    ]})");
  const auto model = MVRtvcSpeakerListModel::transferModel(data);
  ASSERT_EQ(model.speakers.size(), 4u);
  EXPECT_EQ(model.speakers[0].id, 3);
  EXPECT_EQ(model.speakers[0].name, "A");
  // A non-object element yields a voice with all defaults.
  EXPECT_EQ(model.speakers[1].id, 0);
  EXPECT_EQ(model.speakers[1].name, "");
  EXPECT_TRUE(model.speakers[1].binFileIds.empty());
  // An id given as a string keeps 0; only number elements of binFileIds are taken (booleans are
  // not numbers).
  EXPECT_EQ(model.speakers[2].id, 0);
  EXPECT_EQ(model.speakers[2].name, "");
  EXPECT_EQ(model.speakers[2].speakerInfo, "");
  EXPECT_EQ(model.speakers[2].binFileIds, (std::vector<std::int64_t>{1, 3, 4}));
  EXPECT_TRUE(model.speakers[3].binFileIds.empty());

  ASSERT_EQ(model.binFiles.size(), 3u);
  EXPECT_EQ(model.binFiles[0].id, 1);
  EXPECT_EQ(model.binFiles[0].size, 0);  // size as a string
  EXPECT_EQ(model.binFiles[0].bid, 0);
  EXPECT_EQ(model.binFiles[0].file, "");
  EXPECT_EQ(model.binFiles[1].id, 0);
  EXPECT_EQ(model.binFiles[2].id, 2);  // floating value truncated
  EXPECT_EQ(model.binFiles[2].size, -5);
}

TEST(TransferModel, ListsThatAreNotArraysStayEmpty) {
  const auto model = MVRtvcSpeakerListModel::transferModel(
      json::parse(R"({"speakers": {"id": 1}, "binFiles": "none"})"));
  EXPECT_TRUE(model.speakers.empty());
  EXPECT_TRUE(model.binFiles.empty());
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
