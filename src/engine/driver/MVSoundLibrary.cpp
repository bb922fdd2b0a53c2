#include "engine/driver/MVSoundLibrary.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "engine/core/worker_pool.h"
#include "engine/driver/engine.h"
#include "engine/driver/model_file.h"
#include "engine/nets/amengine.h"
#include "engine/nets/bnengine.h"
#include "engine/nets/vocengine.h"

#if defined(__SANITIZE_THREAD__)
#define MVSDK_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define MVSDK_THREAD_SANITIZER 1
#endif
#endif
#ifdef MVSDK_THREAD_SANITIZER
// The ThreadSanitizer runtime's annotations (declared by no system header).
extern "C" void AnnotateIgnoreReadsBegin(const char* file, int line);
extern "C" void AnnotateIgnoreReadsEnd(const char* file, int line);
extern "C" void AnnotateIgnoreWritesBegin(const char* file, int line);
extern "C" void AnnotateIgnoreWritesEnd(const char* file, int line);
#endif

namespace mvsdk::engine {

namespace {

// Marks the building of an engine that no other thread can reach yet. Under ThreadSanitizer the
// memory accesses of this thread are left out of race detection for the scope: mapping the
// weight files and zeroing every layer's state and scratch (hundreds of megabytes) costs the
// race detector several seconds of shadow-memory writes, longer than a host waits for a start,
// while an object that is published only when complete (LibraryState::e) cannot take part in a
// race. Locks and atomics are still tracked, and every access after publication is checked.
// Nothing in other builds.
class UnsharedBuild {
 public:
#ifdef MVSDK_THREAD_SANITIZER
  UnsharedBuild() {
    AnnotateIgnoreReadsBegin(__FILE__, __LINE__);
    AnnotateIgnoreWritesBegin(__FILE__, __LINE__);
  }
  ~UnsharedBuild() {
    AnnotateIgnoreWritesEnd(__FILE__, __LINE__);
    AnnotateIgnoreReadsEnd(__FILE__, __LINE__);
  }
#else
  // User-provided, so that a scope holding one is not taken for an unused variable.
  UnsharedBuild() {}
  ~UnsharedBuild() {}
#endif
  UnsharedBuild(const UnsharedBuild&) = delete;
  UnsharedBuild& operator=(const UnsharedBuild&) = delete;
};

// Library state: one engine per process.
struct LibraryState {
  std::mutex lifecycle;               // start and stop, never taken on the audio path
  std::atomic<engine*> e{nullptr};    // the running engine; isStart is e != null
  std::atomic<int> readers{0};        // calls inside the engine outside the lifecycle lock
  std::atomic<int> nret{0};
  std::atomic<int> threads{1};        // engine threads of the next start
  std::atomic<bool> half{false};      // half-precision weights from the next start
  ModelFile params_am_addr;
  ModelFile params_bn_addr;
  ModelFile params_vocv4_addr;
  std::mutex logger_mutex;
  std::function<void(const std::string&)> logger;
};

LibraryState& state() {
  // Never destroyed: the library may be used from threads that outlive static destruction.
  static auto* s = new LibraryState();
  return *s;
}

// Never throws: a line that cannot be built or delivered (memory is short) is dropped.
template <class MakeLine>
void log(const MakeLine& make_line) noexcept {
  auto& s = state();
  try {
    const std::string line = make_line();
    std::lock_guard<std::mutex> lock(s.logger_mutex);
    if (s.logger) s.logger(line);
  } catch (...) {
  }
}

// Holds the engine against a concurrent stop for the duration of one call.
class EngineRef {
 public:
  EngineRef() : s_(state()) {
    s_.readers.fetch_add(1, std::memory_order_seq_cst);
    e_ = s_.e.load(std::memory_order_seq_cst);
  }
  ~EngineRef() { s_.readers.fetch_sub(1, std::memory_order_release); }
  EngineRef(const EngineRef&) = delete;
  EngineRef& operator=(const EngineRef&) = delete;
  engine* get() const { return e_; }

