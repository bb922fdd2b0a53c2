// The C interface (include/mvsdk/mvsdk_c.h) over MVSDKManager. Every entry point runs its body
// inside `guarded`, so no exception crosses into C; callbacks from the kit pass through the
// handle's gate, which mvsdk_destroy closes so that the host's `user` pointers are never used
// after the handle is gone.
#include <cstddef>
#include "mvsdk/mvsdk_c.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "mvsdk/mvsdk.h"

namespace {

using mvsdk::MVSDKManager;

// Marks a live handle ("MVSD"); cleared before the handle is freed.
constexpr std::uint32_t kHandleMark = 0x4D565344u;

// Lets the kit's callbacks reach the host only while the handle lives. The kit runs callbacks on
// its main queue and, for a service call without token, on the calling thread; closing waits for
// those in progress, except one running on the closing thread itself (a callback that destroys
// its own handle).
class Gate {
 public:
  template <class F>
  void run(F&& f) {
    {
      std::lock_guard lock(mutex_);
      if (!open_) return;
      ++running_;
    }
    const Gate* outer = current_;
    current_ = this;
    try {
      f();
    } catch (...) {
      // A C callback does not throw; nothing of ours in f does either but the string copies.
    }
    current_ = outer;
    {
      std::lock_guard lock(mutex_);
      --running_;
    }
    cv_.notify_all();
  }

  void close() {
    std::unique_lock lock(mutex_);
    open_ = false;
    const int own = current_ == this ? 1 : 0;
    cv_.wait(lock, [&] { return running_ <= own; });
  }

 private:
  static thread_local const Gate* current_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = true;
  int running_ = 0;
};

thread_local const Gate* Gate::current_ = nullptr;

}  // namespace

struct mvsdk_kit {
  std::uint32_t mark = kHandleMark;
  std::shared_ptr<MVSDKManager> manager;
  std::shared_ptr<Gate> gate;
};

namespace {

template <class F>
int guarded(F&& f) noexcept {
  try {
    return f();
  } catch (const std::bad_alloc&) {
    return MVSDK_ERR_OUT_OF_MEMORY;
  } catch (...) {
    return MVSDK_ERR_INTERNAL;
  }
}

bool live(const mvsdk_t* kit) { return kit != nullptr && kit->mark == kHandleMark; }

// Runs f(manager) for a live handle.
template <class F>
int with_kit(mvsdk_t* kit, F&& f) noexcept {
  if (!live(kit)) return MVSDK_ERR_BAD_HANDLE;
  return guarded([&] { return f(*kit->manager); });
}

// Copies text into caller storage as the header's Strings paragraph says.
int copy_text(const std::string& text, char* buf, std::size_t buf_size, std::size_t* len) {
  if (buf == nullptr && buf_size > 0) return MVSDK_ERR_NULL_ARGUMENT;
  if (len) *len = text.size();
  if (buf_size < text.size() + 1) return MVSDK_ERR_BUFFER_TOO_SMALL;
  std::memcpy(buf, text.c_str(), text.size() + 1);
  return MVSDK_OK;
}

mvsdk::ServiceCompletion service_completion(const mvsdk_t* kit, mvsdk_service_fn fn, void* user) {
  if (fn == nullptr) return {};
  return [gate = kit->gate, fn, user](std::int64_t code, const std::string& message) {
    gate->run([&] { fn(code, message.c_str(), user); });
  };
}

// The sizes of mvsdk_config_t this library knows: the first version (up to download_user), the
// second (with input conditioning and engine threads) and the third (with half-precision weights);
// of mvsdk_audio_stats_t, one version so far.
constexpr std::size_t kConfigSizeV1 = offsetof(mvsdk_config_t, input_gain);
constexpr std::size_t kConfigSizeV2 = offsetof(mvsdk_config_t, half_precision_weights);
bool known_config_size(std::size_t n) {
  return n == sizeof(mvsdk_config_t) || n == kConfigSizeV2 || n == kConfigSizeV1;
}
bool known_stats_size(std::size_t n) { return n == sizeof(mvsdk_audio_stats_t); }

}  // namespace

