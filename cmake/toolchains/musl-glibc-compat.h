/* Forced into every C++ translation unit of a musl build (cmake/toolchains/musl.cmake).
 * GCC's C++ headers are configured for glibc. The daemon uses only
 * header-only parts of them (std::array, std::atomic's loads, stores and
 * exchanges, algorithms, std::unique_ptr) and links no C++ library, so what
 * those headers name from glibc is only declared here, never called:
 * - the OS definitions test the glibc version with __GLIBC_PREREQ, which musl
 *   does not define: no glibc version is present;
 * - without the C++ threads (std::mutex, std::thread) and futexes, std::atomic
 *   has no waits and notifications, which would call pthread_cond_clockwait
 *   (not in musl);
 * - the stream declarations that std::unique_ptr's header pulls in name
 *   glibc's locale type and character-class bits (only the library's stream
 *   code, which is never linked, reads them). */
#ifndef __GLIBC_PREREQ
#define __GLIBC_PREREQ(major, minor) 0
#endif
#include <bits/c++config.h>
#undef _GLIBCXX_HAS_GTHREADS
#undef _GLIBCXX_HAVE_LINUX_FUTEX
#include <locale.h>
typedef locale_t __locale_t;
enum {
  _ISupper = 1 << 8,
  _ISlower = 1 << 9,
  _ISalpha = 1 << 10,
  _ISdigit = 1 << 11,
  _ISxdigit = 1 << 12,
  _ISspace = 1 << 13,
  _ISprint = 1 << 14,
  _ISgraph = 1 << 15,
  _ISblank = 1 << 0,
  _IScntrl = 1 << 1,
  _ISpunct = 1 << 2,
  _ISalnum = 1 << 3
};
