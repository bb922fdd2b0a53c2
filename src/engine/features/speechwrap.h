#pragma once
// Real FFT for the feature front end: a radix-2, in-place transform of real input whose butterflies
// and twiddle tables are fixed, so the power spectra it yields are reproducible to the bit.
//
// Output layout for size n: out[0] and out[n/2] are the real parts of bins 0 and n/2; for
// k = 1..n/2-1, out[k] is the real part of bin k and out[n-k] is minus its imaginary part.
// The power of bin k is out[k]^2 + out[n-k]^2.
//
// A state is built once (all allocation happens in rfft_init) and may then be used from one thread
// at a time; rfft_process allocates nothing.
#include <cstdint>

namespace mvsdk::engine {

struct RfftState {
  int n = 0;  // transform size, a power of two
  int q = 0;  // n / 4
  // cos(-2 pi k / n) and sin(-2 pi k / n) for k = 1..q-1, at index k-1 (q-1 floats each).
  float* cos_tab = nullptr;
  float* sin_tab = nullptr;

  // Derived at init so that the transform reads its tables contiguously. For the stage with half
  // size L (h = L/2 >= 2), entries j = 1..h-1 sit at stage_cos[stage_offset[log2 L] + j - 1] and
  // equal cos_tab[(q/h) j - 1] (likewise for sin).
  float* stage_cos = nullptr;
  float* stage_sin = nullptr;
  int stage_offset[32] = {};
  // Bit-reversal permutation as a list of index pairs (i < j) to swap.
  int32_t* swaps = nullptr;
  int n_swaps = 0;

  void* block = nullptr;  // the one allocation holding all tables
};

// Builds the state for a transform of n points. n must be a power of two from 4 to 65536.
// Returns null if n is not such a size or an allocation fails. Release with rfft_uninit.
RfftState* rfft_init(int n);

// Transforms n floats from in into out (n floats, may be the same array as in). Returns -1 for a
// null state or null buffers, 0 otherwise. Vectorised (8 and 4 lanes); the results are
// identical to rfft_process_ref.
int rfft_process(const RfftState* st, const float* in, float* out);

// Scalar reference transform: the same operations in the same order, one element at a time.
int rfft_process_ref(const RfftState* st, const float* in, float* out);

// Releases the state. Returns -1 for a null state, 0 otherwise.
int rfft_uninit(RfftState* st);

}  // namespace mvsdk::engine