extern "C" {

int mvsdk_status_text(int status, const char** text) {
  if (text == nullptr) return MVSDK_ERR_NULL_ARGUMENT;
  switch (status) {
    case MVSDK_OK: *text = "ok"; break;
    case MVSDK_ERR_BAD_HANDLE: *text = "bad handle"; break;
    case MVSDK_ERR_NULL_ARGUMENT: *text = "null argument"; break;
    case MVSDK_ERR_BUFFER_TOO_SMALL: *text = "buffer too small"; break;
    case MVSDK_ERR_BAD_STRUCT_SIZE: *text = "bad struct size"; break;
    case MVSDK_ERR_OUT_OF_MEMORY: *text = "out of memory"; break;
    case MVSDK_ERR_BAD_ARGUMENT: *text = "bad argument"; break;
    case MVSDK_ERR_OUT_OF_RANGE: *text = "index out of range"; break;
    case MVSDK_ERR_TIMEOUT: *text = "timed out"; break;
    case MVSDK_ERR_INTERNAL: *text = "internal error"; break;
    default: *text = "unknown status"; break;
  }
  return MVSDK_OK;
}

int mvsdk_create(mvsdk_t** out) {
  if (out == nullptr) return MVSDK_ERR_NULL_ARGUMENT;
  return guarded([&]() -> int {
    auto kit = std::make_unique<mvsdk_t>();
    kit->gate = std::make_shared<Gate>();
    kit->manager = MVSDKManager::create();
    if (!kit->manager) return MVSDK_ERR_OUT_OF_MEMORY;
    *out = kit.release();
    return MVSDK_OK;
  });
}

int mvsdk_destroy(mvsdk_t* kit) {
  if (!live(kit)) return MVSDK_ERR_BAD_HANDLE;
  kit->mark = 0;
  kit->gate->close();
  delete kit;  // the manager goes with its last reference; its later work is dropped
  return MVSDK_OK;
}

int mvsdk_config_init(mvsdk_config_t* config) {
  if (config == nullptr) return MVSDK_ERR_NULL_ARGUMENT;
  const mvsdk::EngineConfig d = mvsdk::EngineConfig::defaultConfig();
  *config = mvsdk_config_t{};
  config->struct_size = sizeof(mvsdk_config_t);
  config->sample_rate = d.sampleRate;
  config->channels = d.channel;
  config->format = d.format;
  config->token = nullptr;
  config->mute_on_fail = d.muteOnFail ? 1 : 0;
  config->is_sync = d.isSync ? 1 : 0;
  config->debug = d.debug ? 1 : 0;
  config->transform_debug = d.transformDebug ? 1 : 0;
  config->input_gain = d.input.gain ? 1 : 0;
  config->input_gain_db = d.input.gainDb;
  config->input_denoise = d.input.denoise ? 1 : 0;
  config->input_denoise_db = d.input.denoiseDb;
  config->input_gate = d.input.gate ? 1 : 0;
  config->input_gate_threshold_dbfs = d.input.gateThresholdDbfs;
  config->input_gate_attack_ms = d.input.gateAttackMs;
  config->input_gate_hold_ms = d.input.gateHoldMs;
  config->input_gate_release_ms = d.input.gateReleaseMs;
  config->engine_threads = d.engineThreads;
  config->half_precision_weights = d.halfPrecisionWeights ? 1 : 0;
  return MVSDK_OK;
}

int mvsdk_set_config(mvsdk_t* kit, const mvsdk_config_t* config) {
  if (!live(kit)) return MVSDK_ERR_BAD_HANDLE;
  if (config == nullptr) return MVSDK_ERR_NULL_ARGUMENT;
  if (!known_config_size(config->struct_size)) return MVSDK_ERR_BAD_STRUCT_SIZE;
  return guarded([&] {
    mvsdk::EngineConfig c = mvsdk::EngineConfig::defaultConfig();
    c.sampleRate = config->sample_rate;
    c.channel = config->channels;
    c.format = config->format;
    c.token = config->token ? config->token : "";
    c.muteOnFail = config->mute_on_fail != 0;
    c.isSync = config->is_sync != 0;
    c.debug = config->debug != 0;
    c.transformDebug = config->transform_debug != 0;
    if (config->struct_size >= kConfigSizeV2) {  // a first-version caller has none of these
      c.input.gain = config->input_gain != 0;
      c.input.gainDb = config->input_gain_db;
      c.input.denoise = config->input_denoise != 0;
      c.input.denoiseDb = config->input_denoise_db;
      c.input.gate = config->input_gate != 0;
      c.input.gateThresholdDbfs = config->input_gate_threshold_dbfs;
      c.input.gateAttackMs = config->input_gate_attack_ms;
      c.input.gateHoldMs = config->input_gate_hold_ms;
      c.input.gateReleaseMs = config->input_gate_release_ms;
      c.engineThreads = config->engine_threads;
    }
    if (config->struct_size >= sizeof(mvsdk_config_t)) {  // nor a second-version caller this
      c.halfPrecisionWeights = config->half_precision_weights != 0;
    }
    if (auto fn = config->on_action_result) {
      c.onActionResult = [gate = kit->gate, fn, user = config->action_user](std::int64_t action, std::int64_t code,
                                                                           const std::string& message) {
        gate->run([&] { fn(action, code, message.c_str(), user); });
      };
    }
    if (auto fn = config->on_download) {
      c.onDownload = [gate = kit->gate, fn, user = config->download_user](std::int64_t percent, std::int64_t file,
                                                                         std::int64_t files) {
        gate->run([&] { fn(percent, file, files, user); });
      };
    }
    kit->manager->setEngineConfig(c);
    return MVSDK_OK;
  });
}

int mvsdk_set_service_base_url(const char* url) {
  if (url == nullptr) return MVSDK_ERR_NULL_ARGUMENT;
  return guarded([&] {
    MVSDKManager::setServiceBaseUrl(url);
    return MVSDK_OK;
  });
}

int mvsdk_get_service_base_url(char* buf, std::size_t buf_size, std::size_t* len) {
  return guarded([&] { return copy_text(MVSDKManager::serviceBaseUrl(), buf, buf_size, len); });
}

#define MVSDK_C_CALL(name, call)                                                  \
  int name(mvsdk_t* kit) {                                                        \
    return with_kit(kit, [](MVSDKManager& m) { m.call(); return MVSDK_OK; });     \
  }
MVSDK_C_CALL(mvsdk_prepare, prepare)
MVSDK_C_CALL(mvsdk_check_resources, checkResources)
MVSDK_C_CALL(mvsdk_start, start)
MVSDK_C_CALL(mvsdk_stop, stop)
MVSDK_C_CALL(mvsdk_release, engineRelease)
MVSDK_C_CALL(mvsdk_reset, resetAllStates)
MVSDK_C_CALL(mvsdk_clean_files, cleanAllFiles)
#undef MVSDK_C_CALL

int mvsdk_login(mvsdk_t* kit, mvsdk_service_fn fn, void* user) {
  return with_kit(kit, [&](MVSDKManager& m) {
    m.login(service_completion(kit, fn, user));
    return MVSDK_OK;
  });
}

int mvsdk_check_version(mvsdk_t* kit, mvsdk_service_fn fn, void* user) {
  return with_kit(kit, [&](MVSDKManager& m) {
    m.checkVersion(service_completion(kit, fn, user));
    return MVSDK_OK;
  });
}

int mvsdk_get_speaker_list(mvsdk_t* kit, mvsdk_service_fn fn, void* user) {
  return with_kit(kit, [&](MVSDKManager& m) {
    m.getSpeakerList(service_completion(kit, fn, user));
    return MVSDK_OK;
  });
}

int mvsdk_voice_count(mvsdk_t* kit, std::size_t* count) {
  if (count == nullptr) return live(kit) ? MVSDK_ERR_NULL_ARGUMENT : MVSDK_ERR_BAD_HANDLE;
  return with_kit(kit, [&](MVSDKManager& m) {
    *count = m.getVoiceList().size();
    return MVSDK_OK;
  });
}

int mvsdk_voice_at(mvsdk_t* kit, std::size_t index, std::int64_t* id, char* name, std::size_t name_size,
                   std::size_t* name_len) {
  return with_kit(kit, [&](MVSDKManager& m) -> int {
    const auto voices = m.getVoiceList();
    if (index >= voices.size()) return MVSDK_ERR_OUT_OF_RANGE;
    const auto& v = voices[index];
    if (name != nullptr) {
      if (const int s = copy_text(v.name, name, name_size, name_len); s != MVSDK_OK) return s;
    } else if (name_len != nullptr) {
      *name_len = v.name.size();
    }
    if (id) *id = v.id;
    return MVSDK_OK;
  });
}

int mvsdk_set_voice(mvsdk_t* kit, std::int64_t id) {
  return with_kit(kit, [&](MVSDKManager& m) {
    m.setVoice(static_cast<double>(id));
    return MVSDK_OK;
  });
}

int mvsdk_get_current_voice(mvsdk_t* kit, int* has_voice, std::int64_t* id) {
  if (has_voice == nullptr || id == nullptr) return live(kit) ? MVSDK_ERR_NULL_ARGUMENT : MVSDK_ERR_BAD_HANDLE;
  return with_kit(kit, [&](MVSDKManager& m) {
    const auto v = m.getCurrentVoice();
    *has_voice = v ? 1 : 0;
    *id = v ? static_cast<std::int64_t>(*v) : 0;
    return MVSDK_OK;
  });
}

int mvsdk_set_mode(mvsdk_t* kit, std::int64_t mode, float intonation, float pitch) {
  return with_kit(kit, [&](MVSDKManager& m) {
    m.setMode(mode, intonation, pitch);
    return MVSDK_OK;
  });
}

// Getters of one value: a null output is a null argument, also on a bad handle checked first.
#define MVSDK_C_GET(name, type, expr)                                                    \
  int name(mvsdk_t* kit, type* out) {                                                    \
    if (!live(kit)) return MVSDK_ERR_BAD_HANDLE;                                         \
    if (out == nullptr) return MVSDK_ERR_NULL_ARGUMENT;                                  \
    return with_kit(kit, [out](MVSDKManager& m) { *out = (expr); return MVSDK_OK; });    \
  }
MVSDK_C_GET(mvsdk_get_mode, std::int64_t, m.getMode())
MVSDK_C_GET(mvsdk_get_intonation, float, m.getIntonation())
MVSDK_C_GET(mvsdk_get_pitch, float, m.getPitch())
MVSDK_C_GET(mvsdk_get_engine_status, std::int64_t, m.getEngineStatus())
MVSDK_C_GET(mvsdk_min_data_size, std::size_t, m.calculateMinDataSize())
#undef MVSDK_C_GET

namespace {
int range_of(mvsdk_t* kit, double* min, double* max, std::vector<double> (MVSDKManager::*get)() const) {
  if (!live(kit)) return MVSDK_ERR_BAD_HANDLE;
  if (min == nullptr || max == nullptr) return MVSDK_ERR_NULL_ARGUMENT;
  return with_kit(kit, [&](MVSDKManager& m) -> int {
    const auto r = (m.*get)();
    if (r.size() != 2) return MVSDK_ERR_INTERNAL;
    *min = r[0];
    *max = r[1];
    return MVSDK_OK;
  });
}
}  // namespace

int mvsdk_supported_intonation(mvsdk_t* kit, double* min, double* max) {
  return range_of(kit, min, max, &MVSDKManager::getSupportIntonation);
}

int mvsdk_supported_pitch(mvsdk_t* kit, double* min, double* max) {
  return range_of(kit, min, max, &MVSDKManager::getSupportPitch);
}

int mvsdk_pro_calibration(mvsdk_t* kit, const char* path, mvsdk_calibration_fn fn, void* user) {
  if (!live(kit)) return MVSDK_ERR_BAD_HANDLE;
  if (path == nullptr || fn == nullptr) return MVSDK_ERR_NULL_ARGUMENT;
  return with_kit(kit, [&](MVSDKManager& m) {
    m.proCalibration(path, [gate = kit->gate, fn, user](float intonation, float pitch) {
      gate->run([&] { fn(intonation, pitch, user); });
    });
    return MVSDK_OK;
  });
}

int mvsdk_transform(mvsdk_t* kit, const void* input, std::size_t input_bytes, void* output,
                    std::size_t output_capacity, std::size_t* output_bytes) {
  // The audio thread's call: nothing here allocates, locks or waits (the span form of transform
  // promises the same), and no exception can come out of it but through the guard.
  if (!live(kit)) return MVSDK_ERR_BAD_HANDLE;
  if (input_bytes > 0 && (input == nullptr || output == nullptr)) return MVSDK_ERR_NULL_ARGUMENT;
  if (output_capacity < input_bytes) return MVSDK_ERR_BUFFER_TOO_SMALL;
  return guarded([&] {
    const std::size_t n =
        input_bytes == 0 ? 0
                         : kit->manager->transform(
                               std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(input), input_bytes),
                               std::span<std::uint8_t>(static_cast<std::uint8_t*>(output), output_capacity));
    if (output_bytes) *output_bytes = n;
    return n == input_bytes ? MVSDK_OK : MVSDK_ERR_INTERNAL;
  });
}

