// The PROXY protocol header, both versions, taken a byte at a time: each
// byte either keeps the header possible or refuses it, and the addresses
// are read once it is whole, as the protocol's own text asks.
#include "proxy_header.h"

#include <string.h>

static const unsigned char binarySignature[12] = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D,
                                                  0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
static const char lineStart[] = "PROXY ";

// Version 2: the 13th byte (version 2 in the high bits, then the command)
// and the 14th (family and transport) for TCP over IPv4; the fixed part
// and that family's address block, as long as the header must be at least.
#define BINARY_LOCAL 0x20
#define BINARY_PROXY 0x21
#define BINARY_TCP4 0x11
#define BINARY_FIXED 16
#define BINARY_TCP4_MIN (BINARY_FIXED + 12)

void StartProxyHeader(ProxyHeader *header)
{
    memset(header, 0, sizeof *header);
}

// Reads a decimal number of at most `limit`, without leading zeros, that
// `end` follows: the text after `end`, or NULL. `text` runs up to a CR at
// the latest, so it never reads past it.
static const unsigned char *ReadNumber(const unsigned char *text, unsigned limit, char end, unsigned *value)
{
    const unsigned char *digits = text;
    unsigned number = 0;

    while (*text >= '0' && *text <= '9' && text - digits < 5)
        number = number * 10 + (unsigned)(*text++ - '0');
    if (text == digits || (*digits == '0' && text - digits > 1) || number > limit || *text != (unsigned char)end)
        return NULL;
    *value = number;
    return text + 1;
}

// Reads four decimal parts joined by dots, as version 1 writes IPv4
// addresses, into *address in network byte order.
static const unsigned char *ReadAddress(const unsigned char *text, uint32_t *address)
{
    unsigned char parts[4];
    unsigned part = 0;

    for (int i = 0; i < 4 && text != NULL; i++) {
        text = ReadNumber(text, 255, i < 3 ? '.' : ' ', &part);
        parts[i] = (unsigned char)part;
    }
    if (text != NULL)
        memcpy(address, parts, sizeof parts);
    return text;
}

// A whole version 1 line, CR LF last: only "TCP4" names a client; "TCP6"
// and "UNKNOWN" are refused with anything malformed.
static int ReadLine(ProxyHeader *header)
{
    const unsigned char *text = header->kept + sizeof lineStart - 1;
    uint32_t destination = 0;
    unsigned sourcePort = 0;
    unsigned destinationPort = 0;

    if (header->length < (int)sizeof lineStart + 4 || memcmp(text, "TCP4 ", 5) != 0)
        return PROXY_HEADER_REFUSED;
    text = ReadAddress(text + 5, &header->address);
    if (text != NULL)
        text = ReadAddress(text, &destination);
    if (text != NULL)
        text = ReadNumber(text, 65535, ' ', &sourcePort);
    if (text != NULL)
        text = ReadNumber(text, 65535, '\r', &destinationPort);
    if (text == NULL)
        return PROXY_HEADER_REFUSED;
    header->port = (uint16_t)sourcePort;
    return PROXY_HEADER_CLIENT;
}

// Version 1: "PROXY " and the rest of a line that ends in CR LF within 107
// bytes; a CR or LF alone refuses it.
static int TakeLineByte(ProxyHeader *header, int at, unsigned char byte)
{
    if (at < (int)sizeof lineStart - 1)
        return byte == (unsigned char)lineStart[at] ? PROXY_HEADER_MORE : PROXY_HEADER_REFUSED;
    if (byte == '\n')
        return header->kept[at - 1] == '\r' ? ReadLine(header) : PROXY_HEADER_REFUSED;
    if (header->kept[at - 1] == '\r' || at == PROXY_LINE_MAX - 1)
        return PROXY_HEADER_REFUSED;
    return PROXY_HEADER_MORE;
}

// Version 2: the signature, version 2 with LOCAL or PROXY, for PROXY the
// family TCP over IPv4, and as many bytes as the length field says, within
// PROXY_HEADER_MAX. LOCAL's family and addresses are ignored, as the
// protocol asks.
static int TakeBinaryByte(ProxyHeader *header, int at, unsigned char byte)
{
    int local = at > 12 && header->kept[12] == BINARY_LOCAL;

    if (at < (int)sizeof binarySignature)
        return byte == binarySignature[at] ? PROXY_HEADER_MORE : PROXY_HEADER_REFUSED;
    if (at == 12)
        return byte == BINARY_LOCAL || byte == BINARY_PROXY ? PROXY_HEADER_MORE : PROXY_HEADER_REFUSED;
    if (at == 13)
        return local || byte == BINARY_TCP4 ? PROXY_HEADER_MORE : PROXY_HEADER_REFUSED;
    if (at == 14)
        return PROXY_HEADER_MORE;
    if (at == 15) {
        header->total = BINARY_FIXED + (header->kept[14] << 8 | byte);
        if (header->total > PROXY_HEADER_MAX || (!local && header->total < BINARY_TCP4_MIN))
            return PROXY_HEADER_REFUSED;
    }
    if (header->length < header->total)
        return PROXY_HEADER_MORE;
    if (local)
        return PROXY_HEADER_LOCAL;
    memcpy(&header->address, header->kept + BINARY_FIXED, 4);
    header->port = (uint16_t)(header->kept[BINARY_FIXED + 8] << 8 | header->kept[BINARY_FIXED + 9]);
    return PROXY_HEADER_CLIENT;
}

int TakeProxyHeaderBytes(ProxyHeader *header, const char *bytes, int size, int *taken)
{
    int result = PROXY_HEADER_MORE;

    *taken = 0;
    while (result == PROXY_HEADER_MORE && *taken < size) {
        unsigned char byte = (unsigned char)bytes[(*taken)++];
        int at = header->length++;
        if (at < PROXY_LINE_MAX)
            header->kept[at] = byte;
        if (header->kept[0] == 'P')
            result = TakeLineByte(header, at, byte);
        else
            result = TakeBinaryByte(header, at, byte);
    }
    return result;
}
