/* A small C host built against the installed kit (find_package(mvsdk) or pkg-config), through
 * the C interface <mvsdk/mvsdk_c.h>.
 *
 *   mvsdk-c-host-example                    checks the offline calls
 *   mvsdk-c-host-example URL TOKEN [VOICE]  the whole life cycle against the voice service at
 *                                           URL: prepare, download, start, choose a voice,
 *                                           convert two seconds of a test tone, stop
 *
 * Action results arrive on the kit's main queue (a thread of the kit's); the host's thread waits
 * for them on a condition variable. */
#define _POSIX_C_SOURCE 200809L
#include <errno.h>
#include <math.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <mvsdk/mvsdk_c.h>

/* The last action result, handed from the kit's main queue to the host's thread. */
typedef struct {
  pthread_mutex_t mutex;
  pthread_cond_t cond;
  int ready;
  int64_t action, code;
  char message[256];
} inbox_t;

static void on_action(int64_t action, int64_t code, const char* message, void* user) {
  inbox_t* inbox = user;
  pthread_mutex_lock(&inbox->mutex);
  inbox->ready = 1;
  inbox->action = action;
  inbox->code = code;
  snprintf(inbox->message, sizeof inbox->message, "%s", message);
  pthread_cond_signal(&inbox->cond);
  pthread_mutex_unlock(&inbox->mutex);
}

static void on_download(int64_t percent, int64_t file, int64_t files, void* user) {
  (void)user;
  if (percent == 100) printf("c-host: downloaded file %lld of %lld\n", (long long)file, (long long)files);
}

static void on_log(int level, const char* line, void* user) {
  (void)level;
  (void)user;
  fprintf(stderr, "kit: %s\n", line);
}

/* Calls the step, then waits for its result (any action; one step at a time). 0 on success. */
static int step(const char* name, int (*call)(mvsdk_t*), mvsdk_t* kit, inbox_t* inbox) {
  pthread_mutex_lock(&inbox->mutex);
  inbox->ready = 0;
  pthread_mutex_unlock(&inbox->mutex);
  int status = call(kit);
  if (status != MVSDK_OK) {
    const char* text = "";
    mvsdk_status_text(status, &text);
    fprintf(stderr, "c-host: %s: %s\n", name, text);
    return 1;
  }
  struct timespec deadline;
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += 120;
  pthread_mutex_lock(&inbox->mutex);
  while (!inbox->ready && pthread_cond_timedwait(&inbox->cond, &inbox->mutex, &deadline) != ETIMEDOUT) {
  }
  int ok = inbox->ready && inbox->code == MVSDK_CODE_SUCCESS;
  if (inbox->ready) printf("c-host: %s -> (%lld) %s\n", name, (long long)inbox->code, inbox->message);
  else fprintf(stderr, "c-host: %s: no answer\n", name);
  pthread_mutex_unlock(&inbox->mutex);
  return ok ? 0 : 1;
}

static int64_t chosen_voice;
static int set_chosen_voice(mvsdk_t* kit) { return mvsdk_set_voice(kit, chosen_voice); }

static int offline_checks(void) {
  mvsdk_t* kit = NULL;
  if (mvsdk_create(&kit) != MVSDK_OK) return 1;
  size_t min_bytes = 0;
  int16_t in[480] = {0}, out[480];
  size_t got = 0;
  int bad = mvsdk_min_data_size(kit, &min_bytes) != MVSDK_OK || min_bytes != 960 ||
            mvsdk_transform(kit, in, sizeof in, out, sizeof out - 2, &got) != MVSDK_ERR_BUFFER_TOO_SMALL ||
            mvsdk_transform(kit, in, sizeof in, out, sizeof out, &got) != MVSDK_OK || got != sizeof in ||
            mvsdk_prepare(NULL) != MVSDK_ERR_BAD_HANDLE;
  mvsdk_destroy(kit);
  if (bad) return 1;
  printf("c-host: offline calls answer as documented\n");
  return 0;
}

int main(int argc, char** argv) {
  if (argc < 3) return offline_checks();
  mvsdk_set_log_sink(on_log, NULL);
  mvsdk_set_service_base_url(argv[1]);

  inbox_t inbox;
  memset(&inbox, 0, sizeof inbox);
  pthread_mutex_init(&inbox.mutex, NULL);
  pthread_cond_init(&inbox.cond, NULL);

  mvsdk_t* kit = NULL;
  if (mvsdk_create(&kit) != MVSDK_OK) return 1;
  mvsdk_config_t config;
  mvsdk_config_init(&config);
  config.sample_rate = 48000;
  config.channels = 1;
  config.format = MVSDK_FORMAT_S16;
  config.token = argv[2];
  config.on_action_result = on_action;
  config.action_user = &inbox;
  config.on_download = on_download;
  mvsdk_set_config(kit, &config);

  int failed = step("prepare", mvsdk_prepare, kit, &inbox) || step("check_resources", mvsdk_check_resources, kit, &inbox) ||
               step("start", mvsdk_start, kit, &inbox);
  size_t voices = 0;
  if (!failed && (mvsdk_voice_count(kit, &voices) != MVSDK_OK || voices == 0)) failed = 1;
  if (!failed) {
    char name[128] = "";
    mvsdk_voice_at(kit, 0, &chosen_voice, name, sizeof name, NULL);
    if (argc > 3) chosen_voice = atoll(argv[3]);
    printf("c-host: %zu voices, using %lld\n", voices, (long long)chosen_voice);
    failed = step("set_voice", set_chosen_voice, kit, &inbox);
  }

  /* Two seconds of a tone in 10 ms buffers (a live host would call this on its audio thread). */
  long sounding = 0;
  for (int b = 0; !failed && b < 200; ++b) {
    int16_t in[480], out[480];
    for (int i = 0; i < 480; ++i) in[i] = (int16_t)(8000.0 * sin(2.0 * 3.14159265 * 150.0 * (b * 480 + i) / 48000.0));
    size_t got = 0;
    if (mvsdk_transform(kit, in, sizeof in, out, sizeof out, &got) != MVSDK_OK || got != sizeof in) failed = 1;
    for (int i = 0; i < 480; ++i) sounding += out[i] != 0;
    mvsdk_wait_for_engine(kit, 60000); /* a file has no clock: let the engine keep up */
  }
  if (!failed) printf("c-host: 2 s converted, %ld non-zero samples\n", sounding);

  int stopped = step("stop", mvsdk_stop, kit, &inbox);
  mvsdk_destroy(kit);
  mvsdk_flush_log(2000);
  return failed || stopped || sounding == 0;
}
