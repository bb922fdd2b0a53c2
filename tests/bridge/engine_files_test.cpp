#include <gtest/gtest.h>

#include "bridge/engine_files.h"
#include "support/bridge_catalogue.h"

using namespace mvsdk;
using namespace mvsdk::bridge;
using mvsdk::test::bin_entry;

TEST(EngineFiles, SlotsByBidFirstEntryWinsAndFailuresInOrder) {
  MVRtvcSpeakerListModel cat;
  cat.binFiles = {bin_entry(7, 0, "other"), bin_entry(5, 3, "voc"), bin_entry(3, 1, "am"), bin_entry(3, 9, "dup-am"),
                  bin_entry(4, 2, "bn")};
  auto sel = select_engine_files(&cat, {3, 4, 5, 99});
  ASSERT_TRUE(sel.ok()) << sel.error;
  EXPECT_EQ(sel.files[0].file + sel.files[1].file + sel.files[2].file, "ambnvoc");
  EXPECT_EQ(describe_engine_files(sel.files), "id1:3  id2:4  id3:5");
  // The same id twice in the list takes two catalogue entries of that id, in catalogue order.
  auto twice = select_engine_files(&cat, {3, 3, 5});
  ASSERT_TRUE(twice.ok());
  EXPECT_EQ(twice.files[0].file + twice.files[1].file + twice.files[2].file, "amvocdup-am");

  MVRtvcSpeakerListModel small, empty;
  small.binFiles = {bin_entry(1, 1, "a"), bin_entry(2, 2, "b")};
  const std::tuple<const MVRtvcSpeakerListModel*, std::vector<std::int64_t>, std::string> failures[] = {
      {nullptr, {1, 2, 3}, "Resource not found 1"},  {nullptr, {}, "Resource not found 1"},
      {&small, {1, 2}, "At least 3 Bin file IDs required"}, {&small, {9, 2, 3}, "Resource not found 1"},
      {&small, {1, 9, 2}, "Resource not found 2"},   {&small, {1, 2, 9}, "Resource not found 3"},
      {&empty, {1, 2}, "At least 3 Bin file IDs required"}};
  for (const auto& [model, ids, error] : failures) EXPECT_EQ(select_engine_files(model, ids).error, error);
}

TEST(EngineFiles, FitRule) {
  EXPECT_TRUE(engine_fits_voice({1, 2, 3}, std::nullopt));
  EXPECT_TRUE(engine_fits_voice({}, std::nullopt));
  EXPECT_TRUE(engine_fits_voice({3, 2, 1, 8}, std::vector<std::int64_t>{1, 2, 3}));
  EXPECT_FALSE(engine_fits_voice({1, 2}, std::vector<std::int64_t>{1, 2, 3}));
  EXPECT_FALSE(engine_fits_voice({}, std::vector<std::int64_t>{1}));
}
