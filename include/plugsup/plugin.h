/* The supervised program's side of the plugsup contract: its command line,
 * its alive file, the upgrade hand-over and the fresh start of all programs.
 *
 * Header only, C99 or later and C++11 or later, also in strict modes
 * (-std=c99 -pedantic); every function is static inline and allocates
 * nothing. It needs the POSIX.1-2008 interfaces of the C library
 * (clock_gettime, mkstemp, O_CLOEXEC), as every router's libc has them, and
 * asks for them itself: include it before any system header, or define
 * _POSIX_C_SOURCE (200809L or later) or _GNU_SOURCE for the whole file. */
#ifndef PLUGSUP_PLUGIN_H
#define PLUGSUP_PLUGIN_H

/* The SDK's version, that of the plugsup release it comes with. */
#define PLUGSUP_PLUGIN_VERSION "0.1"
#define PLUGSUP_PLUGIN_VERSION_MAJOR 0
#define PLUGSUP_PLUGIN_VERSION_MINOR 1

/* The C library decides which interfaces it declares when its first header
 * is read (glibc's features.h): past that point, defining the macro here
 * would change nothing, and the error below would come as a list of
 * undeclared functions. */
#if !defined(_POSIX_C_SOURCE) && !defined(_XOPEN_SOURCE) && !defined(_GNU_SOURCE) && \
    !defined(_DEFAULT_SOURCE) && !defined(_BSD_SOURCE)
#if defined(_FEATURES_H)
#error "plugsup/plugin.h: include it before any system header, or define _POSIX_C_SOURCE"
#endif
#define _POSIX_C_SOURCE 200809L
#endif

#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

/* An older POSIX level chosen by the includer (say _POSIX_C_SOURCE 199506L). */
#if !defined(O_CLOEXEC) || !defined(CLOCK_MONOTONIC)
#error "plugsup/plugin.h needs POSIX.1-2008: define _POSIX_C_SOURCE 200809L or later"
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Spelled for each language, so that strict warnings of either stay quiet. */
#ifdef __cplusplus
#define PLUGSUP_NULL_ nullptr
#define PLUGSUP_CAST_(type, value) static_cast<type>(value)
#else
#define PLUGSUP_NULL_ NULL
#define PLUGSUP_CAST_(type, value) ((type)(value))
#endif

/* Exit codes a program may end with to ask the supervisor for something. */
#define PLUGSUP_EXIT_FAILED_START 129   /* drop plugin data, start everything anew */
#define PLUGSUP_EXIT_UPGRADE_UNPACK 130 /* unpack the package into ../data/ */
#define PLUGSUP_EXIT_UPGRADE_COPY 131   /* copy the package to ../data//init.bin */
#define PLUGSUP_EXIT_UPGRADE_NOTE 132   /* record the version only, drop the package */
#define PLUGSUP_EXIT_FRESH_START 160    /* kill and start every program again */

/* Restart reason after the liveness watchdog killed the program. */
#define PLUGSUP_REASON_WATCHDOG 199

#define PLUGSUP_UCI_DIRECTORY "/tmp/.uci/"
/* Where the package goes when -T names /tmp/.uci/, as the supervisor does. */
#define PLUGSUP_UPGRADE_PACKAGE "/tmp/.uci//ttupgrade.tgz"

/* The watchdog looks every 120 s and deletes the file each time; refreshing
 * it four times as often leaves room for a slow loop iteration. */
#define PLUGSUP_ALIVE_INTERVAL_S 30

/* What the supervisor said on the command line. Texts point into argv. */
struct plugsup_args {
  const char* program;    /* argv[0]: "<base>" or "../data//<base>" */
  const char* alive_path; /* -A, or NULL: no liveness check asked for */
  const char* uci_dir;    /* -T, or NULL */
  const char* data_dir;   /* -D, or NULL */
  const char* product;    /* -O, or NULL */
  int restart_reason;     /* 0: first start (no -r) */
  int debug;              /* 1 with -d: the supervisor got an argument */
  int plugin_mode;        /* 1 with the -T -D -O group */
  /* Kept by plugsup_keep_alive. */
  int alive_touched;
  struct timespec alive_touched_at;
};

/* Formats one parse failure into the caller's buffer; always -1. */
static inline int plugsup_parse_error_(char* error, size_t error_size, const char* what,
                                       const char* argument) {
  if (error != PLUGSUP_NULL_ && error_size > 0)
    (void)snprintf(error, error_size, "%s %s", what, argument);
  return -1;
}

/* Whether `text` can be an option's value: the supervisor never sends an
 * empty one or one that looks like an option. */
static inline int plugsup_is_value_(const char* text) { return text[0] != '\0' && text[0] != '-'; }

