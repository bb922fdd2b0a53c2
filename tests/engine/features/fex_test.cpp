#include "engine/features/fex.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

#include "engine/features/speechwrap.h"
#include "support/seeded_weights.h"

namespace mvsdk::engine {
namespace {

constexpr double kPi = std::numbers::pi;

std::vector<short> random_audio(int n, unsigned seed, int amplitude = 8000) {
  test::SeededFloats rng(seed);
  std::vector<short> x(n);
  for (short& v : x) v = static_cast<short>(std::lround(rng.next(static_cast<float>(amplitude))));
  return x;
}

double mel_of(double hz) { return 1127.0 * std::log(1.0 + hz / 700.0); }

// The filterbank as a dense 80 x 256 matrix in double, straight from the triangle rule.
std::vector<double> dense_filterbank() {
  std::vector<double> w(80 * 256, 0.0);
  const double lo = mel_of(20.0), d = (mel_of(8000.0) - lo) / 81.0;
  for (int m = 0; m < 80; ++m) {
    const double l = lo + m * d, c = lo + (m + 1) * d, r = lo + (m + 2) * d;
    for (int k = 0; k < 256; ++k) {
      const double x = mel_of(31.25 * k);
      if (l < x && x <= c) w[m * 256 + k] = (x - l) / (c - l);
      else if (c < x && x < r) w[m * 256 + k] = (r - x) / (r - c);
    }
  }
  return w;
}

// Power of bins 0..255 of a 512-point zero-padded frame, through the real FFT (checked against
// a direct DFT by its own test).
std::vector<double> fft_power(const float* frame) {
  RfftState* st = rfft_init(512);
  std::vector<float> out(512);
  rfft_process(st, frame, out.data());
  rfft_uninit(st);
  std::vector<double> p(256);
  for (int k = 0; k < 256; ++k) {
    const double re = out[k], im = k ? out[512 - k] : 0.0;
    p[k] = re * re + im * im;
  }
  return p;
}

// The whole recipe in double, independent of the extractor's tables.
std::vector<double> reference_features(const short* x) {
  double mean = 0.0;
  for (int i = 0; i < 400; ++i) mean += x[i];
  mean /= 400.0;
  std::vector<float> frame(512, 0.0f);
  double prev = x[0] - mean;
  for (int i = 0; i < 400; ++i) {
    const double cur = x[i] - mean;
    const double w = std::pow(0.5 - 0.5 * std::cos(2.0 * kPi * i / 399.0), 0.85);
    frame[i] = static_cast<float>(w * (cur - 0.97 * prev));
    prev = cur;
  }
  const std::vector<double> p = fft_power(frame.data());
  const std::vector<double> fb = dense_filterbank();
  std::vector<double> feat(80);
  for (int m = 0; m < 80; ++m) {
    double s = 0.0;
    for (int k = 0; k < 256; ++k) s += fb[m * 256 + k] * p[k];
    feat[m] = std::log(std::max(s, 0.01));
  }
  return feat;
}

// The extractor's window, filterbank and FFT, end to end, against the recipe in double:
// pre-emphasis 0.97 after removing the mean, the Povey window, 80 triangular mel bands over
// 20-8000 Hz, log with a floor of 0.01.
TEST(FeatureExtract, FeaturesMatchDoublePrecisionRecipe) {
  FeatureExtract fe(1);
  ASSERT_TRUE(fe.valid());
  for (unsigned seed = 10; seed < 15; ++seed) {
    const std::vector<short> x = random_audio(400, seed, seed == 14 ? 32767 : 200 << (seed - 10) * 2);
    float feat[80];
    fe.compute_frame(x.data(), feat);
    const std::vector<double> ref = reference_features(x.data());
    for (int m = 0; m < 80; ++m) EXPECT_NEAR(feat[m], ref[m], 2e-4) << "seed " << seed << " band " << m;
  }
  // Silence and DC give exactly the log floor; global_cmvn applies the same floor.
  const float floor_value = std::log(0.01f);
  EXPECT_NEAR(floor_value, -4.60517, 1e-5);
  for (short level : {0, 1234, -32768}) {
    std::vector<short> x(400, level);
    float feat[80];
    fe.compute_frame(x.data(), feat);
    for (int m = 0; m < 80; ++m) EXPECT_EQ(feat[m], floor_value) << "level " << level << " band " << m;
  }
  float mel[80];
  for (int m = 0; m < 80; ++m) mel[m] = m == 3 ? 0.5f : (m == 4 ? 0.0100001f : 0.0f);
  FeatureExtract::global_cmvn(mel);
  EXPECT_EQ(mel[0], floor_value);
  EXPECT_EQ(mel[3], std::log(0.5f));
  EXPECT_EQ(mel[4], std::log(0.0100001f));
}

// Rows of a chunk equal compute_frame on the corresponding 400-sample windows (hop 160).
void expect_chunk_rows(const float* chunk, const std::vector<short>& audio, int first_frame) {
  FeatureExtract single(1);
  float feat[80];
  for (int r = 0; r < 19; ++r) {
    single.compute_frame(audio.data() + (first_frame + r) * 160, feat);
    ASSERT_EQ(std::memcmp(chunk + r * 80, feat, sizeof feat), 0) << "row " << r;
  }
}

// Pieces of any size give the same chunks as one block: the first after 3280 samples, one more
// every 2560, each overlapping the last by three frames.
TEST(FeatureExtract, FramingDoesNotDependOnBlockSizes) {
  const std::vector<short> audio = random_audio(30000, 77);
  auto run = [&](const std::vector<int>& pieces) {
    FeatureExtract fe(1);
    std::vector<float> out;
    for (std::size_t pos = 0, p = 0; pos < audio.size();) {
      const int n = static_cast<int>(std::min<std::size_t>(pieces[p++ % pieces.size()], audio.size() - pos));
      EXPECT_EQ(fe.insert(audio.data() + pos, n, 1), n);
      pos += n;
      Tensor<float>* t = nullptr;
      while (fe.fetch(t)) {
        out.insert(out.end(), t->data, t->data + t->size);
        fe.recycle(t);
      }
    }
    return out;
  };
  const std::vector<float> whole = run({7000});
  EXPECT_EQ(whole.size(), static_cast<std::size_t>(11 * 19 * 80));  // (30000 - 3280) / 2560 + 1
  expect_chunk_rows(whole.data(), audio, 0);
  expect_chunk_rows(whole.data() + 10 * 19 * 80, audio, 160);
  EXPECT_EQ(run({1, 7, 399, 160, 13, 1001, 2560}), whole);
  EXPECT_EQ(run({3}), whole);

  FeatureExtract fe(1);
  EXPECT_EQ(fe.insert(audio.data(), 399, 1), 399);
  EXPECT_EQ(fe.queue().fill(), 0);
  fe.insert(audio.data() + 399, 1, 1);
  EXPECT_TRUE(fe.queue().fill() == 1 && fe.buffered_samples() == 240);
  fe.insert(audio.data() + 400, 3280 - 400 + 2559, 1);
  EXPECT_EQ(fe.size(), 1);
  fe.insert(audio.data() + 3280 + 2559, 1, 1);
  EXPECT_EQ(fe.size(), 2);
  Tensor<float>* untouched = nullptr;
  while (fe.fetch(untouched)) fe.recycle(untouched);
  Tensor<float>* none = untouched;
  EXPECT_EQ(fe.fetch(none), 0);
  EXPECT_EQ(none, untouched);
}

TEST(FeatureExtract, FullBufferKeepsWhatFitsAndANegativeCountOnlyFramesWhatIsStored) {
  const std::vector<short> audio = random_audio(7681, 9);
  FeatureExtract fe(1);
  EXPECT_EQ(fe.insert(audio.data(), 7681, 1), 7680);
  EXPECT_TRUE(fe.buffered_samples() == 7680 && fe.queue().fill() == 0);
  // A null, empty or negative block only frames what is stored: 46 frames, two chunks.
  EXPECT_EQ(fe.insert(audio.data(), -3, 1), 0);
  EXPECT_EQ(fe.size(), 2);
  EXPECT_EQ(fe.insert(nullptr, 100, 1), 0);
  EXPECT_TRUE(fe.size() == 2 && fe.queue().fill() == 46 - 35 + 3 && fe.buffered_samples() == 7680 - 46 * 160);
  Tensor<float>* t = nullptr;
  ASSERT_EQ(fe.fetch(t), 1);
  expect_chunk_rows(t->data, audio, 0);
  fe.recycle(t);
  // The leftover samples move to the front when the next block would pass the buffer's end.
  const std::vector<short> more = random_audio(7000, 10);
  EXPECT_EQ(fe.insert(more.data(), 7000, 1), 7000);
  EXPECT_EQ(fe.insert(more.data(), 0, 1), 0);
  EXPECT_LT(fe.buffered_samples(), 400);
}

}  // namespace
}  // namespace mvsdk::engine
