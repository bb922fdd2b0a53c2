#pragma once
// FeatureExtract: the engine's feature front end. Turns 16 kHz 16-bit mono input into 80-band
// log mel filterbank frames (25 ms frames every 10 ms) and packs them into overlapping chunks of
// 19 frames, Tensor<float> (1, 1, 19, 80), for the content encoder.
//
// Per frame of 400 samples: DC removal, pre-emphasis 0.97 (the first sample scaled by 0.03),
// Povey window, zero padding to 512, real FFT, power of bins 0..255, 80 triangular filters on
// the HTK mel scale from 20 Hz to 8000 Hz, natural log floored at 0.01. No dithering, no energy
// term, no mean or variance normalisation.
//
// Streaming: insert appends samples of any block length to a 7680-sample buffer and cuts every
// complete frame; the first chunk after construction or reset needs 3280 samples (19 frames),
// every later one 2560 more (16 new frames).
//
// Ownership: the extractor owns its buffers, the FFT state and the queue. A chunk handed out by
// fetch belongs to the caller; handing it back with recycle keeps the streaming path free of
// heap allocation. Construction and destruction allocate and release; insert, fetch, recycle,
// reset, melspect and global_cmvn never allocate unless the chunk pool runs dry (see feq.h).
// Threads: none of its own; one thread at a time (the engine's processing thread).
#include <cstdint>

#include "engine/core/alignmm.h"
#include "engine/features/feq.h"
#include "engine/features/speechwrap.h"

namespace mvsdk::engine {

// Framing and filterbank constants (16 kHz input).
inline constexpr int kFrameLength = 400;   // samples, 25 ms
inline constexpr int kFrameShift = 160;    // samples, 10 ms
inline constexpr int kFftSize = 512;
inline constexpr int kPowerBins = 256;     // bins 0..255; the Nyquist bin is not used
inline constexpr int kMelBands = 80;
inline constexpr int kSampleBufferSamples = 7680;  // input buffer, 480 ms
inline constexpr double kPreemphasis = 0.97;
inline constexpr double kLogFloor = 0.01;

// The Povey window (window_hex): w[n] = (0.5 - 0.5 cos(2 pi n / 399))^0.85, n = 0..399,
// computed in double and rounded to float; w[0] = w[399] = 0. 400 floats, built on first use.
const float* window_hex();

// The mel filterbank (melcoe_hex) in sparse form. Band m weighs power bins
// first_bin[m] .. first_bin[m] + n_bins[m] - 1 with weights[offset[m] ..], band after band in
// ascending bin order; only non-zero weights are stored (501 of them). Weights follow the
// triangular filters of the HTK mel scale mel(f) = 1127 ln(1 + f / 700) between mel(20) and
// mel(8000) in 81 equal steps, evaluated at bin frequencies 31.25 k Hz, computed in double and
// rounded to float.
struct MelBands {
  static constexpr int kMaxWeights = 2 * kPowerBins;  // each bin lies in at most two bands
  int first_bin[kMelBands];
  int n_bins[kMelBands];
  int offset[kMelBands];
  int n_weights;
  float weights[kMaxWeights];
};
const MelBands& melcoe_hex();

class FeatureExtract {
 public:
  // Allocates the frame and spectrum buffers (32-byte aligned, the frame zeroed), the 512-point
  // FFT state, the 15360-byte sample buffer and the chunk queue, then resets. mode is kept but
  // does not change the features (the engine passes 1). Check valid() afterwards.
  explicit FeatureExtract(int mode);
  ~FeatureExtract();
  FeatureExtract(const FeatureExtract&) = delete;
  FeatureExtract& operator=(const FeatureExtract&) = delete;

  // False when an allocation in the constructor failed; every other call then does nothing.
  bool valid() const;

  // Appends count samples (null or count < 1: nothing) and converts every complete frame,
  // pushing each frame's 80 features into the queue. Returns the number of samples stored.
  // A block that does not fit the free space of the 7680-sample buffer is cut to what fits and
  // no frame is cut in that call (the rest of the block is lost); callers keep blocks below
  // 7680 minus the at most 399 samples left from earlier calls. flag does not change the
  // processing (the engine passes 0 while priming, 1 when streaming).
  // Real-time safe: no allocation (given recycled chunks), no locks, no I/O.
  int insert(const short* samples, int count, int flag);

  // Number of finished chunks waiting.
  int size() const;

  // If a chunk waits, moves the oldest into out (the caller owns it) and returns 1; otherwise
  // returns 0 and leaves out untouched.
  int fetch(Tensor<float>*& out);

  // Hands a fetched chunk back for reuse; see FeatureQueue::recycle. Returns false (the caller
  // keeps it) for null or a tensor too small for a chunk.
  bool recycle(Tensor<float>* chunk);

  // Empties the sample buffer and forgets the partly filled chunk. Chunks already finished stay
  // queued.
  void reset();

  // One frame's features from its 512-float FFT output: power of bins 0..255, mel filtering,
  // then global_cmvn. Writes 80 floats to out.
  void melspect(const float* spectrum, float* out) const;

  // In place over 80 values: feat[m] = ln(max(feat[m], 0.01)), the comparison in double, the
  // logarithm in single precision. No mean or variance normalisation.
  static void global_cmvn(float* feat);

  // P[0] = o[0]^2, P[k] = fma(o[k], o[k], o[512-k]^2) for k = 1..255: the power spectrum of an
  // FFT output (rfft layout). Writes 256 floats.
  static void power_spectrum(const float* spectrum, float* power);

  // Features of one frame of 400 samples: DC removal, pre-emphasis and window into frame(), FFT
  // into spectrum(), melspect into feat (80 floats). Does not touch the sample buffer or the queue.
  void compute_frame(const short* samples, float* feat);

  // The windowed frame (512 floats, the last 112 zero) and the FFT output of the last frame.
  const float* frame() const { return frame_; }
  const float* spectrum() const { return spectrum_; }
  int mode() const { return mode_; }
  // Samples stored but not yet consumed by framing (at most 399 after an insert that fitted).
  int buffered_samples() const { return (wr_ - rd_) / 2; }
  // The chunk queue, read-only (fill level, dropped chunks).
  const FeatureQueue& queue() const { return queue_; }

 private:
  FeatureQueue queue_;
  int mode_ = 0;
  float* frame_ = nullptr;     // 512 floats, aligned; [400, 512) stay zero
  float* spectrum_ = nullptr;  // 512 floats, aligned; also scratch for the frame's samples
  RfftState* fft_ = nullptr;
  // Sample buffer: a linear byte buffer whose unread bytes [rd_, wr_) move to the front when a
  // write would pass its end (it never wraps).
  std::uint8_t* buf_ = nullptr;
  int rd_ = 0;
  int wr_ = 0;
  int cap_ = 0;
};

}  // namespace mvsdk::engine
