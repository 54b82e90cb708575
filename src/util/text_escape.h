// Names and lines from files that other programs write, made safe to print:
// a name must neither split a line nor steer a terminal, and JSON must stay
// UTF-8.
#pragma once

#include <cstddef>

// Copies `text` into `out` (room for `size` bytes, terminated), writing each
// control byte (below 0x20, 0x7f and the C1 controls U+0080 to U+009F) and
// each byte that is not part of valid UTF-8 as "\xNN", and a backslash as
// "\\". False when the text was cut (never inside an escape).
bool escape_text(const char* text, char* out, std::size_t size);

// Copies `text` into `out` with every byte that is not part of valid UTF-8
// replaced by U+FFFD. False when the text was cut (never inside a character).
bool replace_invalid_utf8(const char* text, char* out, std::size_t size);
