#pragma once
// The engine's 4-lane float vocabulary, written once for every target.
//
// v4sf is four consecutive floats processed together (GCC/Clang vector extension); + - * / on it
// are lane-wise IEEE operations and give the same bits on x86-64 and arm64. What the vector
// extension cannot spell portably lives here:
//   - fma4: a true fused multiply-add (one rounding) per lane: FMA3 on x86-64 when compiled
//     with -mfma, NEON vfmaq_f32 on arm64, else the C library's fmaf lane by lane. All three are
//     exactly rounded, hence bit-identical.
//   - min4 / max4: defined as (a < b ? a : b) and (a > b ? a : b) per lane, so a NaN in `a`
//     yields `b` on every target (the x86 minps/maxps convention with the operand in `a`).
// The build sets -ffp-contract=off, so a * b + c written with these operators is never fused
// behind our back: fusion happens only where fma4 is called.
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) && defined(__FMA__)
#include <immintrin.h>
#define MVSDK_SIMD_FMA_X86 1
#elif defined(__aarch64__)
#include <arm_neon.h>
#define MVSDK_SIMD_FMA_NEON 1
#endif

namespace mvsdk::engine {

typedef float v4sf __attribute__((vector_size(16)));
typedef std::int32_t v4si __attribute__((vector_size(16)));

// All four lanes set to f.
inline v4sf splat4(float f) { return v4sf{f, f, f, f}; }

// Unaligned load and store of four floats (the tensors are 32-byte aligned, but rows of odd
// length and gate halves start anywhere).
inline v4sf load4(const float* p) {
  v4sf v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void store4(float* p, v4sf v) { std::memcpy(p, &v, sizeof v); }

// Lane-wise fmaf, the reference for fma4.
inline v4sf fma4_plain(v4sf a, v4sf b, v4sf c) {
  return v4sf{__builtin_fmaf(a[0], b[0], c[0]), __builtin_fmaf(a[1], b[1], c[1]),
              __builtin_fmaf(a[2], b[2], c[2]), __builtin_fmaf(a[3], b[3], c[3])};
}

// a * b + c per lane with a single rounding.
inline v4sf fma4(v4sf a, v4sf b, v4sf c) {
#if defined(MVSDK_SIMD_FMA_X86)
  return (v4sf)_mm_fmadd_ps((__m128)a, (__m128)b, (__m128)c);
#elif defined(MVSDK_SIMD_FMA_NEON)
  return (v4sf)vfmaq_f32((float32x4_t)c, (float32x4_t)a, (float32x4_t)b);
#else
  return fma4_plain(a, b, c);
#endif
}

// Lane-wise select: where mask lanes are all ones take a, else b.
inline v4sf select4(v4si mask, v4sf a, v4sf b) {
  return (v4sf)((mask & (v4si)a) | (~mask & (v4si)b));
}
inline v4sf min4(v4sf a, v4sf b) { return select4(a < b, a, b); }
inline v4sf max4(v4sf a, v4sf b) { return select4(a > b, a, b); }

}  // namespace mvsdk::engine
