#include "supervision/supervise_loop.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "core/run_file.h"
#include "plugin_data/boot_check.h"
#include "plugin_data/upgrade.h"
#include "supervision/child_handle.h"
#include "supervision/kill_by_name.h"
#include "supervision/launch.h"
#include "supervision/restart_policy.h"
#include "util/output.h"

namespace {

inline constexpr unsigned restart_delay_s = 10;
inline constexpr int watchdog_kill_reason = 199;

int reap_any_child(int* wait_status) {
  int pid = 0;
  do {
    pid = ::waitpid(-1, wait_status, 0);
  } while (pid < 0 && errno == EINTR);  // a signal is not a failed cycle
  return pid;
}

// Sleeps before a single restart: 10 seconds, or the crash back-off.
void wait_before_restart(supervisor_state* state, ending_action action) {
  if (action == ending_action::restart_crash) {
    const unsigned delay = crash_backoff_delay(state);
    say("Will restart segv prog after %d secs\n", static_cast<int>(delay));
    (void)::sleep(delay);
  } else {
    say("Will restart normal prog after %d secs\n", static_cast<int>(restart_delay_s));
    (void)::sleep(restart_delay_s);
  }
}

}  // namespace

void kill_all_processes(supervisor_state* state) {
  for (int i = 0; i < state->process_count; ++i) {
    process_slot& slot = state->slots[i];
    // A child forked last cycle may not have executed its program yet and
    // still carries our own name, which the kill by name would miss.
    const int pid = slot.pid;
    if (pid > 0) (void)::kill(pid, SIGKILL);
    forget_child(&slot);
    kill_by_name(slot.name.data());
  }
}

int supervise_children(supervisor_state* state, int* last_control_code) {
  for (;;) {
    int wait_status = 0;
    const int pid = reap_any_child(&wait_status);
    if (pid < 0) {
      say("failed to waitpid\n");
      return -1;
    }
    int code = 0;
    int normal_exit = 0;
    const int index = decode_child_status(pid, wait_status, state, &code, &normal_exit);
    if (index >= state->process_count || index > max_processes - 1) continue;
    process_slot& slot = state->slots[index];
    (void)append_exit_line(code, normal_exit, slot.name.data(), state->run_fd);
    if (code == SIGKILL && slot.watchdog_kill != 0) code = watchdog_kill_reason;
    slot.watchdog_kill = 0;
    forget_child(&slot);
    if (normal_exit == 1) *last_control_code = code;
    const ending_action action = decide_ending(code, normal_exit);
    switch (action) {
      case ending_action::failed_boot:
        return -1;
      case ending_action::install_upgrade:
        install_upgrade_package(code);
        return 0;
      case ending_action::new_cycle:
        return 0;
      case ending_action::restart_normal:
      case ending_action::restart_crash:
        break;
    }
    wait_before_restart(state, action);
    launch_process(state, index, code);
    if (slot.pid < 0) return -1;
  }
}

void run_supervisor(supervisor_state* state) {
  int last_control_code = 0;
  for (;;) {
    kill_all_processes(state);
    state->plugin_mode = decide_plugin_mode();
    for (int i = 0; i < state->process_count && i < max_processes; ++i) {
      launch_process(state, i, last_control_code);
      if (state->slots[i].pid < 0) return;  // "failed to fork" said it all
    }
    if (supervise_children(state, &last_control_code) >= 0) continue;
    if (remove_boot_check_record() != 1) {
      say("failed for normal boot, exit\n");
      return;
    }
    say("failed boot, then clean bootchk, and try again\n");
  }
}
