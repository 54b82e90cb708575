#include "supervision/restart_policy.h"

#include <csignal>

#include "util/output.h"

int decode_child_status(int pid, int wait_status, const supervisor_state* state, int* code,
                        int* normal_exit) {
  int index = 0;
  while (index < state->process_count && state->slots[index].pid != pid) ++index;
  if (index >= state->process_count) {
    say("No such pid(%d) for reexec\n", pid);
    return state->process_count;
  }
  *normal_exit = 0;
  if ((wait_status & 0x7f) == 0) {
    *code = (wait_status >> 8) & 0xff;
    *normal_exit = 1;
  } else if ((wait_status & 0xffff) >= 1 && (wait_status & 0xffff) <= 255) {
    *code = wait_status & 0x7f;
  }
  return index;
}

unsigned crash_backoff_delay(supervisor_state* state) {
  const unsigned crashes = ++state->crash_count;
  return crashes <= 3 ? 600 * crashes - 540 : 7200;
}

ending_action decide_ending(int code, int normal_exit) {
  if (normal_exit == 1) {
    switch (code) {
      case 129:
        return ending_action::failed_boot;
      case 130:
      case 131:
      case 132:
        return ending_action::install_upgrade;
      case 160:
        return ending_action::new_cycle;
      default:
        return ending_action::restart_normal;
    }
  }
  return code == SIGSEGV ? ending_action::restart_crash : ending_action::restart_normal;
}
