// A trivial supervised program for the benchmark, the same for every
// supervisor (ours runs it by its configured name, the peers as `run`).
//
// At start it appends one line "<monotonic ns> <own cpu ns>" to $BENCH_LOG:
// the time stamp dates the exec (start-up latency), the CPU time is what this
// task used so far, i.e. the supervisor's forked child before exec plus this
// program's own start (linked statically, so that part is small and equal for
// all). The line count is the start count.
//
// BENCH_EXIT=N: exit with status N after BENCH_DELAY_MS milliseconds (0 when
// unset). Without BENCH_EXIT it stays, and with "-A <path>" on its command
// line it creates that alive file at once and then every BENCH_ALIVE_MS
// milliseconds (default 60000). Being static, it is not slowed down or sped
// up by the time shim: scale BENCH_ALIVE_MS along with the supervisor.
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static long long now_ns(clockid_t clock) {
  struct timespec t;
  if (clock_gettime(clock, &t) != 0) return -1;
  return (long long)t.tv_sec * 1000000000LL + t.tv_nsec;
}

static void log_start(void) {
  const char* path = getenv("BENCH_LOG");
  if (path == NULL || *path == '\0') return;
  char line[64];
  int length = snprintf(line, sizeof line, "%lld %lld\n", now_ns(CLOCK_MONOTONIC),
                        now_ns(CLOCK_THREAD_CPUTIME_ID));
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  // One write with O_APPEND: lines of concurrent starts never interleave.
  (void)!write(fd, line, (size_t)length);
  (void)close(fd);
}

static void sleep_ms(long ms) {
  struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&t, &t) != 0) {
  }
}

static void touch(const char* path) {
  int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd >= 0) (void)close(fd);
}

int main(int argc, char** argv) {
  log_start();
  const char* exit_text = getenv("BENCH_EXIT");
  if (exit_text != NULL && *exit_text != '\0') {
    const char* delay = getenv("BENCH_DELAY_MS");
    if (delay != NULL) sleep_ms(atol(delay));
    return atoi(exit_text);
  }
  const char* alive = NULL;
  for (int i = 1; i + 1 < argc; ++i)
    if (strcmp(argv[i], "-A") == 0) alive = argv[i + 1];
  const char* period = getenv("BENCH_ALIVE_MS");
  const long period_ms = period != NULL && atol(period) > 0 ? atol(period) : 60 * 1000;
  for (;;) {
    if (alive == NULL) {
      pause();
      continue;
    }
    touch(alive);
    sleep_ms(period_ms);
  }
}
