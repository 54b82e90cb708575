// Killing every process of a program name, as the supervisor's own
// "killall -9 <name>" command.
#pragma once

// Runs killall with the name as one literal argument (never through a shell),
// its output discarded, and waits for it on the calling thread. Safe to call
// from either thread.
void kill_by_name(const char* name);
