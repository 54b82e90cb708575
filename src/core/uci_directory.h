// The shared directory /tmp/.uci/ holds the run file, the alive files and the
// upgrade package; ../data/ holds the programs run as root in plugin mode.
// Whoever controls either controls those: both get the same treatment.
#pragma once

// Why start-up must refuse the directory at `path`: a symbolic link, or a
// directory owned by a user other than ours or root. Null when start-up may
// go on, also when the path is missing or is no directory (later steps deal
// with those). The text is static.
[[nodiscard]] const char* uci_directory_refusal(const char* path);

// Makes sure that `path` is a directory only its owner may write to: refuses
// it as above, creates it with mode 0755 whatever the umask, and takes the
// write bits of group and others from an existing one, saying so. 0, or -1
// after printing why start-up must end; a file of that name is refused too.
[[nodiscard]] int prepare_uci_directory(const char* path);

// Judges the directory open at `directory`, found at `path`, as above once
// it exists: a link at `path` or a stranger's directory is refused, the
// write bits of group and others are taken away, each with a line. 0, or -1
// after the line: the caller must not use the directory.
[[nodiscard]] int guard_open_directory(int directory, const char* path);
