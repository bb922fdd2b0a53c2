// The engine chain: chunk spacing after priming, start-up silence, underrun, delay and reset;
// the same output stream whatever the push size, and every stage's floats to the bit whatever
// the thread count, in single and half precision; how far half precision moves each stage, and
// that every large product reads halves; any rate; no allocation.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "engine/driver/engine.h"
#include "engine/kernels/gemm.h"
#include "support/alloc_counter.h"
#include "support/engine_fixture.h"

using mvsdk::engine::ChunkStage;
using mvsdk::engine::WeightForm;
using mvsdk::test::Engine;
using mvsdk::test::Models;
using mvsdk::test::models;
using mvsdk::test::Params;
using mvsdk::test::test_signal;

namespace {

bool all_zero(const std::vector<short>& v) {
  return std::all_of(v.begin(), v.end(), [](short s) { return s == 0; });
}

struct Conversion {
  std::vector<short> stream;
  std::map<ChunkStage, std::vector<float>> stages;  // every observed stage's data, in order
  mvsdk::engine::ProductTally tally;
};

// Converts the speech-like signal, 16 kHz in and 24 kHz out (the stages and the output at the
// vocoder's rate), in pushes of the given size, popping all that is queued after each.
// The engine given, or by default one over the shared models.
Conversion convert(int push, int threads, WeightForm form = WeightForm::kAsGiven, double seconds = 1.6,
                   std::unique_ptr<Engine> e = nullptr) {
  if (!e) e = models().make(16000, 24000, threads, form);
  EXPECT_EQ(e->threads(), threads);
  EXPECT_EQ(e->half_precision(), form == WeightForm::kHalf);
  Conversion r;
  e->set_observer(
      [](void* user, ChunkStage stage, const float* data, int rows, int cols) {
        auto& v = (*static_cast<std::map<ChunkStage, std::vector<float>>*>(user))[stage];
        v.insert(v.end(), data, data + static_cast<std::ptrdiff_t>(rows) * cols);
      },
      &r.stages);
  const auto sig = test_signal(16000, seconds);
  Params p;
  std::vector<short> buf(8192);
  mvsdk::engine::set_product_tally(&r.tally);
  for (int pos = 0; pos < static_cast<int>(sig.size()); pos += push) {
    e->Inpush(sig.data() + pos, std::min(push, static_cast<int>(sig.size()) - pos), 1, 1, p.v);
    const int avail = e->queued_samples();
    e->Outpop(buf.data(), avail);
    r.stream.insert(r.stream.end(), buf.begin(), buf.begin() + avail);
  }
  mvsdk::engine::set_product_tally(nullptr);
  return r;
}

// Every stage's floats the same to the bit.
void expect_same_stages(const Conversion& a, const Conversion& b, const char* what) {
  ASSERT_EQ(a.stages.size(), b.stages.size()) << what;
  for (const auto& [stage, data] : a.stages) {
    ASSERT_EQ(b.stages.at(stage).size(), data.size()) << what;
    EXPECT_EQ(std::memcmp(b.stages.at(stage).data(), data.data(), data.size() * sizeof(float)), 0)
        << what << ", stage " << static_cast<int>(stage);
  }
}

// Signal to error ratio of got against want, in dB.
template <class T>
double snr_db(const std::vector<T>& want, const std::vector<T>& got) {
  double s = 0, n = 0;
  for (std::size_t i = 0; i < want.size() && i < got.size(); ++i) {
    const double w = want[i], d = static_cast<double>(got[i]) - w;
    s += w * w;
    n += d * d;
  }
  return n == 0 ? 200.0 : 10 * std::log10(s / n);
}

}  // namespace

TEST(Engine, FirstChunkAfterPrimingAndChunkSpacing) {
  // 16 kHz in, 24 kHz out: no resamplers. Priming leaves 320 samples and six frames, so 2000
  // samples complete the first chunk and every later one needs 2560 more.
  auto e = models().make(16000, 24000);
  ASSERT_TRUE(e->ok());
  std::vector<short> zeros(4000, 0);
  Params p;
  for (auto [n, queued] : {std::pair{1999, 0}, {1, 3840}, {2559, 0}, {1, 3840}}) {
    EXPECT_EQ(e->Inpush(zeros.data(), n, 1, 1, p.v), queued);
  }
}

