// The shared directory /tmp/.uci/ holds the run file, the alive files and the
// upgrade package; whoever controls it controls those.
#pragma once

// Why start-up must refuse the directory at `path`: a symbolic link, or a
// directory owned by a user other than ours or root. Null when start-up may
// go on, also when the path is missing or is no directory (later steps deal
// with those). The text is static.
[[nodiscard]] const char* uci_directory_refusal(const char* path);
