#ifndef MVSDK_MVSDK_C_H
#define MVSDK_MVSDK_C_H
/* The kit's C interface: MVSDKManager (sdk_manager.h) behind an opaque handle, for hosts written
 * in C or in languages that bind C. C99; the same library as the C++ interface.
 *
 * Status: every function returns an int, MVSDK_OK (0) or a negative MVSDK_ERR_* code below, and
 * hands its results back through pointer arguments. A function that fails writes nothing to its
 * output arguments unless it says otherwise. No C++ exception leaves this interface. The kit's
 * own outcomes of the lifecycle steps (action, code, message) are not statuses: they arrive
 * later through the action callback, with the kit's codes (MVSDK_CODE_*).
 *
 * Handles: mvsdk_create makes one, mvsdk_destroy frees it. A bad handle (MVSDK_ERR_BAD_HANDLE) is
 * a null pointer, or a pointer to memory that does not carry a live handle's mark (a destroyed
 * handle is unmarked before it is freed). The mark check catches most mistakes but cannot make
 * a dangling pointer safe: do not use a handle after mvsdk_destroy.
 *
 * Threads: any function may be called from any thread. Callbacks given to a handle
 * (mvsdk_action_fn, mvsdk_download_fn, mvsdk_service_fn, mvsdk_calibration_fn) run on the kit's
 * main queue: one process-wide thread of the kit's own, one callback at a time, in order. The log
 * sink (mvsdk_log_fn) runs on the kit's log thread. Neither is a thread of yours: do not block
 * there, and hand long work to your own threads. Strings passed to a callback are valid during
 * the call only.
 *
 * The audio thread may call mvsdk_transform, mvsdk_get_engine_status, mvsdk_get_mode,
 * mvsdk_get_intonation, mvsdk_get_pitch and mvsdk_min_data_size: they allocate nothing, take no
 * lock and wait for nothing. Every other function may wait and belongs on another thread.
 *
 * Strings: UTF-8, NUL-terminated. Text copied out goes into caller storage (buf, buf_size): the
 * full length without the NUL is stored in *len when len is not null; when buf_size is too short
 * for the text and its NUL the status is MVSDK_ERR_BUFFER_TOO_SMALL and buf is left alone
 * (call with buf NULL and buf_size 0 to learn the length). */
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* --- statuses --- */
enum {
  MVSDK_OK = 0,
  MVSDK_ERR_BAD_HANDLE = -1,       /* null handle, or not a live handle */
  MVSDK_ERR_NULL_ARGUMENT = -2,    /* a required pointer argument was null */
  MVSDK_ERR_BUFFER_TOO_SMALL = -3, /* caller storage too short; nothing written */
  MVSDK_ERR_BAD_STRUCT_SIZE = -4,  /* struct_size is not one this library knows */
  MVSDK_ERR_OUT_OF_MEMORY = -5,
  MVSDK_ERR_BAD_ARGUMENT = -6,     /* a value outside its range (log level, ...) */
  MVSDK_ERR_OUT_OF_RANGE = -7,     /* an index past the end of a list */
  MVSDK_ERR_TIMEOUT = -8,          /* a wait ended before its condition held */
  MVSDK_ERR_INTERNAL = -9          /* an unexpected failure inside the kit */
};

/* A constant English text for a status (unknown values get "unknown status"). */
int mvsdk_status_text(int status, const char** text);

