// The static musl daemon's strtod, which only cJSON's number parser calls:
// the daemon's own decimal reader in place of the C library's exact one,
// which would cost a router about 6 KiB (armhf) to 10 KiB (mipsel) of flash.
#include "util/decimal.h"

extern "C" double strtod(const char* text, char** end) { return read_decimal(text, end); }
