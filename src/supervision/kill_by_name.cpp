#include "supervision/kill_by_name.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

extern char** environ;

void kill_by_name(const char* name) {
  // The name is one argument, never shell text: a configured name such as
  // "x;reboot" must not run anything. "--" keeps a name like "-e" a name, and
  // is passed only then: some killall programs take it for one more name.
  const bool looks_like_option = name[0] == '-';
  char* const argv[] = {const_cast<char*>("killall"), const_cast<char*>("-9"),
                        const_cast<char*>(looks_like_option ? "--" : name),
                        looks_like_option ? const_cast<char*>(name) : nullptr, nullptr};
  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return;
  (void)posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  (void)posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  (void)std::fflush(stdout);
  pid_t pid = -1;
  const int failed = posix_spawnp(&pid, "killall", &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) return;
  // Waited for here, as the shell command was, so the supervision loop never
  // sees it. On the watchdog thread the loop may reap it first; that is fine.
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}