/* --- the kit's values (callbacks.h, engine_config.h) --- */
enum {
  /* actions of mvsdk_action_fn */
  MVSDK_ACTION_VOICE = 0,     /* set_voice, set_mode */
  MVSDK_ACTION_INIT = 1,      /* prepare: login and version check */
  MVSDK_ACTION_ENGINE = 2,    /* prepare: catalogue; start; stop */
  MVSDK_ACTION_RESOURCES = 3, /* check_resources */
  MVSDK_ACTION_CLEANUP = 5,   /* clean_files */
  /* codes of mvsdk_action_fn and mvsdk_service_fn */
  MVSDK_CODE_SUCCESS = 0,
  MVSDK_CODE_REQUEST_FAILED = 2,
  MVSDK_CODE_BAD_ARGUMENT = 3,
  MVSDK_CODE_WRONG_STATE = 5,
  MVSDK_CODE_MISSING_FILES = 6,
  /* sample formats (little-endian, interleaved by frame) */
  MVSDK_FORMAT_U8 = 0,
  MVSDK_FORMAT_S16 = 1,
  MVSDK_FORMAT_S24_IN_32 = 2,
  MVSDK_FORMAT_S32 = 3,
  MVSDK_FORMAT_F32 = 4,
  /* engine status */
  MVSDK_STATUS_IDLE = 0,
  MVSDK_STATUS_PREPARING = 1,
  MVSDK_STATUS_PREPARED = 2,
  MVSDK_STATUS_STARTED = 3,
  MVSDK_STATUS_RELEASED = 5,
  MVSDK_STATUS_ERROR = 6,
  MVSDK_STATUS_CHECKING_RESOURCES = 7,
  /* log levels */
  MVSDK_LOG_OFF = 0,
  MVSDK_LOG_ERROR = 1,
  MVSDK_LOG_INFO = 2,
  MVSDK_LOG_DEBUG = 3
};

/* --- callbacks --- */
/* The outcome of one step (main queue). */
typedef void (*mvsdk_action_fn)(int64_t action, int64_t code, const char* message, void* user);
/* Download progress: percent (0-100), file number (1..files), files (main queue). */
typedef void (*mvsdk_download_fn)(int64_t percent, int64_t file, int64_t files, void* user);
/* Completion of a service call: code 0, 2 (request failed) or 3 (no token); the reply's message
 * or the error's text (main queue; the no-token answer runs at once on the calling thread). */
typedef void (*mvsdk_service_fn)(int64_t code, const char* message, void* user);
/* The result of a calibration (main queue, or at once for an empty path). */
typedef void (*mvsdk_calibration_fn)(float intonation, float pitch, void* user);
/* One log line, without line break (the kit's log thread). */
typedef void (*mvsdk_log_fn)(int level, const char* line, void* user);

/* --- the handle --- */
typedef struct mvsdk_kit mvsdk_t;

/* A new handle over a new manager (default configuration, status idle) in *out. */
int mvsdk_create(mvsdk_t** out);
/* Frees the handle. Once it returns, no callback of this handle runs any more (when called from
 * one of its own callbacks, that callback is the one exception: it finishes after the return).
 * A running engine keeps running (the engine is one per process): stop or release first. */
int mvsdk_destroy(mvsdk_t* kit);

/* --- configuration --- */
/* Later versions of this library add fields at the end only. struct_size tells the library
 * which version the caller was built with: a size it does not know is refused with
 * MVSDK_ERR_BAD_STRUCT_SIZE. Set it with mvsdk_config_init (or to sizeof(mvsdk_config_t)). */
