#include "engine/kernels/weight_copies.h"

#include <sys/mman.h>

#include <algorithm>
#include <functional>

#include "engine/core/alignmm.h"
#include "engine/kernels/gemm.h"
#include "engine/kernels/half.h"

namespace mvsdk::engine {

namespace {

// The large page the regions are aligned to and asked to be backed by (2 MB on x86-64 and on
// arm64 with 4 KB pages), and the least a region maps: a handful of regions hold an engine's
// copies, and only the pages written are ever resident.
constexpr std::size_t kLargePage = std::size_t{2} << 20;
constexpr std::size_t kRegionBytes = std::size_t{32} << 20;
// Each copy starts on a cache line.
constexpr std::size_t kCopyAlign = 64;

std::size_t round_up(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

// `bytes` (a multiple of kLargePage) mapped at a kLargePage boundary, or null.
void* map_region(std::size_t bytes) {
  const std::size_t span = bytes + kLargePage;
  void* const p = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<std::uintptr_t>(p);
  const std::uintptr_t base = round_up(start, kLargePage);
  if (base > start) munmap(p, base - start);
  if (start + span > base + bytes) {
    munmap(reinterpret_cast<void*>(base + bytes), start + span - (base + bytes));
  }
#ifdef MADV_HUGEPAGE
  // Advice only: where large pages are off or none are free, the region keeps small ones.
  madvise(reinterpret_cast<void*>(base), bytes, MADV_HUGEPAGE);
#endif
  return reinterpret_cast<void*>(base);
}

}  // namespace

void WeightCopies::Free::operator()(void* p) const { aligned_free(p); }

WeightCopies::WeightCopies(int threads, Form form) : threads_(std::max(threads, 1)), form_(form) {}

WeightCopies::~WeightCopies() {
  for (const Region& r : regions_) munmap(r.base, r.bytes);
}

void* WeightCopies::room(std::size_t bytes) {
  bytes = round_up(bytes, kCopyAlign);
  if (!regions_.empty() && regions_.back().bytes - regions_.back().used >= bytes) {
    return static_cast<char*>(regions_.back().base) + regions_.back().used;
  }
  const std::size_t size = std::max(kRegionBytes, round_up(bytes, kLargePage));
  void* const base = map_region(size);
  if (base == nullptr) return nullptr;
  trim_last_region();
  regions_.push_back(Region{base, size, 0});
  return base;
}

void WeightCopies::commit(std::size_t bytes) {
  regions_.back().used += round_up(bytes, kCopyAlign);
}

void WeightCopies::trim_last_region() {
  if (regions_.empty()) return;
  Region& r = regions_.back();
  const std::size_t keep = round_up(r.used, kLargePage);
  if (keep < r.bytes) {
    munmap(static_cast<char*>(r.base) + keep, r.bytes - keep);
    r.bytes = keep;
  }
}

bool WeightCopies::add(const float* src, std::size_t count, int max_k, int packed_n) {
  if (src == nullptr || count < kMinFloats || max_k < 1 || packed_n < 0) return false;
  if (packed_n > 0 && count != static_cast<std::size_t>(max_k) * static_cast<std::size_t>(packed_n)) {
    return false;
  }
  const bool panels = form_ == Form::kPanels;
  // A single-precision copy in the floats' own layout would read no faster than the floats.
  if (panels && packed_n == 0) return false;
  if (count > (SIZE_MAX - kRegionBytes) / sizeof(float)) return false;
  const std::size_t bytes = count * (panels ? sizeof(float) : sizeof(std::uint16_t));
  void* const copy = room(bytes);
  if (copy == nullptr) return false;
  Block block{src, count, nullptr, nullptr, packed_n};
  if (panels) {
    auto* const f = static_cast<float*>(copy);
    pack_panels(src, max_k, packed_n, f);
    block.panels = f;
  } else {
    auto* const h = static_cast<std::uint16_t*>(copy);
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
  commit(bytes);
  blocks_.push_back(block);
  max_k_ = std::max(max_k_, max_k);
  return true;
}

bool WeightCopies::finish() {
  trim_last_region();
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
