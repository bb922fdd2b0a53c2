#pragma once
// Math kernels of the streaming engine: activations, gated linear unit, row softmax, the
// streaming im2col of the one-dimensional convolutions and the square affine product.
//
// None of them keeps state, allocates (except log_softmax, never used on the streaming path),
// checks its arguments beyond what keeps it inside its buffers, or reports anything. They work in
// place or into buffers the caller allocated, and touch exactly the elements named below: never
// data[size] or beyond. Any thread; the engine calls them from its one processing thread.
//
// The vectorised forms (swish, glu, softmax, Tensor<float>::leakyrelu) walk 4-lane groups
// (unrolled 16, 8, 4 floats per step) and do the leftover elements in scalar code with the C
// library's expf. Their exponential is exp_ps, so they agree with the scalar reference forms
// (*_die) to a few units in the last place, not bit for bit.
#include "engine/core/alignmm.h"
#include "engine/kernels/simd.h"

namespace mvsdk::engine {

// An in-place activation as stored by FeedForward, Prenet and Linear (relu or swish).
using Activation = void (*)(Tensor<float>*);

// e^x per lane: the single-precision Cephes exponential, step by step.
//   1. x = min(x, 88.37626), x = max(x, -88.37626)          (bits 0x42B0C0A5 and its negative)
//   2. fx = fma(x, log2(e), 0.5)                             (log2(e) = 0x3FB8AA3B)
//   3. fx = floor(fx): truncate, convert back, minus 1 where the truncation is above fx
//   4. x = x - fx * 0.693359375; x = x - fx * -2.12194440e-4  (ln 2 in two pieces, each a
//      separate multiply and subtract)
//   5. z = x * x
//   6. y = 1.9875691e-4, then y = fma(y, x, c) for c = 1.3981999e-3, 8.3334519e-3,
//      4.1665796e-2, 1.6666666e-1, 0.5
//   7. y = fma(y, z, x), y = y + 1
//   8. scale 2^n with n = (int)fx, built as the bit pattern (n + 127) << 23
//   9. y * scale
// Inputs at or above 88.37626 give the same as 88.37626 (about 2.4061436e38); at or below about
// -87.69 the exponent field reaches 0 and the result is exactly 0. NaN maps to the upper clamp.
inline v4sf exp_ps(v4sf x) {
  const v4sf hi = splat4(88.3762626647949f);    // 0x42B0C0A5
  const v4sf lo = splat4(-88.3762626647949f);
  const v4sf log2e = splat4(1.44269504088896341f);  // 0x3FB8AA3B
  const v4sf c1 = splat4(0.693359375f);           // 0x3F318000
  const v4sf c2 = splat4(-2.12194440e-4f);        // 0xB95E8083
  const v4sf one = splat4(1.0f);
  const v4sf half = splat4(0.5f);

  x = min4(x, hi);
  x = max4(x, lo);
  v4sf fx = fma4(x, log2e, half);
  // floor: |fx| <= 128 after the clamp, so the conversion cannot overflow.
  v4sf t = __builtin_convertvector(__builtin_convertvector(fx, v4si), v4sf);
  t = t - (v4sf)((t > fx) & (v4si)one);
  fx = t;
  x = x - fx * c1;
  x = x - fx * c2;
  const v4sf z = x * x;
  v4sf y = splat4(1.9875691500e-4f);              // 0x39506967
  y = fma4(y, x, splat4(1.3981999507e-3f));       // 0x3AB743CE
  y = fma4(y, x, splat4(8.3334519073e-3f));       // 0x3C088908
  y = fma4(y, x, splat4(4.1665795894e-2f));       // 0x3D2AA9C1
  y = fma4(y, x, splat4(1.6666665459e-1f));       // 0x3E2AAAAA
  y = fma4(y, x, half);                           // 0x3F000000
  y = fma4(y, z, x);
  y = y + one;
  // 2^n through the exponent field; fx >= -127 after the clamp, so n + 127 >= 0.
  const v4si n = __builtin_convertvector(fx, v4si);
  const v4si bits = (n + 127) << 23;
  return y * (v4sf)bits;
}

// a / b per lane, true IEEE division (no reciprocal estimate).
inline v4sf div_ps(v4sf a, v4sf b) { return a / b; }

// In place: t[i] = t[i] / (1 + e^(-t[i])) for i < t->size. Vectorised, exp_ps; tail with expf.
void swish(Tensor<float>* t);
// Scalar reference: t[i] = t[i] / (1 + expf(-t[i])).
void swish_die(Tensor<float>* t);

// In place: t[i] = 0 where t[i] < 0, for i < t->size. Scalar.
void relu(Tensor<float>* t);

// Scalar reference of Tensor<float>::leakyrelu: x >= 0 ? x : slope * x over the first size floats.
void leakyrelu_die(Tensor<float>* t, float slope);

// Gated linear unit over rows of 2h floats: rows = in->size / (2h) (0 when h <= 0). For row r
// and j < h: out->data[r*h + j] = a / (1 + e^(-b)), a = in->data[r*2h + j] (value half),
// b = in->data[r*2h + h + j] (gate half). out is written densely (row stride h) but not
// reshaped: the caller sets its shape; out needs rows * h floats. in and out may be the same
// tensor. Per row: 8 floats per step while 8 remain, then 4, then expf for the rest.
void glu(const Tensor<float>* in, Tensor<float>* out, int h);
// Scalar reference of glu, with expf.
void glu_die(const Tensor<float>* in, Tensor<float>* out, int h);

// In place over one row: x[i] = e^(x[i] - m) / s for i < n, m the largest of x[0..n-1] and s the
// sum of the exponentials; then x[n..total-1] = 0. The maximum is a 4-lane running maximum from
// -FLT_MAX joined by the scalar leftovers; exponentials are exp_ps per group added lane-wise into
// a 4-lane sum, combined as (lane0 + lane1) + (lane2 + lane3), and the leftovers' expf values are
// then added one by one. Every element is divided by s.
void softmax(float* x, int n, int total);
// Scalar reference: m from -infinity, expf, one running sum, division, zero fill.
void softmax_die(float* x, int n, int total);

// x[i] = ln(e^x[i] / sum_j e^x[j]) for i < n, without subtracting the maximum. Allocates a
// temporary array of n floats; if that fails, x is left unchanged. Not for the streaming path.
void log_softmax(float* x, int n);

// Streaming im2col for a one-dimensional convolution over frames of `channels` floats, with
// T = frames, C = channels, K = kernel, S = stride, D = dilation, P = pad_left, R = pad_right:
//   - On entry buf holds the T new frames (T x C floats) and hist the P frames of history
//     (P x C floats). buf must have room for (P + T) x C floats; hist must not overlap buf.
//   - The T frames are moved back by P frames and the history copied in front: buf then holds
//     P + T consecutive frames, oldest first. Its last P frames are the next call's history.
//   - n = (T + P + R - (D * (K - 1) + 1)) / S + 1 output positions (0 when the span does not
//     fit); row i of cols (K x C floats, tap-major) holds, for tap k, frame i*S + k*D of buf.
//     Taps that fall in the R right-padding frames (past the P + T frames of buf) are zeros.
//     cols needs n x K x C floats.
// Returns n. The third argument is ignored (callers pass 1). Invalid geometry (K, S or D below
// 1, or a negative T, C, P or R) returns 0 and touches nothing.
int im2col_cpu(float* buf, const float* hist, int unused, int frames, int channels, int kernel,
               int stride, int dilation, int pad_left, int pad_right, float* cols);

// Square affine map over rows of dim floats: out = in x W + bias with rows = in->size / dim,
// W a dim x dim row-major matrix with the input index as row (W[k*dim + j] takes input k to
// output j), bias dim floats or null. out must already be shaped (rows, dim) and is not
// reshaped; out's rows are first set to the bias (or cleared with zeros()), then one
// cblas_sgemm (row-major, no transposition, M = rows, N = K = dim, alpha = beta = 1) adds the
// product. in and out must not overlap. dim <= 0 or no whole row does nothing.
void linear_forward(const Tensor<float>* in, Tensor<float>* out, const float* W, const float* bias,
                    int dim);

}  // namespace mvsdk::engine