typedef struct mvsdk_config {
  size_t struct_size;
  int64_t sample_rate;    /* Hz; below 1 counts as 48000 */
  int64_t channels;       /* interleaved; below 1 counts as 1 */
  int64_t format;         /* MVSDK_FORMAT_* */
  const char* token;      /* the service's access token, copied; NULL counts as "" */
  int mute_on_fail;       /* nonzero: silence when the kit cannot convert; 0: the input itself */
  int is_sync;            /* nonzero: transform computes on the calling thread */
  int debug;              /* stored only */
  int transform_debug;    /* stored only */
  mvsdk_action_fn on_action_result; /* may be NULL: results are then dropped */
  void* action_user;
  mvsdk_download_fn on_download;    /* may be NULL */
  void* download_user;
  /* Input conditioning (EngineConfig::input), added in the second version of this struct; a
   * caller built with the first (struct_size = offsetof(mvsdk_config_t, input_gain)) gets every
   * stage off. Each stage is off while its flag is 0; the ranges apply to a stage that is on
   * (outside them, start answers (2, 3, reason)). */
  int input_gain;                 /* nonzero: input gain with a soft limiter */
  double input_gain_db;           /* -40 to 40 */
  int input_denoise;              /* nonzero: noise suppression (adds 10 ms of delay) */
  double input_denoise_db;        /* largest attenuation of noise, 1 to 60 */
  int input_gate;                 /* nonzero: noise gate (silence below the threshold) */
  double input_gate_threshold_dbfs; /* -100 to 0, against the sample peak */
  double input_gate_attack_ms;    /* 0 to 100 */
  double input_gate_hold_ms;      /* 0 to 2000 */
  double input_gate_release_ms;   /* 1 to 2000 */
  /* Also of the second version (a first-version caller gets 1). */
  int64_t engine_threads;         /* threads computing the engine's chunks: 1, 2..16, 0 automatic */
  /* Added in the third version of this struct; a caller built with the second (struct_size =
   * offsetof(mvsdk_config_t, half_precision_weights)) or the first gets 0. Nonzero: the engine
   * holds its weights in half precision from the next start (about half the weight memory; the
   * output is close to single precision's, not the same to the bit). */
  int half_precision_weights;
} mvsdk_config_t;

/* The kit's defaults: 48000 Hz, 1 channel, S16, no token, mute_on_fail 1, no callbacks, input
 * conditioning off (gain 0 dB, suppression 30 dB, gate at -50 dBFS with attack 1 ms, hold 100 ms
 * and release 100 ms when switched on), engine_threads 1, half_precision_weights 0, and
 * struct_size = sizeof(mvsdk_config_t). */
int mvsdk_config_init(mvsdk_config_t* config);
/* Hands the configuration to the kit (which copies it). Whatever action_user and download_user
 * point to must stay valid until the configuration is replaced and the handle destroyed. */
int mvsdk_set_config(mvsdk_t* kit, const mvsdk_config_t* config);

/* The service's base URL ("https://host[:port]"), process-wide. Set it before prepare. */
int mvsdk_set_service_base_url(const char* url);
int mvsdk_get_service_base_url(char* buf, size_t buf_size, size_t* len);

/* --- lifecycle: each returns at once; the outcome comes through on_action_result --- */
int mvsdk_prepare(mvsdk_t* kit);         /* (1, code, msg) on login failure; (2, code, msg) */
int mvsdk_check_resources(mvsdk_t* kit); /* (3, code, msg) */
int mvsdk_start(mvsdk_t* kit);           /* (2, code, msg) */
int mvsdk_stop(mvsdk_t* kit);            /* (2, code, msg); back to the default configuration */
/* Stops the engine and clears the state, keeping the configuration. Blocks up to ~6 s; reports
 * nothing. */
int mvsdk_release(mvsdk_t* kit);
/* Back to the initial state: default configuration (callbacks included), no catalogue. */
int mvsdk_reset(mvsdk_t* kit);
int mvsdk_clean_files(mvsdk_t* kit);     /* (5, code, msg) */

/* --- service calls (fn may be NULL) --- */
int mvsdk_login(mvsdk_t* kit, mvsdk_service_fn fn, void* user);
int mvsdk_check_version(mvsdk_t* kit, mvsdk_service_fn fn, void* user);
/* On success the catalogue is replaced before fn runs. */
int mvsdk_get_speaker_list(mvsdk_t* kit, mvsdk_service_fn fn, void* user);

/* --- voices --- */
/* Number of voices in the catalogue (0 before prepare). */
int mvsdk_voice_count(mvsdk_t* kit, size_t* count);
/* Voice number index (0-based, catalogue order): its id (for mvsdk_set_voice) and its name
 * (copied as described under Strings; with name NULL only *name_len is stored). id and name_len
 * may be NULL. */
int mvsdk_voice_at(mvsdk_t* kit, size_t index, int64_t* id, char* name, size_t name_size, size_t* name_len);
/* Selects a voice; outcome (0, code, msg). Needs a started engine. */
int mvsdk_set_voice(mvsdk_t* kit, int64_t id);
/* *has_voice 1 and *id the voice last set, or *has_voice 0 (none since start/stop/release). */
int mvsdk_get_current_voice(mvsdk_t* kit, int* has_voice, int64_t* id);

