#include "engine/layers/pos_enc.h"

#include <cmath>
#include <vector>

namespace mvsdk::engine {

PositionEncoding::PositionEncoding(int max_len, int dim, int mode)
    : max_len_(max_len < 0 ? 0 : max_len), dim_(dim < 0 ? 0 : dim), table_(max_len_, dim_) {
  if (table_.data == nullptr) return;
  const int half = dim_ / 2;
  const float ln10000 = static_cast<float>(std::log(10000.0));
  std::vector<float> w(static_cast<std::size_t>(half));
  for (int i = 0; i < half; ++i) {
    if (mode == 0) {
      w[i] = static_cast<float>(1.0 / std::pow(10000.0, static_cast<double>(2 * i) / dim_));
    } else {
      w[i] = static_cast<float>(std::exp(static_cast<double>(-2 * i) * ln10000 / dim_));
    }
  }
  for (int p = 0; p < max_len_; ++p) {
    float* row = table_.data + static_cast<std::ptrdiff_t>(p) * dim_;
    for (int i = 0; i < half; ++i) {
      const float angle = static_cast<float>(p) * w[i];
      row[2 * i] = std::sin(angle);
      row[2 * i + 1] = std::cos(angle);
    }
    if (dim_ % 2 != 0) row[dim_ - 1] = 0.0f;  // no partner for an odd last column
  }
}

void PositionEncoding::fetch(int n, Tensor<float>*& out) {
  if (n < 0) n = 0;
  if (n > max_len_) n = max_len_;
  table_.resize(1, 1, n, dim_);
  out = &table_;
}

}  // namespace mvsdk::engine
