#include "util/fs.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>

#include "support/scratch_tree.h"

namespace {

class fs_test : public ::testing::Test {
 protected:
  void SetUp() override { ENTER_SCRATCH_TREE(); }
};

// copy_file from a source opened by path, as the caller opens it.
int copy_path(const char* source, const char* destination) {
  const int fd = ::open(source, O_RDONLY | O_CLOEXEC);
  const int result = copy_file(fd, destination);
  if (fd >= 0) ::close(fd);
  return result;
}

mode_t permissions(const char* path) {
  struct stat status {};
  EXPECT_EQ(::stat(path, &status), 0) << path;
  return status.st_mode & 07777;
}

TEST_F(fs_test, copy_file_copies_bytes_and_sets_mode_only_on_creation) {
  std::string big(2500, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  write_text("source", big);
  write_text("empty", "");
  const mode_t old_mask = ::umask(022);
  EXPECT_EQ(copy_path("source", "fresh"), 0);
  EXPECT_EQ(read_text("fresh"), big);
  EXPECT_EQ(permissions("fresh"), 0700u & ~022u);

  write_text("existing", std::string(5000, 'x'));
  ::chmod("existing", 0640);
  EXPECT_EQ(copy_path("empty", "existing"), 0);
  EXPECT_EQ(read_text("existing"), "");
  EXPECT_EQ(permissions("existing"), 0640u);
  ::umask(old_mask);
}

TEST_F(fs_test, copy_file_failures_report_and_keep_the_destination) {
  write_text("keep", "precious");
  const std::string said = capture_stdout([] { EXPECT_EQ(copy_path("missing", "keep"), -1); });
  EXPECT_EQ(said, "Failed to read or write, in, -1, out, -1\n");
  EXPECT_EQ(read_text("keep"), "precious");  // not truncated for nothing

  write_text("source", "abc");
  ::mkdir("a_directory", 0755);
  const std::string said_too =
      capture_stdout([] { EXPECT_EQ(copy_path("source", "a_directory"), -1); });
  EXPECT_NE(said_too.find("Failed to read or write, in, "), std::string::npos);
  EXPECT_NE(said_too.find(", out, -1\n"), std::string::npos);
}

TEST_F(fs_test, ensure_directory_cases) {
  EXPECT_EQ(ensure_directory("made"), 0);
  EXPECT_TRUE(file_exists("made"));
  EXPECT_EQ(ensure_directory("made"), 0);
  write_text("plain_file", "x");
  EXPECT_EQ(ensure_directory("plain_file"), 0);
  const std::string said =
      capture_stdout([] { EXPECT_EQ(ensure_directory("no/such/parent"), -1); });
  EXPECT_EQ(said, "mkdir (no/such/parent) error: No such file or directory");
}

TEST_F(fs_test, atomic_writes) {
  write_text("record", "old content that is longer");
  EXPECT_EQ(replace_file_atomically("record", "{\"a\":1}", 7), 0);
  EXPECT_EQ(read_text("record"), "{\"a\":1}");
  EXPECT_EQ(replace_file_atomically("no/such/dir/file", "x", 1), -1);
  EXPECT_EQ(system("test $(ls -A | grep -c record) -eq 1"), 0) << "temporary file left behind";
}

#ifdef SYS_close_range
// In a child: close_range answers ENOSYS, as before Linux 5.9, and a close of
// any number from 1,000 on kills the child. Only what is open may be closed,
// whatever the limit.
TEST_F(fs_test, close_descriptors_from_without_close_range_closes_what_is_open) {
  constexpr int no_filter_status = 3;
  rlimit limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_max <= 1000) GTEST_SKIP() << "hard descriptor limit " << limit.rlim_max;
  const pid_t pid = ::fork();
  if (pid == 0) {
    limit.rlim_cur = limit.rlim_max;
    const int high = ::dup2(::open("/dev/null", O_RDONLY), 950);
    sock_filter program[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_close_range, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_close, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
        BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, 1000, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog filter{static_cast<unsigned short>(std::size(program)), program};
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) ::_exit(2);
    // qemu-user refuses filters (they would judge its own calls).
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) != 0)
      ::_exit(no_filter_status);
    close_descriptors_from(3);
    ::_exit(high == 950 && ::fcntl(950, F_GETFD) < 0 && ::fcntl(2, F_GETFD) >= 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  if (WIFEXITED(status) && WEXITSTATUS(status) == no_filter_status)
    GTEST_SKIP() << "no seccomp filter here";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}
#endif

TEST_F(fs_test, close_descriptors_from_keeps_standard_streams) {
  // In a child, so the test runner's own descriptors survive.
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int high = ::open("/dev/null", O_RDONLY);
    const int higher = ::dup2(high, 900);
    close_descriptors_from(-5);  // starts at 3 all the same
    const bool closed = ::fcntl(high, F_GETFD) < 0 && ::fcntl(higher, F_GETFD) < 0;
    const bool kept =
        ::fcntl(0, F_GETFD) >= 0 && ::fcntl(1, F_GETFD) >= 0 && ::fcntl(2, F_GETFD) >= 0;
    ::_exit(closed && kept ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
