// Whole JSON files and single members of JSON objects.
#pragma once

#include <cjson/cJSON.h>

// From here on cJSON's items, and the files read for parsing, live in pages
// mapped for them and unmapped as soon as the last of them is freed: the
// heap's allocator would keep its pages dirty for the life of the daemon after
// a parse. Main thread only, as every JSON use of the daemon; before any
// cJSON call.
void use_json_pages();

// Reads and parses the whole file; the caller owns the document. Null when the
// file is missing, empty, larger than 1 MiB, not a regular file, unreadable or
// not JSON.
[[nodiscard]] cJSON* read_json_file(const char* path);

// Member lookups ignore letter case and take the first member of that name.
// The string belongs to the document; null when the member is not a string.
[[nodiscard]] const char* json_get_string(const cJSON* object, const char* name);
// Integer value of a number (truncated), 1 for true, 0 for anything else.
[[nodiscard]] int json_get_int(const cJSON* object, const char* name);
// 1 only for the literal true.
[[nodiscard]] int json_is_true(const cJSON* object, const char* name);

// The unformatted print of a document, byte for byte as cJSON prints it (no
// white space; numbers as "%1.15g", or "%1.17g" when fifteen digits do not give
// the value back), on the heap for the caller to free; null when the heap is
// exhausted or an item cannot be printed. Printed here so that the daemon
// carries no scanf family for cJSON's number check. Members named
// `left_out` (in any case, as lookups match them) are not printed.
[[nodiscard]] char* json_print(const cJSON* item, const char* left_out = nullptr);
