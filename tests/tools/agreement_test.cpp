// The figures mvsdk-agree judges two builds by, and the folder comparison behind it: stage
// grouping, little-endian decoding, and every way two dump folders can fail to line up.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "common/agreement.h"
#include "support/local_service.h"

namespace {

namespace fs = std::filesystem;
using mvsdk::test::TempDir;
using mvsdk::tools::Agreement;
using mvsdk::tools::compare_folders;

void write_bytes(const fs::path& p, const std::vector<unsigned char>& bytes) {
  std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                           static_cast<std::streamsize>(bytes.size()));
}

// Reference 3, 4 (RMS sqrt(12.5)); difference 0, 0.5 (RMS sqrt(0.125)): ratio 10, 20 dB. Two
// halves merged give the figures of one pass.
TEST(Agreement, FiguresOfAKnownDifference) {
  const float a[] = {3.0f, 4.0f};
  const float b[] = {3.0f, 3.5f};
  Agreement g, first, second;
  g.add(a, b, 2);
  EXPECT_EQ(std::tuple(g.count(), g.differing(), g.max_abs()), std::tuple(2u, 1u, 0.5));
  EXPECT_NEAR(g.rel_rms(), 0.1, 1e-12);
  EXPECT_NEAR(g.snr_db(), 20.0, 1e-9);
  EXPECT_NEAR(g.ref_rms(), std::sqrt(12.5), 1e-12);
  first.add(a, b, 1);
  second.add(a + 1, b + 1, 1);
  first.merge(second);
  EXPECT_EQ(std::tuple(first.count(), first.differing(), first.max_abs(), first.snr_db()),
            std::tuple(g.count(), g.differing(), g.max_abs(), g.snr_db()));
}

TEST(Agreement, IdenticalSilentAndNonFiniteValues) {
  Agreement same;
  const float x[] = {1.0f, -2.0f, 0.0f};
  same.add(x, x, 3);
  EXPECT_EQ(same.differing(), 0u);
  EXPECT_EQ(same.rel_rms(), 0.0);
  EXPECT_TRUE(std::isinf(same.snr_db()) && same.snr_db() > 0);

  // A silent reference against a non-silent result is the worst agreement, not a division by 0.
  Agreement silent;
  const std::int16_t zeros[] = {0, 0};
  const std::int16_t some[] = {0, 3};
  silent.add(zeros, some, 2);
  EXPECT_TRUE(std::isinf(silent.rel_rms()));
  EXPECT_TRUE(std::isinf(silent.snr_db()) && silent.snr_db() < 0);
  EXPECT_EQ(silent.max_abs(), 3.0);

  // -0 and +0 are equal values but not the same bits; NaN against NaN agrees, against a number
  // or an infinity it does not, and neither enters the sums.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const float p[] = {0.0f, nan, nan, inf, inf, 2.0f};
  const float q[] = {-0.0f, nan, 1.0f, inf, -inf, 2.0f};
  Agreement odd;
  odd.add(p, q, 6);
  EXPECT_EQ(odd.count(), 6u);
  EXPECT_EQ(odd.mismatches(), 2u);
  EXPECT_EQ(odd.differing(), 3u);  // -0, NaN vs 1, inf vs -inf
  EXPECT_EQ(odd.max_abs(), 0.0);
  EXPECT_TRUE(std::isfinite(odd.ref_rms()));
}

TEST(CompareFolders, GroupsChunksByStageAndDecodesLittleEndian) {
  TempDir a, b;
  // 1.0f = 00 00 80 3F; 1.5f = 00 00 C0 3F; s16 258 = 02 01, 256 = 00 01.
  write_bytes(a.path() / "0000.mel.f32", {0x00, 0x00, 0x80, 0x3F});
  write_bytes(b.path() / "0000.mel.f32", {0x00, 0x00, 0x80, 0x3F});
  write_bytes(a.path() / "0001.mel.f32", {0x00, 0x00, 0x80, 0x3F});
  write_bytes(b.path() / "0001.mel.f32", {0x00, 0x00, 0xC0, 0x3F});
  write_bytes(a.path() / "out.s16", {0x02, 0x01});
  write_bytes(b.path() / "out.s16", {0x00, 0x01});
  write_bytes(a.path() / "notes.txt", {'x'});  // not a dump: ignored
  const auto r = compare_folders(a.path(), b.path());
  EXPECT_TRUE(r.problems.empty());
  ASSERT_EQ(r.stages.size(), 2u);
  EXPECT_EQ(r.stages[0].stage, "mel.f32");
  EXPECT_EQ(r.stages[0].files, 2u);
  EXPECT_EQ(r.stages[0].values.count(), 2u);
  EXPECT_DOUBLE_EQ(r.stages[0].values.max_abs(), 0.5);
  EXPECT_EQ(r.stages[1].stage, "out.s16");
  EXPECT_DOUBLE_EQ(r.stages[1].values.max_abs(), 2.0);
}

TEST(CompareFolders, MissingExtraAndUnequalFilesAreProblems) {
  TempDir a, b;
  write_bytes(a.path() / "0000.am.f32", {0, 0, 0, 0});
  write_bytes(a.path() / "0000.voc.s16", {1, 0, 2, 0});
  write_bytes(b.path() / "0000.voc.s16", {1, 0});
  write_bytes(b.path() / "0001.voc.s16", {1, 0});
  write_bytes(a.path() / "0000.f0.f32", {0, 0, 0});  // not whole floats
  write_bytes(b.path() / "0000.f0.f32", {0, 0, 0});
  const auto r = compare_folders(a.path(), b.path());
  EXPECT_EQ(r.problems.size(), 4u);
  EXPECT_TRUE(r.stages.empty());

  const auto gone = compare_folders(a.path() / "absent", b.path());
  EXPECT_FALSE(gone.problems.empty());
}

}  // namespace
