// Sockets on POSIX systems: the platform layer's TCP operations over BSD
// sockets, with errno standing in for the Windows Sockets last-error code.
#include "platform.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

static int lastSocketError;

// Above this many sockets NetWait looks before it waits.
#define NET_LOOK_FIRST 8

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
    // A client that gives up between the wait and the accept must not leave
    // the service blocked in accept.
    if (listen((int)sock, SOMAXCONN) != 0 || fcntl((int)sock, F_SETFL, O_NONBLOCK) != 0) {
        NoteSocketError();
        return -1;
    }
    return 0;
}

NetSocket NetAccept(NetSocket listener, uint32_t *peerAddress, uint16_t *peerPort)
{
    struct sockaddr_in peer;
    socklen_t peerLength = sizeof peer;
    int fd;

    memset(&peer, 0, sizeof peer);
    do {
        fd = accept4((int)listener, (struct sockaddr *)&peer, &peerLength, SOCK_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        NoteSocketError();
        return NET_INVALID_SOCKET;
    }
    *peerAddress = peer.sin_addr.s_addr;
    *peerPort = ntohs(peer.sin_port);
    return (NetSocket)fd;
}

int NetReceive(NetSocket sock, char *buffer, int size)
{
    for (;;) {
        ssize_t got = recv((int)sock, buffer, (size_t)size, 0);
        if (got >= 0)
            return (int)got;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return NET_RECV_EMPTY;
        NoteSocketError();
        return NET_RECV_FAILED;
    }
}

int NetWait(NetWaitEntry *entries, int count, int timeoutMs)
{
    static struct pollfd fds[NET_WAIT_MAX];
    int ready;

    for (int i = 0; i < count; i++) {
        fds[i].fd = (int)entries[i].sock;
        fds[i].events = POLLIN;
        fds[i].revents = 0;
    }
    // A look without waiting first: a busy service finds a socket ready at
    // once, and a wait would first register itself with every socket, idle
    // ones included, at a cost that grows with the clients. Over a few
    // sockets that costs less than a second call.
    ready = count > NET_LOOK_FIRST || timeoutMs == 0 ? poll(fds, (nfds_t)count, 0) : 0;
    if (ready == 0 && timeoutMs != 0)
        ready = poll(fds, (nfds_t)count, timeoutMs);
    if (ready < 0) {
        NoteSocketError();
        if (errno != EINTR)
            return -1;
        ready = 0;
        for (int i = 0; i < count; i++)
            fds[i].revents = 0;
    }
    for (int i = 0; i < count; i++)
        entries[i].ready = fds[i].revents != 0;
    return ready;
}

int NetReserveSockets(int count, int others)
{
    struct rlimit limit;
    rlim_t wanted = (rlim_t)count + (rlim_t)others;

    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return count;
    if (limit.rlim_cur < wanted) {
        limit.rlim_cur = limit.rlim_max < wanted ? limit.rlim_max : wanted;
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
            getrlimit(RLIMIT_NOFILE, &limit);
    }
    if (limit.rlim_cur >= wanted)
        return count;
    return limit.rlim_cur > (rlim_t)others ? (int)(limit.rlim_cur - (rlim_t)others) : 0;
}

// A pipe: its read end is what the loop watches.
static int wakePipe[2] = {-1, -1};

int NetWakeOpen(NetSocket *wakeSocket)
{
    if (pipe2(wakePipe, O_NONBLOCK | O_CLOEXEC) != 0) {
        NoteSocketError();
        return -1;
    }
    *wakeSocket = (NetSocket)wakePipe[0];
    return 0;
}

void NetWake(void)
{
    static const char byte = 1;
    // A full pipe is already ready: the byte is not needed.
    ssize_t put = write(wakePipe[1], &byte, 1);
    (void)put;
}

// One read: a byte left behind only makes the next wait return at once.
void NetWakeClear(void)
{
    char bytes[64];
    ssize_t got = read(wakePipe[0], bytes, sizeof bytes);
    (void)got;
}

int64_t ClockMs(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

void ClockUtcText(char text[32])
{
    struct timespec now;
    struct tm parts;
    char seconds[24];

    clock_gettime(CLOCK_REALTIME, &now);
    gmtime_r(&now.tv_sec, &parts);
    strftime(seconds, sizeof seconds, "%Y-%m-%dT%H:%M:%S", &parts);
    snprintf(text, 32, "%.19s.%03dZ", seconds, (int)(now.tv_nsec / 1000000));
}

// An endpoint's address as text, an IPv4 address mapped into IPv6 as the
// IPv4 one, and its port; 0 when it is no IPv4 or IPv6 endpoint.
static int EndpointText(const struct sockaddr_storage *address, char text[INET6_ADDRSTRLEN], uint16_t *port)
{
    if (address->ss_family == AF_INET) {
        const struct sockaddr_in *in = (const struct sockaddr_in *)address;
        *port = ntohs(in->sin_port);
        return inet_ntop(AF_INET, &in->sin_addr, text, INET6_ADDRSTRLEN) != NULL;
    }
    if (address->ss_family == AF_INET6) {
        const struct sockaddr_in6 *in6 = (const struct sockaddr_in6 *)address;
        *port = ntohs(in6->sin6_port);
        if (IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr))
            return inet_ntop(AF_INET, &in6->sin6_addr.s6_addr[12], text, INET6_ADDRSTRLEN) != NULL;
        return inet_ntop(AF_INET6, &in6->sin6_addr, text, INET6_ADDRSTRLEN) != NULL;
    }
    return 0;
}

// The same address, whatever its spelling ("::ffff:127.0.0.1" is 127.0.0.1).
static int SameAddress(const char *text, const char *given)
{
    struct in6_addr parsed;
    char canonical[INET6_ADDRSTRLEN];

    if (strncmp(given, "::ffff:", 7) == 0 && strchr(given, '.') != NULL)
        given += 7;
    if (strchr(given, ':') != NULL && inet_pton(AF_INET6, given, &parsed) == 1 &&
        inet_ntop(AF_INET6, &parsed, canonical, sizeof canonical) != NULL)
        given = canonical;
    return strcmp(text, given) == 0;
}

// Whether descriptor `fd` is a TCP connection between these endpoints.
static int Connects(int fd, const char *localAddress, uint16_t localPort, const char *remoteAddress,
                    uint16_t remotePort)
{
    struct sockaddr_storage local;
    struct sockaddr_storage peer;
    socklen_t localLength = sizeof local;
    socklen_t peerLength = sizeof peer;
    char text[INET6_ADDRSTRLEN];
    uint16_t port = 0;
    int type = 0;
    socklen_t typeLength = sizeof type;

    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typeLength) != 0 || type != SOCK_STREAM)
        return 0;
    if (getsockname(fd, (struct sockaddr *)&local, &localLength) != 0 || !EndpointText(&local, text, &port) ||
        port != localPort || !SameAddress(text, localAddress))
        return 0;
    if (getpeername(fd, (struct sockaddr *)&peer, &peerLength) != 0 || !EndpointText(&peer, text, &port) ||
        port != remotePort)
        return 0;
    return remoteAddress[0] == '\0' || SameAddress(text, remoteAddress);
}

