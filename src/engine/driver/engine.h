#pragma once
// engine: the whole conversion chain for one stream. Input resampling to 16 kHz, feature
// extraction, content encoder, acoustic model, vocoder (24 kHz), output resampling to the host's
// rate, and an output ring that decouples pushes of microphone audio from pops of converted audio
// and inserts the start-up delay.
//
// Threads: Inpush, setstyle, setdelay and reset run on one thread at a time (the engine's work
// queue). Outpop may run on another thread at the same time as any of them: the output ring is
// guarded by a short lock held only for a copy into or out of it, so a pop never waits for a
// chunk's computation and never sees a partly written chunk.
//
// Memory: every buffer is allocated at construction, sized from the two rates; Inpush and Outpop
// allocate nothing except the feature chunk the extractor hands to the content encoder.
//
// Limits: input and output rates from kMinRate to kMaxRate. A push of any length is accepted:
// pushes longer than kMaxPushMs of input are split into pieces of at most that length, each
// converting at most one chunk, so no buffer can overflow and no input is dropped.
#include <atomic>
#include <cstdint>
#include <memory>

#include "engine/core/alignmm.h"
#include "engine/nets/weight_plan.h"

struct SpeexResamplerState_;

namespace mvsdk::engine {

class amengine;
class bnengine;
class vocengine;
class FeatureExtract;
class WorkerPool;
class WeightCopies;
struct RingBuffer;

// What a chunk observer is shown, stage by stage (for dumps and diagnostics).
enum class ChunkStage {
  kMel,     // 19 x 80 log-mel chunk, as handed to the content encoder
  kContent, // 16 x 513 content encoder output
  kAux,     // 16 x 60 auxiliary output
  kAcoustic,// 16 x 100 acoustic features
  kPitch,   // 16 x 1 pitch in Hz
  kParams,  // 1 x 5 pitch parameter block after the chunk
  kVocoder, // 24 kHz samples (as floats) before output resampling and before start-up silencing
};
// How the engine holds the matrix weights its products read.
enum class WeightForm {
  kAsGiven,  // read in place from the weight blocks (which may then be shared by many engines)
  kPanels,   // the matrices read whole and untransposed copied in panel order, single precision:
             // read faster, at the cost of the copies' memory (the blocks copied are not read
             // again: a caller that maps them can give their pages back)
  kHalf,     // every large matrix copied in half precision (weight_copies.h)
};

// Called on the pushing thread with row-major data of rows x cols floats, valid for the call.
using ChunkObserver = void (*)(void* user, ChunkStage stage, const float* data, int rows, int cols);

class engine {
 public:
  static constexpr int kMinRate = 8000;
  static constexpr int kMaxRate = 192000;
  static constexpr int kFeatureRate = 16000;
  static constexpr int kVocoderRate = 24000;
  static constexpr int kChunkVocoderSamples = 3840;  // 160 ms at 24 kHz
  static constexpr int kMaxPushMs = 150;             // longer pushes are split (see above)
  static constexpr int kMaxDelaySteps = 16;
  static constexpr int kStyleSize = 192;

  // Builds the chain over the three weight blocks (which must outlive the engine) and primes the
  // feature extractor. Check ok() afterwards: false when a rate is out of range or an allocation
  // failed; such an engine must only be destroyed. threads: how many threads compute a chunk's
  // matrix products (the pushing thread and threads - 1 workers the engine owns; 0 = automatic,
  // see automatic_engine_threads); the output is the same to the bit for every count.
  // weights: see WeightForm. The copies are made here, once; the blocks copied are not read from
  // the weight blocks again (weight_copies() lists them).
  // released (when not null) is called with each block the engine will not read again: the ones
  // read only while the networks are built, and each copied block as soon as it is copied (see
  // add_weight_copies). A caller can give their pages back while the engine is built: the weights
  // then never take their memory twice over.
  engine(const float* am, const float* bn, const float* voc, int inRate, int outRate, int threads = 1,
         WeightForm weights = WeightForm::kAsGiven, WeightsReleased released = nullptr,
         void* released_user = nullptr);
  ~engine();
  engine(const engine&) = delete;
  engine& operator=(const engine&) = delete;

