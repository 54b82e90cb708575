#include "core/run_file.h"

#include <pthread.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <ctime>

#include "util/format.h"

int append_to_run_file(int descriptor, const char* bytes, int length) {
  if (descriptor <= 0) return -1;
  // The main thread and the watchdog share the descriptor and its offset.
  // A plain pthread mutex keeps the daemon free of libstdc++ at run time.
  static pthread_mutex_t append_lock = PTHREAD_MUTEX_INITIALIZER;
  (void)::pthread_mutex_lock(&append_lock);
  (void)!::write(descriptor, bytes, static_cast<std::size_t>(length));
  (void)::pthread_mutex_unlock(&append_lock);
  return 0;
}

int append_exit_line(int code, int normal_exit, const char* name, int run_fd) {
  std::array<char, 64> stamp{};
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (::localtime_r(&now, &local) == nullptr || ::asctime_r(&local, stamp.data()) == nullptr)
    stamp[0] = '\0';
  stamp[63] = '\0';
  const std::size_t stamp_length = std::strlen(stamp.data());
  if (stamp_length > 0) stamp[stamp_length - 1] = '\0';  // asctime's newline

  std::array<char, 256> line{};
  const bool whole =
      normal_exit == 1
          ? format_into(line, "%s: %s exited normally with code(%d)\n", stamp.data(), name, code)
          : format_into(line, "%s: %s killed by signal(%d)\n", stamp.data(), name, code);
  // A cut line keeps its newline, so the next event starts a line of its own.
  if (!whole) line[line.size() - 2] = '\n';
  return append_to_run_file(run_fd, line.data(), static_cast<int>(std::strlen(line.data())));
}
