#include "engine/driver/engine.h"

#include <speex/speex_resampler.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <thread>

#include "engine/core/worker_pool.h"
#include "engine/driver/rb.h"
#include "engine/features/fex.h"
#include "engine/kernels/weight_copies.h"
#include "engine/nets/amengine.h"
#include "engine/nets/bnengine.h"
#include "engine/nets/vocengine.h"
#include "engine/nets/weight_plan.h"

namespace mvsdk::engine {

namespace {

constexpr int kPrimeBlock = 640;        // zero samples per priming insert
constexpr int kMaxPrimeInserts = 64;    // priming completes a chunk after six; this bounds a fault
constexpr int kBaseRingBytes = 46080;   // 480 ms at 48 kHz
constexpr int kResamplerQuality = 8;
constexpr int kVocBufSamples = 7680;
constexpr int kResampleSlack = 64;      // room beyond the exact rate ratio for the resamplers

// n aligned elements of T, or null when the block could not be allocated.
template <class T>
T* alloc_aligned(int n) {
  return static_cast<T*>(aligned_malloc(32, static_cast<std::uint64_t>(n) * sizeof(T)));
}

}  // namespace

engine::engine(const float* am_w, const float* bn_w, const float* voc_w, int inRate, int outRate,
               int threads, WeightForm weights, WeightsReleased released, void* released_user)
    : in_rate_(inRate), out_rate_(outRate) {
  // Tensors whose buffer could not be allocated keep a null buffer silently; any such failure
  // while building (in the networks' layers too) shows in this count and fails the construction.
  const std::uint64_t failures_before = aligned_malloc_failures();
  if (!am_w || !bn_w || !voc_w || inRate < kMinRate || inRate > kMaxRate || outRate < kMinRate ||
      outRate > kMaxRate) {
    return;
  }
  try {
    const TensorAllocationThrows unwind_on_failure;
    am = std::make_unique<amengine>(am_w, 1);
    bn = std::make_unique<bnengine>(bn_w, 1);
    voc = std::make_unique<vocengine>(voc_w, 1);
  } catch (const std::bad_alloc&) {
    return;
  }

  // Pieces of at most kMaxPushMs of input: at 16 kHz that is 2400 samples, fewer than one chunk's
  // 2560, so a piece completes at most one chunk and always fits the extractor's buffer.
  max_piece_ = std::max(1, static_cast<int>(static_cast<std::int64_t>(inRate) * kMaxPushMs / 1000));
  const int piece_16k = kFeatureRate * kMaxPushMs / 1000;
  int err = 0;
  if (inRate != kFeatureRate) {
    rs_in.reset(
        speex_resampler_init(1, static_cast<spx_uint32_t>(inRate), kFeatureRate, kResamplerQuality, &err));
    in_buf_len = std::max(inRate / 5, piece_16k + kResampleSlack);
    in_buf.reset(alloc_aligned<short>(in_buf_len));
    if (!rs_in || !in_buf) return;
  }
  if (outRate != kVocoderRate) {
    rs_out.reset(
        speex_resampler_init(1, kVocoderRate, static_cast<spx_uint32_t>(outRate), kResamplerQuality, &err));
    out_buf_len = outRate / 5 + kResampleSlack;
    out_buf.reset(alloc_aligned<short>(out_buf_len));
    if (!rs_out || !out_buf) return;
  }
  voc_buf.reset(alloc_aligned<short>(kVocBufSamples));
  out_step = outRate / 100;
  zero_block.reset(alloc_aligned<short>(out_step));
  scratch.reset(alloc_aligned<float>(kVocBufSamples));
  if (!voc_buf || !zero_block || !scratch) return;
  std::memset(zero_block.get(), 0, static_cast<std::size_t>(out_step) * sizeof(short));
  started_.store(0, std::memory_order_release);
  delay_ = 2;

  try {
    fe = std::make_unique<FeatureExtract>(1);
    style = std::make_unique<Tensor<float>>(1, 1, 1, kStyleSize);
  } catch (const std::bad_alloc&) {
    return;
  }
  if (!fe->valid() || !style->data) return;
  std::memset(style->data, 0, kStyleSize * sizeof(float));
  if (!prime()) return;

  // The ring holds the start-up silence (at most 16 steps) plus a chunk's output with room to
  // spare: 480 ms at 48 kHz, scaled up for faster output rates.
  const int ring_bytes = std::max(kBaseRingBytes, out_step * 96);
  out_rb.reset(rb_init(ring_bytes));
  if (!out_rb) return;
  if (threads < 1) threads = automatic_engine_threads();
  // The weights the engine will not read again go back to the caller (released), and in a copying
  // form the copies are made, block by block.
  const bool copying = weights != WeightForm::kAsGiven;
  try {
    if (released != nullptr || copying) {
      const WeightPlan plans[] = {am_weight_plan(), bn_weight_plan(), voc_weight_plan()};
      const float* const files[] = {am_w, bn_w, voc_w};
      if (copying) {
        copies_ = std::make_unique<WeightCopies>(
            threads, weights == WeightForm::kHalf ? WeightCopies::Form::kHalf : WeightCopies::Form::kPanels);
      }
      for (int i = 0; i < 3; ++i) {
        release_build_weights(plans[i], files[i], released, released_user);
        if (copies_) add_weight_copies(plans[i], files[i], *copies_, released, released_user);
      }
    }
  } catch (const std::bad_alloc&) {
    return;
  }
  if (copies_) {
    if (!copies_->finish()) return;
    half_precision_ = weights == WeightForm::kHalf;
  }
  if (threads > 1) {
    try {
      pool_ = std::make_unique<WorkerPool>(threads);
    } catch (const std::bad_alloc&) {
      return;
    }
  }
  ok_ = aligned_malloc_failures() == failures_before;
}

// The members free themselves in reverse order of declaration: the worker pool first, then the
// weight copies, the networks and the feature extractor, the sample buffers, the ring and the
// resamplers.
engine::~engine() = default;

void engine::ResamplerFree::operator()(SpeexResamplerState_* rs) const {
  if (rs) speex_resampler_destroy(rs);
}

void engine::RingFree::operator()(RingBuffer* rb) const { rb_release(rb); }

bool engine::prime() {
  static const short kZeros[kPrimeBlock] = {};
  for (int i = 0; i < kMaxPrimeInserts; ++i) {
    if (fe->size() > 0) {
      Tensor<float>* chunk = nullptr;
      fe->fetch(chunk);
      fe->recycle(chunk);
      return true;
    }
    fe->insert(kZeros, kPrimeBlock, 0);
  }
  return false;
}

void engine::ring_lock() {
  for (int spins = 0; out_rb_lock_.test_and_set(std::memory_order_acquire); ++spins) {
    if (spins > 64) std::this_thread::yield();
  }
}

void engine::ring_unlock() { out_rb_lock_.clear(std::memory_order_release); }

void engine::setstyle(const float* src) {
  if (!ok_ || !src) return;
  std::memcpy(style->data, src, kStyleSize * sizeof(float));
  const WeightCopiesScope copies_share(copies_.get());
  am->setstyle(style.get());
}

int engine::Inpush(const short* samples, int count, int flag, int control, float* controls) {
  if (!ok_ || !samples || count < 1) return 0;
  int queued = 0;
  for (int pos = 0; pos < count; pos += max_piece_) {
    queued += push_piece(samples + pos, std::min(max_piece_, count - pos), flag, control, controls);
  }
  return queued;
}

int engine::push_piece(const short* samples, int count, int flag, int control, float* controls) {
  const short* in16 = samples;
  int m = count;
  if (rs_in) {
    spx_uint32_t in_len = static_cast<spx_uint32_t>(count);
    spx_uint32_t out_len = static_cast<spx_uint32_t>(in_buf_len);
    speex_resampler_process_int(rs_in.get(), 0, samples, &in_len, in_buf.get(), &out_len);
    in16 = in_buf.get();
    m = static_cast<int>(out_len);
  }
  fe->insert(in16, m, flag);
  if (fe->size() < 1) return 0;
  const PoolScope products_share(pool_.get());
  const WeightCopiesScope copies_share(copies_.get());
  return process_chunk(control, controls);
}

int engine::threads() const { return pool_ ? pool_->threads() : 1; }

int engine::process_chunk(int control, float* controls) {
  Tensor<float>* x = nullptr;
  if (!fe->fetch(x) || !x) return 0;
  observe(ChunkStage::kMel, x->data, x->shape[2], x->shape[3]);
  // The content encoder reads the chunk; it then goes back to the extractor's pool, so the
  // steady state allocates nothing. x and aux now designate the encoder's own outputs.
  bn->forward(*x);
  fe->recycle(x);
  x = bn->out_tensor();
  Tensor<float>* aux = bn->aux_tensor();
  if (observer_) {
    observe(ChunkStage::kContent, x->data, x->shape[2], x->shape[3]);
    observe(ChunkStage::kAux, aux->data, aux->shape[2], aux->shape[3]);
  }
  // Without a caller's block, the neutral one: method 0, no transposition, no offset, voicing
  // threshold 0.1, 2000 voiced frames.
  float neutral[6] = {0.0f, 0.0f, 0.0f, 0.1f, 2000.0f, 0.0f};
  if (!controls) controls = neutral;
  Tensor<float>* f0 = nullptr;
  if (!am->forward(x, aux, f0, control, controls) || !f0) return 0;
  if (observer_) {
    observe(ChunkStage::kAcoustic, x->data, x->shape[2], x->shape[3]);
    observe(ChunkStage::kPitch, f0->data, f0->shape[2], 1);
    observe(ChunkStage::kParams, controls, 1, 5);
  }
  int n = voc->forward(x, f0, voc_buf.get());
  n = std::clamp(n, 0, kVocBufSamples);
  if (observer_) {
    for (int i = 0; i < n; ++i) scratch[i] = static_cast<float>(voc_buf[i]);
    observe(ChunkStage::kVocoder, scratch.get(), n, 1);
  }

  short* out = voc_buf.get();
  int n_out = n;
  if (rs_out) {
    spx_uint32_t in_len = static_cast<spx_uint32_t>(n);
    spx_uint32_t out_len = static_cast<spx_uint32_t>(out_buf_len);
    speex_resampler_process_int(rs_out.get(), 0, voc_buf.get(), &in_len, out_buf.get(), &out_len);
    out = out_buf.get();
    n_out = static_cast<int>(out_len);
  }

  const bool first = started_.load(std::memory_order_relaxed) == 0;
  if (first) std::memset(out, 0, static_cast<std::size_t>(n_out) * sizeof(short));
  ring_lock();
  if (first) {
    for (int i = 0; i < delay_; ++i) rb_write(out_rb.get(), zero_block.get(), out_step * 2);
    started_.store(1, std::memory_order_release);
  }
  const int k = rb_write(out_rb.get(), out, n_out * 2);
  ring_unlock();
  return k == n_out * 2 ? n_out : 0;
}

int engine::Outpop(short* out, int count) {
  if (!out || count < 1) return 0;
  if (!ok_) {
    std::memset(out, 0, static_cast<std::size_t>(count) * sizeof(short));
    return count;
  }
  // A count whose byte size does not fit an int is far more than the ring holds: an underrun.
  const bool representable = count <= std::numeric_limits<int>::max() / 2;
  const int n_bytes = representable ? count * 2 : 0;
  ring_lock();
  const std::uint8_t* p = representable ? rb_read_and_shift(out_rb.get(), n_bytes, n_bytes) : nullptr;
  if (p) std::memcpy(out, p, static_cast<std::size_t>(n_bytes));
  const int started = started_.load(std::memory_order_relaxed);
  ring_unlock();
  if (p) return count;
  std::memset(out, 0, static_cast<std::size_t>(count) * sizeof(short));
  return started ? -1 : count;
}

int engine::setdelay(int steps) {
  if (steps >= 1) delay_ = std::min(steps, kMaxDelaySteps);
  return delay_;
}

int engine::queued_samples() {
  if (!ok_) return 0;
  ring_lock();
  const int n = rb_used_size(out_rb.get()) / 2;
  ring_unlock();
  return n;
}

void engine::reset() {
  if (!ok_) return;
  ring_lock();
  rb_reset(out_rb.get());
  started_.store(0, std::memory_order_release);
  ring_unlock();
  if (rs_in) speex_resampler_reset_mem(rs_in.get());
  if (rs_out) speex_resampler_reset_mem(rs_out.get());
  am->reset();
  bn->reset();
  voc->reset();
  fe->reset();
  prime();
}

void engine::restart() {
  if (!ok_) return;
  reset();
  voc->restart();
}

}  // namespace mvsdk::engine