/* A restart reason as the supervisor writes one: 1 to 255 in decimal. */
static inline int plugsup_parse_reason_(const char* text, int* reason) {
  int value = 0;
  const char* c = text;
  if (*c == '\0' || (*c == '0' && c[1] != '\0')) return -1;
  for (; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9' || value > 255) return -1;
    value = value * 10 + (*c - '0');
  }
  if (value < 1 || value > 255) return -1;
  *reason = value;
  return 0;
}

/* Reads the command line the supervisor composes:
 *   path [-r N] [-d] [-A ALIVE] [-T UCI -D DATA -O PRODUCT]
 * in this order, each group at most once. An option it does not know is
 * skipped, with the word after it when that word does not begin with '-' (its
 * value: the supervisor never sends an empty value or one beginning with '-'),
 * so that a plugin built today still starts when a later supervisor passes
 * one more option. 0 on success; -1 with a one-line reason in `error` (which
 * may be NULL) for what the supervisor never sends: a stray argument, a
 * missing or empty value of a known option, a restart reason that is not 1 to
 * 255, a group out of order or repeated, or a plugin group that is not -T, -D
 * and -O together. */
static inline int plugsup_parse_args(int argc, char* const argv[], struct plugsup_args* args,
                                     char* error, size_t error_size) {
  /* Groups in the order the supervisor sends them; `next` is the first one
   * still allowed. */
  enum { group_reason, group_debug, group_alive, group_plugin, group_none };
  static const char* const plugin_options[3] = {"-T", "-D", "-O"};
  int next = group_reason;
  int i = 1;
  memset(args, 0, sizeof *args);
  args->program = argc > 0 && argv[0] != PLUGSUP_NULL_ ? argv[0] : "";
  if (error != PLUGSUP_NULL_ && error_size > 0) error[0] = '\0';
  while (i < argc) {
    const char* option = argv[i];
    int group = group_none;
    if (strcmp(option, "-r") == 0) group = group_reason;
    if (strcmp(option, "-d") == 0) group = group_debug;
    if (strcmp(option, "-A") == 0) group = group_alive;
    if (strcmp(option, "-T") == 0 || strcmp(option, "-D") == 0 || strcmp(option, "-O") == 0)
      group = group_plugin;
    if (group == group_none && (option[0] != '-' || option[1] == '\0'))
      return plugsup_parse_error_(error, error_size, "unexpected argument", option);
    if (group == group_none) {
      i += i + 1 < argc && plugsup_is_value_(argv[i + 1]) ? 2 : 1;
      continue;
    }
    if (group < next)
      return plugsup_parse_error_(error, error_size, "option repeated or out of order:", option);
    next = group + 1;
    if (group == group_debug) {
      args->debug = 1;
      i += 1;
      continue;
    }
    if (group == group_plugin) {
      const char** values[3] = {&args->uci_dir, &args->data_dir, &args->product};
      int k;
      for (k = 0; k < 3; ++k) {
        if (i + 2 * k >= argc || strcmp(argv[i + 2 * k], plugin_options[k]) != 0)
          return plugsup_parse_error_(error, error_size, "incomplete plugin group, expected",
                                      plugin_options[k]);
        if (i + 2 * k + 1 >= argc || !plugsup_is_value_(argv[i + 2 * k + 1]))
          return plugsup_parse_error_(error, error_size, "missing value after", plugin_options[k]);
        *values[k] = argv[i + 2 * k + 1];
      }
      args->plugin_mode = 1;
      i += 6;
      continue;
    }
    if (i + 1 >= argc || !plugsup_is_value_(argv[i + 1]))
      return plugsup_parse_error_(error, error_size, "missing value after", option);
    if (group == group_reason && plugsup_parse_reason_(argv[i + 1], &args->restart_reason) != 0)
      return plugsup_parse_error_(error, error_size,
                                  "restart reason is not 1 to 255:", argv[i + 1]);
    if (group == group_alive) args->alive_path = argv[i + 1];
    i += 2;
  }
  return 0;
}

/* Whole seconds from `earlier` to `later`, rounded down. */
static inline time_t plugsup_seconds_between_(const struct timespec* earlier,
                                              const struct timespec* later) {
  time_t seconds = later->tv_sec - earlier->tv_sec;
  if (later->tv_nsec < earlier->tv_nsec) seconds -= 1;
  return seconds;
}

/* Keeps the alive file fresh; call it from the main loop as often as you like.
 * It creates the file only when PLUGSUP_ALIVE_INTERVAL_S have passed on
 * CLOCK_MONOTONIC since the last time (a wall-clock step cannot stall it),
 * and does nothing at all without -A. 1 when it created the file now, 0 when
 * nothing was due, -1 when the file could not be created (errno says why; the
 * next try comes after the interval). */
