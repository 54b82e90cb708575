// Killing every process of a program name, as the supervisor's own
// "killall -9 <name>" command.
#pragma once

#include <cstddef>

// Runs killall with the name as one literal argument (never through a shell),
// its output discarded, and waits for it on the calling thread. Safe to call
// from either thread.
void kill_by_name(const char* name);

// What /proc shows of a live process under the names a killall looks at.
struct process_names {
  const char* command;    // the kernel's name: at most 15 bytes of the file name it executed
  const char* arguments;  // its command line, each argument ended by a NUL
  std::size_t arguments_length;
  const char* executable;  // the target of its exe link; empty when unknown
};

// Whether a killall may take the process for `name`: by its kernel name (as
// far as the kernel keeps it), or by the file name of its first or second
// argument (an interpreter runs a script as the second) or of its executable.
// Wider than any killall on purpose: a wrong yes costs one killall run. A name
// with a slash, which a killall may match by the file itself, always says yes.
[[nodiscard]] bool may_be_named(const process_names& process, const char* name);

// Whether some live process may be taken for one of the names (see
// may_be_named); also yes when /proc cannot be read through, so that killall
// then runs as always. Main thread only.
[[nodiscard]] bool any_may_be_named(const char* const* names, int count);
