/* The C interface, compiled as C: statuses for bad handles, null arguments, unknown struct sizes
 * and short caller storage (nothing written), then a host's whole life cycle against mvsdk-service
 * (started here on 127.0.0.1, port chosen by the system) over synthetic models, with the threads
 * every callback runs on, two voices, the tone control, and destroy closing the callbacks.
 *
 * MVSDK_SERVICE_TOOL and MVSDK_MODELS_TOOL are the tools' paths in the build tree. */
#define _GNU_SOURCE
#include <errno.h>
#include <math.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <mvsdk/mvsdk_c.h>

extern char** environ;

static int failures = 0;
#define CHECK(cond)                                                    \
  do {                                                                 \
    if (!(cond)) {                                                     \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                      \
    }                                                                  \
  } while (0)
#define CHECK_STATUS(call, want)                                                              \
  do {                                                                                        \
    int got_ = (call);                                                                        \
    if (got_ != (want)) {                                                                     \
      fprintf(stderr, "%s:%d: %s returned %d, wanted %d\n", __FILE__, __LINE__, #call, got_, (int)(want)); \
      ++failures;                                                                             \
    }                                                                                         \
  } while (0)

/* ---- what the callbacks saw, guarded by one mutex ---- */
#define MAX_RESULTS 64
typedef struct {
  int64_t action, code;
  char message[160];
} result_t;

typedef struct {
  pthread_mutex_t mutex;
  pthread_cond_t cond;
  result_t results[MAX_RESULTS];
  int n_results, n_taken;
  int n_downloads;
  int n_service;
  pthread_t callback_thread; /* the first callback's thread: the kit's main queue */
  int have_callback_thread;
  int callbacks_off_queue;   /* callbacks on another thread than the first one */
  int callbacks_on_host;     /* callbacks on the test's own thread */
  pthread_t host_thread;
} seen_t;

static seen_t seen; /* mutex and cond set up by main */

static void note_thread_locked(void) {
  pthread_t self = pthread_self();
  if (pthread_equal(self, seen.host_thread)) ++seen.callbacks_on_host;
  if (!seen.have_callback_thread) {
    seen.callback_thread = self;
    seen.have_callback_thread = 1;
  } else if (!pthread_equal(self, seen.callback_thread)) {
    ++seen.callbacks_off_queue;
  }
}

static void on_action(int64_t action, int64_t code, const char* message, void* user) {
  CHECK(user == &seen);
  pthread_mutex_lock(&seen.mutex);
  note_thread_locked();
  if (seen.n_results < MAX_RESULTS) {
    result_t* r = &seen.results[seen.n_results++];
    r->action = action;
    r->code = code;
    snprintf(r->message, sizeof r->message, "%s", message);
  }
  pthread_cond_broadcast(&seen.cond);
  pthread_mutex_unlock(&seen.mutex);
}

static void on_download(int64_t percent, int64_t file, int64_t files, void* user) {
  CHECK(user == &seen);
  CHECK(percent >= 0 && percent <= 100 && file >= 1 && file <= files);
  pthread_mutex_lock(&seen.mutex);
  note_thread_locked();
  ++seen.n_downloads;
  pthread_mutex_unlock(&seen.mutex);
}

static void on_service(int64_t code, const char* message, void* user) {
  (void)code;
  (void)message;
  CHECK(user == &seen);
  pthread_mutex_lock(&seen.mutex);
  ++seen.n_service;
  pthread_cond_broadcast(&seen.cond);
  pthread_mutex_unlock(&seen.mutex);
}

/* The next action result whose action is a or b (prepare answers 1 or 2); 0 on timeout. */
static int next_result(int64_t a, int64_t b, result_t* out) {
  struct timespec deadline;
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += 120; /* a download or an engine start under sanitizers */
  int found = 0;
  pthread_mutex_lock(&seen.mutex);
  while (!found) {
    while (seen.n_taken < seen.n_results) {
      result_t r = seen.results[seen.n_taken++];
      if (r.action == a || r.action == b) {
        *out = r;
        found = 1;
        break;
      }
    }
    if (!found && pthread_cond_timedwait(&seen.cond, &seen.mutex, &deadline) == ETIMEDOUT) break;
  }
  pthread_mutex_unlock(&seen.mutex);
  return found;
}

/* Waits for the step's result and checks its code and, when given, its message. */
static void expect_result(const char* step, int64_t action, int64_t other, int64_t code, const char* message) {
  result_t r;
  if (!next_result(action, other, &r)) {
    fprintf(stderr, "%s: no action result\n", step);
    ++failures;
    return;
  }
  if (r.code != code || (message && strcmp(r.message, message) != 0)) {
    fprintf(stderr, "%s: got (%lld, %lld, \"%s\"), wanted code %lld%s%s\n", step, (long long)r.action,
            (long long)r.code, r.message, (long long)code, message ? " and " : "", message ? message : "");
    ++failures;
  }
}

/* ---- log lines and their thread ---- */
static pthread_mutex_t log_mutex = PTHREAD_MUTEX_INITIALIZER;
static int log_lines = 0, log_on_host = 0, log_on_main_queue = 0;

static void on_log(int level, const char* line, void* user) {
  CHECK(user == &log_lines);
  CHECK(level >= MVSDK_LOG_ERROR && level <= MVSDK_LOG_DEBUG && line != NULL);
  pthread_t self = pthread_self();
  pthread_mutex_lock(&seen.mutex);
  int on_queue = seen.have_callback_thread && pthread_equal(self, seen.callback_thread);
  pthread_mutex_unlock(&seen.mutex);
  pthread_mutex_lock(&log_mutex);
  ++log_lines;
  log_on_host += pthread_equal(self, seen.host_thread) != 0;
  log_on_main_queue += on_queue;
  pthread_mutex_unlock(&log_mutex);
}

/* ---- the tools ---- */
static int run_tool(char* const argv[]) {
  pid_t pid;
  if (posix_spawn(&pid, argv[0], NULL, NULL, argv, environ) != 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

/* Starts mvsdk-service over root; its base URL into url. Returns the pid, or -1. */
static pid_t start_service(const char* root, char* url, size_t url_size) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  char* argv[] = {MVSDK_SERVICE_TOOL, "--root", (char*)root, "--port", "0", NULL};
  pid_t pid = -1;
  int spawned = posix_spawn(&pid, argv[0], &actions, NULL, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (spawned != 0) {
    close(fds[0]);
    return -1;
  }
  FILE* out = fdopen(fds[0], "r");
  char line[256];
  int ok = 0;
  while (out && fgets(line, sizeof line, out)) {
    if (strncmp(line, "listening on ", 13) == 0) {
      line[strcspn(line, "\r\n")] = '\0';
      snprintf(url, url_size, "%s", line + 13);
      ok = 1;
      break;
    }
  }
  if (out) fclose(out); /* the service writes nothing more on stdout */
  if (!ok) {
    kill(pid, SIGKILL);
    waitpid(pid, NULL, 0);
    return -1;
  }
  return pid;
}

/* ---- offline checks: no service needed ---- */
static void check_bad_handles_and_arguments(void) {
  /* Memory that is not a handle: refused by the mark check, like NULL. */
  unsigned char not_a_handle[256] = {0};
  mvsdk_t* bad[2] = {NULL, (mvsdk_t*)(void*)not_a_handle};
  for (int i = 0; i < 2; ++i) {
    mvsdk_t* k = bad[i];
    mvsdk_config_t config;
    mvsdk_config_init(&config);
    int64_t i64 = 0;
    float f = 0;
    double lo = 0, hi = 0;
    size_t n = 0;
    int has = 0;
    char in[4] = {0}, out[4];
    CHECK_STATUS(mvsdk_destroy(k), MVSDK_ERR_BAD_HANDLE);
    CHECK_STATUS(mvsdk_set_config(k, &config), MVSDK_ERR_BAD_HANDLE);
    CHECK_STATUS(mvsdk_prepare(k), MVSDK_ERR_BAD_HANDLE);
    CHECK_STATUS(mvsdk_check_resources(k), MVSDK_ERR_BAD_HANDLE);
    CHECK_STATUS(mvsdk_start(k), MVSDK_ERR_BAD_HANDLE);
    CHECK_STATUS(mvsdk_stop(k), MVSDK_ERR_BAD_HANDLE);
    CHECK_STATUS(mvsdk_release(k), MVSDK_ERR_BAD_HANDLE);
    CHECK_STATUS(mvsdk_reset(k), MVSDK_ERR_BAD_HANDLE);
    CHECK_STATUS(mvsdk_clean_files(k), MVSDK_ERR_BAD_HANDLE);
    CHECK_STATUS(mvsdk_login(k, on_service, &seen), MVSDK_ERR_BAD_HANDLE);
    CHECK_STATUS(mvsdk_voice_count(k, &n), MVSDK_ERR_BAD_HANDLE);
    CHECK_STATUS(mvsdk_voice_at(k, 0, &i64, NULL, 0, NULL), MVSDK_ERR_BAD_HANDLE);
    CHECK_STATUS(mvsdk_set_voice(k, 1), MVSDK_ERR_BAD_HANDLE);
    CHECK_STATUS(mvsdk_get_current_voice(k, &has, &i64), MVSDK_ERR_BAD_HANDLE);
    CHECK_STATUS(mvsdk_set_mode(k, 0, 0, 0), MVSDK_ERR_BAD_HANDLE);
    CHECK_STATUS(mvsdk_get_mode(k, &i64), MVSDK_ERR_BAD_HANDLE);
    CHECK_STATUS(mvsdk_get_intonation(k, &f), MVSDK_ERR_BAD_HANDLE);
    CHECK_STATUS(mvsdk_supported_pitch(k, &lo, &hi), MVSDK_ERR_BAD_HANDLE);
    CHECK_STATUS(mvsdk_get_engine_status(k, &i64), MVSDK_ERR_BAD_HANDLE);
    CHECK_STATUS(mvsdk_transform(k, in, sizeof in, out, sizeof out, &n), MVSDK_ERR_BAD_HANDLE);
    CHECK_STATUS(mvsdk_wait_for_engine(k, 0), MVSDK_ERR_BAD_HANDLE);
    CHECK_STATUS(mvsdk_min_data_size(k, &n), MVSDK_ERR_BAD_HANDLE);
  }
  CHECK_STATUS(mvsdk_create(NULL), MVSDK_ERR_NULL_ARGUMENT);
  CHECK_STATUS(mvsdk_config_init(NULL), MVSDK_ERR_NULL_ARGUMENT);
  CHECK_STATUS(mvsdk_set_service_base_url(NULL), MVSDK_ERR_NULL_ARGUMENT);
  CHECK_STATUS(mvsdk_set_log_level(MVSDK_LOG_DEBUG + 1), MVSDK_ERR_BAD_ARGUMENT);
  CHECK_STATUS(mvsdk_set_log_level(-1), MVSDK_ERR_BAD_ARGUMENT);
  CHECK_STATUS(mvsdk_flush_log(-1), MVSDK_ERR_BAD_ARGUMENT);

  const char* text = NULL;
  CHECK_STATUS(mvsdk_status_text(MVSDK_ERR_BUFFER_TOO_SMALL, &text), MVSDK_OK);
  CHECK(text && strcmp(text, "buffer too small") == 0);
  CHECK_STATUS(mvsdk_status_text(-1000, &text), MVSDK_OK);
  CHECK(text && strcmp(text, "unknown status") == 0);

  mvsdk_t* kit = NULL;
  CHECK_STATUS(mvsdk_create(&kit), MVSDK_OK);
  if (!kit) return;

  /* Struct sizes: the one this library was built with, the first version's (without input
   * conditioning) and the second's (without half-precision weights). */
  mvsdk_config_t config;
  CHECK_STATUS(mvsdk_config_init(&config), MVSDK_OK);
  CHECK(config.struct_size == sizeof config && config.sample_rate == 48000 && config.channels == 1 &&
        config.format == MVSDK_FORMAT_S16 && config.mute_on_fail == 1 && config.is_sync == 0);
  CHECK(config.input_gain == 0 && config.input_denoise == 0 && config.input_gate == 0 &&
        config.input_denoise_db == 30.0 && config.input_gate_threshold_dbfs == -50.0 &&
        config.input_gate_release_ms == 100.0 && config.engine_threads == 1 &&
        config.half_precision_weights == 0);
  config.struct_size = offsetof(mvsdk_config_t, input_gain);
  CHECK_STATUS(mvsdk_set_config(kit, &config), MVSDK_OK);
  config.struct_size = offsetof(mvsdk_config_t, half_precision_weights);
  CHECK_STATUS(mvsdk_set_config(kit, &config), MVSDK_OK);
  const size_t wrong_sizes[] = {0, sizeof config - 1, sizeof config + 8, offsetof(mvsdk_config_t, input_gain) + 4};
  for (size_t i = 0; i < sizeof wrong_sizes / sizeof wrong_sizes[0]; ++i) {
    config.struct_size = wrong_sizes[i];
    CHECK_STATUS(mvsdk_set_config(kit, &config), MVSDK_ERR_BAD_STRUCT_SIZE);
  }
  mvsdk_audio_stats_t stats;
  memset(&stats, 0, sizeof stats);
  CHECK_STATUS(mvsdk_audio_stats(kit, &stats), MVSDK_ERR_BAD_STRUCT_SIZE);
  stats.struct_size = sizeof stats;
  CHECK_STATUS(mvsdk_audio_stats(kit, &stats), MVSDK_OK);
  CHECK_STATUS(mvsdk_set_config(kit, NULL), MVSDK_ERR_NULL_ARGUMENT);
  CHECK_STATUS(mvsdk_get_mode(kit, NULL), MVSDK_ERR_NULL_ARGUMENT);

  /* transform: a short output buffer is refused and left untouched; so is a null buffer. */
  size_t min_bytes = 0;
  CHECK_STATUS(mvsdk_min_data_size(kit, &min_bytes), MVSDK_OK);
  CHECK(min_bytes == 960); /* 10 ms of 48 kHz mono 16-bit */
  unsigned char in[960], out[960];
  memset(in, 0x11, sizeof in);
  memset(out, 0xAB, sizeof out);
  size_t got = 12345;
  CHECK_STATUS(mvsdk_transform(kit, in, sizeof in, out, sizeof out - 1, &got), MVSDK_ERR_BUFFER_TOO_SMALL);
  CHECK(got == 12345 && out[0] == 0xAB && out[sizeof out - 2] == 0xAB);
  CHECK_STATUS(mvsdk_transform(kit, NULL, sizeof in, out, sizeof out, &got), MVSDK_ERR_NULL_ARGUMENT);
  CHECK_STATUS(mvsdk_transform(kit, NULL, 0, NULL, 0, &got), MVSDK_OK);
  CHECK(got == 0);
  /* Before start: silence of the input's length (mute_on_fail). */
  CHECK_STATUS(mvsdk_transform(kit, in, sizeof in, out, sizeof out, &got), MVSDK_OK);
  CHECK(got == sizeof in && out[0] == 0 && out[sizeof out - 1] == 0);

  /* Text into caller storage: too short is refused, the length is told, nothing is written. */
  CHECK_STATUS(mvsdk_set_service_base_url("http://127.0.0.1:9"), MVSDK_OK);
  char url[8];
  memset(url, 'x', sizeof url);
  size_t len = 0;
  CHECK_STATUS(mvsdk_get_service_base_url(url, sizeof url, &len), MVSDK_ERR_BUFFER_TOO_SMALL);
  CHECK(len == strlen("http://127.0.0.1:9") && url[0] == 'x');
  CHECK_STATUS(mvsdk_get_service_base_url(NULL, 0, &len), MVSDK_ERR_BUFFER_TOO_SMALL);
  char url_ok[32];
  CHECK_STATUS(mvsdk_get_service_base_url(url_ok, len + 1, &len), MVSDK_OK);
  CHECK(strcmp(url_ok, "http://127.0.0.1:9") == 0);
  CHECK_STATUS(mvsdk_voice_at(kit, 0, NULL, NULL, 0, NULL), MVSDK_ERR_OUT_OF_RANGE);

  CHECK_STATUS(mvsdk_destroy(kit), MVSDK_OK);
}

/* ---- the life cycle ---- */
static void tone(int16_t* samples, size_t n, size_t offset) {
  for (size_t i = 0; i < n; ++i) {
    double t = (double)(offset + i) / 48000.0;
    samples[i] = (int16_t)(8000.0 * sin(2.0 * 3.14159265358979 * 180.0 * t) + 2000.0 * sin(2.0 * 3.14159265358979 * 540.0 * t));
  }
}

/* Converts seconds of tone in 10 ms buffers, the engine let catch up every 16 buffers (one
 * chunk); returns the number of non-silent buffers among the last second. */
static int convert_tone(mvsdk_t* kit, double seconds, size_t* offset) {
  int16_t in[480], out[480];
  int buffers = (int)(seconds * 100), sounding = 0;
  for (int b = 0; b < buffers; ++b, *offset += 480) {
    tone(in, 480, *offset);
    size_t got = 0;
    CHECK_STATUS(mvsdk_transform(kit, in, sizeof in, out, sizeof out, &got), MVSDK_OK);
    CHECK(got == sizeof in);
    if (b % 16 == 15) CHECK_STATUS(mvsdk_wait_for_engine(kit, 120000), MVSDK_OK);
    if (b >= buffers - 100) {
      int any = 0;
      for (int i = 0; i < 480; ++i) any |= out[i] != 0;
      sounding += any;
    }
  }
  return sounding;
}

static void check_life_cycle(const char* url) {
  CHECK_STATUS(mvsdk_set_log_sink(on_log, &log_lines), MVSDK_OK);
  CHECK_STATUS(mvsdk_set_log_level(MVSDK_LOG_INFO), MVSDK_OK);
  CHECK_STATUS(mvsdk_set_service_base_url(url), MVSDK_OK);

  mvsdk_t* kit = NULL;
  CHECK_STATUS(mvsdk_create(&kit), MVSDK_OK);
  if (!kit) return;
  mvsdk_config_t config;
  mvsdk_config_init(&config);
  config.token = "c-test-token";
  config.on_action_result = on_action;
  config.action_user = &seen;
  config.on_download = on_download;
  config.download_user = &seen;
  CHECK_STATUS(mvsdk_set_config(kit, &config), MVSDK_OK);

  /* A step out of order: the kit's own code, as an action result. */
  CHECK_STATUS(mvsdk_check_resources(kit), MVSDK_OK);
  expect_result("check_resources before prepare", MVSDK_ACTION_RESOURCES, -1, MVSDK_CODE_WRONG_STATE, NULL);

  CHECK_STATUS(mvsdk_prepare(kit), MVSDK_OK);
  expect_result("prepare", MVSDK_ACTION_INIT, MVSDK_ACTION_ENGINE, MVSDK_CODE_SUCCESS, NULL);
  size_t voices = 0;
  CHECK_STATUS(mvsdk_voice_count(kit, &voices), MVSDK_OK);
  CHECK(voices == 2);
  if (voices < 2) {
    mvsdk_destroy(kit);
    return;
  }
  int64_t ids[2];
  for (size_t i = 0; i < 2; ++i) {
    size_t name_len = 0;
    char tiny[1];
    CHECK_STATUS(mvsdk_voice_at(kit, i, &ids[i], NULL, 0, &name_len), MVSDK_OK);
    CHECK(name_len > 0);
    CHECK_STATUS(mvsdk_voice_at(kit, i, &ids[i], tiny, sizeof tiny, NULL), MVSDK_ERR_BUFFER_TOO_SMALL);
    char name[128];
    CHECK_STATUS(mvsdk_voice_at(kit, i, &ids[i], name, sizeof name, NULL), MVSDK_OK);
    CHECK(strlen(name) == name_len);
  }
  CHECK(ids[0] != ids[1]);
  CHECK_STATUS(mvsdk_voice_at(kit, 2, NULL, NULL, 0, NULL), MVSDK_ERR_OUT_OF_RANGE);

  CHECK_STATUS(mvsdk_check_resources(kit), MVSDK_OK);
  expect_result("check_resources", MVSDK_ACTION_RESOURCES, -1, MVSDK_CODE_SUCCESS, NULL);
  pthread_mutex_lock(&seen.mutex);
  CHECK(seen.n_downloads > 0);
  pthread_mutex_unlock(&seen.mutex);

  /* Input conditioning out of range is refused with its reason; in range, the start goes on. */
  config.input_gain = 1;
  config.input_gain_db = 50.0;
  CHECK_STATUS(mvsdk_set_config(kit, &config), MVSDK_OK);
  CHECK_STATUS(mvsdk_start(kit), MVSDK_OK);
  expect_result("start, gain out of range", MVSDK_ACTION_ENGINE, -1, MVSDK_CODE_BAD_ARGUMENT, "Unsupported input gain 50 dB (-40 to 40 dB)");
  config.input_gain_db = 6.0;
  config.input_denoise = 1;
  config.input_gate = 1;
  CHECK_STATUS(mvsdk_set_config(kit, &config), MVSDK_OK);
  CHECK_STATUS(mvsdk_start(kit), MVSDK_OK);
  expect_result("start", MVSDK_ACTION_ENGINE, -1, MVSDK_CODE_SUCCESS, "Engine started successfully");
  int64_t status = -1;
  CHECK_STATUS(mvsdk_get_engine_status(kit, &status), MVSDK_OK);
  CHECK(status == MVSDK_STATUS_STARTED);

  CHECK_STATUS(mvsdk_set_voice(kit, 987654), MVSDK_OK);
  expect_result("set_voice of an unknown id", MVSDK_ACTION_VOICE, -1, MVSDK_CODE_BAD_ARGUMENT, NULL);

  size_t offset = 0;
  for (int v = 0; v < 2; ++v) {
    CHECK_STATUS(mvsdk_set_voice(kit, ids[v]), MVSDK_OK);
    expect_result("set_voice", MVSDK_ACTION_VOICE, -1, MVSDK_CODE_SUCCESS, NULL);
    int has = 0;
    int64_t current = -1;
    CHECK_STATUS(mvsdk_get_current_voice(kit, &has, &current), MVSDK_OK);
    CHECK(has == 1 && current == ids[v]);
    CHECK(convert_tone(kit, 2.0, &offset) > 50);
  }

  /* Tone: values beyond the supported range are clamped to it. */
  double lo = 0, hi = 0;
  CHECK_STATUS(mvsdk_supported_intonation(kit, &lo, &hi), MVSDK_OK);
  CHECK(lo < 0 && hi > 0);
  CHECK_STATUS(mvsdk_set_mode(kit, 1, (float)(hi + 50.0), 0.0f), MVSDK_OK);
  int64_t mode = -1;
  float intonation = 0;
  CHECK_STATUS(mvsdk_get_mode(kit, &mode), MVSDK_OK);
  CHECK_STATUS(mvsdk_get_intonation(kit, &intonation), MVSDK_OK);
  CHECK(mode == 1 && intonation == (float)hi);
  CHECK(convert_tone(kit, 1.0, &offset) > 0);

  mvsdk_audio_stats_t stats;
  memset(&stats, 0, sizeof stats);
  stats.struct_size = sizeof stats;
  CHECK_STATUS(mvsdk_audio_stats(kit, &stats), MVSDK_OK);
  CHECK(stats.overlapping_calls == 0);

  CHECK_STATUS(mvsdk_stop(kit), MVSDK_OK);
  expect_result("stop", MVSDK_ACTION_ENGINE, -1, MVSDK_CODE_SUCCESS, NULL);
  int has = 1;
  int64_t current = 0;
  CHECK_STATUS(mvsdk_get_current_voice(kit, &has, &current), MVSDK_OK);
  CHECK(has == 0);

  /* Every callback ran on one thread of the kit's, never on this one; log lines on another. */
  CHECK_STATUS(mvsdk_flush_log(10000), MVSDK_OK);
  pthread_mutex_lock(&seen.mutex);
  CHECK(seen.have_callback_thread && seen.callbacks_off_queue == 0 && seen.callbacks_on_host == 0);
  pthread_mutex_unlock(&seen.mutex);
  pthread_mutex_lock(&log_mutex);
  CHECK(log_lines > 0 && log_on_host == 0 && log_on_main_queue == 0);
  pthread_mutex_unlock(&log_mutex);

  /* destroy closes the callbacks: a service call still under way reports nothing afterwards. */
  mvsdk_config_init(&config);
  config.token = "c-test-token";
  CHECK_STATUS(mvsdk_set_config(kit, &config), MVSDK_OK);
  for (int i = 0; i < 5; ++i) CHECK_STATUS(mvsdk_login(kit, on_service, &seen), MVSDK_OK);
  CHECK_STATUS(mvsdk_destroy(kit), MVSDK_OK);
  pthread_mutex_lock(&seen.mutex);
  int service_at_destroy = seen.n_service;
  pthread_mutex_unlock(&seen.mutex);
  usleep(500 * 1000);
  pthread_mutex_lock(&seen.mutex);
  CHECK(seen.n_service == service_at_destroy);
  pthread_mutex_unlock(&seen.mutex);

  CHECK_STATUS(mvsdk_set_log_sink(NULL, NULL), MVSDK_OK);
  CHECK_STATUS(mvsdk_flush_log(10000), MVSDK_OK);
}

int main(void) {
  pthread_mutex_init(&seen.mutex, NULL);
  pthread_cond_init(&seen.cond, NULL);
  seen.host_thread = pthread_self();
  /* Private settings, cache and data folders under one temporary folder. */
  char dir[] = "/tmp/mvsdk-c-api-XXXXXX";
  if (!mkdtemp(dir)) {
    perror("mkdtemp");
    return 1;
  }
  char path[512];
  snprintf(path, sizeof path, "%s/cache", dir);
  setenv("XDG_CACHE_HOME", path, 1);
  snprintf(path, sizeof path, "%s/config", dir);
  setenv("XDG_CONFIG_HOME", path, 1);

  check_bad_handles_and_arguments();

  char models[512];
  snprintf(models, sizeof models, "%s/models", dir);
  char* models_argv[] = {MVSDK_MODELS_TOOL, "--out", models, "--seed", "5", "--voices", "2", NULL};
  int models_status = run_tool(models_argv);
  CHECK(models_status == 0);
  char url[256] = "";
  pid_t service = models_status == 0 ? start_service(models, url, sizeof url) : -1;
  CHECK(service > 0);
  if (service > 0) {
    check_life_cycle(url);
    kill(service, SIGTERM);
    waitpid(service, NULL, 0);
  }

  char* rm_argv[] = {"/bin/rm", "-rf", dir, NULL};
  run_tool(rm_argv);
  if (failures) fprintf(stderr, "c_api_test: %d failed checks\n", failures);
  else printf("c_api_test: all checks passed\n");
  return failures ? 1 : 0;
}
