// Writes CLOCK_MONOTONIC in nanoseconds to a file, then executes a command:
// the zero point from which a supervisor's start-up to its first program's
// exec is measured. Usage: stamp_exec <file> <program> [argument...]
#define _GNU_SOURCE
#include <stdio.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  struct timespec t;
  if (clock_gettime(CLOCK_MONOTONIC, &t) != 0) return 2;
  FILE* out = fopen(argv[1], "we");
  if (out == NULL) return 2;
  fprintf(out, "%lld\n", (long long)t.tv_sec * 1000000000LL + t.tv_nsec);
  if (fclose(out) != 0) return 2;
  execvp(argv[2], argv + 2);
  perror(argv[2]);
  return 127;
}