int mvsdk_wait_for_engine(mvsdk_t* kit, std::int64_t timeout_ms) {
  if (timeout_ms < 0) return live(kit) ? MVSDK_ERR_BAD_ARGUMENT : MVSDK_ERR_BAD_HANDLE;
  return with_kit(kit, [&](MVSDKManager& m) {
    return m.waitForEngine(std::chrono::milliseconds(timeout_ms)) ? MVSDK_OK : MVSDK_ERR_TIMEOUT;
  });
}

int mvsdk_audio_stats(mvsdk_t* kit, mvsdk_audio_stats_t* stats) {
  if (!live(kit)) return MVSDK_ERR_BAD_HANDLE;
  if (stats == nullptr) return MVSDK_ERR_NULL_ARGUMENT;
  if (!known_stats_size(stats->struct_size)) return MVSDK_ERR_BAD_STRUCT_SIZE;
  return with_kit(kit, [&](MVSDKManager& m) {
    const auto s = m.audioStats();
    stats->fallback_calls = s.fallbackCalls;
    stats->overlapping_calls = s.overlappingCalls;
    stats->dropped_input_samples = s.droppedInputSamples;
    stats->trimmed_output_samples = s.trimmedOutputSamples;
    stats->lost_output_bytes = s.lostOutputBytes;
    stats->pending_input_samples = s.pendingInputSamples;
    stats->ready_output_samples = s.readyOutputSamples;
    return MVSDK_OK;
  });
}

