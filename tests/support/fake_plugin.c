// A scriptable stand-in for a supervised program. The end-to-end cases copy it
// under each configured name (a copy, so that killall finds it by that name).
//
// On start it appends its command line to log/<name>.starts, then runs line k
// of script/<name>, k being its start count (empty lines do not count; the
// last line when there are fewer; `run` without a script). A line is a list
// of steps:
//   run | exit N | segv | signal N | sleep S | alive P | alive-at OFFSET PERIOD
//   | package FILE | touch FILE | kill-group N
// alive-at counts OFFSET from the start, i.e. after the sleeps of earlier
// steps. A line whose steps all finish exits with status 0. SIGTERM is
// recorded in log/<name>.events before the program dies of it. Sleeps go
// through nanosleep, so the time shim scales them as it scales the
// supervisor's.
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

enum { path_max = 4096, script_max = 65536 };

static char events_path[path_max];
static char alive_path[path_max];
static double elapsed_s;  // time slept by earlier steps, in unscaled seconds

static void on_sigterm(int sig) {
  int fd = open(events_path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd >= 0) {
    (void)!write(fd, "SIGTERM\n", 8);
    (void)close(fd);
  }
  signal(sig, SIG_DFL);
  raise(sig);
}

static void fail(const char* what, const char* detail) {
  fprintf(stderr, "fake_plugin: %s %s\n", what, detail);
  exit(2);
}

static void die_of(int sig) {
  signal(sig, SIG_DFL);
  raise(sig);
  fail("survived signal", strsignal(sig));
}

static void sleep_s(double seconds) {
  if (seconds <= 0) return;
  elapsed_s += seconds;
  struct timespec left = {(time_t)seconds, (long)((seconds - (double)(time_t)seconds) * 1e9)};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

static void create_file(const char* path) {
  int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) fail("cannot create", path);
  (void)close(fd);
}

static void copy_to(const char* source, const char* destination) {
  int in = open(source, O_RDONLY | O_CLOEXEC);
  int out = open(destination, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (in < 0 || out < 0) fail("cannot copy", source);
  char buffer[4096];
  ssize_t got;
  while ((got = read(in, buffer, sizeof buffer)) > 0)
    if (write(out, buffer, (size_t)got) != got) fail("short write to", destination);
  (void)close(in);
  (void)close(out);
}

// Reads a whole file into buffer; returns its length, or -1 when missing.
static ssize_t read_file(const char* path, char* buffer, size_t capacity) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  size_t length = 0;
  ssize_t got;
  while (length + 1 < capacity && (got = read(fd, buffer + length, capacity - 1 - length)) > 0)
    length += (size_t)got;
  buffer[length] = '\0';
  (void)close(fd);
  return (ssize_t)length;
}

static int count_lines(const char* path) {
  static char text[script_max];
  if (read_file(path, text, sizeof text) < 0) return 0;
  int lines = 0;
  for (const char* c = text; *c != '\0'; ++c) lines += *c == '\n';
  return lines;
}

static void log_start(const char* name, int argc, char** argv) {
  char path[path_max];
  char line[path_max];
  size_t length = 0;
  for (int i = 0; i < argc && length < sizeof line - 1; ++i)
    length += (size_t)snprintf(line + length, sizeof line - length, i ? " %s" : "%s", argv[i]);
  if (length > sizeof line - 2) length = sizeof line - 2;
  line[length++] = '\n';
  if (mkdir("log", 0755) != 0 && errno != EEXIST) fail("cannot create", "log");
  snprintf(path, sizeof path, "log/%s.starts", name);
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0 || write(fd, line, length) != (ssize_t)length) fail("cannot log to", path);
  (void)close(fd);
}

// Copies line k (1-based; the last line when there are fewer) of the script.
static void pick_line(const char* path, int k, char* line, size_t capacity) {
  static char text[script_max];
  snprintf(line, capacity, "run");
  if (read_file(path, text, sizeof text) < 0) return;
  int index = 0;
  for (char *saved = NULL, *l = strtok_r(text, "\n", &saved); l != NULL;
       l = strtok_r(NULL, "\n", &saved)) {
    snprintf(line, capacity, "%s", l);
    if (++index == k) return;
  }
}

static const char* next_word(char** saved) { return strtok_r(NULL, " \t", saved); }

static double number_after(const char* step, char** saved) {
  const char* word = next_word(saved);
  if (word == NULL) fail("missing number after", step);
  return strtod(word, NULL);
}

static const char* word_after(const char* step, char** saved) {
  const char* word = next_word(saved);
  if (word == NULL) fail("missing file after", step);
  return word;
}

static void keep_alive(double offset_s, double period_s) {
  if (alive_path[0] == '\0') fail("no -A argument for", "alive");
  sleep_s(offset_s - elapsed_s);
  for (;;) {
    create_file(alive_path);
    sleep_s(period_s);
  }
}

static void run_step(const char* step, char** saved) {
  if (strcmp(step, "run") == 0) {
    for (;;) pause();
  } else if (strcmp(step, "exit") == 0) {
    exit((int)number_after(step, saved));
  } else if (strcmp(step, "segv") == 0) {
    die_of(SIGSEGV);
  } else if (strcmp(step, "signal") == 0) {
    die_of((int)number_after(step, saved));
  } else if (strcmp(step, "sleep") == 0) {
    sleep_s(number_after(step, saved));
  } else if (strcmp(step, "alive") == 0) {
    double period_s = number_after(step, saved);
    keep_alive(elapsed_s, period_s);
  } else if (strcmp(step, "alive-at") == 0) {
    double offset_s = number_after(step, saved);
    keep_alive(offset_s, number_after(step, saved));
  } else if (strcmp(step, "package") == 0) {
    copy_to(word_after(step, saved), "/tmp/.uci//ttupgrade.tgz");
  } else if (strcmp(step, "kill-group") == 0) {
    (void)kill(0, (int)number_after(step, saved));
  } else if (strcmp(step, "touch") == 0) {
    create_file(word_after(step, saved));
  } else {
    fail("unknown step", step);
  }
}

int main(int argc, char** argv) {
  const char* slash = strrchr(argv[0], '/');
  const char* name = slash != NULL ? slash + 1 : argv[0];
  snprintf(events_path, sizeof events_path, "log/%s.events", name);
  signal(SIGTERM, on_sigterm);
  // A crash must not leave a core file behind in the case's directory.
  struct rlimit no_core = {0, 0};
  (void)setrlimit(RLIMIT_CORE, &no_core);
  for (int i = 1; i + 1 < argc; ++i)
    if (strcmp(argv[i], "-A") == 0) snprintf(alive_path, sizeof alive_path, "%s", argv[i + 1]);

  log_start(name, argc, argv);
  char path[path_max];
  snprintf(path, sizeof path, "log/%s.starts", name);
  int start_count = count_lines(path);
  char line[path_max];
  snprintf(path, sizeof path, "script/%s", name);
  pick_line(path, start_count, line, sizeof line);

  char* saved = NULL;
  for (const char* step = strtok_r(line, " \t", &saved); step != NULL; step = next_word(&saved))
    run_step(step, &saved);
  return 0;
}
