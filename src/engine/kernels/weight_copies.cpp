#include "engine/kernels/weight_copies.h"

#include <algorithm>
#include <functional>

#include "engine/core/alignmm.h"
#include "engine/kernels/gemm.h"
#include "engine/kernels/half.h"

namespace mvsdk::engine {

void WeightCopies::Free::operator()(void* p) const { aligned_free(p); }

WeightCopies::WeightCopies(int threads, Form form) : threads_(std::max(threads, 1)), form_(form) {}

WeightCopies::~WeightCopies() = default;

bool WeightCopies::add(const float* src, std::size_t count, int max_k, int packed_n) {
  if (src == nullptr || count < kMinFloats || max_k < 1 || packed_n < 0) return false;
  if (packed_n > 0 && count != static_cast<std::size_t>(max_k) * static_cast<std::size_t>(packed_n)) {
    return false;
  }
  const bool panels = form_ == Form::kPanels;
  // A single-precision copy in the floats' own layout would read no faster than the floats.
  if (panels && packed_n == 0) return false;
  std::unique_ptr<void, Free> copy(
      aligned_malloc(32, count * (panels ? sizeof(float) : sizeof(std::uint16_t))));
  if (!copy) return false;
  Block block{src, count, nullptr, nullptr, packed_n};
  if (panels) {
    auto* const f = static_cast<float*>(copy.get());
    pack_panels(src, max_k, packed_n, f);
    block.panels = f;
  } else {
    auto* const h = static_cast<std::uint16_t*>(copy.get());
    if (packed_n > 0) {
      pack_panels(src, max_k, packed_n, h);
    } else {
      floats_to_halves(src, h, count);
    }
    // An all-ones exponent is an infinity or a NaN: the block held a value half precision
    // cannot. (A plain loop over the raw pointer: it runs over every weight at start, in
    // unoptimised builds too, where the engine must still start within the kit's limit.)
    unsigned any_special = 0;
    for (std::size_t i = 0; i < count; ++i) any_special |= (h[i] & 0x7c00u) == 0x7c00u;
    if (any_special != 0) return false;
    block.half = h;
  }
  blocks_.push_back(block);
  copies_.push_back(std::move(copy));
  max_k_ = std::max(max_k_, max_k);
  return true;
}

bool WeightCopies::finish() {
  std::sort(blocks_.begin(), blocks_.end(),
            [](const Block& a, const Block& b) { return std::less<>{}(a.src, b.src); });
  scratch_floats_ = static_cast<std::size_t>(kScratchColumns) * static_cast<std::size_t>(max_k_);
  if (scratch_floats_ == 0) return true;
  scratch_.reset(static_cast<float*>(
      aligned_malloc(32, scratch_floats_ * static_cast<std::size_t>(threads_) * sizeof(float))));
  if (!scratch_) scratch_floats_ = 0;
  return scratch_ != nullptr;
}

const WeightCopies::Block* WeightCopies::block_of(const float* p) const {
  // The last block starting at or before p.
  auto it = std::upper_bound(blocks_.begin(), blocks_.end(), p,
                             [](const float* q, const Block& b) { return std::less<>{}(q, b.src); });
  if (it == blocks_.begin()) return nullptr;
  --it;
  return static_cast<std::size_t>(p - it->src) < it->count ? &*it : nullptr;
}

float* WeightCopies::scratch(int thread) const {
  if (!scratch_ || thread < 0 || thread >= threads_) return nullptr;
  return scratch_.get() + static_cast<std::size_t>(thread) * scratch_floats_;
}

namespace {
thread_local const WeightCopies* t_copies = nullptr;
}  // namespace

const WeightCopies* current_weight_copies() { return t_copies; }

WeightCopiesScope::WeightCopiesScope(const WeightCopies* table) : previous_(t_copies) {
  t_copies = table;
}

WeightCopiesScope::~WeightCopiesScope() { t_copies = previous_; }

}  // namespace mvsdk::engine
