// The PROXY protocol header that a load balancer puts before a relayed
// connection's own bytes to name the client it relays: version 1, a text
// line, or version 2, binary. A pure parser, bounded and fed as the bytes
// come, which never takes a byte past the header.
#ifndef VARN_PROXY_HEADER_H
#define VARN_PROXY_HEADER_H

#include <stdint.h>

// The longest header taken: the protocol keeps both versions within the
// smallest TCP segment every host must take, 536 bytes; a version 1 line,
// CR LF included, within 107.
#define PROXY_HEADER_MAX 536
#define PROXY_LINE_MAX 107

// Results of TakeProxyHeaderBytes.
#define PROXY_HEADER_MORE 0        // not whole yet
#define PROXY_HEADER_CLIENT 1      // TCP over IPv4: address and port name the client
#define PROXY_HEADER_LOCAL 2       // version 2 LOCAL: the proxy's own connection, a health check
#define PROXY_HEADER_REFUSED (-1)  // missing, malformed, too long, UNKNOWN, or another family

// A header being read. `kept` holds its first bytes: a version 1 line
// whole, of version 2 the fixed part and an IPv4 address block; the rest of
// a longer version 2 header (its type-length-value fields) is only counted.
typedef struct ProxyHeader {
    int length;        // bytes taken
    int total;         // version 2, once its length field is in: the whole header's length
    uint32_t address;  // with PROXY_HEADER_CLIENT: the client's IPv4 address, network byte order
    uint16_t port;     // and its port, host byte order
    unsigned char kept[PROXY_LINE_MAX];
} ProxyHeader;

void StartProxyHeader(ProxyHeader *header);

// Takes the first of `size` bytes, one at a time, up to the header's end
// at most, and sets *taken to how many it took. Returns PROXY_HEADER_MORE
// when it took them all and the header is not whole yet; otherwise the
// header's result, as soon as the bytes taken decide it (a header that can
// no longer be one is refused at its first wrong byte).
int TakeProxyHeaderBytes(ProxyHeader *header, const char *bytes, int size, int *taken);

#endif
