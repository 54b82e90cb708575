// Runs a program as an older x86-64 kernel would: every system call from a
// given number on answers ENOSYS, for the program and everything it starts.
//
// Usage: old_kernel <first-missing-call> <path> <argv0> [args...]
//   326: nothing newer than Linux 4.4 (copy_file_range is the first after it)
//   314: nothing newer than Linux 3.10 (sched_setattr is the first after it)
// At 314 and below, the flags those kernels lack answer as they would:
// fcntl's open-file-description locks (3.15) fail with EINVAL, and open and
// openat with O_TMPFILE (3.11) fail with EISDIR.
//
// Linked statically: a dynamic launcher would load the time-scaling library
// itself and take the environment meant for the program it runs.
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

enum {
  last_call_of_3_10 = 313,
  x32_bit = 0x40000000,
  ofd_getlk = 36,  // F_OFD_GETLK .. F_OFD_SETLKW
  ofd_setlkw = 38,
  tmpfile_bit = 020000000,  // __O_TMPFILE
};

#define LOAD(field) BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, field))
#define ANSWER(value) BPF_STMT(BPF_RET | BPF_K, (value))
#define FAIL_WITH(error) ANSWER(SECCOMP_RET_ERRNO | ((error)&SECCOMP_RET_DATA))
#define LOW_ARG(n) LOAD(args[n])  // little-endian: the low 32 bits

static void usage(void) {
  fprintf(stderr, "usage: old_kernel <first-missing-call> <path> <argv0> [args...]\n");
  exit(125);
}

int main(int argc, char** argv) {
  if (argc < 4) usage();
  char* end = NULL;
  const long first = strtol(argv[1], &end, 10);
  if (*end != '\0' || first <= 0 || first >= x32_bit) usage();
  const __u32 old_flags = first <= last_call_of_3_10 + 1 ? 1 : 0;
  struct sock_filter program[] = {
      // Only native x86-64 calls are judged; x32 numbers lie above any limit.
      LOAD(arch),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
      ANSWER(SECCOMP_RET_ALLOW),
      LOAD(nr),
      BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, (__u32)first, 0, 1),
      FAIL_WITH(ENOSYS),
      // [6] Flags newer than 3.10, judged only at that level.
      BPF_STMT(BPF_JMP | BPF_JA, old_flags ? 0 : 12),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_fcntl, 0, 4),
      LOW_ARG(1),
      BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, ofd_getlk, 0, 9),
      BPF_JUMP(BPF_JMP | BPF_JGT | BPF_K, ofd_setlkw, 8, 0),
      FAIL_WITH(EINVAL),
      // [12] The accumulator still holds the call's number.
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_open, 0, 2),
      LOW_ARG(1),
      BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, tmpfile_bit, 3, 4),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat, 0, 3),
      LOW_ARG(2),
      BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, tmpfile_bit, 0, 1),
      FAIL_WITH(EISDIR),
      // [19]
      ANSWER(SECCOMP_RET_ALLOW),
  };
  struct sock_fprog filter = {(unsigned short)(sizeof program / sizeof program[0]), program};
  // Root may install a filter as it is; anyone else needs no_new_privs.
  if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) != 0) {
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) != 0) {
      fprintf(stderr, "old_kernel: cannot install the filter: %s\n", strerror(errno));
      return 125;
    }
  }
  execv(argv[2], argv + 3);
  fprintf(stderr, "old_kernel: cannot execute %s: %s\n", argv[2], strerror(errno));
  return 127;
}