int mvsdk_set_log_level(int level) {
  if (level < MVSDK_LOG_OFF || level > MVSDK_LOG_DEBUG) return MVSDK_ERR_BAD_ARGUMENT;
  return guarded([&] {
    mvsdk::setLogLevel(static_cast<mvsdk::LogLevel>(level));
    return MVSDK_OK;
  });
}

int mvsdk_get_log_level(int* level) {
  if (level == nullptr) return MVSDK_ERR_NULL_ARGUMENT;
  return guarded([&] {
    *level = static_cast<int>(mvsdk::logLevel());
    return MVSDK_OK;
  });
}

int mvsdk_set_log_sink(mvsdk_log_fn fn, void* user) {
  return guarded([&] {
    if (fn == nullptr) {
      mvsdk::setLogSink({});
    } else {
      mvsdk::setLogSink([fn, user](mvsdk::LogLevel level, const std::string& line) {
        fn(static_cast<int>(level), line.c_str(), user);
      });
    }
    return MVSDK_OK;
  });
}

int mvsdk_flush_log(std::int64_t timeout_ms) {
  if (timeout_ms < 0) return MVSDK_ERR_BAD_ARGUMENT;
  return guarded([&] { return mvsdk::flushLog(std::chrono::milliseconds(timeout_ms)) ? MVSDK_OK : MVSDK_ERR_TIMEOUT; });
}

}  // extern "C"
