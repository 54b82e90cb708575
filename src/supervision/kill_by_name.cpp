#include "supervision/kill_by_name.h"

#include "util/spawn.h"

void kill_by_name(const char* name) {
  // The name is one argument, never shell text: a configured name such as
  // "x;reboot" must not run anything. "--" keeps a name like "-e" a name, and
  // is passed only then: some killall programs take it for one more name.
  const bool looks_like_option = name[0] == '-';
  char* const argv[] = {const_cast<char*>("killall"), const_cast<char*>("-9"),
                        const_cast<char*>(looks_like_option ? "--" : name),
                        looks_like_option ? const_cast<char*>(name) : nullptr, nullptr};
  (void)spawn_and_wait("killall", argv, -1);
}
