/* Preloaded into a program (LD_PRELOAD), moves its wall clock: CLOCK_REALTIME (and its coarse
 * form), gettimeofday() and time() run the number of seconds written in the file that
 * QUENNET_CLOCK_SHIFT_FILE names off the truth, as a kiosk's clock does when a time server
 * corrects it. The file is read again at most every 200 ms of the monotonic clock, which, like
 * every other clock, is left alone: timers keep their pace. A file that cannot be read keeps
 * the shift last read. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/time.h>
#include <time.h>

#define READ_EVERY_NS 200000000LL

typedef int (*clock_fn)(clockid_t, struct timespec*);

static atomic_llong shift_s;
static atomic_llong next_read_ns;

static clock_fn real_clock(void) {
  static _Atomic(clock_fn) real;
  clock_fn f = atomic_load(&real);
  if (!f) {
    f = (clock_fn)dlsym(RTLD_NEXT, "clock_gettime");
    atomic_store(&real, f);
  }
  return f;
}

static long long shift(void) {
  struct timespec now;
  if (real_clock()(CLOCK_MONOTONIC, &now) != 0) return atomic_load(&shift_s);
  const long long ns = now.tv_sec * 1000000000LL + now.tv_nsec;
  long long due = atomic_load(&next_read_ns);
  /* One thread reads the file; the others take the shift as it stands. */
  if (ns >= due && atomic_compare_exchange_strong(&next_read_ns, &due, ns + READ_EVERY_NS)) {
    const char* path = getenv("QUENNET_CLOCK_SHIFT_FILE");
    FILE* file = path ? fopen(path, "re") : NULL;
    long long seconds = 0;
    if (file) {
      if (fscanf(file, "%lld", &seconds) == 1) atomic_store(&shift_s, seconds);
      fclose(file);
    }
  }
  return atomic_load(&shift_s);
}

int clock_gettime(clockid_t id, struct timespec* ts) {
  const int rc = real_clock()(id, ts);
  if (rc == 0 && (id == CLOCK_REALTIME || id == CLOCK_REALTIME_COARSE)) ts->tv_sec += shift();
  return rc;
}

int gettimeofday(struct timeval* tv, void* zone) {
  (void)zone;
  struct timespec now;
  if (clock_gettime(CLOCK_REALTIME, &now) != 0) return -1;
  tv->tv_sec = now.tv_sec;
  tv->tv_usec = now.tv_nsec / 1000;
  return 0;
}

time_t time(time_t* out) {
  struct timespec now;
  if (clock_gettime(CLOCK_REALTIME, &now) != 0) return (time_t)-1;
  if (out) *out = now.tv_sec;
  return now.tv_sec;
}
