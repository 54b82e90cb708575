#include "util/errno_text.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

namespace {

// The texts must match what the C library these tests run on says, for every
// value an exec, the loader or an upgrade's moves and writes can report.
TEST(errno_text_test, known_values_read_as_the_c_library_words_them) {
  const int table[] = {
      0,        EPERM,     ENOENT,  EINTR,        EIO,       ENXIO,  E2BIG,   ENOEXEC, EBADF,
      EAGAIN,   ENOMEM,    EACCES,  EFAULT,       EBUSY,     ENODEV, ENOTDIR, EISDIR,  EINVAL,
      ENFILE,   EMFILE,    ETXTBSY, ENAMETOOLONG, ENOSYS,    ELOOP,  ELIBACC, ELIBBAD, ELIBMAX,
      ELIBEXEC, EOVERFLOW, ESTALE,  EXDEV,        ENOTEMPTY, EROFS,  EFBIG,   EDQUOT,  ENOSPC};
  for (int error : table) {
    errno_text_buffer unknown{};
    EXPECT_STREQ(errno_text(error, unknown), std::strerror(error)) << "errno " << error;
  }
}

TEST(errno_text_test, other_values_are_unknown_errors_with_their_number) {
  const struct {
    int error;
    const char* expected;
  } table[] = {
      {4095, "Unknown error 4095"},
      {-1, "Unknown error -1"},
      {INT_MAX, "Unknown error 2147483647"},
      {INT_MIN, "Unknown error -2147483648"},
  };
  for (const auto& row : table) {
    errno_text_buffer unknown{};
    unknown.fill('x');
    EXPECT_STREQ(errno_text(row.error, unknown), row.expected);
  }
}

}  // namespace
