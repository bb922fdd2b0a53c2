// mvsdk._core: the C++ side of the Python module. The Python package (python/mvsdk/) turns what
// this returns into Python values: action results into return values or mvsdk.Error, voices into
// dataclasses, the log into the logging module.
//
// The GIL:
//   - It is released around every call into the kit that can wait or compute (the lifecycle
//     steps, transform, the waits, release), so the kit's threads can call back into Python.
//   - Waits are cut into short slices; between slices the GIL is taken back to run Python's
//     signal handlers, so Ctrl-C ends a wait with KeyboardInterrupt.
//   - Callbacks into Python (log sink on the kit's log thread, action and download callbacks on
//     the kit's main queue) take the GIL, and are skipped once the interpreter is shutting down
//     (shutdown() runs from atexit) or once their Kit is closed.
//   - Python objects the kit's threads may hold are released with the GIL (PyRef).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "common/embedded.h"
#include "mvsdk/mvsdk.h"

namespace py = pybind11;

namespace mvsdk::python {
namespace {

using Clock = std::chrono::steady_clock;

// False from shutdown() on: no kit thread enters Python any more.
std::atomic<bool> g_python_alive{true};

// A Python object shared with the kit's threads. The last reference drops it with the GIL held,
// or leaks it once the interpreter is going away (a reference cannot be dropped safely then).
using PyRef = std::shared_ptr<py::object>;
PyRef hold(py::object o) {
  return PyRef(new py::object(std::move(o)), [](py::object* p) {
    if (g_python_alive.load() && Py_IsInitialized()) {
      py::gil_scoped_acquire gil;
      delete p;
    } else {
      p->release();
      delete p;
    }
  });
}

// Calls a Python callable from one of the kit's threads. An exception it raises is reported as
// unraisable (sys.unraisablehook) and the kit goes on.
template <class... Args>
void call_python(const PyRef& fn, const char* where, Args&&... args) {
  if (!fn || !g_python_alive.load()) return;
  py::gil_scoped_acquire gil;
  try {
    (*fn)(std::forward<Args>(args)...);
  } catch (py::error_already_set& e) {
    e.discard_as_unraisable(where);
  }
}

// Releases the GIL when the calling thread holds it (destructors may run either way).
struct ReleaseIfHeld {
  std::optional<py::gil_scoped_release> release;
  ReleaseIfHeld() {
    if (PyGILState_Check()) release.emplace();
  }
};

// Waits, GIL released, until done(slice) answers true, the timeout passes (false) or a signal
// handler raises. done waits at most slice itself.
template <class Done>
bool wait_interruptibly(std::optional<double> timeout_s, Done&& done) {
  constexpr auto kSlice = std::chrono::milliseconds(50);
  const auto deadline = timeout_s ? Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                       std::chrono::duration<double>(std::max(0.0, *timeout_s)))
                                  : Clock::time_point::max();
  while (true) {
    bool ok = false, past = false;
    {
      py::gil_scoped_release nogil;
      const auto left = deadline - Clock::now();
      const auto slice =
          left < kSlice ? std::chrono::duration_cast<std::chrono::milliseconds>(left) : std::chrono::milliseconds(kSlice);
      ok = done(std::max(slice, std::chrono::milliseconds(0)));
      past = Clock::now() >= deadline;
    }
    if (ok) return true;
    if (past) return false;
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
  }
}

// Lets callbacks reach Python only while their Kit is open (as the C interface's gate does).
class Gate {
 public:
  template <class F>
  void run(F&& f) {
    {
      std::lock_guard lock(mutex_);
      if (!open_) return;
      ++running_;
    }
    f();
    {
      std::lock_guard lock(mutex_);
      --running_;
    }
    cv_.notify_all();
  }
  // Closes and waits for the callbacks under way (call without the GIL: they may want it).
  void close() {
    std::unique_lock lock(mutex_);
    open_ = false;
    cv_.wait(lock, [&] { return running_ == 0; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = true;
  int running_ = 0;
};

struct ActionResult {
  std::int64_t action;
  std::int64_t code;
  std::string message;
};

// Action results in arrival order, taken by the waiting helpers.
class Inbox {
 public:
  void push(ActionResult r) {
    {
      std::lock_guard lock(mutex_);
      results_.push_back(std::move(r));
    }
    cv_.notify_all();
  }
  void clear() {
    std::lock_guard lock(mutex_);
    results_.clear();
  }
  // Takes the first result of one of actions, waiting at most slice.
  std::optional<ActionResult> take(const std::vector<std::int64_t>& actions, std::chrono::milliseconds slice) {
    std::unique_lock lock(mutex_);
    std::optional<ActionResult> found;
    cv_.wait_for(lock, slice, [&] {
      for (auto it = results_.begin(); it != results_.end(); ++it) {
        if (std::find(actions.begin(), actions.end(), it->action) != actions.end()) {
          found = std::move(*it);
          results_.erase(it);
          return true;
        }
      }
      return false;
    });
    return found;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<ActionResult> results_;
};

// The kit's own onActionResult: feeds the inbox, then the host's Python callback if any. A named
// type, so that the kit's configuration can be asked whether it is installed.
constexpr std::int64_t kMarkerAction = -1000;  // set_mode's "everything before is delivered"

struct Forwarder {
  std::shared_ptr<Gate> gate;
  std::shared_ptr<Inbox> inbox;
  PyRef python;  // may be null
  void operator()(std::int64_t action, std::int64_t code, const std::string& message) const {
    gate->run([&] {
      inbox->push({action, code, message});
      if (action != kMarkerAction) call_python(python, "mvsdk on_action_result", action, code, message);
    });
  }
};

using ResultTuple = std::optional<std::tuple<std::int64_t, std::int64_t, std::string>>;

ResultTuple as_tuple(const std::optional<ActionResult>& r) {
  if (!r) return std::nullopt;
  return std::make_tuple(r->action, r->code, r->message);
}

// One completion (service call or calibration) awaited by the calling Python thread.
template <class T>
struct Answer {
  std::mutex mutex;
  std::condition_variable cv;
  std::optional<T> value;
  void set(T v) {
    {
      std::lock_guard lock(mutex);
      value = std::move(v);
    }
    cv.notify_all();
  }
  bool wait(std::chrono::milliseconds slice) {
    std::unique_lock lock(mutex);
    return cv.wait_for(lock, slice, [&] { return value.has_value(); });
  }
};

class Kit;
std::mutex g_kits_mutex;
std::set<Kit*> g_kits;  // open kits, closed by shutdown()

class Kit {
 public:
  Kit() : manager_(MVSDKManager::create()), gate_(std::make_shared<Gate>()), inbox_(std::make_shared<Inbox>()) {
    install(EngineConfig::defaultConfig());
    std::lock_guard lock(g_kits_mutex);
    g_kits.insert(this);
  }
  ~Kit() { close(); }
  Kit(const Kit&) = delete;
  Kit& operator=(const Kit&) = delete;

  // Stops callbacks into Python and releases the engine if this kit started it. Idempotent.
  void close() {
    {
      std::lock_guard lock(g_kits_mutex);
      g_kits.erase(this);
    }
    if (closed_.exchange(true)) return;
    ReleaseIfHeld nogil;
    gate_->close();
    if (started_) manager_->engineRelease();
    started_ = false;
    // Work still queued on the engine (a stop's tail) finishes before the kit goes.
    manager_->waitForEngine(std::chrono::seconds(10));
  }

  void set_engine_config(std::int64_t sample_rate, std::int64_t channel, std::int64_t format, const std::string& token,
                         bool mute_on_fail, bool is_sync, bool debug, bool transform_debug, py::object on_download,
                         py::object on_action_result, const py::dict& input, std::int64_t engine_threads,
                         bool half_precision_weights) {
    EngineConfig c = EngineConfig::defaultConfig();
    c.sampleRate = sample_rate;
    c.channel = channel;
    c.format = format;
    c.token = token;
    c.muteOnFail = mute_on_fail;
    c.isSync = is_sync;
    c.engineThreads = engine_threads;
    c.halfPrecisionWeights = half_precision_weights;
    c.debug = debug;
    c.transformDebug = transform_debug;
    c.input.gain = input["gain"].cast<bool>();
    c.input.gainDb = input["gain_db"].cast<double>();
    c.input.denoise = input["denoise"].cast<bool>();
    c.input.denoiseDb = input["denoise_db"].cast<double>();
    c.input.gate = input["gate"].cast<bool>();
    c.input.gateThresholdDbfs = input["gate_threshold_dbfs"].cast<double>();
    c.input.gateAttackMs = input["gate_attack_ms"].cast<double>();
    c.input.gateHoldMs = input["gate_hold_ms"].cast<double>();
    c.input.gateReleaseMs = input["gate_release_ms"].cast<double>();
    on_download_ = on_download.is_none() ? nullptr : hold(on_download);
    on_action_result_ = on_action_result.is_none() ? nullptr : hold(on_action_result);
    if (on_download_) {
      c.onDownload = [gate = gate_, fn = on_download_](std::int64_t percent, std::int64_t file, std::int64_t files) {
        gate->run([&] { call_python(fn, "mvsdk on_download", percent, file, files); });
      };
    }
    py::gil_scoped_release nogil;
    install(std::move(c));
  }

  // The configuration in force: its values, and the Python callbacks when the kit still holds them.
  py::dict engine_config() const {
    EngineConfig c;
    {
      py::gil_scoped_release nogil;
      c = manager_->engineConfig();
    }
    const bool ours = c.onActionResult.target<Forwarder>() != nullptr;
    py::dict d;
    d["sample_rate"] = c.sampleRate;
    d["channel"] = c.channel;
    d["format"] = c.format;
    d["token"] = c.token;
    d["mute_on_fail"] = c.muteOnFail;
    d["is_sync"] = c.isSync;
    d["engine_threads"] = c.engineThreads;
    d["half_precision_weights"] = c.halfPrecisionWeights;
    d["debug"] = c.debug;
    d["transform_debug"] = c.transformDebug;
    py::dict input;
    input["gain"] = c.input.gain;
    input["gain_db"] = c.input.gainDb;
    input["denoise"] = c.input.denoise;
    input["denoise_db"] = c.input.denoiseDb;
    input["gate"] = c.input.gate;
    input["gate_threshold_dbfs"] = c.input.gateThresholdDbfs;
    input["gate_attack_ms"] = c.input.gateAttackMs;
    input["gate_hold_ms"] = c.input.gateHoldMs;
    input["gate_release_ms"] = c.input.gateReleaseMs;
    d["input"] = input;
    d["on_download"] = c.onDownload && on_download_ ? *on_download_ : py::none();
    d["on_action_result"] = ours && on_action_result_ ? *on_action_result_ : py::none();
    return d;
  }

  // --- steps: call, then await the step's result (None on timeout) ---
  ResultTuple prepare(std::optional<double> timeout) {
    return step([this] { manager_->prepare(); }, {kActionInit, kActionEngine}, timeout);
  }
  ResultTuple check_resources(std::optional<double> timeout) {
    return step([this] { manager_->checkResources(); }, {kActionResources}, timeout);
  }
  ResultTuple start(std::optional<double> timeout) {
    started_ = true;  // from here on the engine may run, whatever the answer
    return step([this] { manager_->start(); }, {kActionEngine}, timeout);
  }
  ResultTuple set_voice(std::optional<double> id, std::optional<double> timeout) {
    return step([this, id] { manager_->setVoice(id); }, {kActionVoice}, timeout);
  }
  ResultTuple stop(std::optional<double> timeout) {
    // stop returns the kit to its default configuration; the waiting helpers keep their inbox.
    auto r = step(
        [this] {
          manager_->stop();
          reinstall_defaults();
        },
        {kActionEngine}, timeout);
    if (r && std::get<1>(*r) == kCodeSuccess) started_ = false;
    return r;
  }
  ResultTuple clean_all_files(std::optional<double> timeout) {
    return step([this] { manager_->cleanAllFiles(); }, {kActionCleanup}, timeout);
  }
  // setMode answers only a refusal; a marker posted behind the call tells that none came.
  ResultTuple set_mode(std::int64_t mode, float intonation, float pitch, std::optional<double> timeout) {
    return step(
        [=, this] {
          manager_->setMode(mode, intonation, pitch);
          manager_->triggerActionResult(kMarkerAction, kCodeSuccess, "");
        },
        {kActionVoice, kMarkerAction}, timeout);
  }

  void release() {
    py::gil_scoped_release nogil;
    manager_->engineRelease();
    started_ = false;
  }
  void reset_all_states() {
    py::gil_scoped_release nogil;
    manager_->resetAllStates();
    reinstall_defaults();
  }
  void trigger_action_result(std::int64_t action, std::int64_t code, const std::string& message) {
    py::gil_scoped_release nogil;
    manager_->triggerActionResult(action, code, message);
  }

  // --- service calls: (code, message), None on timeout ---
  using ServiceAnswer = std::optional<std::tuple<std::int64_t, std::string>>;
  ServiceAnswer service_call(void (MVSDKManager::*call)(ServiceCompletion), std::optional<double> timeout) {
    auto answer = std::make_shared<Answer<std::tuple<std::int64_t, std::string>>>();
    {
      py::gil_scoped_release nogil;
      ((*manager_).*call)([answer](std::int64_t code, const std::string& message) { answer->set({code, message}); });
    }
    if (!wait_interruptibly(timeout, [&](auto slice) { return answer->wait(slice); })) return std::nullopt;
    return answer->value;
  }

  std::optional<std::tuple<float, float>> pro_calibration(const std::string& path, std::optional<double> timeout) {
    auto answer = std::make_shared<Answer<std::tuple<float, float>>>();
    {
      py::gil_scoped_release nogil;
      manager_->proCalibration(path, [answer](float intonation, float pitch) { answer->set({intonation, pitch}); });
    }
    if (!wait_interruptibly(timeout, [&](auto slice) { return answer->wait(slice); })) return std::nullopt;
    return answer->value;
  }

  // --- audio ---
  // Converts one buffer of samples of the configured format; the output has the input's shape
  // and dtype (into `out` when given: C-contiguous, same dtype, at least as many bytes).
  py::array transform(const py::array& input, const py::object& out) {
    const std::int64_t format = manager_->engineConfig().format;
    switch (format) {
      case kSampleFormatU8: return transform_as<std::uint8_t>(input, out);
      case kSampleFormatS16: return transform_as<std::int16_t>(input, out);
      case kSampleFormatS24In32:
      case kSampleFormatS32: return transform_as<std::int32_t>(input, out);
      case kSampleFormatF32: return transform_as<float>(input, out);
      default: throw py::value_error("the configured sample format " + std::to_string(format) + " is not one of 0-4");
    }
  }

  bool wait_for_engine(std::optional<double> timeout) {
    return wait_interruptibly(timeout, [&](auto slice) { return manager_->waitForEngine(slice); });
  }

  MVSDKManager& manager() { return *manager_; }

 private:
  template <class T>
  py::array transform_as(const py::array& input, const py::object& out) {
    using Array = py::array_t<T, py::array::c_style>;
    if (!py::isinstance<py::array_t<T>>(input)) {
      throw py::type_error("transform: samples must be a NumPy array of dtype " +
                           py::str(py::dtype::of<T>()).cast<std::string>() + " (the configured format), not " +
                           py::str(input.dtype()).cast<std::string>());
    }
    const Array in = Array::ensure(input);  // C-contiguous (a copy only for a strided view)
    Array result;
    if (out.is_none()) {
      std::vector<py::ssize_t> shape(in.shape(), in.shape() + in.ndim());
      result = Array(shape);
    } else {
      if (!py::isinstance<Array>(out)) {
        throw py::type_error("transform: out must be a C-contiguous array of the input's dtype");
      }
      result = py::cast<Array>(out);
      if (result.size() < in.size()) throw py::value_error("transform: out is shorter than the samples");
    }
    const auto n_bytes = static_cast<std::size_t>(in.nbytes());
    const std::span<const std::uint8_t> src(reinterpret_cast<const std::uint8_t*>(in.data()), n_bytes);
    const std::span<std::uint8_t> dst(reinterpret_cast<std::uint8_t*>(result.mutable_data()),
                                      static_cast<std::size_t>(result.nbytes()));
    std::size_t got = 0;
    {
      py::gil_scoped_release nogil;
      got = n_bytes == 0 ? 0 : manager_->transform(src, dst);
    }
    if (got != n_bytes) throw std::runtime_error("transform returned " + std::to_string(got) + " bytes");
    return result;
  }

  void install(EngineConfig c) {
    c.onActionResult = Forwarder{gate_, inbox_, on_action_result_};
    manager_->setEngineConfig(c);
  }
  void reinstall_defaults() {
    on_download_.reset();
    on_action_result_.reset();
    install(EngineConfig::defaultConfig());
  }

  template <class Call>
  ResultTuple step(Call&& call, std::vector<std::int64_t> actions, std::optional<double> timeout) {
    {
      py::gil_scoped_release nogil;
      inbox_->clear();
      call();
    }
    std::optional<ActionResult> r;
    wait_interruptibly(timeout, [&](auto slice) {
      r = inbox_->take(actions, slice);
      return r.has_value();
    });
    return as_tuple(r);
  }

  std::shared_ptr<MVSDKManager> manager_;
  std::shared_ptr<Gate> gate_;
  std::shared_ptr<Inbox> inbox_;
  PyRef on_download_;
  PyRef on_action_result_;
  std::atomic<bool> started_{false};
  std::atomic<bool> closed_{false};
};

// At interpreter exit (atexit): close every open kit, hand the log back to stderr and let the log
// thread finish with Python, then keep the kit's threads out of Python.
void shutdown() {
  std::vector<Kit*> kits;
  {
    std::lock_guard lock(g_kits_mutex);
    kits.assign(g_kits.begin(), g_kits.end());
  }
  for (Kit* k : kits) k->close();
  py::gil_scoped_release nogil;
  setLogSink({});
  flushLog(std::chrono::seconds(2));
  g_python_alive.store(false);
}

// The embedded local service (tools/common), as mvsdk-convert runs it.
class Embedded {
 public:
  std::string start(const std::string& root) {
    py::gil_scoped_release nogil;
    service_ = std::make_unique<convert::EmbeddedService>();
    if (std::string problem = service_->start(root); !problem.empty()) {
      service_.reset();
      return problem;
    }
    return {};
  }
  std::string url() const { return service_ ? service_->url() : std::string(); }
  void close() {
    py::gil_scoped_release nogil;
    service_.reset();
  }

 private:
  std::unique_ptr<convert::EmbeddedService> service_;
};

}  // namespace
}  // namespace mvsdk::python

PYBIND11_MODULE(_core, m) {
  using namespace mvsdk;
  using namespace mvsdk::python;
  using py::arg;
  m.doc() = "The kit's C++ interface for the mvsdk package (use the package, not this module).";
  m.attr("VERSION") = MVSDK_VERSION_STRING;

  m.def("set_service_base_url", [](const std::string& url) { MVSDKManager::setServiceBaseUrl(url); });
  m.def("service_base_url", [] { return MVSDKManager::serviceBaseUrl(); });
  m.def("set_log_level", [](int level) {
    if (level < 0 || level > 3) throw py::value_error("log level must be 0 (off) to 3 (debug)");
    setLogLevel(static_cast<LogLevel>(level));
  });
  m.def("log_level", [] { return static_cast<int>(logLevel()); });
  // sink(level, line) on the kit's log thread; None: back to stderr.
  m.def("set_log_sink", [](py::object sink) {
    if (sink.is_none()) {
      py::gil_scoped_release nogil;
      setLogSink({});
      return;
    }
    PyRef fn = hold(std::move(sink));
    py::gil_scoped_release nogil;
    setLogSink([fn](LogLevel level, const std::string& line) {
      call_python(fn, "mvsdk log sink", static_cast<int>(level), line);
    });
  });
  m.def("flush_log", [](double timeout) {
    py::gil_scoped_release nogil;
    return flushLog(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::duration<double>(timeout)));
  });
  m.def("shutdown", &shutdown);
  // (path, made) of the synthetic voices' data folder, made when missing; announce(path) first.
  m.def("ensure_synthetic_data_folder", [](py::object announce) {
    PyRef fn = announce.is_none() ? nullptr : hold(std::move(announce));
    convert::DataFolder folder;
    {
      py::gil_scoped_release nogil;
      folder = convert::ensure_synthetic_data_folder([&fn](const std::filesystem::path& dir) {
        if (fn) call_python(fn, "mvsdk announce", dir.string());
      });
    }
    if (!folder.error.empty()) throw std::runtime_error(folder.error);
    return std::make_tuple(folder.path.string(), folder.made);
  });

  py::class_<Embedded>(m, "EmbeddedService")
      .def(py::init<>())
      .def("start", &Embedded::start, arg("root"))
      .def_property_readonly("url", &Embedded::url)
      .def("close", &Embedded::close);

  py::class_<Kit>(m, "Kit")
      .def(py::init<>())
      .def("close", &Kit::close)
      .def("set_engine_config", &Kit::set_engine_config, arg("sample_rate"), arg("channel"), arg("format"),
           arg("token"), arg("mute_on_fail"), arg("is_sync"), arg("debug"), arg("transform_debug"),
           arg("on_download"), arg("on_action_result"), arg("input"), arg("engine_threads"),
           arg("half_precision_weights"))
      .def("engine_config", &Kit::engine_config)
      .def("prepare", &Kit::prepare, arg("timeout"))
      .def("check_resources", &Kit::check_resources, arg("timeout"))
      .def("start", &Kit::start, arg("timeout"))
      .def("set_voice", &Kit::set_voice, arg("id"), arg("timeout"))
      .def("stop", &Kit::stop, arg("timeout"))
      .def("clean_all_files", &Kit::clean_all_files, arg("timeout"))
      .def("set_mode", &Kit::set_mode, arg("mode"), arg("intonation"), arg("pitch"), arg("timeout"))
      .def("release", &Kit::release)
      .def("reset_all_states", &Kit::reset_all_states)
      .def("trigger_action_result", &Kit::trigger_action_result)
      .def("login", [](Kit& k, std::optional<double> t) { return k.service_call(&MVSDKManager::login, t); })
      .def("check_version", [](Kit& k, std::optional<double> t) { return k.service_call(&MVSDKManager::checkVersion, t); })
      .def("init_engine", [](Kit& k, std::optional<double> t) { return k.service_call(&MVSDKManager::initEngine, t); })
      .def("get_speaker_list",
           [](Kit& k, std::optional<double> t) { return k.service_call(&MVSDKManager::getSpeakerList, t); })
      .def("pro_calibration", &Kit::pro_calibration, arg("path"), arg("timeout"))
      .def("transform", &Kit::transform, arg("samples"), arg("out") = py::none())
      .def("wait_for_engine", &Kit::wait_for_engine, arg("timeout"))
      .def("audio_stats",
           [](Kit& k) {
             const auto s = k.manager().audioStats();
             py::dict d;
             d["fallback_calls"] = s.fallbackCalls;
             d["overlapping_calls"] = s.overlappingCalls;
             d["dropped_input_samples"] = s.droppedInputSamples;
             d["trimmed_output_samples"] = s.trimmedOutputSamples;
             d["lost_output_bytes"] = s.lostOutputBytes;
             d["pending_input_samples"] = s.pendingInputSamples;
             d["ready_output_samples"] = s.readyOutputSamples;
             return d;
           })
      .def("get_voice_list",
           [](Kit& k) {
             std::vector<std::tuple<std::int64_t, std::string>> v;
             for (const auto& item : k.manager().getVoiceList()) v.emplace_back(item.id, item.name);
             return v;
           })
      .def("get_current_voice", [](Kit& k) { return k.manager().getCurrentVoice(); })
      .def("get_engine_status", [](Kit& k) { return k.manager().getEngineStatus(); })
      .def("get_mode", [](Kit& k) { return k.manager().getMode(); })
      .def("get_intonation", [](Kit& k) { return k.manager().getIntonation(); })
      .def("get_pitch", [](Kit& k) { return k.manager().getPitch(); })
      .def("get_support_intonation", [](Kit& k) { return k.manager().getSupportIntonation(); })
      .def("get_support_pitch", [](Kit& k) { return k.manager().getSupportPitch(); })
      .def("calculate_min_data_size", [](Kit& k) { return k.manager().calculateMinDataSize(); })
      .def("input_buffered_bytes", [](Kit& k) { return k.manager().inputBufferedBytes(); })
      .def("processed_buffered_bytes", [](Kit& k) { return k.manager().processedBufferedBytes(); })
      .def("is_initialized", [](Kit& k) { return k.manager().isInitialized(); })
      .def("is_prepared", [](Kit& k) { return k.manager().isPrepared(); })
      .def("is_engine_started", [](Kit& k) { return k.manager().isEngineStarted(); })
      .def("has_speaker_list_model", [](Kit& k) { return k.manager().hasSpeakerListModel(); });
}
