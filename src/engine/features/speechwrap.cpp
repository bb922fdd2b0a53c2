#include "engine/features/speechwrap.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <numbers>

#include "engine/kernels/simd.h"

namespace mvsdk::engine {
namespace {

bool is_power_of_two(int n) { return n > 0 && (n & (n - 1)) == 0; }

int log2_of(int n) {
  int l = 0;
  while ((1 << l) < n) ++l;
  return l;
}

// Copies in to out (unless they are the same array) and applies the bit-reversal permutation.
void copy_bit_reversed(const RfftState* st, const float* in, float* out) {
  const int n = st->n;
  if (in != out) std::memmove(out, in, sizeof(float) * static_cast<size_t>(n));
  const int32_t* sw = st->swaps;
  for (int p = 0; p < st->n_swaps; ++p) {
    const int32_t i = sw[2 * p];
    const int32_t j = sw[2 * p + 1];
    const float t = out[i];
    out[i] = out[j];
    out[j] = t;
  }
}

// The butterfly on the pair (o[i], o[i+L]) that opens every block.
inline void pair_butterfly(float* o, int i, int L) {
  const float a = o[i];
  const float b = o[i + L];
  o[i] = a + b;
  o[i + L] = a - b;
}

// One twiddled butterfly of the block starting at i, for index j (1 <= j < L/2). All four
// results use the values from before the update. Contraction is off for this file's build, so
// every product and sum here is rounded on its own, exactly as in the vector paths.
inline void twiddle_butterfly(float* o, int i, int L, int j, float c, float s) {
  const int M = 2 * L;
  const float a = o[i + j];
  const float b = o[i + L - j];
  const float x = o[i + L + j];
  const float y = o[i + M - j];
  const float t1 = c * x + s * y;
  const float t2 = c * y - s * x;
  o[i + L + j] = t2 - b;
  o[i + M - j] = b + t2;
  o[i + L - j] = a - t1;
  o[i + j] = a + t1;
}

// Eight-lane float vector (two NEON registers on arm64, one AVX register on x86-64). Lane-wise
// + - * are plain IEEE operations, so these paths give the same bits as the scalar butterfly.
typedef float v8sf __attribute__((vector_size(32)));

inline v8sf load8(const float* p) {
  v8sf v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void store8(float* p, v8sf v) { std::memcpy(p, &v, sizeof v); }
inline v8sf reverse8(v8sf v) { return __builtin_shufflevector(v, v, 7, 6, 5, 4, 3, 2, 1, 0); }
inline v4sf reverse4(v4sf v) { return __builtin_shufflevector(v, v, 3, 2, 1, 0); }

// Butterflies for j = j0..j0+W-1 of the block at i (requires j0 + W - 1 < L/2). The b and y
// operands run backwards in memory, hence the reversals. c and s hold the W twiddles of j0...
template <typename V, int W, V (*Load)(const float*), void (*Store)(float*, V), V (*Reverse)(V)>
inline void twiddle_butterfly_vec(float* o, int i, int L, int j0, const float* c, const float* s) {
  const int M = 2 * L;
  float* pa = o + i + j0;
  float* pb = o + i + L - j0 - (W - 1);
  float* px = o + i + L + j0;
  float* py = o + i + M - j0 - (W - 1);
  const V a = Load(pa);
  const V b = Reverse(Load(pb));
  const V x = Load(px);
  const V y = Reverse(Load(py));
  const V cv = Load(c);
  const V sv = Load(s);
  const V t1 = cv * x + sv * y;
  const V t2 = cv * y - sv * x;
  Store(px, t2 - b);
  Store(py, Reverse(b + t2));
  Store(pb, Reverse(a - t1));
  Store(pa, a + t1);
}

inline void twiddle_butterfly8(float* o, int i, int L, int j0, const float* c, const float* s) {
  twiddle_butterfly_vec<v8sf, 8, load8, store8, reverse8>(o, i, L, j0, c, s);
}
inline void twiddle_butterfly4(float* o, int i, int L, int j0, const float* c, const float* s) {
  twiddle_butterfly_vec<v4sf, 4, load4, store4, reverse4>(o, i, L, j0, c, s);
}

}  // namespace

RfftState* rfft_init(int n) {
  if (!is_power_of_two(n) || n < 4 || n > 65536) return nullptr;
  auto* st = new (std::nothrow) RfftState;
  if (!st) return nullptr;
  st->n = n;
  st->q = n / 4;
  const int q = st->q;
  const int stages = log2_of(n);

  // Stage tables: for L = 4 .. n/2 (h = L/2 >= 2), h-1 entries each.
  int stage_floats = 0;
  for (int s = 0; s < stages; ++s) {
    const int h = (1 << s) / 2;
    st->stage_offset[s] = stage_floats;
    if (h >= 2) stage_floats += h - 1;
  }
  int n_swaps = 0;
  for (int i = 1, j = 0; i < n - 1; ++i) {
    int bit = n / 2;
    while ((j ^= bit) < bit) bit >>= 1;
    if (i < j) ++n_swaps;
  }

  const size_t floats = 2 * static_cast<size_t>(q - 1) + 2 * static_cast<size_t>(stage_floats);
  const size_t bytes = floats * sizeof(float) + 2 * static_cast<size_t>(n_swaps) * sizeof(int32_t);
  st->block = std::malloc(bytes > 0 ? bytes : 1);
  if (!st->block) {
    delete st;
    return nullptr;
  }
  float* f = static_cast<float*>(st->block);
  st->cos_tab = f;
  st->sin_tab = f + (q - 1);
  st->stage_cos = f + 2 * (q - 1);
  st->stage_sin = st->stage_cos + stage_floats;
  st->swaps = reinterpret_cast<int32_t*>(f + floats);
  st->n_swaps = n_swaps;

  // Twiddles computed in double and rounded once to float.
  for (int k = 1; k < q; ++k) {
    const double angle = -2.0 * std::numbers::pi * k / n;
    st->cos_tab[k - 1] = static_cast<float>(std::cos(angle));
    st->sin_tab[k - 1] = static_cast<float>(std::sin(angle));
  }
  for (int s = 0; s < stages; ++s) {
    const int h = (1 << s) / 2;
    for (int j = 1; j < h; ++j) {
      const int idx = (q / h) * j - 1;
      st->stage_cos[st->stage_offset[s] + j - 1] = st->cos_tab[idx];
      st->stage_sin[st->stage_offset[s] + j - 1] = st->sin_tab[idx];
    }
  }
  // Bit reversal: j walks the bit-reversed counterpart of i.
  int p = 0;
  for (int i = 1, j = 0; i < n - 1; ++i) {
    int bit = n / 2;
    while ((j ^= bit) < bit) bit >>= 1;
    if (i < j) {
      st->swaps[2 * p] = i;
      st->swaps[2 * p + 1] = j;
      ++p;
    }
  }
  return st;
}

int rfft_process_ref(const RfftState* st, const float* in, float* out) {
  if (!st || !in || !out) return -1;
  const int n = st->n;
  const int q = st->q;
  copy_bit_reversed(st, in, out);
  for (int L = 1; L <= n / 2; L *= 2) {
    const int M = 2 * L;
    const int h = L / 2;
    for (int i = 0; i < n; i += M) {
      pair_butterfly(out, i, L);
      for (int j = 1; j < h; ++j) {
        const int idx = (q / h) * j - 1;
        twiddle_butterfly(out, i, L, j, st->cos_tab[idx], st->sin_tab[idx]);
      }
    }
  }
  return 0;
}

int rfft_process(const RfftState* st, const float* in, float* out) {
  if (!st || !in || !out) return -1;
  const int n = st->n;
  copy_bit_reversed(st, in, out);
  int s = 0;
  for (int L = 1; L <= n / 2; L *= 2, ++s) {
    const int M = 2 * L;
    const int h = L / 2;
    const float* c = st->stage_cos + st->stage_offset[s];  // c[j-1] for j = 1..h-1
    const float* si = st->stage_sin + st->stage_offset[s];
    for (int i = 0; i < n; i += M) {
      pair_butterfly(out, i, L);
      int j = 1;
      for (; j + 7 < h; j += 8) twiddle_butterfly8(out, i, L, j, c + j - 1, si + j - 1);
      for (; j + 3 < h; j += 4) twiddle_butterfly4(out, i, L, j, c + j - 1, si + j - 1);
      for (; j < h; ++j) twiddle_butterfly(out, i, L, j, c[j - 1], si[j - 1]);
    }
  }
  return 0;
}

int rfft_uninit(RfftState* st) {
  if (!st) return -1;
  std::free(st->block);
  delete st;
  return 0;
}

}  // namespace mvsdk::engine
