#include "supervision/child_handle.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "supervision/kill_by_name.h"

namespace {

// Held while a handle is opened, used or closed: the watchdog never signals
// through a descriptor that the main thread closed or that now names another
// file.
pthread_mutex_t handle_lock = PTHREAD_MUTEX_INITIALIZER;

// Held by a watchdog kill from its check of the slot to the end of its kill
// by name, and by the main thread while it starts a program.
pthread_mutex_t kill_lock = PTHREAD_MUTEX_INITIALIZER;

class handle_guard {
 public:
  handle_guard() { (void)::pthread_mutex_lock(&handle_lock); }
  ~handle_guard() { (void)::pthread_mutex_unlock(&handle_lock); }
  handle_guard(const handle_guard&) = delete;
  handle_guard& operator=(const handle_guard&) = delete;
};

// The child cannot have been reaped yet: only the main thread, which calls
// this, reaps slot children. -1 when the kernel has no pidfds.
int open_handle(int pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0U));  // close-on-exec by itself
#else
  (void)pid;
  errno = ENOSYS;
  return -1;
#endif
}

// 0 when sent, -1 with ENOSYS when this kernel cannot send through a handle.
int signal_handle(int pidfd, int sig) {
#ifdef SYS_pidfd_send_signal
  return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0U));
#else
  (void)pidfd;
  (void)sig;
  errno = ENOSYS;
  return -1;
#endif
}

}  // namespace

void track_child(process_slot* slot, int pid) {
  const int pidfd = pid > 0 ? open_handle(pid) : -1;
  const handle_guard guard;
  if (slot->pidfd > 0) (void)::close(slot->pidfd);
  slot->pid = pid;
  slot->pidfd = pidfd;
}

void forget_child(process_slot* slot) {
  const handle_guard guard;
  slot->pid = 0;
  if (slot->pidfd > 0) (void)::close(slot->pidfd);
  slot->pidfd = 0;
}

namespace {

void kill_tracked_child(process_slot* slot) {
  const handle_guard guard;
  if (slot->pidfd > 0 && (signal_handle(slot->pidfd, SIGKILL) == 0 || errno != ENOSYS)) return;
  // Only without a handle (no pidfds, or none could be opened): a pid that
  // the main thread reaped a moment ago may then name another process.
  const int pid = slot->pid;
  if (pid > 0) (void)::kill(pid, SIGKILL);
}

}  // namespace

bool kill_unresponsive_child(process_slot* slot, int pid) {
  (void)::pthread_mutex_lock(&kill_lock);
  // Checked under the lock: no start of a program can come between.
  const bool still_running = slot->pid == pid;
  if (still_running) {
    // Marked before the kill, so the loop always reaps the child as a watchdog kill.
    slot->watchdog_kill = 1;
    // The tracked child first: the kill by name misses it when killall is
    // missing or finds the program under another name.
    kill_tracked_child(slot);
    kill_by_name(slot->name.data());
  }
  (void)::pthread_mutex_unlock(&kill_lock);
  return still_running;
}

kill_barrier::kill_barrier() { (void)::pthread_mutex_lock(&kill_lock); }
kill_barrier::~kill_barrier() { (void)::pthread_mutex_unlock(&kill_lock); }
