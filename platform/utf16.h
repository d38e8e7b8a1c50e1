// Conversion of little-endian UTF-16 text to UTF-8, for registry files and
// values that Windows writes in UTF-16.
#ifndef VARN_UTF16_H
#define VARN_UTF16_H

#include <stddef.h>

// Converts `units` 16-bit code units at `in` into UTF-8 at `out`, which must
// hold 3 bytes per unit. Unpaired surrogates become U+FFFD. Returns the
// number of bytes written.
size_t ConvertUtf16ToUtf8(const unsigned char *in, size_t units, char *out);

#endif
