#include "engine/kernels/half.h"

#include <cstring>


#if defined(__x86_64__) && defined(__F16C__)
#include <immintrin.h>
#define MVSDK_HALF_F16C 1
#elif defined(__aarch64__)
#include <arm_neon.h>
#define MVSDK_HALF_NEON 1
#endif

namespace mvsdk::engine {

std::uint16_t float_to_half(float f) {
  std::uint32_t x;
  std::memcpy(&x, &f, sizeof x);
  const auto sign = static_cast<std::uint16_t>(x >> 16 & 0x8000);
  const std::uint32_t a = x & 0x7fffffff;
  if (a > 0x7f800000) {  // NaN: quiet, the payload's top bits kept
    return static_cast<std::uint16_t>(sign | 0x7e00 | (a >> 13 & 0x3ff));
  }
  // 65520 and above (infinity included) round to infinity: 65504 is the largest half and
  // 65520 lies halfway to the next step, whose even neighbour is the infinity.
  if (a >= 0x477ff000) return static_cast<std::uint16_t>(sign | 0x7c00);
  if (a >= 0x38800000) {
    // A normal half: rebias the exponent (127 - 15 = 112) and round away 13 mantissa bits to
    // nearest even; a carry moves into the exponent, which is the right result.
    std::uint32_t m = a - 0x38000000;
    m += 0xfff + (m >> 13 & 1);
    return static_cast<std::uint16_t>(sign | m >> 13);
  }
  if (a < 0x33000000) return sign;  // below 2^-25: rounds to zero
  // A subnormal half (units of 2^-24), or the smallest normal when it rounds up to 1024 units.
  const std::uint32_t e = a >> 23;
  const std::uint32_t mant = (a & 0x7fffff) | 0x800000;
  const std::uint32_t shift = 126 - e;  // 14 .. 24
  std::uint32_t h = mant >> shift;
  const std::uint32_t rest = mant & ((1u << shift) - 1);
  const std::uint32_t halfway = 1u << (shift - 1);
  if (rest > halfway || (rest == halfway && (h & 1) != 0)) ++h;
  return static_cast<std::uint16_t>(sign | h);
}

float half_to_float(std::uint16_t h) {
  const std::uint32_t sign = static_cast<std::uint32_t>(h & 0x8000) << 16;
  const std::uint32_t e = h >> 10 & 0x1f;
  const std::uint32_t m = h & 0x3ff;
  std::uint32_t x;
  if (e == 0x1f) {
    x = sign | 0x7f800000 | m << 13 | (m != 0 ? 0x400000 : 0);  // a NaN comes out quiet
  } else if (e != 0) {
    x = sign | (e + 112) << 23 | m << 13;
  } else if (m == 0) {
    x = sign;
  } else {
    float f = static_cast<float>(m) * 0x1p-24f;  // exact: m has at most 10 bits
    std::memcpy(&x, &f, sizeof x);
    x |= sign;
  }
  float f;
  std::memcpy(&f, &x, sizeof f);
  return f;
}

void floats_to_halves(const float* src, std::uint16_t* dst, std::size_t n) {
  std::size_t i = 0;
#if defined(MVSDK_HALF_F16C)
  for (; i + 8 <= n; i += 8) {
    const __m128i h = _mm256_cvtps_ph(_mm256_loadu_ps(src + i), _MM_FROUND_TO_NEAREST_INT);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), h);
  }
#elif defined(MVSDK_HALF_NEON)
  for (; i + 4 <= n; i += 4) vst1_u16(dst + i, vreinterpret_u16_f16(vcvt_f16_f32(vld1q_f32(src + i))));
#endif
  for (; i < n; ++i) dst[i] = float_to_half(src[i]);
}

void halves_to_floats(const std::uint16_t* src, float* dst, std::size_t n) {
  std::size_t i = 0;
#if defined(MVSDK_HALF_F16C)
  for (; i + 8 <= n; i += 8) {
    _mm256_storeu_ps(dst + i, _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i))));
  }
#elif defined(MVSDK_HALF_NEON)
  for (; i + 4 <= n; i += 4) vst1q_f32(dst + i, vcvt_f32_f16(vreinterpret_f16_u16(vld1_u16(src + i))));
#endif
  for (; i < n; ++i) dst[i] = half_to_float(src[i]);
}

}  // namespace mvsdk::engine
