// Sockets on Windows: the platform layer's TCP operations over Windows
// Sockets 2.2, with WSAGetLastError as the source of every error text.
#include "platform.h"

#include <winsock2.h>

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

int NetListen(NetSocket sock)
{
    if (listen((SOCKET)sock, SOMAXCONN) == SOCKET_ERROR) {
        NoteSocketError();
        return -1;
    }
    return 0;
}

NetSocket NetAccept(NetSocket listener, uint32_t *peerAddress)
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
    *peerAddress = peer.sin_addr.s_addr;
    return (NetSocket)sock;
}

void NetSetReceiveTimeout(NetSocket sock, uint32_t milliseconds)
{
    // Windows Sockets takes the receive time-out as a DWORD of
    // milliseconds, not as a timeval.
    DWORD wait = milliseconds;
    setsockopt((SOCKET)sock, SOL_SOCKET, SO_RCVTIMEO, (const char *)&wait, sizeof wait);
}

int NetReceiveByte(NetSocket sock, char *byte)
{
    int got = recv((SOCKET)sock, byte, 1, 0);
    if (got == 1)
        return 1;
    if (got == 0)
        return 0;
    NoteSocketError();
    if (lastSocketError == WSAETIMEDOUT)
        return NET_RECV_TIMEOUT;
    return NET_RECV_FAILED;
}

void NetCloseClient(NetSocket sock)
{
    shutdown((SOCKET)sock, SD_BOTH);
    closesocket((SOCKET)sock);
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
