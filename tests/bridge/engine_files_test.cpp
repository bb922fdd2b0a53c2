#include <gtest/gtest.h>

#include "bridge/engine_files.h"

using namespace mvsdk;
using namespace mvsdk::bridge;

namespace {
MVRtvcBinFileItemModel bin(std::int64_t id, std::int64_t bid, std::string file) {
  MVRtvcBinFileItemModel b;
  b.id = id;
  b.bid = bid;
  b.file = std::move(file);
  return b;
}
}  // namespace

TEST(EngineFiles, SlotsSortedByBidAndFirstEntryWins) {
  MVRtvcSpeakerListModel cat;
  cat.binFiles = {bin(7, 0, "other"), bin(5, 3, "voc"), bin(3, 1, "am"), bin(3, 9, "dup-am"), bin(4, 2, "bn")};
  auto sel = select_engine_files(&cat, {3, 4, 5, 99});
  ASSERT_TRUE(sel.ok()) << sel.error;
  EXPECT_EQ(sel.files[0].file, "am");
  EXPECT_EQ(sel.files[1].file, "bn");
  EXPECT_EQ(sel.files[2].file, "voc");
  EXPECT_EQ(describe_engine_files(sel.files), "id1:3  id2:4  id3:5");

  // The same id twice in the list takes two catalogue entries of that id, in catalogue order.
  auto twice = select_engine_files(&cat, {3, 3, 5});
  ASSERT_TRUE(twice.ok());
  EXPECT_EQ(twice.files[0].file, "am");
  EXPECT_EQ(twice.files[1].file, "voc");
  EXPECT_EQ(twice.files[2].file, "dup-am");
}

TEST(EngineFiles, FailuresInOrder) {
  MVRtvcSpeakerListModel cat;
  cat.binFiles = {bin(1, 1, "a"), bin(2, 2, "b")};
  EXPECT_EQ(select_engine_files(nullptr, {1, 2, 3}).error, "Resource not found 1");
  EXPECT_EQ(select_engine_files(nullptr, {}).error, "Resource not found 1");
  EXPECT_EQ(select_engine_files(&cat, {1, 2}).error, "At least 3 Bin file IDs required");
  EXPECT_EQ(select_engine_files(&cat, {9, 2, 3}).error, "Resource not found 1");
  EXPECT_EQ(select_engine_files(&cat, {1, 9, 2}).error, "Resource not found 2");
  EXPECT_EQ(select_engine_files(&cat, {1, 2, 9}).error, "Resource not found 3");
  MVRtvcSpeakerListModel empty;
  EXPECT_EQ(select_engine_files(&empty, {1, 2}).error, "At least 3 Bin file IDs required");
}

TEST(EngineFiles, FitRule) {
  EXPECT_TRUE(engine_fits_voice({1, 2, 3}, std::nullopt));
  EXPECT_TRUE(engine_fits_voice({}, std::nullopt));
  EXPECT_TRUE(engine_fits_voice({3, 2, 1, 8}, std::vector<std::int64_t>{1, 2, 3}));
  EXPECT_FALSE(engine_fits_voice({1, 2}, std::vector<std::int64_t>{1, 2, 3}));
  EXPECT_FALSE(engine_fits_voice({}, std::vector<std::int64_t>{1}));
}
