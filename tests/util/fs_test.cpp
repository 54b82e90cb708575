#include "util/fs.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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
