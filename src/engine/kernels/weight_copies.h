#pragma once
// Copies of weight matrices that the engine's products read instead of the model files' floats:
// in half precision (the engine's opt-in mode), or in single precision in panel order (what the
// kit runs by default).
//
// Half precision: IEEE 754 binary16, round to nearest even: half the bytes per weight, which is
// what the products of a chunk, bound by memory bandwidth, pay for. The arithmetic stays single
// precision: every half is widened to a float (exactly) as it is loaded and the products sum in
// the same order as on floats, so a product on half weights gives the bits the same product gives
// on the widened weights. A block stays in single precision when converting it would not keep its
// values: any value that is not finite or rounds beyond the largest half (65504). Blocks too small
// to matter stay too.
//
// A K x N row-major matrix that products read whole and untransposed is copied in panel order
// (pack_panels, gemm.h), the order the engine's kernel walks it: in the floats' layout a panel's
// 16 rows lie a whole row apart, and with rows of 4 or 8 KB they fall into the same sets of the
// first-level cache and evict one another; in panel order a product reads one sequential stream.
//
// The copies lie one after another, in the order they are added, in regions of memory mapped for
// the purpose and asked to be backed by large pages where the system has them: a product streams
// megabytes of weights, and in small pages it crosses a page (a translation miss, and a boundary
// the hardware prefetchers stop at) every 4 KB.
//
// The products find the copy of their weights by the float address they are handed (block_of),
// so the layers need not know.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace mvsdk::engine {

// The copied blocks of one engine, and the scratch its larger products widen weights into.
// Built once (add, then finish), then only read: block_of and scratch allocate nothing and
// may be called from the product threads at once (each thread its own scratch).
class WeightCopies {
 public:
  // Blocks of fewer floats than this are not copied (biases, norms, small kernels).
  static constexpr std::size_t kMinFloats = 4096;

  enum class Form {
    kHalf,    // every block in half precision, packed or in the floats' layout
    kPanels,  // only the packed blocks, in single precision
  };

  struct Block {
    const float* src = nullptr;  // the floats it replaces
    std::size_t count = 0;
    // The copy: half is set in a table of Form::kHalf, panels in one of Form::kPanels.
    const std::uint16_t* half = nullptr;
    const float* panels = nullptr;
    // 0: the copy has the floats' layout. N > 0: the floats are a K x N row-major matrix that
    // products read untransposed and whole, and the copy is in panel order.
    int packed_n = 0;
  };

  // threads: how many threads compute products at the same time (each gets a scratch).
  explicit WeightCopies(int threads, Form form = Form::kHalf);
  ~WeightCopies();
  WeightCopies(const WeightCopies&) = delete;
  WeightCopies& operator=(const WeightCopies&) = delete;

  // Copies the count floats at src, a matrix whose products sum over at most max_k terms, in the
  // table's form; packed_n > 0 packs it as a max_k x packed_n matrix. Returns false when nothing is
  // copied (too small, a value half precision cannot hold, a shape that does not match count, a
  // block a table of panels would hold unpacked, or no memory). Blocks must not overlap.
  bool add(const float* src, std::size_t count, int max_k, int packed_n = 0);
  // Allocates the scratch after the last add. False when that fails (the table is then unusable).
  bool finish();

  // The copied block holding the float at p, or null.
  const Block* block_of(const float* p) const;
  // Scratch of `thread` (0 .. threads - 1) and its size in floats: room for kScratchColumns
  // columns of the longest product added (the width of gemm_acc's BLAS blocks).
  static constexpr int kScratchColumns = 128;
  float* scratch(int thread) const;
  std::size_t scratch_floats() const { return scratch_floats_; }

  const std::vector<Block>& blocks() const { return blocks_; }
  Form form() const { return form_; }

 private:
  struct Free {
    void operator()(void* p) const;
  };
  // One mapping the copies are placed in, at base, `bytes` long, `used` of them taken.
  struct Region {
    void* base = nullptr;
    std::size_t bytes = 0;
    std::size_t used = 0;
  };
  // Room for `bytes` after the copies placed so far (a new region when the last one is full), or
  // null; `commit` then takes it. Split so that a block that fails to convert takes nothing.
  void* room(std::size_t bytes);
  void commit(std::size_t bytes);
  // Unmaps the last region's whole large pages past what it uses: they were never touched.
  void trim_last_region();

  int threads_;
  Form form_;
  int max_k_ = 0;
  std::vector<Block> blocks_;  // sorted by src after finish()
  std::vector<Region> regions_;
  std::unique_ptr<float[], Free> scratch_;
  std::size_t scratch_floats_ = 0;
};

// The table this thread's products look their weights up in (gemm_acc), or null.
const WeightCopies* current_weight_copies();

// Lends a table (may be null) to this thread's products for the scope's life.
class WeightCopiesScope {
 public:
  explicit WeightCopiesScope(const WeightCopies* table);
  ~WeightCopiesScope();
  WeightCopiesScope(const WeightCopiesScope&) = delete;
  WeightCopiesScope& operator=(const WeightCopiesScope&) = delete;

 private:
  const WeightCopies* previous_;
};

}  // namespace mvsdk::engine
