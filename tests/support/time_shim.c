// Preload library for the end-to-end cases: it speeds the supervisor up and
// injects fork failures from outside, so the daemon needs no test-only code.
//
// SUP_TIME_SCALE=N divides every relative sleep (sleep, usleep, nanosleep,
// clock_nanosleep without TIMER_ABSTIME) by N, keeping sub-second precision:
// sleep(10) at scale 100 sleeps 100 ms. The monotonic clocks run N times as
// fast from the moment the library is loaded, so intervals measured on them
// agree with the scaled sleeps. Absolute deadlines and the wall clock are left
// alone, so time stamps stay real.
//
// SUP_FAIL_FORK_AT=N makes the N-th call of fork() (counted from 1) fail with
// EAGAIN; later calls succeed again. The first program that loads the library
// consumes the variable (it is removed from the environment at load time), so
// the programs that this one executes (shells, killall, tar, plugins) fork
// normally. A forked child inherits its parent's count. Only fork() and
// vfork() count: system() and posix_spawn() create processes without them.
// While failures are asked for, a vfork() that does not fail is a fork(),
// which vfork's contract allows; otherwise it is the C library's own.
//
// SUP_FAIL_SYNCFS=1 makes every syncfs() fail with EIO, as a flash that
// reports a write error does; SUP_FAIL_FSYNC=1 does the same to fsync().
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

enum { ns_per_s = 1000000000L, max_scale = 1000000 };

static long time_scale = 1;
static struct timespec monotonic_base;  // the real monotonic time at load
static long fail_fork_at;
static long fork_calls;
static long fail_syncfs;
static long fail_fsync;
static pid_t counted_fork(void);

static long read_env_long(const char* name, long fallback) {
  const char* text = getenv(name);
  if (text == NULL || *text == '\0') return fallback;
  char* end = NULL;
  long value = strtol(text, &end, 10);
  return *end == '\0' ? value : fallback;
}

// The C library's own names of the calls the headers bind: musl on 32-bit
// targets keeps the plain names for its old 32-bit time_t and binds calls to
// its 64-bit ones (which this file, compiled with those headers, defines).
#if defined(_REDIR_TIME64) && _REDIR_TIME64
#define TIME_NAME(plain, time64) time64
#else
#define TIME_NAME(plain, time64) plain
#endif

typedef int clock_gettime_fn(clockid_t, struct timespec*);
static void* next_symbol(void** cache, const char* name);

static clock_gettime_fn* real_clock_gettime(void) {
  static void* cache;
  return (clock_gettime_fn*)next_symbol(&cache, TIME_NAME("clock_gettime", "__clock_gettime64"));
}

// A vfork() cannot be a function that calls the real one: the child would
// return through that function's frame, which the suspended parent still
// needs. On x86-64 vfork is a jump to the real one, or to the counted fork;
// elsewhere it is always the counted fork.
#if defined(__x86_64__)
__attribute__((used, visibility("hidden"))) void* time_shim_vfork_target;
__asm__(
    ".text\n"
    ".globl vfork\n"
    ".type vfork, @function\n"
    "vfork:\n"
    "  jmp *time_shim_vfork_target(%rip)\n"
    ".size vfork, .-vfork\n");
static void set_vfork_target(void) {
  void* real = fail_fork_at > 0 ? NULL : dlsym(RTLD_NEXT, "vfork");
  time_shim_vfork_target = real != NULL ? real : (void*)counted_fork;
}
#else
pid_t vfork(void) { return counted_fork(); }
static void set_vfork_target(void) {}
#endif

__attribute__((constructor)) static void time_shim_init(void) {
  time_scale = read_env_long("SUP_TIME_SCALE", 1);
  if (time_scale < 1 || time_scale > max_scale) time_scale = 1;
  fail_fork_at = read_env_long("SUP_FAIL_FORK_AT", 0);
  fail_syncfs = read_env_long("SUP_FAIL_SYNCFS", 0);
  fail_fsync = read_env_long("SUP_FAIL_FSYNC", 0);
  (void)real_clock_gettime()(CLOCK_MONOTONIC, &monotonic_base);
  set_vfork_target();
  // Still single-threaded here, so changing the environment is safe.
  (void)unsetenv("SUP_FAIL_FORK_AT");
}

static void* next_symbol(void** cache, const char* name) {
  void* symbol = __atomic_load_n(cache, __ATOMIC_ACQUIRE);
  if (symbol == NULL) {
    symbol = dlsym(RTLD_NEXT, name);
    __atomic_store_n(cache, symbol, __ATOMIC_RELEASE);
  }
  return symbol;
}

typedef int nanosleep_fn(const struct timespec*, struct timespec*);
typedef int clock_nanosleep_fn(clockid_t, int, const struct timespec*, struct timespec*);
typedef pid_t fork_fn(void);

