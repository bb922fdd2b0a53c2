#pragma once
// Half-precision weights for the engine's matrix products.
//
// In half-precision mode the engine converts the networks' large weight matrices once, when it is
// built, to IEEE 754 binary16 (round to nearest, ties to even), and its products read those
// instead of the model files' floats: half the bytes per weight, which is what the products of a
// chunk, bound by memory bandwidth, pay for. The arithmetic stays single precision: every half is
// widened to a float (exactly) as it is loaded and the products sum in the same order as with
// float weights, so a product on half weights gives the bits the same product gives on the
// widened weights. Only the rounding of the weights to half precision differs from the files.
//
// A block stays in single precision when converting it would not keep its values: any value that
// is not finite or rounds beyond the largest half (65504). Blocks too small to matter stay too.
//
// The products find the half copy of their weights by the float address they are handed
// (HalfWeights::find), so the layers need not know which precision is in use.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace mvsdk::engine {

// binary16 from a float: round to nearest, ties to even; beyond the largest half, an infinity of
// the float's sign; a NaN stays a (quiet) NaN. The same bits on every target.
std::uint16_t float_to_half(float f);
// The float a binary16 stands for (exact).
float half_to_float(std::uint16_t h);
// n conversions, vectorised where the processor converts halves itself (F16C on x86-64, NEON on
// arm64); the same bits as the one-at-a-time forms.
void floats_to_halves(const float* src, std::uint16_t* dst, std::size_t n);
void halves_to_floats(const std::uint16_t* src, float* dst, std::size_t n);

// The converted blocks of one engine, and the scratch its larger products widen weights into.
// Built once (add, then finish), then only read: find and scratch allocate nothing and may be
// called from the product threads at once (each thread its own scratch).
class HalfWeights {
 public:
  // Blocks of fewer floats than this stay in single precision (biases, norms, small kernels).
  static constexpr std::size_t kMinFloats = 4096;

  struct Block {
    const float* src = nullptr;  // the floats it replaces
    std::size_t count = 0;
    std::uint16_t* half = nullptr;
    // 0: the copy has the floats' layout. N > 0: the floats are a K x N row-major matrix that
    // products read untransposed and whole, and the copy is in the kernel's panel order
    // (pack_half_panels, gemm.h), so such a product reads it as one sequential stream.
    int packed_n = 0;
  };

  // threads: how many threads compute products at the same time (each gets a scratch).
  explicit HalfWeights(int threads);
  ~HalfWeights();
  HalfWeights(const HalfWeights&) = delete;
  HalfWeights& operator=(const HalfWeights&) = delete;

  // Converts the count floats at src, a matrix whose products sum over at most max_k terms;
  // packed_n > 0 packs it as a max_k x packed_n matrix (see Block). Returns false when the block
  // stays in single precision (too small, a value half precision cannot hold, a packed shape that
  // does not match count, or no memory for the copy). Blocks must not overlap.
  bool add(const float* src, std::size_t count, int max_k, int packed_n = 0);
  // Allocates the scratch after the last add. False when that fails (the table is then unusable).
  bool finish();

  // The converted block holding the float at p, or null.
  const Block* block_of(const float* p) const;
  // The half copy of the float at p, or null when p lies in no converted block or in a packed one.
  const std::uint16_t* find(const float* p) const;
  // Scratch of `thread` (0 .. threads - 1) and its size in floats: room for kScratchColumns
  // columns of the longest product added (the width of gemm_acc's BLAS blocks).
  static constexpr int kScratchColumns = 128;
  float* scratch(int thread) const;
  std::size_t scratch_floats() const { return scratch_floats_; }

  const std::vector<Block>& blocks() const { return blocks_; }
  // Floats replaced and bytes the copies take.
  std::size_t converted_floats() const { return converted_floats_; }
  std::size_t half_bytes() const { return converted_floats_ * sizeof(std::uint16_t); }

 private:
  struct Free {
    void operator()(void* p) const;
  };
  int threads_;
  int max_k_ = 0;
  std::vector<Block> blocks_;  // sorted by src after finish()
  std::vector<std::unique_ptr<std::uint16_t[], Free>> copies_;
  std::unique_ptr<float[], Free> scratch_;
  std::size_t scratch_floats_ = 0;
  std::size_t converted_floats_ = 0;
};

// The table this thread's products look their weights up in (gemm_acc), or null.
const HalfWeights* current_half_weights();

// Lends a table (may be null) to this thread's products for the scope's life.
class HalfWeightsScope {
 public:
  explicit HalfWeightsScope(const HalfWeights* table);
  ~HalfWeightsScope();
  HalfWeightsScope(const HalfWeightsScope&) = delete;
  HalfWeightsScope& operator=(const HalfWeightsScope&) = delete;

 private:
  const HalfWeights* previous_;
};

}  // namespace mvsdk::engine
