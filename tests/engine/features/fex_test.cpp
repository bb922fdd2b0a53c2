// The log-mel front end: the real FFT against a direct DFT, the chunk queue's overlap and
// recycling, and the extractor end to end against the recipe in double precision, framing
// whatever the block sizes, a full buffer and negative counts.
#include "engine/features/feq.h"
#include "engine/features/fex.h"
#include "engine/features/speechwrap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include "support/alloc_counter.h"
#include "support/seeded_weights.h"

namespace mvsdk::engine {
namespace {

struct StateDeleter {
  void operator()(RfftState* s) const { rfft_uninit(s); }
};
using StatePtr = std::unique_ptr<RfftState, StateDeleter>;

// Direct DFT of real input in double precision: (re, im) of bin k.
void dft(const std::vector<float>& x, int k, double* re, double* im) {
  const int n = static_cast<int>(x.size());
  double r = 0.0, i = 0.0;
  for (int t = 0; t < n; ++t) {
    const double a = -2.0 * std::numbers::pi * static_cast<double>((static_cast<long long>(k) * t) % n) / n;
    r += x[t] * std::cos(a);
    i += x[t] * std::sin(a);
  }
  *re = r;
  *im = i;
}

// The transform against a direct DFT; the vector path (8-lane, 4-lane and scalar butterflies)
// gives exactly the bits of the scalar reference, in place and out of place.
TEST(Rfft, MatchesDirectDftTheVectorPathIsBitIdenticalToReferenceAndBadSizesAreRefused) {
  test::SeededFloats rng(100);
  for (int n : {4, 8, 16, 32, 64, 256, 512, 2048}) {
    SCOPED_TRACE("n " + std::to_string(n));
    StatePtr st(rfft_init(n));
    ASSERT_NE(st, nullptr);
    const std::vector<float> x = rng.vector(static_cast<std::size_t>(n), 1000.0f);
    std::vector<float> out(n + 8, 12345.0f), ref(n), inplace = x;  // canaries after the output
    ASSERT_EQ(rfft_process(st.get(), x.data(), out.data()), 0);
    ASSERT_EQ(rfft_process_ref(st.get(), x.data(), ref.data()), 0);
    ASSERT_EQ(rfft_process(st.get(), inplace.data(), inplace.data()), 0);
    EXPECT_EQ(std::memcmp(ref.data(), out.data(), sizeof(float) * n), 0);
    EXPECT_EQ(std::memcmp(ref.data(), inplace.data(), sizeof(float) * n), 0);
    double scale = 0.0;
    for (float v : x) scale += std::fabs(v);
    for (int k = 0; k <= n / 2; ++k) {
      double re, im;
      dft(x, k, &re, &im);
      EXPECT_NEAR(out[k], re, 2e-6 * scale) << "bin " << k;
      if (k > 0 && k < n / 2) {
        EXPECT_NEAR(out[n - k], -im, 2e-6 * scale) << "bin " << k;
      }
    }
    for (int i = n; i < n + 8; ++i) EXPECT_EQ(out[i], 12345.0f);
  }
  // Sizes that are not a power of two from 4 up, and missing arguments, are refused.
  for (int n : {0, 2, 500, -512}) EXPECT_EQ(rfft_init(n), nullptr) << n;
  StatePtr st(rfft_init(512));
  float buf[512] = {};
  EXPECT_EQ(rfft_process(nullptr, buf, buf), -1);
  EXPECT_EQ(rfft_process(st.get(), nullptr, buf), -1);
  EXPECT_EQ(rfft_process_ref(nullptr, buf, buf), -1);
  EXPECT_EQ(rfft_uninit(nullptr), -1);
}

// Frame number f carries the value f + band / 100 in band `band`, so rows identify their frame.
std::vector<float> frame_of(int f) {
  std::vector<float> v(FeatureQueue::kBands);
  for (int b = 0; b < FeatureQueue::kBands; ++b) v[b] = static_cast<float>(f) + b / 100.0f;
  return v;
}

void push_frames(FeatureQueue& q, int first, int end) {
  for (int f = first; f < end; ++f) q.push(frame_of(f).data(), 1);
}

void expect_rows(const Tensor<float>* t, int first_frame) {
  ASSERT_NE(t, nullptr);
  EXPECT_TRUE(t->shape[0] == 1 && t->shape[1] == 1 && t->shape[2] == 19 && t->shape[3] == 80);
  for (int r = 0; r < 19; ++r) {
    const std::vector<float> want = frame_of(first_frame + r);
    for (int b = 0; b < FeatureQueue::kBands; ++b) ASSERT_EQ(t->data[r * 80 + b], want[b]) << r;
  }
}

TEST(FeatureQueue, ChunksOverlapByThreeFramesAndRecycledChunksKeepPushesFreeOfAllocation) {
  FeatureQueue q;
  ASSERT_TRUE(q.valid());
  EXPECT_EQ(q.pop(), nullptr);
  push_frames(q, 0, 18);
  EXPECT_TRUE(q.size() == 0 && q.fill() == 18);
  push_frames(q, 18, 19);
  EXPECT_TRUE(q.size() == 1 && q.fill() == 3);
  // Every 16 further frames complete one more chunk; the waiting room grows beyond its initial 8.
  push_frames(q, 19, 19 + 16 * 11);
  ASSERT_EQ(q.size(), 12);
  for (int first = 0; Tensor<float>* t = q.pop(); first += 16) {
    expect_rows(t, first);
    EXPECT_TRUE(q.recycle(t));
  }
  EXPECT_EQ(q.dropped(), 0);
  const std::vector<float> frame = frame_of(7);
  test::AllocationGuard guard;
  for (int i = 0; i < 16 * 50; ++i) {
    q.push(frame.data(), 1);
    if (Tensor<float>* t = q.pop()) {
      t->resize(1, 1, 2, 80);  // whatever the consumer did with the shape
      EXPECT_TRUE(q.recycle(t));
    }
  }
  EXPECT_EQ(guard.count(), 0u);
}

TEST(FeatureQueue, RecycleRejectsWhatItCannotOwn) {
  FeatureQueue q;
  EXPECT_FALSE(q.recycle(nullptr));
  auto* small = new Tensor<float>(18, 80);
  EXPECT_FALSE(q.recycle(small));
  delete small;
  push_frames(q, 0, 19);
  Tensor<float>* t = q.pop();
  ASSERT_NE(t, nullptr);
  EXPECT_TRUE(q.recycle(t));
  EXPECT_FALSE(q.recycle(t));  // already back in the pool
  EXPECT_TRUE(q.recycle(new Tensor<float>(40, 80)));  // a bigger one is used with the chunk shape
}

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
  // Silence and DC give exactly the log floor.
  const float floor_value = std::log(0.01f);
  EXPECT_NEAR(floor_value, -4.60517, 1e-5);
  for (short level : {0, 1234, -32768}) {
    std::vector<short> x(400, level);
    float feat[80];
    fe.compute_frame(x.data(), feat);
    for (int m = 0; m < 80; ++m) EXPECT_EQ(feat[m], floor_value) << "level " << level << " band " << m;
  }
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

// Fed in uneven pieces, the extractor gives a chunk after 3280 samples and one more every 2560,
// each overlapping the last by three frames: its rows are the frames of the 400-sample windows
// at a hop of 160 however the pieces fell.
TEST(FeatureExtract, ChunksFrameTheWindowsWhateverThePieces) {
  const std::vector<short> audio = random_audio(30000, 77);
  const int pieces[] = {1, 7, 399, 160, 13, 1001, 2560};
  FeatureExtract fe(1);
  std::vector<float> out;
  for (std::size_t pos = 0, p = 0; pos < audio.size();) {
    const int n = static_cast<int>(std::min<std::size_t>(pieces[p++ % std::size(pieces)], audio.size() - pos));
    EXPECT_EQ(fe.insert(audio.data() + pos, n, 1), n);
    pos += n;
    Tensor<float>* t = nullptr;
    while (fe.fetch(t)) {
      out.insert(out.end(), t->data, t->data + t->size);
      fe.recycle(t);
    }
  }
  ASSERT_EQ(out.size(), static_cast<std::size_t>(11 * 19 * 80));  // (30000 - 3280) / 2560 + 1
  for (int c : {1, 10}) expect_chunk_rows(out.data() + c * 19 * 80, audio, 16 * c);
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
  EXPECT_EQ(fe.insert(audio.data(), 0, 1), 0);
}

}  // namespace
}  // namespace mvsdk::engine