TEST(Engine, StartupSilenceUnderrunDelayAndReset) {
  auto e = models().make(48000, 48000);
  ASSERT_TRUE(e->ok());
  EXPECT_EQ(e->setdelay(0), 2);
  std::vector<short> out(480, 123);
  EXPECT_EQ(e->Outpop(out.data(), 480), 480);  // before any chunk: silence that counts as output
  EXPECT_TRUE(all_zero(out));
  const auto sig = test_signal(48000, 1.0);
  Params p;
  int pos = 0;
  const auto next_chunk = [&] {
    int queued = 0;
    for (; queued == 0 && pos + 480 <= static_cast<int>(sig.size()); pos += 480) {
      queued = e->Inpush(sig.data() + pos, 480, 1, 1, p.v);
    }
    return queued;
  };
  EXPECT_EQ(next_chunk(), 7680);
  // delay 2 x 480 zeros, then the silenced first chunk.
  std::vector<short> all(960 + 7680, 1);
  EXPECT_EQ(e->queued_samples(), 960 + 7680);
  EXPECT_EQ(e->Outpop(all.data(), static_cast<int>(all.size())), static_cast<int>(all.size()));
  EXPECT_TRUE(all_zero(all));
  // Output has begun: a pop that finds too little is an underrun, filled with silence.
  std::fill(out.begin(), out.end(), 5);
  EXPECT_EQ(e->Outpop(out.data(), 480), -1);
  EXPECT_TRUE(all_zero(out));
  ASSERT_EQ(next_chunk(), 7680);  // the second chunk is real output
  std::vector<short> chunk(7680);
  EXPECT_EQ(e->Outpop(chunk.data(), 7680), 7680);
  EXPECT_FALSE(all_zero(chunk));
  // reset: the silence rule again, with the delay (clamped to 16) now in force.
  EXPECT_EQ(e->setdelay(17), 16);
  EXPECT_EQ(e->setdelay(5), 5);
  e->reset();
  EXPECT_TRUE(!e->started() && e->queued_samples() == 0);
  EXPECT_EQ(e->Outpop(out.data(), 480), 480);
  pos = 0;
  EXPECT_EQ(next_chunk(), 7680);
  EXPECT_EQ(e->queued_samples(), 5 * 480 + 7680);
}

TEST(Engine, PushSizesAndThreadCountsGiveTheSameStream) {
  // 10 ms pushes and 2560-sample pushes of the same input convert to the same output stream, and
  // 2, 3 and 4 engine threads give every stage's floats to the bit (in half precision too): the
  // products are split by columns, never summed in another order.
  const Conversion a = convert(160, 1);
  ASSERT_GT(a.stream.size(), 3840u * 5);
  EXPECT_EQ(convert(2560, 1).stream, a.stream);
  EXPECT_FALSE(all_zero(a.stream));
  for (int threads : {2, 3, 4}) {
    const Conversion t = convert(160, threads);
    EXPECT_EQ(t.stream, a.stream) << threads << " threads";
    expect_same_stages(a, t, "threads");
  }
  for (const WeightForm form : {WeightForm::kHalf, WeightForm::kPanels}) {
    const Conversion one = convert(160, 1, form, 1.2);
    const Conversion two = convert(160, 2, form, 1.2);
    ASSERT_FALSE(one.stream.empty());
    EXPECT_EQ(two.stream, one.stream);
    expect_same_stages(one, two, form == WeightForm::kHalf ? "half precision, 2 threads" : "panels, 2 threads");
  }
}

TEST(EnginePanels, ContentIsTheSameToTheBitAndTheRestDiffersOnlyByRounding) {
  // The content encoder's products (4 rows, and BLAS for its 76-row convolution) sum the same
  // terms in the same order whichever way the weights are held. The acoustic model's 16-row
  // products move from BLAS to the engine's kernel: the same terms summed in another order, a
  // difference of rounding only. Measured on these models and this signal: acoustic features
  // 135 dB, vocoder 120 dB, output 122 dB; the bounds leave 10 dB and more for other processors.
  const Conversion given = convert(160, 1, WeightForm::kAsGiven, 2.0);
  const Conversion panels = convert(160, 1, WeightForm::kPanels, 2.0);
  ASSERT_GT(given.stream.size(), 3840u * 8);
  ASSERT_EQ(panels.stream.size(), given.stream.size());
  EXPECT_EQ(panels.stages.at(ChunkStage::kContent), given.stages.at(ChunkStage::kContent));
  for (const ChunkStage stage : {ChunkStage::kAcoustic, ChunkStage::kVocoder}) {
    EXPECT_GE(snr_db(given.stages.at(stage), panels.stages.at(stage)), 110) << "stage " << static_cast<int>(stage);
  }
  EXPECT_GE(snr_db(given.stream, panels.stream), 110);
  EXPECT_EQ(panels.tally.b_bytes, given.tally.b_bytes);
}

TEST(Engine, WeightsItGivesBackAreNeverReadAgain) {
  // Every block the engine gives back (the position projections once the networks are built, each
  // block as soon as it is copied) is overwritten with NaN on the spot, in private mappings of the
  // model files: the conversion must be the same to the bit as over the untouched weights.
  struct Given {
    double floats = 0;
  };
  const auto poison = [](void* user, const float* src, std::size_t count) {
    std::fill(const_cast<float*>(src), const_cast<float*>(src) + count, std::numeric_limits<float>::quiet_NaN());
    static_cast<Given*>(user)->floats += static_cast<double>(count);
  };
  for (const WeightForm form : {WeightForm::kAsGiven, WeightForm::kPanels, WeightForm::kHalf}) {
    SCOPED_TRACE(static_cast<int>(form));
    const Models own;
    Given given;
    const Conversion poisoned = convert(160, 1, form, 1.2, own.make(16000, 24000, 1, form, poison, &given));
    const Conversion clean = convert(160, 1, form, 1.2);
    ASSERT_FALSE(clean.stream.empty());
    EXPECT_EQ(poisoned.stream, clean.stream);
    expect_same_stages(clean, poisoned, "weights given back");
    // In place: the position projections alone (5.25 MB); copied: most of the files besides.
    const double mb = given.floats * sizeof(float) / (1 << 20);
    EXPECT_GT(mb, form == WeightForm::kAsGiven ? 5.0 : 170.0);
  }
}

