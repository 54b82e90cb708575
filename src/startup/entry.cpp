#include "startup/entry.h"

#include <libgen.h>
#include <unistd.h>

#include <csignal>

#include "core/instance_lock.h"
#include "core/state.h"
#include "core/uci_directory.h"
#include "plugin_data/upgrade.h"
#include "startup/config.h"
#include "supervision/supervise_loop.h"
#include "supervision/watchdog.h"
#include "util/format.h"
#include "util/fs.h"
#include "util/json_file.h"
#include "util/output.h"
#include "util/process_setup.h"

namespace {

// "/tmp/.uci/<program name>.run"; the lock is per program name.
void compose_run_file_path(const char* program_path, supervisor_state* state) {
  text_buffer copy;
  (void)format_into(copy, "%s", program_path);  // POSIX basename may alter its argument
  (void)store_text(state, &state->run_file_path, "%s%s.run", uci_directory,
                   ::basename(copy.data()));
}

}  // namespace

void enter_program_directory(const char* program_path) {
  text_buffer copy;
  (void)format_into(copy, "%s", program_path);
  (void)!::chdir(::dirname(copy.data()));
}

int supervisor_main(int argc, char** argv) {
  close_descriptors_from(3);
  keep_standard_descriptors_open();
  prepare_standard_output();
  ignore_broken_pipes();
  use_json_pages();
  // Zero-filled, and static rather than in this frame: the detached watchdog
  // thread may still read it while the process runs its exit. The static
  // router build places its section last (cmake/state-last.ld).
  __attribute__((section(".bss.plugsup_state"))) static supervisor_state state{};
  const char* program_path = argc > 0 ? argv[0] : "";
  compose_run_file_path(program_path, &state);
  enter_program_directory(program_path);
  if (argc > 1) state.argument_flag = 1;
  // A planted link, a stranger's directory or one that others may write to
  // would hand them the run file, the alive files and the upgrade package.
  if (prepare_uci_directory(uci_directory) != 0) return 0;
  // Plugin mode runs programs from ../data/ as our user: the same treatment.
  if (prepare_uci_directory(data_directory) != 0) return 0;
  if (load_config("config", &state) != 0) {
    say("failed to init daemon\n");
    return 0;
  }
  if (take_instance_lock(program_path, &state) != 0) return 0;
  // Only the lock's winner clears them, and under the lock of ../data/: another
  // supervisor sharing it may be installing.
  remove_upgrade_leftovers();
  // An inherited "ignore" would make ended children vanish before we reap them.
  (void)std::signal(SIGCHLD, SIG_DFL);
  start_liveness_watchdog(&state);
  run_supervisor(&state);
  return 0;
}