  bool ok() const { return ok_; }

  // Copies 192 floats from src into the style tensor and hands it to the acoustic model.
  void setstyle(const float* src);
  // Pushes count input-rate samples, converts the chunks they complete (at most one per piece of
  // kMaxPushMs), queues the output and returns the number of output-rate samples queued (0 when no
  // chunk completed or the ring could not take a chunk whole).
  int Inpush(const short* samples, int count, int flag, int control, float* controls);
  // Fills out with count samples. Returns count, or -1 on an underrun after output began (out is
  // then silence); before the first chunk the silence counts as output and count is returned.
  int Outpop(short* out, int count);
  // steps < 1: no change; 1..16 set; above 16: 16. Returns the delay in force; it applies from the
  // next start of output.
  int setdelay(int steps);
  // Back to the just-constructed state, keeping the style, the delay and the vocoder's source
  // (its harmonic phases run on across resets).
  void reset();
  // reset, and the vocoder's source too: the engine then answers a stream exactly as a newly
  // built one with the same style and delay would. For callers that reuse one engine for
  // unrelated streams.
  void restart();

  int input_rate() const { return in_rate_; }
  // Threads computing a chunk (1 without workers).
  int threads() const;
  // Whether the matrix weights are held in half precision.
  bool half_precision() const { return half_precision_; }
  // The weight blocks the engine holds copies of (null without copies): their floats are not read
  // again.
  const WeightCopies* weight_copies() const { return copies_.get(); }
  int output_rate() const { return out_rate_; }
  int delay() const { return delay_; }
  bool started() const { return started_.load(std::memory_order_acquire) != 0; }
  // Output-rate samples waiting in the ring.
  int queued_samples();

  void set_observer(ChunkObserver observer, void* user) {
    observer_ = observer;
    observer_user_ = user;
  }

 private:
  bool prime();
  int push_piece(const short* samples, int count, int flag, int control, float* controls);
  int process_chunk(int control, float* controls);
  void observe(ChunkStage stage, const float* data, int rows, int cols) const {
    if (observer_) observer_(observer_user_, stage, data, rows, cols);
  }
  void ring_lock();
  void ring_unlock();

  int in_rate_ = 0;
  int out_rate_ = 0;
  int out_step = 0;     // output samples per 10 ms
  int delay_ = 2;       // start-up delay in 10 ms steps
  std::atomic<int> started_{0};
  bool ok_ = false;
  bool half_precision_ = false;

  // Owners of the C handles and aligned blocks; each frees what it holds (null is ignored).
  struct ResamplerFree {
    void operator()(SpeexResamplerState_* rs) const;
  };
  struct RingFree {
    void operator()(RingBuffer* rb) const;
  };
  struct AlignedFree {
    void operator()(void* p) const { aligned_free(p); }
  };
  using Resampler = std::unique_ptr<SpeexResamplerState_, ResamplerFree>;
  template <class T>
  using Aligned = std::unique_ptr<T[], AlignedFree>;

  Resampler rs_in;
  Resampler rs_out;
  std::unique_ptr<RingBuffer, RingFree> out_rb;
  std::atomic_flag out_rb_lock_ = ATOMIC_FLAG_INIT;
  Aligned<short> in_buf;   // 16 kHz samples from rs_in
  int in_buf_len = 0;
  Aligned<short> out_buf;  // output-rate samples from rs_out
  int out_buf_len = 0;
  Aligned<short> voc_buf;  // 24 kHz samples from the vocoder
  Aligned<short> zero_block;  // out_step zero samples for the start-up delay
  Aligned<float> scratch;  // kVocBufSamples floats, for observers only
  int max_piece_ = 0;      // input samples per piece

  std::unique_ptr<amengine> am;
  std::unique_ptr<bnengine> bn;
  std::unique_ptr<vocengine> voc;
  std::unique_ptr<FeatureExtract> fe;
  std::unique_ptr<Tensor<float>> style;
  std::unique_ptr<WeightCopies> copies_;
  std::unique_ptr<WorkerPool> pool_;   // null with one thread

  ChunkObserver observer_ = nullptr;
  void* observer_user_ = nullptr;
};

}  // namespace mvsdk::engine
