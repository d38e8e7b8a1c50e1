// The trusted proxy network ("Proxy IP", "Proxy Mask"): connections from it
// begin with a PROXY header that names the client they relay, and that
// client is the one admitted, logged and counted.
#ifndef VARN_PROXY_H
#define VARN_PROXY_H

#include "loop.h"

#include <stdint.h>

// The network, as "Allow IP" and "Allow Mask" give theirs: an address
// alone is one host, a mask wins. `trusted` is 0 when neither is set, and
// then nothing the service does differs.
typedef struct TrustedProxy {
    int trusted;
    uint32_t address;  // network byte order
    uint32_t mask;
} TrustedProxy;

extern TrustedProxy trustedProxy;

// Fills trustedProxy from the settings at start-up. A value that is no
// address gets a line of its own and -1: a network that cannot be told is
// not guessed at. Otherwise 0.
int SetUpProxy(void);

// The start-up line that names the network, when one is trusted.
void AnnounceProxy(void);

// True when a connection from `address` (network byte order) must begin
// with a PROXY header.
int IsFromProxy(uint32_t address);

// Takes what has arrived of a client's PROXY header. A header that names a
// client over TCP and IPv4 makes it that client (AdmitPeer): 0 when it is
// admitted and its statements are read on from the bytes after the header.
// A version 2 LOCAL header (a health check) is closed at once, with no
// line; any other end, a line (RefuseProxyHeader) and the close. Returns 1
// for those, and while the header is not whole.
int TakeProxyHeader(Client *client);

// Writes the line for a connection from the proxy network that brought no
// usable header, and counts it; the caller closes it.
void RefuseProxyHeader(Client *client);

#endif
