#include "util/spawn.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "util/fs.h"
#include "util/handles.h"
#include "util/retry.h"

// The command runs as a grandchild. Its parent, our direct child, is created
// without an exit signal and never executes anything, so a wait for any child
// on another thread of ours passes it over (only __WCLONE or __WALL waits see
// it). The command cannot be our direct child: executing a program gives a
// child the exit signal SIGCHLD back, and the other thread's wait could reap
// it.
//
// Unlike a supervised program, the command stays in our process group: it is
// a tool of ours that runs nothing a package brings, and a terminal's Ctrl-C
// must end it together with us.
//
// Both children share our memory (CLONE_VM, CLONE_VFORK) and run on stacks
// mapped for the call, while the caller is suspended until the command has
// ended: no allocation, no locks, no stdio there, and no sanitizer
// instrumentation, whose runtime does not know these stacks.

namespace {

inline constexpr int not_executed_status = 127;  // what a shell reports for such a command
inline constexpr std::size_t child_stack_bytes = 16384;

struct command_request {
  pid_t caller;        // our process
  pid_t intermediate;  // written by the intermediate child
  const char* file;
  char* const* argv;
  int stdin_fd;
  int null_fd;
  sigset_t caller_mask;
  unsigned char* command_stack_top;
  int* command_signal;  // in the shared mapping below: seen also from a forked copy
};

#define CHILD_CODE __attribute__((no_sanitize("address", "thread")))

// The raw call: a sanitizer's _exit would wind up the caller's shared state.
[[noreturn]] CHILD_CODE void exit_child(int status) {
  for (;;) ::syscall(SYS_exit, status);
}

// A child sharing our memory until it executes or ends. User-mode emulators
// (qemu-user) refuse these flags and any exit signal but SIGCHLD: there the
// child is an ordinary forked copy, which a wait for any child may reap.
CHILD_CODE int start_child(int (*body)(void*), unsigned char* stack_top, int exit_signal,
                           void* request) {
  const int pid = ::clone(body, stack_top, CLONE_VM | CLONE_VFORK | exit_signal, request);
  if (pid >= 0 || errno != EINVAL) return pid;
  return ::clone(body, stack_top, SIGCHLD, request);
}

// Ends the calling child at once, and so the way its waiter expects: as if
// killed. Raw calls: a libc may cache the caller's pid.
[[noreturn]] CHILD_CODE void kill_self() {
  for (;;) ::syscall(SYS_kill, ::syscall(SYS_getpid), SIGKILL);
}

// Arms the death of the calling child with its parent's; when that parent is
// `parent` no more, it has died before the signal was armed.
CHILD_CODE void die_with_parent(pid_t parent) {
  (void)::syscall(SYS_prctl, PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
  if (::syscall(SYS_getppid) != parent) kill_self();
}

CHILD_CODE int become_command(void* argument) {
  const auto* request = static_cast<const command_request*>(argument);
  // A tar that outlived a killed supervisor would go on writing into what the
  // next one clears away.
  die_with_parent(request->intermediate);
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
  die_with_parent(request->caller);
  request->intermediate = static_cast<pid_t>(::syscall(SYS_getpid));
  // We ignore SIGPIPE; the command must not inherit that, nor anything else.
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) (void)::sigaction(sig, &default_action, nullptr);
  const int pid = start_child(become_command, request->command_stack_top, SIGCHLD, argument);
  // The command holds what it needs. Copies of our descriptors here would
  // keep the run file's lock (and the data directory's) held after a
  // supervisor killed meanwhile, shutting out the next one until tar ends.
  close_descriptors_from(0);
  int status = 0;
  if (pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status))
    exit_child(WEXITSTATUS(status));
  if (pid > 0 && WIFSIGNALED(status)) *request->command_signal = WTERMSIG(status);
  // Not started, or ended by a signal: end the same way, without a core dump
  // of the memory we share.
  kill_self();
}

// The two children's stacks. Both children have ended (or executed) before
// the caller goes on, so the mapping is unused when it is given back. It is
// shared, so that the ending signal written at its bottom (far below what the
// command's few calls use of their stack) reaches us also from the forked
// copies of an emulator.
struct child_stacks {
  unsigned char* base = nullptr;
  child_stacks() {
    void* mapped = ::mmap(nullptr, 2 * child_stack_bytes, PROT_READ | PROT_WRITE,
                          MAP_SHARED | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (mapped != MAP_FAILED) base = static_cast<unsigned char*>(mapped);
  }
  ~child_stacks() {
    if (base != nullptr) (void)::munmap(base, 2 * child_stack_bytes);
  }
  child_stacks(const child_stacks&) = delete;
  child_stacks& operator=(const child_stacks&) = delete;
};

}  // namespace

int spawn_and_wait(const char* file, char* const argv[], int stdin_fd, int* ending_signal) {
  const unique_fd null_fd(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  if (!null_fd) return -1;
  // Mapped for this call and unmapped after it, so that the pages the
  // children write do not stay with the daemon for its life.
  const child_stacks stacks;
  if (stacks.base == nullptr) return -1;
  auto* command_signal = reinterpret_cast<int*>(stacks.base);
  *command_signal = 0;
  command_request request{
      ::getpid(),    0, file, argv, stdin_fd, null_fd.get(), {}, stacks.base + child_stack_bytes,
      command_signal};
  sigset_t all{};
  (void)::sigfillset(&all);
  // No handler may run on a borrowed stack.
  if (::pthread_sigmask(SIG_SETMASK, &all, &request.caller_mask) != 0) return -1;
  const int pid = start_child(wait_for_command, stacks.base + 2 * child_stack_bytes, 0, &request);
  (void)::pthread_sigmask(SIG_SETMASK, &request.caller_mask, nullptr);
  if (pid < 0) return -1;
  int status = 0;
  if (retry_on_eintr(::waitpid, pid, &status, __WALL) < 0) return -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (ending_signal != nullptr) *ending_signal = *command_signal;
  return -1;
}
