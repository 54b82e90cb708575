// PID 1 of an end-to-end case's private PID and mount namespace.
//
// Usage: ns_init <status-file> <exec-path> <argv0> [args...]
// Started as `unshare --mount --pid --fork --kill-child --mount-proc ns_init ...`.
// It mounts a fresh tmpfs on /tmp, in which the directories listed in
// NS_INIT_KEEP (colon-separated) stay visible at their paths when they lie
// under /tmp (a checkout there), runs the shell commands in NS_INIT_SETUP
// (when set), then starts the supervisor as PID 2 with LD_PRELOAD taken from
// SUP_PRELOAD, so that only the supervisor and what it executes load it.
// The status file reads "running" once the supervisor is started, then
// "exit N" or "signal N" when it has ended. ns_init forwards SIGTERM, SIGINT
// and SIGHUP to it, turns SIGUSR1 into SIGKILL, reaps every process of the
// namespace and stays alive after the supervisor's end, so that the case can
// still look into the namespace's /tmp; killing it ends the whole namespace.
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

static void die(const char* what) {
  fprintf(stderr, "ns_init: %s: %s\n", what, strerror(errno));
  exit(125);
}

enum { max_kept = 16 };

struct kept_directory {
  char path[4096];
  int fd;  // opened before the tmpfs hides it
};

static void make_directories(char* path) {
  for (char* slash = strchr(path + 1, '/'); slash != NULL; slash = strchr(slash + 1, '/')) {
    *slash = '\0';
    (void)mkdir(path, 0755);
    *slash = '/';
  }
  (void)mkdir(path, 0755);
}

// Opens every listed directory under /tmp; returns how many.
static int open_kept(struct kept_directory* kept) {
  const char* list = getenv("NS_INIT_KEEP");
  int count = 0;
  while (list != NULL && *list != '\0' && count < max_kept) {
    const char* end = strchr(list, ':');
    size_t length = end != NULL ? (size_t)(end - list) : strlen(list);
    if (length < sizeof kept[count].path && strncmp(list, "/tmp/", 5) == 0) {
      memcpy(kept[count].path, list, length);
      kept[count].path[length] = '\0';
      kept[count].fd = open(kept[count].path, O_PATH | O_DIRECTORY | O_CLOEXEC);
      if (kept[count].fd < 0) die(kept[count].path);
      ++count;
    }
    list = end != NULL ? end + 1 : NULL;
  }
  return count;
}

static void make_private_tmp(void) {
  // Keep the case's mounts out of the machine's namespace.
  if (mount(NULL, "/", NULL, MS_REC | MS_PRIVATE, NULL) != 0) die("mount --make-rprivate /");
  struct kept_directory kept[max_kept];
  const int count = open_kept(kept);
  if (mount("tmpfs", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") != 0) die("mount /tmp");
  for (int i = 0; i < count; ++i) {
    char source[64];
    snprintf(source, sizeof source, "/proc/self/fd/%d", kept[i].fd);
    make_directories(kept[i].path);
    if (mount(source, kept[i].path, NULL, MS_BIND | MS_REC, NULL) != 0) die(kept[i].path);
    close(kept[i].fd);
  }
}

// Written through a rename, so that a reader never sees half a status.
static void write_status(const char* path, const char* text) {
  char temporary[4096];
  snprintf(temporary, sizeof temporary, "%s.tmp", path);
  FILE* file = fopen(temporary, "we");
  if (file == NULL) die(temporary);
  fputs(text, file);
  if (fclose(file) != 0 || rename(temporary, path) != 0) die(path);
}

static void report_end(const char* path, int status) {
  char text[64];
  if (WIFEXITED(status))
    snprintf(text, sizeof text, "exit %d", WEXITSTATUS(status));
  else
    snprintf(text, sizeof text, "signal %d", WTERMSIG(status));
  write_status(path, text);
}

// A case must not depend on the dispositions its caller happened to have:
// a shell's background job, for one, ignores SIGINT.
static void restore_signals(void) {
  struct sigaction default_action;
  memset(&default_action, 0, sizeof default_action);
  default_action.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) (void)sigaction(sig, &default_action, NULL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, NULL);
}

static void run_setup(const char* commands) {
  pid_t pid = fork();
  if (pid < 0) die("fork");
  if (pid == 0) {
    restore_signals();
    execl("/bin/sh", "sh", "-c", commands, (char*)NULL);
    die("exec /bin/sh");
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fprintf(stderr, "ns_init: setup failed: %s\n", commands);
    exit(125);
  }
}

static pid_t start_supervisor(const char* exec_path, char** argv) {
  pid_t pid = fork();
  if (pid < 0) die("fork");
  if (pid != 0) return pid;
  restore_signals();
  const char* preload = getenv("SUP_PRELOAD");
  if (preload != NULL) setenv("LD_PRELOAD", preload, 1);
  unsetenv("SUP_PRELOAD");
  unsetenv("NS_INIT_SETUP");
  unsetenv("NS_INIT_KEEP");
  execv(exec_path, argv);
  die(exec_path);
  return -1;
}

static void reap(const char* status_path, pid_t* supervisor) {
  int status = 0;
  pid_t pid;
  while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
    if (pid != *supervisor) continue;
    report_end(status_path, status);
    *supervisor = 0;
  }
}

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: ns_init <status-file> <exec-path> <argv0> [args...]\n");
    return 2;
  }
  // Blocked signals still reach a namespace's init, which has no default
  // actions; sigwaitinfo then collects them in order.
  sigset_t handled;
  sigemptyset(&handled);
  const int signals[] = {SIGCHLD, SIGTERM, SIGINT, SIGHUP, SIGUSR1};
  for (size_t i = 0; i < sizeof signals / sizeof signals[0]; ++i) sigaddset(&handled, signals[i]);
  sigprocmask(SIG_BLOCK, &handled, NULL);

  make_private_tmp();
  const char* setup = getenv("NS_INIT_SETUP");
  if (setup != NULL && *setup != '\0') run_setup(setup);
  pid_t supervisor = start_supervisor(argv[2], argv + 3);
  write_status(argv[1], "running");

  for (;;) {
    int sig = sigwaitinfo(&handled, NULL);
    if (sig == SIGCHLD)
      reap(argv[1], &supervisor);
    else if (sig > 0 && supervisor > 0)
      kill(supervisor, sig == SIGUSR1 ? SIGKILL : sig);
  }
}
