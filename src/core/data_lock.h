// The lock of ../data/: supervisors that share the directory install into it
// and clear it one at a time.
#pragma once

// How long an installation or start-up's clean-up waits for another
// supervisor that installs into the same directory.
inline constexpr int data_lock_wait_s = 60;

// Main thread. Locks the data directory open as `data`: an exclusive lock on
// "/tmp/.uci/.data-<device>-<inode>.lock", a 0600 file of ours named after the
// directory, so that no other user can hold or wait for it and no file of
// ours appears in the directory. Waits at most data_lock_wait_s, saying so.
// The lock's descriptor (close-on-exec; the lock goes with it), or -1 after
// printing.
[[nodiscard]] int lock_data_directory_of(int data);
