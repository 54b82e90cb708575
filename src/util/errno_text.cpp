#include "util/errno_text.h"

#include <cerrno>
#include <cstddef>

namespace {

struct errno_entry {
  int error;
  const char* text;
};

// What execv, the loader, a failing fork or open, and an upgrade's writes can
// report. The wording is
// the one the daemon printed when it asked the C library, so that logs read
// the same on every library.
constexpr errno_entry known_errors[] = {
    {0, "Success"},
    {EPERM, "Operation not permitted"},
    {ENOENT, "No such file or directory"},
    {EINTR, "Interrupted system call"},
    {EIO, "Input/output error"},
    {ENXIO, "No such device or address"},
    {E2BIG, "Argument list too long"},
    {ENOEXEC, "Exec format error"},
    {EBADF, "Bad file descriptor"},
    {EAGAIN, "Resource temporarily unavailable"},
    {ENOMEM, "Cannot allocate memory"},
    {EACCES, "Permission denied"},
    {EFAULT, "Bad address"},
    {EBUSY, "Device or resource busy"},
    {ENODEV, "No such device"},
    {ENOTDIR, "Not a directory"},
    {EISDIR, "Is a directory"},
    {EINVAL, "Invalid argument"},
    {ENFILE, "Too many open files in system"},
    {EMFILE, "Too many open files"},
    {ETXTBSY, "Text file busy"},
    {EFBIG, "File too large"},
    {ENOSPC, "No space left on device"},
    {EROFS, "Read-only file system"},
    {EXDEV, "Invalid cross-device link"},
    {ENAMETOOLONG, "File name too long"},
    {ENOTEMPTY, "Directory not empty"},
    {ENOSYS, "Function not implemented"},
    {ELOOP, "Too many levels of symbolic links"},
    {ELIBACC, "Can not access a needed shared library"},
    {ELIBBAD, "Accessing a corrupted shared library"},
    {ELIBMAX, "Attempting to link in too many shared libraries"},
    {ELIBEXEC, "Cannot exec a shared library directly"},
    {EOVERFLOW, "Value too large for defined data type"},
    {ESTALE, "Stale file handle"},
    {EDQUOT, "Disk quota exceeded"},
};

// Writes "Unknown error <error>" without the formatting functions, which are
// not async-signal-safe.
void compose_unknown(int error, errno_text_buffer& buffer) {
  constexpr char prefix[] = "Unknown error ";
  std::size_t used = 0;
  for (char letter : prefix) {
    if (letter != '\0') buffer[used++] = letter;
  }
  // Unsigned magnitude: negating INT_MIN as an int would overflow.
  unsigned magnitude = static_cast<unsigned>(error);
  if (error < 0) {
    buffer[used++] = '-';
    magnitude = 0U - magnitude;
  }
  std::array<char, 12> digits{};
  std::size_t count = 0;
  do {
    digits[count++] = static_cast<char>('0' + magnitude % 10U);
    magnitude /= 10U;
  } while (magnitude != 0U);
  while (count > 0) buffer[used++] = digits[--count];
  buffer[used] = '\0';
}

}  // namespace

const char* errno_text(int error, errno_text_buffer& unknown) {
  for (const errno_entry& entry : known_errors) {
    if (entry.error == error) return entry.text;
  }
  compose_unknown(error, unknown);
  return unknown.data();
}
