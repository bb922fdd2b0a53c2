#pragma once
// The vocoder network: 16 frames of 100 acoustic features and 16 fundamental-frequency values
// (one per 10 ms) in, 3840 samples of 16-bit audio at 24 kHz out.
//
// A harmonic sine source is generated from f0 at 60 rows per frame (the 6000 Hz rate of the final
// spectral frames); the features pass a causal input convolution and three UpSampler stages
// (factors 3, 5, 4; channels 512 -> 256 -> 128 -> 64), each adding a strided convolution of the
// source; an output convolution gives 9 log-magnitudes and 9 phases per spectral frame, and a
// fixed inverse transform (16 points, hop 4, a DeConv1d in mode 1) turns them into audio.
//
// Weights are borrowed from the model file's float block, which must outlive the network; every
// tensor is allocated at construction. The convolutions run one after another, so they share one
// im2col workspace sized for the largest of them (the output convolution's 960 x 7 x 64 floats)
// instead of each holding one sized for 960 rows. One thread at a time (the engine's processing thread);
// forward() allocates nothing.
#include <array>
#include <cstdint>
#include <memory>

#include "engine/core/alignmm.h"
#include "engine/layers/conv1d.h"
#include "engine/layers/deconv1d.h"
#include "engine/layers/upsampler.h"

namespace mvsdk::engine {

// Harmonic merge of the sine source: weights of harmonics 1..9, then the bias.
extern const float l_linear[10];

// Harmonic sine source, one value per row of f0 (Hz, 0 = unvoiced), rows in order; out may be f0
// itself (row i is read before it is written) and takes f0's shape; out's capacity must hold
// f0->size floats. `phase` holds the 9 running harmonic phases in cycles and is advanced. Per row:
// uv = f0 > 0; for h = 1..9: inc = f0 x h / 24000, phase += frac(inc), phase -= trunc(phase),
// acc += l_linear[h-1] x sin(2 pi phase) x 0.1 x uv (in double, acc rounded to float after each
// harmonic); out = tanh(acc + l_linear[9]). A non-finite f0 counts as unvoiced 0 Hz, so that one
// bad value cannot poison the phases for the rest of the stream.
void sinegen(const Tensor<float>* f0, Tensor<float>* out, Tensor<float>* phase);

// Per row of 18 values (9 log-magnitudes, 9 phase values): m = e^in[k], p = pi x sin(in[9 + k]);
// out[k] = m cos p, out[9 + k] = m sin p, k < 9. out may be in; it takes in's shape and needs
// in->size floats of capacity. Rows = in->size / 18.
void fwd_istft_pre(const Tensor<float>* in, Tensor<float>* out);

class vocengine {
 public:
  static constexpr int kFeatures = 100;
  static constexpr int kMaxFrames = 16;          // feature frames per chunk
  static constexpr int kRowsPerFrame = 60;       // source rows per feature frame (6000 Hz)
  static constexpr int kSamplesPerFrame = 240;   // 24 kHz samples per feature frame
  static constexpr int kStages = 3;
  static constexpr int kWorkRows = 1080;         // 960 rows plus room for the convolutions' history

  // Builds the network from `weights` (mode has no effect). The weights are
  // referenced in place, not copied.
  vocengine(const float* weights, int mode);
  ~vocengine();
  vocengine(const vocengine&) = delete;
  vocengine& operator=(const vocengine&) = delete;

  // Floats a vocengine reads from its weight file (no weights needed).
  static int weight_floats();
  // Floats of the shared im2col workspace: the largest n x kernel x in_ch over the convolutions.
  static int workspace_floats();
  // Floats this network consumed (== weight_floats()).
  int get_memsize() const { return memsize; }

  // feat (1, 1, T, 100) and f0 (T values, Hz, 0 = unvoiced), 1 <= T <= 16, are only read.
  // Writes 240 x T samples (3840 for a full chunk) to pcm and returns their number; scaled values
  // outside the 16-bit range are clamped. Returns 0 and writes nothing on other shapes.
  int forward(const Tensor<float>& feat, const Tensor<float>& f0, std::int16_t* pcm);
  // The engine's form: the same, through the tensor pointers of the earlier networks.
  int forward(Tensor<float>*& feat, Tensor<float>*& f0, short* pcm);

  // Clears the first-chunk flag and the histories of the input convolution, the UpSampler stages,
  // the output convolution and the inverse transform. The source convolutions' histories and the
  // harmonic phases are kept: the source runs on across resets.
  void reset();
  // reset, and the source too (its convolutions' histories and the harmonic phases): the state
  // just after construction.
  void restart();

 private:
  int memsize;
  int first_done;  // 0 after construction and reset: the next chunk reflects its first frame
  std::unique_ptr<Tensor<float>> post;   // kWorkRows x 64
  std::unique_ptr<Tensor<float>> x;      // kWorkRows x 64
  std::unique_ptr<Tensor<float>> src;    // kWorkRows x 9
  std::unique_ptr<Tensor<float>> nz;     // kWorkRows x 256
  std::unique_ptr<Tensor<float>> phase;  // 9 harmonic phases, cycles
  std::unique_ptr<Tensor<float>> cols;   // im2col workspace of every Conv1d, workspace_floats()
  std::unique_ptr<Conv1d> conv_in;
  std::array<std::unique_ptr<Conv1d>, kStages> src_conv;
  std::array<std::unique_ptr<UpSampler>, kStages> ups;
  std::unique_ptr<Conv1d> conv_out;
  std::unique_ptr<DeConv1d> istft;
};

}  // namespace mvsdk::engine
