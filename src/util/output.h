// Messages on standard output. Each one is flushed at once, so that none is
// lost when the daemon dies or duplicated into a forked child when standard
// output is a pipe or a file.
#pragma once

__attribute__((format(printf, 1, 2))) void say(const char* format, ...);