// The process's open descriptors are listed by the system, so a search costs
// what the process holds, not its descriptor limit.
NetSocket NetHoldConnection(const char *localAddress, uint16_t localPort, const char *remoteAddress,
                            uint16_t remotePort)
{
    DIR *descriptors;
    struct dirent *entry;
    int found = -1;
    int matches = 0;

    if (localAddress[0] == '\0' || localPort == 0 || remotePort == 0)
        return NET_INVALID_SOCKET;
    descriptors = opendir("/proc/self/fd");
    if (descriptors == NULL)
        return NET_INVALID_SOCKET;
    while ((entry = readdir(descriptors)) != NULL) {
        char *end;
        long fd = strtol(entry->d_name, &end, 10);
        if (*end != '\0' || end == entry->d_name || fd == dirfd(descriptors))
            continue;
        if (Connects((int)fd, localAddress, localPort, remoteAddress, remotePort)) {
            found = (int)fd;
            matches++;
        }
    }
    closedir(descriptors);
    if (matches != 1)
        return NET_INVALID_SOCKET;
    // Asked again of the duplicate: the number may have been closed and
    // given to another socket since it was looked at.
    int held = fcntl(found, F_DUPFD_CLOEXEC, 0);
    if (held >= 0 && !Connects(held, localAddress, localPort, remoteAddress, remotePort)) {
        close(held);
        held = -1;
    }
    return held < 0 ? NET_INVALID_SOCKET : (NetSocket)held;
}

int NetHeldQuiet(NetSocket held)
{
    char byte;

    if (held == NET_INVALID_SOCKET)
        return 0;
    return recv((int)held, &byte, 1, MSG_PEEK | MSG_DONTWAIT) < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

void NetCutHeld(NetSocket held)
{
    if (held != NET_INVALID_SOCKET)
        shutdown((int)held, SHUT_RDWR);
}

void NetReleaseHeld(NetSocket held)
{
    if (held != NET_INVALID_SOCKET)
        close((int)held);
}

void NetCloseClient(NetSocket sock)
{
    shutdown((int)sock, SHUT_RDWR);
    close((int)sock);
}

int NetBytesWaiting(NetSocket sock)
{
    int waiting = 0;
    return ioctl((int)sock, FIONREAD, &waiting) == 0 && waiting > 0 ? waiting : 0;
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

// glibc's inet_addr is inet_aton with INADDR_NONE for a failure.
int NetParseAddressExact(const char *text, uint32_t *address)
{
    struct in_addr in;
    if (inet_aton(text, &in) == 0)
        return -1;
    *address = in.s_addr;
    return 0;
}
