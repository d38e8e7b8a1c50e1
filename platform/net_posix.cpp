// Sockets on POSIX systems: the platform layer's TCP operations over BSD
// sockets, with errno standing in for the Windows Sockets last-error code.
#include "platform.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

static int lastSocketError;

static void NoteSocketError(void)
{
    lastSocketError = errno;
}

int NetStartup(void)
{
    return 0;
}

NetSocket NetCreateStreamSocket(void)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        NoteSocketError();
        return NET_INVALID_SOCKET;
    }
    return (NetSocket)fd;
}

int NetBindAny(NetSocket sock, uint16_t port)
{
    struct sockaddr_in address;
    int reuse = 1;

    // A socket that could not be made fails here, with the reason that
    // NetCreateStreamSocket noted.
    if (sock == NET_INVALID_SOCKET)
        return -1;
    // Linux refuses a port that still has connections in TIME_WAIT, which
    // Windows allows; without this a restarted service waits a minute. A
    // port held by another listener still fails.
    setsockopt((int)sock, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);

    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    if (bind((int)sock, (struct sockaddr *)&address, sizeof address) != 0) {
        NoteSocketError();
        return -1;
    }
    return 0;
}

int NetListen(NetSocket sock)
{
    if (listen((int)sock, SOMAXCONN) != 0) {
        NoteSocketError();
        return -1;
    }
    return 0;
}

NetSocket NetAccept(NetSocket listener, uint32_t *peerAddress)
{
    struct sockaddr_in peer;
    socklen_t peerLength = sizeof peer;
    int fd;

    memset(&peer, 0, sizeof peer);
    fd = accept((int)listener, (struct sockaddr *)&peer, &peerLength);
    if (fd < 0) {
        NoteSocketError();
        return NET_INVALID_SOCKET;
    }
    *peerAddress = peer.sin_addr.s_addr;
    return (NetSocket)fd;
}

void NetSetReceiveTimeout(NetSocket sock, uint32_t milliseconds)
{
    struct timeval wait;
    wait.tv_sec = milliseconds / 1000;
    wait.tv_usec = (milliseconds % 1000) * 1000;
    setsockopt((int)sock, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
}

int NetReceiveByte(NetSocket sock, char *byte)
{
    for (;;) {
        ssize_t got = recv((int)sock, byte, 1, 0);
        if (got == 1)
            return 1;
        if (got == 0)
            return 0;
        if (errno == EINTR)
            continue;
        NoteSocketError();
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return NET_RECV_TIMEOUT;
        return NET_RECV_FAILED;
    }
}

void NetCloseClient(NetSocket sock)
{
    shutdown((int)sock, SHUT_RDWR);
    close((int)sock);
}

const char *NetLastErrorText(void)
{
    return strerror(lastSocketError);
}

unsigned NetSocketNumber(NetSocket sock)
{
    return (unsigned)sock;
}

uint32_t NetParseAddress(const char *text)
{
    return (uint32_t)inet_addr(text);
}

void NetFormatAddress(uint32_t address, char text[16])
{
    struct in_addr in;
    in.s_addr = address;
    inet_ntop(AF_INET, &in, text, 16);
}
