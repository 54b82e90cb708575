#include "util/spawn.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>

#include "util/handles.h"

// The command runs as a grandchild. Its parent, our direct child, is created
// without an exit signal and never executes anything, so a wait for any child
// on another thread of ours passes it over (only __WCLONE waits see it). The
// command cannot be our direct child: executing a program gives a child the
// exit signal SIGCHLD back, and the other thread's wait could reap it.
//
// Both children share our memory (CLONE_VM, CLONE_VFORK) and run on stacks
// borrowed from the caller's frame, which is suspended until the command has
// ended: no allocation, no locks, no stdio there, and no sanitizer
// instrumentation, whose runtime does not know these stacks.

namespace {

inline constexpr int not_executed_status = 127;  // what a shell reports for such a command
inline constexpr std::size_t child_stack_bytes = 16384;

struct command_request {
  const char* file;
  char* const* argv;
  int stdin_fd;
  int null_fd;
  sigset_t caller_mask;
  unsigned char* command_stack_top;
  int wait_status;  // the command's, written by the intermediate child
};

#define CHILD_CODE __attribute__((no_sanitize("address", "thread")))

// The raw call: a sanitizer's _exit would wind up the caller's shared state.
CHILD_CODE [[noreturn]] void exit_child(int status) {
  for (;;) ::syscall(SYS_exit, status);
}

CHILD_CODE int become_command(void* argument) {
  const auto* request = static_cast<const command_request*>(argument);
  (void)::sigprocmask(SIG_SETMASK, &request->caller_mask, nullptr);
  const bool redirected = (request->stdin_fd < 0 || ::dup2(request->stdin_fd, STDIN_FILENO) >= 0) &&
                          ::dup2(request->null_fd, STDOUT_FILENO) >= 0 &&
                          ::dup2(request->null_fd, STDERR_FILENO) >= 0;
  if (redirected) (void)::execvp(request->file, request->argv);
  exit_child(not_executed_status);
}

// The intermediate child: every signal still blocked, as the caller left them.
CHILD_CODE int wait_for_command(void* argument) {
  auto* request = static_cast<command_request*>(argument);
  // We ignore SIGPIPE; the command must not inherit that, nor anything else.
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) (void)::sigaction(sig, &default_action, nullptr);
  const int pid = ::clone(become_command, request->command_stack_top,
                          CLONE_VM | CLONE_VFORK | SIGCHLD, request);
  int status = 0;
  if (pid > 0 && ::waitpid(pid, &status, 0) == pid) request->wait_status = status;
  exit_child(0);
}

}  // namespace

int spawn_and_wait(const char* file, char* const argv[], int stdin_fd) {
  const unique_fd null_fd(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  if (!null_fd) return -1;
  alignas(16) std::array<unsigned char, 2 * child_stack_bytes> stacks;
  command_request request{
      file, argv, stdin_fd, null_fd.get(), {}, stacks.data() + child_stack_bytes, -1};
  sigset_t all{};
  (void)::sigfillset(&all);
  // No handler may run on a borrowed stack.
  if (::pthread_sigmask(SIG_SETMASK, &all, &request.caller_mask) != 0) return -1;
  const int pid =
      ::clone(wait_for_command, stacks.data() + stacks.size(), CLONE_VM | CLONE_VFORK, &request);
  (void)::pthread_sigmask(SIG_SETMASK, &request.caller_mask, nullptr);
  if (pid < 0) return -1;
  int status = 0;
  while (::waitpid(pid, &status, __WCLONE) < 0) {
    if (errno != EINTR) return -1;
  }
  const int command = request.wait_status;
  return command != -1 && WIFEXITED(command) ? WEXITSTATUS(command) : -1;
}