static inline int plugsup_keep_alive(struct plugsup_args* args) {
  struct timespec now;
  int fd;
  if (args->alive_path == PLUGSUP_NULL_) return 0;
  if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return -1;
  if (args->alive_touched &&
      plugsup_seconds_between_(&args->alive_touched_at, &now) < PLUGSUP_ALIVE_INTERVAL_S)
    return 0;
  args->alive_touched = 1;
  args->alive_touched_at = now;
  /* Only the file's existence counts. Never follow a planted link, and never
   * block on a FIFO put in its place. */
  fd = open(args->alive_path, O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
  if (fd < 0) return -1;
  (void)close(fd);
  return 1;
}

/* Copies all of `in` to `out`; 0, or -1 with errno set. */
static inline int plugsup_copy_fd_(int in, int out) {
  char buffer[4096];
  for (;;) {
    ssize_t got = read(in, buffer, sizeof buffer);
    ssize_t done = 0;
    if (got == 0) return 0;
    if (got < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    while (done < got) {
      ssize_t put = write(out, buffer + done, PLUGSUP_CAST_(size_t, got - done));
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) return -1;
      done += put;
    }
  }
}

/* Puts a copy of `package` in place as ttupgrade.tgz in the directory the
 * supervisor named with -T (/tmp/.uci/ without it; `args` may be NULL),
 * atomically: the bytes go to a temporary file in that directory that is then
 * renamed, so the supervisor never unpacks half a package. `package` itself
 * is left as it is. 0 on success; -1 with errno set, and no temporary file
 * left behind (ENAMETOOLONG for a directory name that does not fit). */
static inline int plugsup_stage_upgrade(const struct plugsup_args* args, const char* package) {
  const char* directory = args != PLUGSUP_NULL_ && args->uci_dir != PLUGSUP_NULL_
                              ? args->uci_dir
                              : PLUGSUP_UCI_DIRECTORY;
  char temporary[4096];
  char staged[4096];
  int in, out, failed, saved;
  int length = snprintf(temporary, sizeof temporary, "%s/.ttupgrade.XXXXXX", directory);
  int staged_length = snprintf(staged, sizeof staged, "%s/ttupgrade.tgz", directory);
  if (length < 0 || PLUGSUP_CAST_(size_t, length) >= sizeof temporary || staged_length < 0 ||
      PLUGSUP_CAST_(size_t, staged_length) >= sizeof staged) {
    errno = ENAMETOOLONG;
    return -1;
  }
  in = open(package, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (in < 0) return -1;
  out = mkstemp(temporary);
  if (out < 0) {
    saved = errno;
    (void)close(in);
    errno = saved;
    return -1;
  }
  (void)fcntl(out, F_SETFD, FD_CLOEXEC);
  failed = plugsup_copy_fd_(in, out);
  saved = errno;
  (void)close(in);
  if (close(out) != 0 && failed == 0) {
    failed = -1;
    saved = errno;
  }
  if (failed == 0 && rename(temporary, staged) != 0) {
    failed = -1;
    saved = errno;
  }
  if (failed != 0) {
    (void)unlink(temporary);
    errno = saved;
  }
  return failed;
}

/* Hands `package` to the supervisor (staged as plugsup_stage_upgrade does)
 * and ends the program with `code` (PLUGSUP_EXIT_UPGRADE_UNPACK, _COPY or
 * _NOTE), through exit(), so atexit handlers and stdio buffers run. Returns
 * -1 only when it could not: a code outside 130 to 132 (errno EINVAL) or a
 * failed staging (errno from it). */
static inline int plugsup_hand_over_upgrade(const struct plugsup_args* args, const char* package,
                                            int code) {
  if (code < PLUGSUP_EXIT_UPGRADE_UNPACK || code > PLUGSUP_EXIT_UPGRADE_NOTE) {
    errno = EINVAL;
    return -1;
  }
  if (plugsup_stage_upgrade(args, package) != 0) return -1;
  exit(code);
}

/* Ends the program asking for a fresh start: every configured program is
 * killed by name and started again with restart reason 160. */
__attribute__((noreturn)) static inline void plugsup_request_fresh_start(void) {
  exit(PLUGSUP_EXIT_FRESH_START);
}

/* A short text for a restart reason, for the program's own log. Static. */
static inline const char* plugsup_reason_text(int reason) {
  if (reason == 0) return "first start";
  if (reason == PLUGSUP_EXIT_FAILED_START) return "a program failed to start";
  if (reason >= PLUGSUP_EXIT_UPGRADE_UNPACK && reason <= PLUGSUP_EXIT_UPGRADE_NOTE)
    return "an upgrade package was handed over";
  if (reason == PLUGSUP_EXIT_FRESH_START) return "a fresh start was asked for";
  if (reason == PLUGSUP_REASON_WATCHDOG) return "killed for a stale alive file";
  return "restarted after an exit status or signal of that number";
}

#ifdef __cplusplus
}
#endif

#endif /* PLUGSUP_PLUGIN_H */
