#include "startup/run_file.h"

#include <cstring>
#include <ctime>

#include "util/format.h"
#include "util/fs.h"

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
