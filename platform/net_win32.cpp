// Sockets on Windows: the platform layer's TCP operations over Windows
// Sockets 2.2, with WSAGetLastError as the source of every error text.
#include "platform.h"

#include <winsock2.h>
// These need winsock2.h first.
#include <ws2tcpip.h>
#include <mstcpip.h>

#include <stdio.h>
#include <string.h>

// Noted right after each failed call, before anything else can change the
// thread's last-error value.
static int lastSocketError;

static void NoteSocketError(void)
{
    lastSocketError = WSAGetLastError();
}

int NetStartup(void)
{
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data);
}

NetSocket NetCreateStreamSocket(void)
{
    SOCKET sock = socket(AF_INET, SOCK_STREAM, 0);
    if (sock == INVALID_SOCKET)
        NoteSocketError();
    return (NetSocket)sock;
}

int NetBindAny(NetSocket sock, uint16_t port)
{
    struct sockaddr_in address;

    // No SO_REUSEADDR: on Windows it would let a second service bind a port
    // that another one is listening on. A socket that could not be made is
    // passed on as it is and fails here with WSAENOTSOCK.
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    if (bind((SOCKET)sock, (struct sockaddr *)&address, sizeof address) == SOCKET_ERROR) {
        NoteSocketError();
        return -1;
    }
    return 0;
}

// Sockets that never block: the service waits only in NetWait.
static int MakeNonBlocking(SOCKET sock)
{
    u_long on = 1;
    return ioctlsocket(sock, FIONBIO, &on) == 0 ? 0 : -1;
}

int NetListen(NetSocket sock)
{
    if (listen((SOCKET)sock, SOMAXCONN) == SOCKET_ERROR || MakeNonBlocking((SOCKET)sock) != 0) {
        NoteSocketError();
        return -1;
    }
    return 0;
}

NetSocket NetAccept(NetSocket listener, uint32_t *peerAddress, uint16_t *peerPort)
{
    struct sockaddr_in peer;
    int peerLength = sizeof peer;
    SOCKET sock;

    memset(&peer, 0, sizeof peer);
    sock = accept((SOCKET)listener, (struct sockaddr *)&peer, &peerLength);
    if (sock == INVALID_SOCKET) {
        NoteSocketError();
        return NET_INVALID_SOCKET;
    }
    // An accepted socket takes the listener's mode; set anyway, as the
    // service relies on it.
    MakeNonBlocking(sock);
    *peerAddress = peer.sin_addr.s_addr;
    *peerPort = ntohs(peer.sin_port);
    return (NetSocket)sock;
}

int NetReceive(NetSocket sock, char *buffer, int size)
{
    int got = recv((SOCKET)sock, buffer, size, 0);
    if (got >= 0)
        return got;
    if (WSAGetLastError() == WSAEWOULDBLOCK)
        return NET_RECV_EMPTY;
    NoteSocketError();
    return NET_RECV_FAILED;
}

int NetWait(NetWaitEntry *entries, int count, int timeoutMs)
{
    static WSAPOLLFD fds[NET_WAIT_MAX];
    int ready;

    // WSAPoll refuses an empty set, which poll takes as a plain wait.
    if (count == 0) {
        Sleep(timeoutMs < 0 ? INFINITE : (DWORD)timeoutMs);
        return 0;
    }
    for (int i = 0; i < count; i++) {
        fds[i].fd = (SOCKET)entries[i].sock;
        fds[i].events = POLLRDNORM;
        fds[i].revents = 0;
    }
    // A look without waiting first, as a busy service finds a socket ready.
    ready = WSAPoll(fds, (ULONG)count, 0);
    if (ready == 0 && timeoutMs != 0)
        ready = WSAPoll(fds, (ULONG)count, timeoutMs);
    if (ready == SOCKET_ERROR) {
        NoteSocketError();
        return -1;
    }
    for (int i = 0; i < count; i++)
        entries[i].ready = fds[i].revents != 0;
    return ready;
}

int NetReserveSockets(int count, int others)
{
    // Windows sets no limit on a process's sockets that the service could
    // raise.
    (void)others;
    return count;
}

// WSAPoll watches only sockets, so the wake-up is a loopback connection:
// NetWake sends a byte on one end, the loop watches the other.
static SOCKET wakeSend = INVALID_SOCKET;
static SOCKET wakeWatch = INVALID_SOCKET;

// A wake-up byte goes at once, not after the last one's acknowledgement.
static int SendAtOnce(SOCKET sock)
{
    BOOL on = TRUE;
    return setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, (const char *)&on, sizeof on);
}

