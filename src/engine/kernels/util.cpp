#include "engine/kernels/util.h"

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "engine/kernels/gemm.h"

namespace mvsdk::engine {

namespace {

// x / (1 + e^(-x)) on one group.
inline v4sf swish4(v4sf x) {
  const v4sf e = exp_ps(-x);
  return div_ps(x, e + splat4(1.0f));
}

// a / (1 + e^(-b)) on one group.
inline v4sf glu4(v4sf a, v4sf b) {
  const v4sf e = exp_ps(-b);
  return div_ps(a, e + splat4(1.0f));
}

#if defined(MVSDK_SIMD_HAVE_V8)
// Two 4-lane groups side by side; the same bits as swish4 and glu4 on each half.
inline v8sf swish8(v8sf x) {
  const v8sf e = exp_ps8(-x);
  return x / (e + 1.0f);
}
inline v8sf glu8(v8sf a, v8sf b) {
  const v8sf e = exp_ps8(-b);
  return a / (e + 1.0f);
}
#endif

}  // namespace

void swish(Tensor<float>* t) {
  float* d = t->data;
  const int n = t->size;
  int i = 0;
  for (; i + 16 <= n; i += 16) {
#if defined(MVSDK_SIMD_HAVE_V8)
    const v8sf r0 = swish8(load8(d + i));
    const v8sf r1 = swish8(load8(d + i + 8));
    store8(d + i, r0);
    store8(d + i + 8, r1);
#else
    const v4sf r0 = swish4(load4(d + i));
    const v4sf r1 = swish4(load4(d + i + 4));
    const v4sf r2 = swish4(load4(d + i + 8));
    const v4sf r3 = swish4(load4(d + i + 12));
    store4(d + i, r0);
    store4(d + i + 4, r1);
    store4(d + i + 8, r2);
    store4(d + i + 12, r3);
#endif
  }
  for (; i + 8 <= n; i += 8) {
#if defined(MVSDK_SIMD_HAVE_V8)
    store8(d + i, swish8(load8(d + i)));
#else
    const v4sf r0 = swish4(load4(d + i));
    const v4sf r1 = swish4(load4(d + i + 4));
    store4(d + i, r0);
    store4(d + i + 4, r1);
#endif
  }
  for (; i + 4 <= n; i += 4) store4(d + i, swish4(load4(d + i)));
  for (; i < n; ++i) d[i] = d[i] / (1.0f + expf(-d[i]));
}

void swish_die(Tensor<float>* t) {
  float* d = t->data;
  for (int i = 0; i < t->size; ++i) d[i] = d[i] / (1.0f + expf(-d[i]));
}

void relu(Tensor<float>* t) {
  float* d = t->data;
  for (int i = 0; i < t->size; ++i) {
    if (d[i] < 0.0f) d[i] = 0.0f;
  }
}

void leakyrelu_die(Tensor<float>* t, float slope) {
  float* d = t->data;
  for (int i = 0; i < t->size; ++i) d[i] = d[i] >= 0.0f ? d[i] : slope * d[i];
}

void glu(const Tensor<float>* in, Tensor<float>* out, int h) {
  if (h <= 0) return;
  const int rows = in->size / (2 * h);
  const float* src = in->data;
  float* dst = out->data;
  for (int r = 0; r < rows; ++r) {
    const float* a = src + static_cast<std::ptrdiff_t>(r) * 2 * h;
    const float* b = a + h;
    float* o = dst + static_cast<std::ptrdiff_t>(r) * h;
    int j = 0;
    // Each group is loaded before it is stored; with in == out the writes trail the reads.
    for (; j + 8 <= h; j += 8) {
#if defined(MVSDK_SIMD_HAVE_V8)
      const v8sf a0 = load8(a + j);
      const v8sf b0 = load8(b + j);
      store8(o + j, glu8(a0, b0));
#else
      const v4sf a0 = load4(a + j), a1 = load4(a + j + 4);
      const v4sf b0 = load4(b + j), b1 = load4(b + j + 4);
      const v4sf r0 = glu4(a0, b0);
      const v4sf r1 = glu4(a1, b1);
      store4(o + j, r0);
      store4(o + j + 4, r1);
#endif
    }
    for (; j + 4 <= h; j += 4) {
      const v4sf a0 = load4(a + j);
      const v4sf b0 = load4(b + j);
      store4(o + j, glu4(a0, b0));
    }
    for (; j < h; ++j) {
      const float av = a[j];
      const float bv = b[j];
      o[j] = av / (1.0f + expf(-bv));
    }
  }
}

void glu_die(const Tensor<float>* in, Tensor<float>* out, int h) {
  if (h <= 0) return;
  const int rows = in->size / (2 * h);
  for (int r = 0; r < rows; ++r) {
    for (int j = 0; j < h; ++j) {
      const float a = in->data[r * 2 * h + j];
      const float b = in->data[r * 2 * h + h + j];
      out->data[r * h + j] = a / (1.0f + expf(-b));
    }
  }
}

void softmax(float* x, int n, int total) {
  if (n < 0) n = 0;
  // 1. Maximum: 4-lane running maximum from the most negative finite float, then pairwise.
  v4sf vmax = splat4(-FLT_MAX);
  int i = 0;
  for (; i + 16 <= n; i += 16) {
    vmax = max4(vmax, load4(x + i));
    vmax = max4(vmax, load4(x + i + 4));
    vmax = max4(vmax, load4(x + i + 8));
    vmax = max4(vmax, load4(x + i + 12));
  }
  for (; i + 8 <= n; i += 8) {
    vmax = max4(vmax, load4(x + i));
    vmax = max4(vmax, load4(x + i + 4));
  }
  for (; i + 4 <= n; i += 4) vmax = max4(vmax, load4(x + i));
  const float m01 = vmax[0] > vmax[1] ? vmax[0] : vmax[1];
  const float m23 = vmax[2] > vmax[3] ? vmax[2] : vmax[3];
  float m = m01 > m23 ? m01 : m23;
  for (int k = i; k < n; ++k) m = x[k] > m ? x[k] : m;

  // 2. Exponentials, summed lane-wise group after group.
  const v4sf vm = splat4(m);
  v4sf vsum = splat4(0.0f);
  i = 0;
#if defined(MVSDK_SIMD_HAVE_V8)
  // Eight lanes per exponential, but the sum still takes the 4-lane groups one after another.
  const v8sf vm8 = v8sf{} + m;
  for (; i + 16 <= n; i += 16) {
    const v8sf e0 = exp_ps8(load8(x + i) - vm8);
    const v8sf e1 = exp_ps8(load8(x + i + 8) - vm8);
    store8(x + i, e0);
    store8(x + i + 8, e1);
    vsum = vsum + low4(e0);
    vsum = vsum + high4(e0);
    vsum = vsum + low4(e1);
    vsum = vsum + high4(e1);
  }
  for (; i + 8 <= n; i += 8) {
    const v8sf e0 = exp_ps8(load8(x + i) - vm8);
    store8(x + i, e0);
    vsum = vsum + low4(e0);
    vsum = vsum + high4(e0);
  }
#else
  for (; i + 16 <= n; i += 16) {
    const v4sf e0 = exp_ps(load4(x + i) - vm);
    const v4sf e1 = exp_ps(load4(x + i + 4) - vm);
    const v4sf e2 = exp_ps(load4(x + i + 8) - vm);
    const v4sf e3 = exp_ps(load4(x + i + 12) - vm);
    store4(x + i, e0);
    store4(x + i + 4, e1);
    store4(x + i + 8, e2);
    store4(x + i + 12, e3);
    vsum = vsum + e0;
    vsum = vsum + e1;
    vsum = vsum + e2;
    vsum = vsum + e3;
  }
  for (; i + 8 <= n; i += 8) {
    const v4sf e0 = exp_ps(load4(x + i) - vm);
    const v4sf e1 = exp_ps(load4(x + i + 4) - vm);
    store4(x + i, e0);
    store4(x + i + 4, e1);
    vsum = vsum + e0;
    vsum = vsum + e1;
  }
#endif
  for (; i + 4 <= n; i += 4) {
    const v4sf e0 = exp_ps(load4(x + i) - vm);
    store4(x + i, e0);
    vsum = vsum + e0;
  }
  // 3. Lanes combined pairwise, then the leftovers one by one.
  float s = (vsum[0] + vsum[1]) + (vsum[2] + vsum[3]);
  for (; i < n; ++i) {
    x[i] = expf(x[i] - m);
    s += x[i];
  }

  // 4. Division (true division, no reciprocal) and the zero fill.
  const v4sf vs = splat4(s);
  i = 0;
#if defined(MVSDK_SIMD_HAVE_V8)
  const v8sf vs8 = v8sf{} + s;
  for (; i + 8 <= n; i += 8) store8(x + i, load8(x + i) / vs8);
#endif
  for (; i + 4 <= n; i += 4) store4(x + i, div_ps(load4(x + i), vs));
  for (; i < n; ++i) x[i] = x[i] / s;
  for (int k = n; k < total; ++k) x[k] = 0.0f;
}

void softmax_die(float* x, int n, int total) {
  float m = -std::numeric_limits<float>::infinity();
  for (int i = 0; i < n; ++i) m = x[i] > m ? x[i] : m;
  float s = 0.0f;
  for (int i = 0; i < n; ++i) {
    x[i] = expf(x[i] - m);
    s += x[i];
  }
  for (int i = 0; i < n; ++i) x[i] = x[i] / s;
  for (int i = (n > 0 ? n : 0); i < total; ++i) x[i] = 0.0f;
}

void log_softmax(float* x, int n) {
  if (n <= 0) return;
  float* e = static_cast<float*>(std::malloc(static_cast<std::size_t>(n) * sizeof(float)));
  if (e == nullptr) return;
  float s = 0.0f;
  for (int i = 0; i < n; ++i) {
    e[i] = expf(x[i]);
    s += e[i];
  }
  for (int i = 0; i < n; ++i) x[i] = logf(e[i] / s);
  std::free(e);
}

int im2col_cpu(float* buf, const float* hist, int /*unused*/, int frames, int channels, int kernel,
               int stride, int dilation, int pad_left, int pad_right, float* cols) {
  const int T = frames, C = channels, K = kernel, S = stride, D = dilation, P = pad_left,
            R = pad_right;
  if (K < 1 || S < 1 || D < 1 || T < 0 || C < 0 || P < 0 || R < 0) return 0;
  const std::size_t frame_bytes = static_cast<std::size_t>(C) * sizeof(float);

  // buf := P history frames followed by the T new ones.
  if (P > 0) {
    if (T > 0) std::memmove(buf + static_cast<std::ptrdiff_t>(P) * C, buf, frame_bytes * T);
    std::memcpy(buf, hist, frame_bytes * P);
  }

  const long long avail = static_cast<long long>(T) + P;  // frames present in buf
  const long long span = static_cast<long long>(D) * (K - 1) + 1;
  const long long padded = avail + R;
  // A span longer than the padded input yields no positions (truncating division would round
  // a negative quotient up to zero and produce one position reading past the buffer).
  if (padded < span) return 0;
  const int n = static_cast<int>((padded - span) / S + 1);

  const std::ptrdiff_t row_len = static_cast<std::ptrdiff_t>(K) * C;
  for (int i = 0; i < n; ++i) {
    float* row = cols + i * row_len;
    const long long first = static_cast<long long>(i) * S;
    const long long last = first + span - 1;
    if (D == 1 && last < avail) {
      std::memcpy(row, buf + first * C, frame_bytes * K);
      continue;
    }
    for (int k = 0; k < K; ++k) {
      const long long f = first + static_cast<long long>(k) * D;
      float* dst = row + static_cast<std::ptrdiff_t>(k) * C;
      if (f < avail) {
        std::memcpy(dst, buf + f * C, frame_bytes);
      } else {
        std::memset(dst, 0, frame_bytes);  // right padding
      }
    }
  }
  return n;
}

void linear_forward(const Tensor<float>* in, Tensor<float>* out, const float* W, const float* bias,
                    int dim) {
  if (dim <= 0) return;
  const int rows = in->size / dim;
  if (rows <= 0) return;
  if (bias == nullptr) {
    out->zeros();
  } else {
    for (int r = 0; r < rows; ++r) {
      std::memcpy(out->data + static_cast<std::ptrdiff_t>(r) * dim, bias,
                  static_cast<std::size_t>(dim) * sizeof(float));
    }
  }
  gemm_acc(rows, dim, dim, 1.0f, in->data, dim, W, dim, false, out->data, dim);
}

}  // namespace mvsdk::engine
