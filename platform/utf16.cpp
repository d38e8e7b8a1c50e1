// Little-endian UTF-16 to UTF-8, as the settings file reader needs it.
#include "utf16.h"

static size_t PutCodePoint(unsigned long cp, char *out)
{
    if (cp < 0x80) {
        out[0] = (char)cp;
        return 1;
    }
    if (cp < 0x800) {
        out[0] = (char)(0xC0 | (cp >> 6));
        out[1] = (char)(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = (char)(0xE0 | (cp >> 12));
        out[1] = (char)(0x80 | ((cp >> 6) & 0x3F));
        out[2] = (char)(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = (char)(0xF0 | (cp >> 18));
    out[1] = (char)(0x80 | ((cp >> 12) & 0x3F));
    out[2] = (char)(0x80 | ((cp >> 6) & 0x3F));
    out[3] = (char)(0x80 | (cp & 0x3F));
    return 4;
}

size_t ConvertUtf16ToUtf8(const unsigned char *in, size_t units, char *out)
{
    size_t written = 0;
    size_t i = 0;

    while (i < units) {
        unsigned long unit = in[2 * i] | ((unsigned long)in[2 * i + 1] << 8);
        i++;
        if (unit >= 0xD800 && unit <= 0xDBFF && i < units) {
            unsigned long low = in[2 * i] | ((unsigned long)in[2 * i + 1] << 8);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                i++;
                // A pair takes two units and yields four bytes: within the
                // three bytes per unit that the caller provides.
                written += PutCodePoint(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00), out + written);
                continue;
            }
        }
        if (unit >= 0xD800 && unit <= 0xDFFF)
            unit = 0xFFFD;
        written += PutCodePoint(unit, out + written);
    }
    return written;
}