static nanosleep_fn* real_nanosleep(void) {
  static void* cache;
  return (nanosleep_fn*)next_symbol(&cache, TIME_NAME("nanosleep", "__nanosleep_time64"));
}

static clock_nanosleep_fn* real_clock_nanosleep(void) {
  static void* cache;
  return (clock_nanosleep_fn*)next_symbol(&cache,
                                          TIME_NAME("clock_nanosleep", "__clock_nanosleep_time64"));
}

static struct timespec scale_down(struct timespec t) {
  // Split the division so that no intermediate value overflows.
  long long rest_ns = (long long)(t.tv_sec % time_scale) * ns_per_s + t.tv_nsec;
  struct timespec scaled = {t.tv_sec / time_scale, (long)(rest_ns / time_scale)};
  scaled.tv_sec += scaled.tv_nsec / ns_per_s;
  scaled.tv_nsec %= ns_per_s;
  return scaled;
}

static struct timespec scale_up(struct timespec t) {
  long long ns = (long long)t.tv_nsec * time_scale;
  struct timespec unscaled = {t.tv_sec * time_scale + (time_t)(ns / ns_per_s),
                              (long)(ns % ns_per_s)};
  return unscaled;
}

static int valid(const struct timespec* t) {
  return t != NULL && t->tv_sec >= 0 && t->tv_nsec >= 0 && t->tv_nsec < ns_per_s;
}

static int is_monotonic(clockid_t clock) {
  return clock == CLOCK_MONOTONIC || clock == CLOCK_MONOTONIC_RAW ||
         clock == CLOCK_MONOTONIC_COARSE || clock == CLOCK_BOOTTIME;
}

int clock_gettime(clockid_t clock, struct timespec* now) {
  int result = real_clock_gettime()(clock, now);
  if (result != 0 || time_scale == 1 || !is_monotonic(clock)) return result;
  // base + (now - base) * scale; the coarse and boot clocks share the base
  // closely enough for intervals of whole seconds.
  long long elapsed_ns = (long long)(now->tv_sec - monotonic_base.tv_sec) * ns_per_s +
                         (now->tv_nsec - monotonic_base.tv_nsec);
  if (elapsed_ns < 0) return result;
  long long scaled_ns = elapsed_ns * time_scale + monotonic_base.tv_nsec;
  now->tv_sec = monotonic_base.tv_sec + (time_t)(scaled_ns / ns_per_s);
  now->tv_nsec = (long)(scaled_ns % ns_per_s);
  return result;
}

int nanosleep(const struct timespec* request, struct timespec* remaining) {
  if (!valid(request)) return real_nanosleep()(request, remaining);
  struct timespec scaled = scale_down(*request);
  int result = real_nanosleep()(&scaled, remaining);
  if (result != 0 && remaining != NULL) *remaining = scale_up(*remaining);
  return result;
}

int clock_nanosleep(clockid_t clock, int flags, const struct timespec* request,
                    struct timespec* remaining) {
  if ((flags & TIMER_ABSTIME) != 0 || !valid(request))
    return real_clock_nanosleep()(clock, flags, request, remaining);
  struct timespec scaled = scale_down(*request);
  int result = real_clock_nanosleep()(clock, flags, &scaled, remaining);
  if (result != 0 && remaining != NULL) *remaining = scale_up(*remaining);
  return result;
}

// glibc's sleep and usleep call an internal nanosleep, not the public one.
unsigned int sleep(unsigned int seconds) {
  struct timespec request = {(time_t)seconds, 0};
  struct timespec remaining = {0, 0};
  if (nanosleep(&request, &remaining) == 0) return 0;
  // Like glibc: the unslept time, rounded to the nearest second.
  return (unsigned int)(remaining.tv_sec + (remaining.tv_nsec >= ns_per_s / 2));
}

int usleep(useconds_t microseconds) {
  struct timespec request = {(time_t)(microseconds / 1000000),
                             (long)(microseconds % 1000000) * 1000L};
  return nanosleep(&request, NULL);
}

static pid_t counted_fork(void) {
  static void* cache;
  long call = __atomic_add_fetch(&fork_calls, 1, __ATOMIC_RELAXED);
  if (fail_fork_at > 0 && call == fail_fork_at) {
    errno = EAGAIN;
    return -1;
  }
  return ((fork_fn*)next_symbol(&cache, "fork"))();
}

pid_t fork(void) { return counted_fork(); }

int syncfs(int fd) {
  static void* cache;
  if (fail_syncfs != 0) {
    errno = EIO;
    return -1;
  }
  return ((int (*)(int))next_symbol(&cache, "syncfs"))(fd);
}

int fsync(int fd) {
  static void* cache;
  if (fail_fsync != 0) {
    errno = EIO;
    return -1;
  }
  return ((int (*)(int))next_symbol(&cache, "fsync"))(fd);
}