TEST(EngineHalf, StagesStayCloseToSinglePrecisionAndEveryLargeProductReadsHalves) {
  const Conversion single = convert(160, 1, WeightForm::kAsGiven, 2.0);
  const Conversion half = convert(160, 1, WeightForm::kHalf, 2.0);
  ASSERT_GT(single.stream.size(), 3840u * 8);
  ASSERT_EQ(half.stream.size(), single.stream.size());
  // The features do not depend on the weights; every later stage carries the weights' rounding
  // (a relative error of at most 2^-11 each). Measured on these models and this signal: content
  // 86 dB, acoustic features 75 dB, vocoder 90 dB, output 90 dB, auxiliary output and pitch
  // unchanged; the bounds leave 10 dB for other processors and libraries.
  EXPECT_EQ(half.stages.at(ChunkStage::kMel), single.stages.at(ChunkStage::kMel));
  const std::pair<ChunkStage, double> bounds[] = {{ChunkStage::kContent, 76}, {ChunkStage::kAux, 76},
                                                  {ChunkStage::kAcoustic, 67}, {ChunkStage::kPitch, 67},
                                                  {ChunkStage::kVocoder, 80}};
  for (const auto& [stage, bound] : bounds) {
    EXPECT_GE(snr_db(single.stages.at(stage), half.stages.at(stage)), bound) << "stage " << static_cast<int>(stage);
  }
  EXPECT_GE(snr_db(single.stream, half.stream), 80);
  // Weights are read as halves everywhere but in the few products on activations (attention)
  // and the small blocks: at most 3% of the bytes single precision reads.
  EXPECT_GT(half.tally.half_b_bytes, 0.45 * single.tally.b_bytes);
  EXPECT_LT(half.tally.b_bytes - half.tally.half_b_bytes, 0.03 * single.tally.b_bytes);
}

TEST(Engine, AnyRateAndAnyPushLengthIsSafe) {
  // Rates from 8 kHz to 192 kHz, pushes far beyond one chunk: nothing overflows (the sanitizer
  // build checks), and a long push converts as much as the same audio in 10 ms pushes.
  const int rates[][2] = {{8000, 192000}, {192000, 8000}, {44100, 44100}, {11025, 96000}};
  for (const auto& r : rates) {
    SCOPED_TRACE(std::to_string(r[0]) + " -> " + std::to_string(r[1]));
    const auto sig = test_signal(r[0], 0.45);
    Params p;
    auto whole = models().make(r[0], r[1]);
    ASSERT_TRUE(whole->ok());
    const int a = whole->Inpush(sig.data(), static_cast<int>(sig.size()), 1, 1, p.v);
    auto steps = models().make(r[0], r[1]);
    int b = 0;
    for (int pos = 0, step = r[0] / 100; pos + step <= static_cast<int>(sig.size()); pos += step) {
      b += steps->Inpush(sig.data() + pos, step, 1, 1, p.v);
    }
    EXPECT_GT(a, 0);
    EXPECT_NEAR(a, b, r[1] * 0.161);  // at most one chunk apart (the 10 ms run may cut the tail)
    std::vector<short> out(whole->queued_samples());
    EXPECT_EQ(whole->Outpop(out.data(), static_cast<int>(out.size())), static_cast<int>(out.size()));
  }
  auto bad = models().make(4000, 48000);
  EXPECT_FALSE(bad->ok());
  short s[16] = {};
  EXPECT_EQ(bad->Inpush(s, 16, 1, 1, nullptr), 0);
}

TEST(Engine, PushAndPopAllocateNothing) {
  // Feature chunks are recycled, so once the first chunk has gone through, neither pushes nor
  // pops allocate, in either precision and on the worker threads.
  for (const auto& [form, threads] :
       {std::pair{WeightForm::kAsGiven, 1}, {WeightForm::kHalf, 2}, {WeightForm::kPanels, 2}}) {
    SCOPED_TRACE(threads);
    auto e = models().make(48000, 48000, threads, form);
    const auto sig = test_signal(48000, 0.5);
    Params p;
    std::vector<short> out(480);
    int pos = 0;
    while (e->Inpush(sig.data() + pos, 480, 1, 1, p.v) == 0) pos += 480;
    for (pos += 480; pos + 480 <= static_cast<int>(sig.size()); pos += 480) {
      mvsdk::test::AllocationGuard guard;
      e->Inpush(sig.data() + pos, 480, 1, 1, p.v);
      for (int i = 0; i < 11; ++i) e->Outpop(out.data(), 480);
      EXPECT_EQ(guard.count(), 0u) << "push at " << pos;
    }
  }
}