/* --- tone --- */
/* mode 0/1/2; intonation (semitones) and pitch clamped to the supported ranges. Needs a started
 * engine, else the outcome (0, 5, msg). */
int mvsdk_set_mode(mvsdk_t* kit, int64_t mode, float intonation, float pitch);
int mvsdk_get_mode(mvsdk_t* kit, int64_t* mode);
int mvsdk_get_intonation(mvsdk_t* kit, float* intonation);
int mvsdk_get_pitch(mvsdk_t* kit, float* pitch);
int mvsdk_supported_intonation(mvsdk_t* kit, double* min, double* max);
int mvsdk_supported_pitch(mvsdk_t* kit, double* min, double* max);
/* Measures the speaker's pitch in a raw 16-bit mono PCM file at the configured rate and answers
 * the intonation and pitch that match the current voice. */
int mvsdk_pro_calibration(mvsdk_t* kit, const char* path, mvsdk_calibration_fn fn, void* user);
/* MVSDK_STATUS_* */
int mvsdk_get_engine_status(mvsdk_t* kit, int64_t* status);

/* --- audio --- */
/* Converts input_bytes of host audio (configured format, channels, rate) into output, which must
 * hold at least input_bytes (else MVSDK_ERR_BUFFER_TOO_SMALL, nothing written). Writes
 * input_bytes bytes and stores that count in *output_bytes (may be NULL). Until the engine runs
 * with a voice, the output is silence or the input (mute_on_fail). input may be NULL only when
 * input_bytes is 0. For the audio thread: no allocation, no lock, no waiting. */
int mvsdk_transform(mvsdk_t* kit, const void* input, size_t input_bytes, void* output, size_t output_capacity,
                    size_t* output_bytes);
/* Bytes of 10 ms of host audio in the configured format. */
int mvsdk_min_data_size(mvsdk_t* kit, size_t* n_bytes);
/* Waits until the engine has run all audio handed to it and every engine step queued before
 * the call: MVSDK_OK, or MVSDK_ERR_TIMEOUT after timeout_ms. Not on the audio thread. */
int mvsdk_wait_for_engine(mvsdk_t* kit, int64_t timeout_ms);

/* What the audio path did so far. Set struct_size before the call (as for mvsdk_config_t). */
typedef struct mvsdk_audio_stats {
  size_t struct_size;
  uint64_t fallback_calls;         /* calls answered with the fallback after output began */
  uint64_t overlapping_calls;      /* calls that overlapped another call */
  uint64_t dropped_input_samples;  /* input the engine thread could not keep up with */
  uint64_t trimmed_output_samples; /* converted audio dropped to bring the delay back */
  uint64_t lost_output_bytes;      /* converted audio that did not fit the output ring */
  uint64_t pending_input_samples;  /* input waiting for the engine thread now */
  uint64_t ready_output_samples;   /* converted audio waiting to be returned now */
} mvsdk_audio_stats_t;
int mvsdk_audio_stats(mvsdk_t* kit, mvsdk_audio_stats_t* stats);

/* --- the log (process-wide) --- */
int mvsdk_set_log_level(int level);  /* MVSDK_LOG_*; else MVSDK_ERR_BAD_ARGUMENT */
int mvsdk_get_log_level(int* level);
/* Replaces the log's destination; fn NULL restores the default (stderr). The previous sink may
 * still be finishing a line when this returns; after a later mvsdk_flush_log that returns
 * MVSDK_OK it is not called any more. */
int mvsdk_set_log_sink(mvsdk_log_fn fn, void* user);
/* Waits until every line logged before the call has been delivered: MVSDK_OK, or
 * MVSDK_ERR_TIMEOUT (also at once when called from the sink). */
int mvsdk_flush_log(int64_t timeout_ms);

#ifdef __cplusplus
}
#endif
#endif /* MVSDK_MVSDK_C_H */
