// The least a supervisor can do per restart, as the yardstick for ours:
// fork, exec the program, wait for it, sleep, again. No logging, no state.
// Usage: bare_loop <delay s> <program> [argument...]; runs until killed.
// The delay goes through sleep(), so the time shim scales it as it scales
// the supervisor's own.
#define _GNU_SOURCE
#include <errno.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const unsigned delay_s = (unsigned)atoi(argv[1]);
  for (;;) {
    pid_t pid = fork();
    if (pid == 0) {
      execv(argv[2], argv + 2);
      _exit(127);
    }
    int status = 0;
    while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    (void)sleep(delay_s);
  }
}