int NetWakeOpen(NetSocket *wakeSocket)
{
    struct sockaddr_in address;
    struct sockaddr_in sending;
    struct sockaddr_in peer;
    int length = sizeof address;
    int sendingLength = sizeof sending;
    SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
    int status = -1;

    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (listener == INVALID_SOCKET || bind(listener, (struct sockaddr *)&address, sizeof address) != 0 ||
        listen(listener, 1) != 0 || getsockname(listener, (struct sockaddr *)&address, &length) != 0)
        goto done;
    wakeSend = socket(AF_INET, SOCK_STREAM, 0);
    if (wakeSend == INVALID_SOCKET || SendAtOnce(wakeSend) != 0 ||
        connect(wakeSend, (struct sockaddr *)&address, sizeof address) != 0 ||
        getsockname(wakeSend, (struct sockaddr *)&sending, &sendingLength) != 0)
        goto done;
    // Any local program may connect to the listener too: only the
    // connection that comes from wakeSend is the loop's, and a few others
    // ahead of it are closed.
    for (int tries = 0; tries < 4 && wakeWatch == INVALID_SOCKET; tries++) {
        int peerLength = sizeof peer;
        SOCKET accepted = accept(listener, (struct sockaddr *)&peer, &peerLength);
        if (accepted == INVALID_SOCKET)
            goto done;
        if (peer.sin_addr.s_addr == sending.sin_addr.s_addr && peer.sin_port == sending.sin_port)
            wakeWatch = accepted;
        else
            closesocket(accepted);
    }
    if (wakeWatch == INVALID_SOCKET)
        WSASetLastError(WSAECONNREFUSED);
    else if (SendAtOnce(wakeWatch) == 0 && MakeNonBlocking(wakeSend) == 0 && MakeNonBlocking(wakeWatch) == 0)
        status = 0;
done:
    if (status == 0)
        *wakeSocket = (NetSocket)wakeWatch;
    else
        NoteSocketError();
    if (listener != INVALID_SOCKET)
        closesocket(listener);
    return status;
}

void NetWake(void)
{
    static const char byte = 1;
    // A full buffer is already ready: the byte is not needed.
    send(wakeSend, &byte, 1, 0);
}

// One read: a byte left behind only makes the next wait return at once.
void NetWakeClear(void)
{
    char bytes[64];
    recv(wakeWatch, bytes, sizeof bytes, 0);
}

int64_t ClockMs(void)
{
    return (int64_t)GetTickCount64();
}

void ClockUtcText(char text[32])
{
    SYSTEMTIME now;

    GetSystemTime(&now);
    snprintf(text, 32, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute,
             now.wSecond, now.wMilliseconds);
}

// A process's sockets cannot be listed on Windows: a connection is closed
// or looked at from outside only on POSIX systems.
// A driver's socket lives in the driver's own Windows Sockets state, which
// this process cannot duplicate by address: no connection is held, and the
// service goes through the server instead.
NetSocket NetHoldConnection(const char *localAddress, uint16_t localPort, const char *remoteAddress,
                            uint16_t remotePort)
{
    (void)localAddress;
    (void)localPort;
    (void)remoteAddress;
    (void)remotePort;
    return NET_INVALID_SOCKET;
}

int NetHeldQuiet(NetSocket held)
{
    (void)held;
    return 0;
}

void NetCutHeld(NetSocket held)
{
    (void)held;
}

void NetReleaseHeld(NetSocket held)
{
    (void)held;
}

void NetCloseClient(NetSocket sock)
{
    shutdown((SOCKET)sock, SD_BOTH);
    closesocket((SOCKET)sock);
}

int NetBytesWaiting(NetSocket sock)
{
    u_long waiting = 0;
    return ioctlsocket((SOCKET)sock, FIONREAD, &waiting) == 0 && waiting < 0x7FFFFFFF ? (int)waiting : 0;
}

const char *NetLastErrorText(void)
{
    // The C runtime's strerror knows only the errno values; for a Windows
    // Sockets code (10000 and up) it gives its text for an unknown error.
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
    const char *dotted;

    in.s_addr = address;
    // inet_ntoa returns a buffer of the socket layer's that the next call
    // overwrites, so the text is copied out at once.
    dotted = inet_ntoa(in);
    if (dotted == NULL)
        dotted = "";
    strncpy(text, dotted, 15);
    text[15] = '\0';
}

// inet_addr's own parser, without its INADDR_NONE for a failure: the
// lenient forms (octal, hexadecimal, fewer than four parts), and nothing
// after the address.
int NetParseAddressExact(const char *text, uint32_t *address)
{
    IN_ADDR in;
    LPSTR end = NULL;

    if (RtlIpv4StringToAddressA(text, FALSE, &end, &in) != 0 || end == NULL || *end != '\0')
        return -1;
    *address = in.s_addr;
    return 0;
}
