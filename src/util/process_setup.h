// Making the daemon's own process sturdy against how it was started, without
// changing what its children inherit.
#pragma once

// Opens /dev/null in place of a closed standard input, output or error, so
// that no file the daemon opens later (the run file above all) takes their
// numbers.
void keep_standard_descriptors_open();

// Chooses how messages reach standard output without ever waiting for its
// reader. A pipe, FIFO or character device gets a private non-blocking
// description of its own (the shared one keeps its flags: the children write
// through it), a socket non-blocking sends, a regular file plain writes.
// Call after keep_standard_descriptors_open, before any thread exists.
void prepare_standard_output();

// Ignores SIGPIPE, so that a reader of standard output that went away cannot
// end the daemon; remembers what was inherited.
void ignore_broken_pipes();

// In a forked child before exec: gives back the inherited SIGPIPE
// disposition. Async-signal-safe.
void restore_broken_pipes();
