// Unit tests of code that uses the daemon's fixed paths (/tmp/.uci/, ../data/)
// run inside a private mount namespace with a fresh tmpfs on /tmp, so they
// never touch the machine's real /tmp/.uci/.
#pragma once

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

// Enters the private /tmp, creates /tmp/.uci/, /tmp/case/sup and
// /tmp/case/data, and changes into /tmp/case/sup so that "../data/" is the
// case's data directory. Returns false (with a reason) when isolation failed.
bool enter_scratch_tree(std::string* why);

// Reads a whole file; empty when missing.
std::string read_text(const std::string& path);
// Creates or truncates a file with the given content.
void write_text(const std::string& path, const std::string& content);
bool file_exists(const std::string& path);

// Makes entries below `root` from lines "d <path>" (a directory), "f <path>
// <content>", "l <path> <target>" (a symbolic link), "h <path> <file>" (a
// hard link), "m <path> <octal mode>", "c <path>" (the device 1,3) and "p
// <path>" (a FIFO), in that order.
void make_tree(const std::string& root, const std::vector<std::string>& lines);
// Every entry below `root`, links not followed, as make_tree's lines, sorted
// and joined by newlines; " mode <octal>" ends the line of a file or
// directory with a set-ID bit or a write bit of group or others, "s <path>"
// stands for anything else.
std::string tree_listing(const std::string& root);

// Runs `body` with standard output going to a file; returns what it printed.
std::string capture_stdout(const std::function<void()>& body);

// Skips the test (or fails it under CI) when isolation is not possible.
#define ENTER_SCRATCH_TREE()                            \
  do {                                                  \
    std::string why_;                                   \
    if (!enter_scratch_tree(&why_)) {                   \
      if (std::getenv("CI") != nullptr) FAIL() << why_; \
      GTEST_SKIP() << why_;                             \
    }                                                   \
  } while (0)
