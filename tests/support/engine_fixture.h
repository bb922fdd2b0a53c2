#pragma once
// Shared engine fixtures: the synthetic model files opened once, an engine factory with a fixed
// style, a voiced test signal, and the neutral pitch parameter block.
#include <cmath>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "engine/driver/engine.h"
#include "engine/driver/model_file.h"
#include "engine/nets/amengine.h"
#include "engine/nets/bnengine.h"
#include "engine/nets/vocengine.h"
#include "support/speechlike.h"
#include "support/synthetic_models.h"

namespace mvsdk::test {

using Engine = mvsdk::engine::engine;

struct Models {
  engine::ModelFile am, bn, voc;
  Models() {
    const auto& p = synthetic_models();
    EXPECT_TRUE(am.open(p.am, static_cast<std::size_t>(engine::amengine::stream_floats())));
    EXPECT_TRUE(bn.open(p.bn, static_cast<std::size_t>(engine::bnengine::weight_floats())));
    EXPECT_TRUE(voc.open(p.voc, static_cast<std::size_t>(engine::vocengine::weight_floats())));
  }
  std::unique_ptr<Engine> make(int in_rate, int out_rate, int threads = 1,
                               engine::WeightForm form = engine::WeightForm::kAsGiven,
                               engine::WeightsReleased released = nullptr, void* user = nullptr) const {
    auto e = std::make_unique<Engine>(am.floats(), bn.floats(), voc.floats(), in_rate, out_rate, threads, form,
                                      released, user);
    std::vector<float> style(Engine::kStyleSize);
    for (int i = 0; i < Engine::kStyleSize; ++i) style[i] = 0.1f * std::sin(0.37f * i);
    e->setstyle(style.data());
    return e;
  }
};

inline const Models& models() {
  static Models m;
  return m;
}

// The speech-like test signal as 16-bit samples.
inline std::vector<short> test_signal(int rate, double seconds) {
  std::vector<short> s;
  for (double v : speechlike(rate, 1, seconds)) s.push_back(static_cast<short>(std::lround(v * 32767)));
  return s;
}

// The neutral pitch parameter block (the engine may write the mapping back into it).
struct Params {
  float v[6] = {0, 0, 0, 0.1f, 2000, 0};
};

}  // namespace mvsdk::test
