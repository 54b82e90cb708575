#include "supervision/launch.h"

#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "supervision/child_handle.h"
#include "supervision/command_line.h"
#include "util/errno_text.h"
#include "util/fs.h"
#include "util/output.h"
#include "util/process_setup.h"

namespace {

inline constexpr int exec_failed_status = 129;

// A program from the data directory runs as our user only when nobody else
// owns it or may write to it: one planted while the directory was open to
// others stays out.
bool is_own_program(const char* path) {
  struct stat status {};
  if (::stat(path, &status) != 0) return true;  // execv says why
  return (status.st_uid == 0 || status.st_uid == ::geteuid()) && (status.st_mode & 022) == 0;
}

// Runs in the child of a two-thread process, on our stack and in our memory
// until it executes or ends: async-signal-safe calls only, and no state of
// ours written. Never inlined, so that its frames lie below the point where
// we are suspended rather than in the frame that we return through.
[[noreturn]] __attribute__((noinline)) void become_program(const command_line& line, pid_t parent,
                                                           int plugin_flag) {
  (void)::prctl(PR_SET_PDEATHSIG, SIGTERM);
  // The parent may have died before the signal was armed: never run unsupervised.
  if (::getppid() != parent) ::_exit(0);
  close_descriptors_from(3);
  restore_broken_pipes();
  // A group of its own: a program's "kill 0" or "kill -STOP 0" reaches only
  // itself, never the supervisor and its siblings.
  (void)::setpgid(0, 0);
  const bool allowed = plugin_flag == 0 || is_own_program(line.argv[0]);
  if (allowed) ::execv(line.argv[0], line.argv.data());
  const int failure = allowed ? errno : EACCES;
  // The program did not start: a reader of our output that went away must
  // not turn the 129 below into a death by SIGPIPE.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  (void)::sigaction(SIGPIPE, &ignore, nullptr);
  // We are suspended until this child ends: a reader of our output that
  // reads nothing (a stopped console, a stuck logger) must not hold us. The
  // line is shorter than PIPE_BUF, so room for it is there when the output
  // polls writable; a background write to a terminal must not stop us either.
  (void)::sigaction(SIGTTOU, &ignore, nullptr);
  struct pollfd output = {STDOUT_FILENO, POLLOUT, 0};
  if (::poll(&output, 1, 0) != 1 || (output.revents & POLLOUT) == 0) ::_exit(exec_failed_status);
  errno_text_buffer unknown;
  const char* parts[] = {"failed to exec ", line.argv[0], ", error is ",
                         errno_text(failure, unknown), "\n"};
  // One write, so that the line never mixes with another writer's.
  std::array<iovec, std::size(parts)> message{};
  for (std::size_t i = 0; i < message.size(); ++i)
    message[i] = {const_cast<char*>(parts[i]), std::strlen(parts[i])};
  (void)!::writev(STDOUT_FILENO, message.data(), static_cast<int>(message.size()));
  ::_exit(exec_failed_status);
}

}  // namespace

int spawn_child(const char* path, const char* alive_path, int restart_reason, int argument_flag,
                int plugin_flag) {
  command_line line;
  build_command_line(&line, path, alive_path, restart_reason, argument_flag, plugin_flag);
  // Our pid never changes: asked once, not at every restart.
  static pid_t parent = 0;
  if (parent == 0) parent = ::getpid();
  // The child borrows our memory until it executes, so nothing of our address
  // space is copied for a program that replaces it at once; we wait meanwhile.
  // NOLINTNEXTLINE(clang-analyzer-security.insecureAPI.vfork): we wait only until the exec
  const pid_t pid = ::vfork();
  if (pid < 0) {
    say("failed to fork\n");
    return -1;
  }
  // NOLINTNEXTLINE(clang-analyzer-unix.Vfork): async-signal-safe calls only
  if (pid == 0) become_program(line, parent, plugin_flag);
  return pid;
}

void launch_process(supervisor_state* state, int slot_index, int restart_reason) {
  process_slot& slot = state->slots[slot_index];
  std::array<char, 8192> path;
  (void)compose_program_path(path, slot.name.data(), state->plugin_mode);
  const kill_barrier no_kill_meanwhile;
  track_child(&slot, spawn_child(path.data(), slot.alive_path.data(), restart_reason,
                                 state->argument_flag, state->plugin_mode == 1 ? 1 : 0));
}