 private:
  LibraryState& s_;
  engine* e_ = nullptr;
};

}  // namespace

namespace {

int start_locked(const char* amPath, const char* bnPath, const char* vocPath, int inRate, int outRate) {
  auto& s = state();
  if (s.e.load()) return MVSoundLibrary::kDone;
  if (!amPath || !bnPath || !vocPath) {
    log([] { return std::string("MVSoundLibrary: startEngine without model paths"); });
    return MVSoundLibrary::kModelFileError;
  }
  ModelFile am, bn, voc;
  bool files_ok = false;
  {
    UnsharedBuild unshared;
    files_ok = am.open(amPath, static_cast<std::size_t>(amengine::stream_floats())) &&
               bn.open(bnPath, static_cast<std::size_t>(bnengine::weight_floats())) &&
               voc.open(vocPath, static_cast<std::size_t>(vocengine::weight_floats()));
  }
  if (!files_ok) {
    for (const ModelFile* f : {&am, &bn, &voc}) {
      if (!f->error().empty()) log([f] { return "MVSoundLibrary: " + f->error(); });
    }
    return MVSoundLibrary::kModelFileError;
  }
  // An allocation that throws inside the constructor unwinds what was built (std::bad_alloc is
  // caught by the caller); one that returns null leaves ok() false.
  // The floats the engine copies are not read again: their pages go back as each block is
  // copied, so the weights never take their memory twice over.
  std::array<ModelFile*, 3> files{&am, &bn, &voc};
  const WeightsReleased release = [](void* user, const float* src, std::size_t count) {
    for (ModelFile* f : *static_cast<std::array<ModelFile*, 3>*>(user)) f->discard(src, count);
  };
  std::unique_ptr<engine> built;
  {
    UnsharedBuild unshared;
    built = std::make_unique<engine>(
        am.floats(), bn.floats(), voc.floats(), inRate, outRate, s.threads.load(std::memory_order_relaxed),
        s.half.load(std::memory_order_relaxed) ? WeightForm::kHalf : WeightForm::kPanels, release, &files);
  }
  if (!built->ok()) {
    log([=] {
      return "MVSoundLibrary: the engine could not be built (input " + std::to_string(inRate) + " Hz, output " +
             std::to_string(outRate) + " Hz)";
    });
    return MVSoundLibrary::kEngineInitError;
  }
  s.params_am_addr = std::move(am);
  s.params_bn_addr = std::move(bn);
  s.params_vocv4_addr = std::move(voc);
  s.e.store(built.release(), std::memory_order_seq_cst);
  return MVSoundLibrary::kDone;
}

}  // namespace

void MVSoundLibrary::setEngineThreads(int threads) {
  state().threads.store(std::clamp(threads, 0, WorkerPool::kMaxThreads), std::memory_order_relaxed);
}

int MVSoundLibrary::engineThreads() {
  EngineRef ref;
  return ref.get() ? ref.get()->threads() : 0;
}

void MVSoundLibrary::setHalfPrecisionWeights(bool on) {
  state().half.store(on, std::memory_order_relaxed);
}

bool MVSoundLibrary::halfPrecisionWeights() {
  EngineRef ref;
  return ref.get() ? ref.get()->half_precision() : false;
}

int MVSoundLibrary::startEngine(const char* amPath, const char* bnPath, const char* vocPath, int inRate,
                                int outRate) {
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.lifecycle);
  try {
    return start_locked(amPath, bnPath, vocPath, inRate, outRate);
  } catch (const std::bad_alloc&) {
    // Anything partly built is gone by now; the engine stays stopped.
    log([] { return std::string("MVSoundLibrary: out of memory while starting the engine"); });
    return kEngineInitError;
  } catch (...) {
    log([] { return std::string("MVSoundLibrary: the engine could not be built"); });
    return kEngineInitError;
  }
}

void MVSoundLibrary::freeEngine() {
  auto& s = state();
  engine* old = s.e.exchange(nullptr, std::memory_order_seq_cst);
  if (old) {
    // Pulls that took the engine before the exchange finish with it first.
    while (s.readers.load(std::memory_order_acquire) != 0) std::this_thread::yield();
    delete old;
  }
  s.params_am_addr.close();
  s.params_bn_addr.close();
  s.params_vocv4_addr.close();
}

int MVSoundLibrary::stopEngineSoundLibrary() {
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.lifecycle);
  if (s.e.load()) freeEngine();
  return kDone;
}

int MVSoundLibrary::setSpeakersStyleSoundLibrary(const float* style) {
  EngineRef ref;
  if (ref.get() && style) ref.get()->setstyle(style);
  return kDone;
}

int MVSoundLibrary::realTimeSoundTransferSoundLibrary(const short* samples, int count, int control,
                                                      float* controls) {
  EngineRef ref;
  if (!ref.get()) return kNotStarted;
  const int n = ref.get()->Inpush(samples, count, 1, control, controls);
  return n < 0 ? 0 : n;
}

int MVSoundLibrary::getRealTimeSoundTransferSoundLibrary(short* out, int count) {
  EngineRef ref;
  if (!ref.get()) return kNotStarted;
  int n = ref.get()->Outpop(out, count);
  if (n < 1) n = 0;
  state().nret.store(n, std::memory_order_relaxed);
  return n;
}

int MVSoundLibrary::takeQueuedSoundLibrary(short* out, int max, int* began) {
  EngineRef ref;
  if (began) *began = 0;
  if (!ref.get()) return kNotStarted;
  if (began) *began = ref.get()->started() ? 1 : 0;
  if (!out || max < 1) return 0;
  const int n = std::min(max, ref.get()->queued_samples());
  if (n < 1) return 0;
  return ref.get()->Outpop(out, n) == n ? n : 0;
}

int MVSoundLibrary::engineReset() {
  EngineRef ref;
  if (ref.get()) ref.get()->reset();
  return kDone;
}

int MVSoundLibrary::engineSetdelay(int steps) {
  EngineRef ref;
  if (!ref.get()) return kNotStarted;
  ref.get()->setdelay(steps);
  return kDone;
}

int MVSoundLibrary::getEngineStatus() { return state().e.load(std::memory_order_acquire) ? 1 : 0; }

void MVSoundLibrary::setLogger(std::function<void(const std::string&)> logger) {
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.logger_mutex);
  s.logger = std::move(logger);
}

engine* MVSoundLibrary::currentEngine() { return state().e.load(std::memory_order_acquire); }

int MVSoundLibrary::lastPullResult() { return state().nret.load(std::memory_order_relaxed); }

}  // namespace mvsdk::engine
