// Connections through a load balancer: which peers must send a PROXY
// header, what becomes of a connection by its header, and the start-up
// line that names the trusted network.
#include "proxy.h"

#include "counters.h"
#include "settings.h"

#include "platform.h"

#include <string.h>

#define ALL_ONES 0xFFFFFFFFu

TrustedProxy trustedProxy;

int SetUpProxy(void)
{
    const ServiceSettings *s = &serviceSettings;

    trustedProxy.trusted = s->proxyIpFound || s->proxyMaskFound;
    trustedProxy.address = 0;
    trustedProxy.mask = s->proxyIpFound ? ALL_ONES : 0;
    if (s->proxyIpFound && NetParseAddressExact(s->proxyIp, &trustedProxy.address) != 0) {
        ConsoleLine("Proxy IP \"%s\" is not an address\n", s->proxyIp);
        return -1;
    }
    if (s->proxyMaskFound && NetParseAddressExact(s->proxyMask, &trustedProxy.mask) != 0) {
        ConsoleLine("Proxy Mask \"%s\" is not an address\n", s->proxyMask);
        return -1;
    }
    return 0;
}

void AnnounceProxy(void)
{
    char address[16];
    char mask[16];

    if (!trustedProxy.trusted)
        return;
    NetFormatAddress(trustedProxy.address, address);
    NetFormatAddress(trustedProxy.mask, mask);
    if (trustedProxy.mask == ALL_ONES)
        ConsoleLine("Trusted proxy %s\n", address);
    else
        ConsoleLine("Trusted proxy network %s %s\n", address, mask);
}

int IsFromProxy(uint32_t address)
{
    return trustedProxy.trusted && (address & trustedProxy.mask) == (trustedProxy.address & trustedProxy.mask);
}

void RefuseProxyHeader(Client *client)
{
    serviceCounters.proxyRefused++;
    // The proxy's address alone, as the Incoming line gives a client's.
    ConsoleLine("Proxy header missing or not usable from %.*s\n", (int)strcspn(client->peer, ":"), client->peer);
}

int TakeProxyHeader(Client *client)
{
    int result = ReadProxyHeader(client->sock, &client->header, &client->framing);

    if (result == PROXY_HEADER_MORE)
        return 1;
    client->readingHeader = 0;
    if (result == PROXY_HEADER_CLIENT) {
        serviceCounters.proxyClients++;
        AdmitPeer(client, client->header.address, client->header.port);
        return client->inUse ? 0 : 1;
    }
    ConsoleSetClient(client->peer);
    if (result == PROXY_HEADER_LOCAL)
        serviceCounters.proxyHealthChecks++;
    else
        RefuseProxyHeader(client);
    EndClient(client);
    ConsoleSetClient("");
    return 1;
}
