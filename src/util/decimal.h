// Decimal numbers as JSON writes them, read without the C library's strtod,
// whose exact conversion is the largest part of a static musl daemon.
#pragma once

// Reads an optional sign, digits with an optional '.', and an optional
// exponent, as strtod does for such text; `*end` gets the first byte not
// used, or `text` when there are no digits. Exact (correctly rounded) for up
// to 19 significant digits with a power of ten up to 22 and a mantissa below
// 2^53, which covers every number the daemon reads or writes; others may be a
// few units of the last bit off. Beyond a double's range: infinity or 0.
[[nodiscard]] double read_decimal(const char* text, char** end);
