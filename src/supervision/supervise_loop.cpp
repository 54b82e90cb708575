#include "supervision/supervise_loop.h"

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <cstdint>
#include <ctime>

#include "core/instance_lock.h"
#include "core/run_file.h"
#include "plugin_data/boot_check.h"
#include "plugin_data/upgrade.h"
#include "supervision/child_handle.h"
#include "supervision/kill_by_name.h"
#include "supervision/launch.h"
#include "supervision/process_group.h"
#include "supervision/restart_policy.h"
#include "util/output.h"
#include "util/retry.h"
#include "util/stack_pages.h"

namespace {

inline constexpr unsigned restart_delay_s = 10;
inline constexpr int watchdog_kill_reason = 199;
inline constexpr int64_t cycle_spacing_ns = 10'000'000'000;
inline constexpr int64_t ns_per_s = 1'000'000'000;
inline constexpr int64_t no_cycle_yet = INT64_MIN;

int64_t monotonic_ns() {
  timespec now{};
  (void)::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * ns_per_s + now.tv_nsec;
}

// Launch cycles begin at least 10 seconds apart, so a program that asks for
// one at every start cannot make the supervisor spin. `previous_begin_ns` is
// no_cycle_yet before the first cycle; on return it holds this cycle's beginning.
void space_launch_cycle(int64_t* previous_begin_ns) {
  if (*previous_begin_ns != no_cycle_yet) {
    const int64_t left_ns = cycle_spacing_ns - (monotonic_ns() - *previous_begin_ns);
    if (left_ns > 0) {
      const auto wait_s = static_cast<unsigned>((left_ns + ns_per_s - 1) / ns_per_s);
      say("Will restart all progs after %d secs\n", static_cast<int>(wait_s));
      (void)::sleep(wait_s);
    }
  }
  *previous_begin_ns = monotonic_ns();
}

// A signal is not a failed cycle.
int reap_any_child(int* wait_status) { return retry_on_eintr(::waitpid, -1, wait_status, 0); }

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
  // A child forked last cycle may not have executed its program yet and
  // still carries our own name, which the kill by name would miss.
  for (int i = 0; i < state->process_count; ++i)
    if (const int pid = state->slots[i].pid; pid > 0) (void)::kill(pid, SIGKILL);
  // Their helpers too, and what is left of the groups of programs that ended.
  end_all_groups(state);
  // Mostly nothing of these names runs (after boot, or once they all ended):
  // one look through /proc then spares starting killall for each name.
  std::array<const char*, max_processes> names{};
  const int count = state->process_count < max_processes ? state->process_count : max_processes;
  for (int i = 0; i < count; ++i) names[i] = state->slots[i].name.data();
  const bool some_may_run = any_may_be_named(names.data(), count);
  for (int i = 0; i < state->process_count; ++i) {
    forget_child(&state->slots[i]);
    if (some_may_run) kill_by_name(state->slots[i].name.data());
  }
}

int supervise_children(supervisor_state* state, int* last_control_code) {
  // The wait may last the life of the daemon: the stack pages that start-up,
  // an upgrade and the cycle's launches touched go back first. Once a cycle,
  // not before every wait: a single restart's launch would only fault the
  // same few pages back in, at two system calls' cost per restart.
  release_unused_stack();
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
    // Before the exit line, which belongs in the run file we hold.
    off_t run_file_size = -1;
    if (keep_instance_lock(state, &run_file_size) != 0) return supervisor_ends;
    process_slot& slot = state->slots[index];
    (void)append_exit_line(code, normal_exit, slot.name.data(), state->run_fd, run_file_size);
    if (code == SIGKILL && slot.watchdog_kill != 0) code = watchdog_kill_reason;
    slot.watchdog_kill = 0;
    forget_child(&slot);
    warn_group_of_ended(index, pid);
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
    end_lingering_group(state, index);
    launch_process(state, index, code);
    if (slot.pid < 0) return -1;
  }
}

namespace {

void run_launch_cycles(supervisor_state* state) {
  int last_control_code = 0;
  int64_t cycle_begin_ns = no_cycle_yet;
  for (;;) {
    space_launch_cycle(&cycle_begin_ns);
    // Another supervisor that took over the run file runs programs of our
    // names: end before killing them.
    if (keep_instance_lock(state) != 0) return;
    kill_all_processes(state);
    state->plugin_mode = decide_plugin_mode();
    for (int i = 0; i < state->process_count && i < max_processes; ++i) {
      launch_process(state, i, last_control_code);
      if (state->slots[i].pid < 0) return;  // "failed to fork" said it all
    }
    const int cycle = supervise_children(state, &last_control_code);
    if (cycle == supervisor_ends) return;
    if (cycle >= 0) continue;
    if (remove_boot_check_record() != 1) {
      say("failed for normal boot, exit\n");
      return;
    }
    say("failed boot, then clean bootchk, and try again\n");
  }
}

}  // namespace

void run_supervisor(supervisor_state* state) {
  run_launch_cycles(state);
  // The programs get SIGTERM through their parent-death signal; their
  // helpers would not.
  end_all_groups(state);
}
