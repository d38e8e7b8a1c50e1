// The service's whole view of the operating system: sockets, the settings
// store, its own files, the console and how the program is run. Each
// platform supplies one implementation file per concern (net_*.cpp,
// store_*.cpp, file_*.cpp, console_*.cpp, service_*.cpp).
#ifndef VARN_PLATFORM_H
#define VARN_PLATFORM_H

#include <stdint.h>

// A socket as the platform hands it out. Wide enough for a Windows SOCKET;
// on POSIX it holds a file descriptor.
typedef uintptr_t NetSocket;
#define NET_INVALID_SOCKET ((NetSocket)~(uintptr_t)0)

// Results of NetReceive besides a count of bytes and 0 (peer closed).
#define NET_RECV_FAILED (-1)
#define NET_RECV_EMPTY (-2)

// The most sockets one NetWait watches: the listener, the wake-up and the
// clients.
#define NET_WAIT_MAX 1026

// Starts the socket layer. Returns 0, or the layer's error code.
int NetStartup(void);

// A TCP stream socket, or NET_INVALID_SOCKET.
NetSocket NetCreateStreamSocket(void);

// Binds to the wildcard address and the given port (host byte order).
// Returns 0, or -1 with the reason left for NetLastErrorText.
int NetBindAny(NetSocket sock, uint16_t port);

// Listens with the platform's largest backlog, never blocking in
// NetAccept. Returns 0 or -1.
int NetListen(NetSocket sock);

// Takes a waiting client, if there is one. Returns its socket, which never
// blocks in NetReceive, with its IPv4 address in network byte order and
// its port in host byte order; or NET_INVALID_SOCKET.
NetSocket NetAccept(NetSocket listener, uint32_t *peerAddress, uint16_t *peerPort);

// Receives up to `size` bytes without waiting, as many as have arrived.
// Returns how many (1 or more), 0 when the peer closed, NET_RECV_EMPTY when
// no byte is waiting, or NET_RECV_FAILED (reason in NetLastErrorText).
int NetReceive(NetSocket sock, char *buffer, int size);

// One socket of a NetWait: `ready` is set when a byte, a client, the
// peer's close or an error waits on it.
typedef struct NetWaitEntry {
    NetSocket sock;
    int ready;
} NetWaitEntry;

// The one place the service waits: until one of `count` sockets is ready or
// `timeoutMs` passes (-1: no limit). Returns how many are ready, 0 when the
// time passed or a signal came, -1 on failure.
int NetWait(NetWaitEntry *entries, int count, int timeoutMs);

// Lets the process hold `count` client sockets at once beside `others`
// descriptors of its own, as far as the system allows. Returns how many
// clients it can hold, at most `count`.
int NetReserveSockets(int count, int others);

// The loop's wake-up: a socket NetWait can watch, which other threads make
// ready with NetWake (safe from any thread, never blocking) and the loop
// clears with NetWakeClear once it has looked at what woke it. Returns 0,
// or -1 with the reason in NetLastErrorText.
int NetWakeOpen(NetSocket *wakeSocket);
void NetWake(void);
void NetWakeClear(void);

// Starts `run` on a thread of its own, which runs until the process ends.
// Returns 0, or -1 when no thread could be had.
int ThreadStart(void (*run)(void));

// Fills `buffer` with `size` bytes from the system's random source. Returns
// 0, or -1 when it could not.
int RandomBytes(void *buffer, int size);

// Milliseconds from a fixed point, never going back.
int64_t ClockMs(void);

// Shuts a client socket down in both directions and closes it; a
// listening socket is closed, and the clients in its backlog refused.
void NetCloseClient(NetSocket sock);

// How many bytes have reached `sock` and wait to be received, or 0 when
// that cannot be told.
int NetBytesWaiting(NetSocket sock);
// A TCP connection that another part of the process made (a driver's), held
// by the service through a duplicate of its socket, so that it can be looked
// at or cut without a search and without ever reaching another connection.
// NetHoldConnection finds the process's one TCP socket whose local address
// and port and whose peer's address and port are those given (addresses as
// text, "a.b.c.d" or IPv6; an IPv4 address mapped into IPv6 counts as the
// IPv4 one; an empty remote address matches any, provided one socket alone
// matches the rest), and returns the duplicate; NET_INVALID_SOCKET when none
// or more than one matches, or where the platform cannot tell (Windows).
NetSocket NetHoldConnection(const char *localAddress, uint16_t localPort, const char *remoteAddress,
                            uint16_t remotePort);
// Looks at a held connection without waiting and without taking anything
// off it: 1 when nothing has arrived on it and its peer has not closed it;
// 0 otherwise (closed, failed, or something waiting to be read).
int NetHeldQuiet(NetSocket held);
// Shuts a held connection down both ways: a call blocked on it returns as
// if the peer had closed it. Never blocks.
void NetCutHeld(NetSocket held);
// Lets go of the duplicate; the connection itself stays its owner's.
void NetReleaseHeld(NetSocket held);

// The text of the error left by the last failed socket call.
const char *NetLastErrorText(void);

// The number printed for a socket in console lines.
unsigned NetSocketNumber(NetSocket sock);

// Dotted-decimal parsing and printing of IPv4 addresses in network byte
// order, with the classic inet_addr/inet_ntoa rules: text that is not an
// address parses as 255.255.255.255.
uint32_t NetParseAddress(const char *text);
void NetFormatAddress(uint32_t address, char text[16]);
// Parses `text` in the forms NetParseAddress takes, but tells text that is
// no address from 255.255.255.255: 0 with *address set, or -1.
int NetParseAddressExact(const char *text, uint32_t *address);

// The settings store: the service's named values, each a text or a 32-bit
// number. On POSIX it is a file in the Windows registry export format, read
// whole when it is opened; on Windows it is the registry key itself. Value
// names compare without regard to case. Every call answers one of these.
#define STORE_ABSENT 0
#define STORE_PRESENT 1
// There, but not readable whole and cleanly, or not as the type asked for;
// StoreErrorText says why, naming the line or value to blame.
#define STORE_UNREADABLE (-1)

// Opens the service's store. Absent is no file, an empty one or one without
// the service's section; no key. `location` names the file on POSIX and is
// ignored where the registry holds the key.
int StoreOpen(const char *location);

// Reads a string value (an expandable one as it is written) into `text`,
// NUL-terminated, when it fits in `capacity` bytes with its terminator;
// anything else is unreadable. `text` is left alone unless present.
int StoreReadText(const char *name, char *text, int capacity);

// Reads a dword value; any other type is unreadable.
int StoreReadDword(const char *name, uint32_t *number);

// Why the last call answered STORE_UNREADABLE.
const char *StoreErrorText(void);

// The file the store at `location` is read from, or NULL where the store
// is no file (the Windows registry).
const char *StoreFilePath(const char *location);

void StoreClose(void);

// Files the service keeps for itself (the spool): read and written at
// offsets, made durable on demand. A handle is 0 or above; -1 is none.
// Only regular files are theirs: a symbolic link (never followed, on
// Windows any reparse point), a device, a FIFO or a folder at the path is
// refused with the reason "not a regular file".
typedef intptr_t FileHandle;
#define FILE_NONE ((FileHandle)-1)

// Opens `path` for reading and writing, creating it (mode 0600) when
// missing, and holds it for this process alone until it is closed: another
// process that asks fails. A file it creates is made durable with its
// folder's entry. A file with more than one name is refused ("more than one
// link"): another name would reach it past the hold once a FileReplaceHeld
// had put a fresh file under this one. Returns 0; FILE_HELD when another
// process holds it; or -1 with the reason in FileErrorText.
#define FILE_HELD (-2)
int FileOpenHeld(const char *path, FileHandle *file);
// Creates `path` afresh, empty, and holds it as FileOpenHeld does; whatever
// file or link had that name is removed first, never written through. Its
// folder's entry is not made durable here. Returns 0 or -1.
int FileCreateHeld(const char *path, FileHandle *file);
// 0 when nothing is at `path` or a regular file is; otherwise -1 with the
// reason "<path> is not a regular file".
int FileCheckRegular(const char *path);
// Reads up to `size` bytes at `offset`; returns the count (0 at the end)
// or -1.
int FileRead(FileHandle file, int64_t offset, void *buffer, int size);
// Writes all `size` bytes at `offset`. Returns 0 or -1.
int FileWrite(FileHandle file, int64_t offset, const void *buffer, int size);
// Makes what was written reach stable storage before it returns. 0 or -1.
int FileSync(FileHandle file);
// Cuts the file to `size` bytes. Returns 0 or -1.
int FileTruncate(FileHandle file, int64_t size);
// The file's size in bytes, or -1.
int64_t FileSize(FileHandle file);
void FileClose(FileHandle file);
// Puts the file held as `fresh`, named `freshPath`, in the place of the
// file held as *held, named `path`, in one step: whatever happens, `path`
// names one of the two, whole, and neither is let go, so that no other
// process can open `path` in between. The new name is durable once
// FileSyncFolder(`path`) has returned 0. On success the old file is closed
// and *held becomes `fresh`, still held. On failure nothing changed: *held
// still holds the old file under `path`, and the caller closes `fresh`.
// Where a file that is open cannot be replaced (Windows without POSIX
// rename semantics, Wine 8) it always fails. Returns 0, or -1 with the
// reason in FileErrorText.
int FileReplaceHeld(FileHandle *held, const char *path, FileHandle fresh, const char *freshPath);
// Makes the entries of the folder that holds `path` durable. 0 or -1.
int FileSyncFolder(const char *path);
// Removes the file or link at `path`, if any; FileErrorText is untouched.
void FileRemove(const char *path);
// 1 when `a` and `b` name one file, whatever their spelling: the same file
// (device and inode; on Windows volume and file id) where a file is there
// (a link as itself), or the same name in the same folder where none is
// yet; 0 otherwise, or when a folder cannot be found.
int FileSameFile(const char *a, const char *b);
// 1 when `path` starts at a root: "/" on POSIX; on Windows a drive's root
// ("C:\") or a share ("\\server\share").
int FileIsFullPath(const char *path);
// How many names the held file has, or -1.
int FileLinkCount(FileHandle file);
// Puts a file of `size` bytes at `path` in one step: written to
// "<path>.tmp", made afresh (whatever had that name removed first, never
// written through; mode 0644, whatever the umask), then renamed over
// `path`, so that a reader finds the old file or the new one, whole; not
// made durable. Returns 0, or -1 with the reason in FileErrorText.
int FileReplaceWith(const char *path, const void *bytes, int size);
// Appends `size` bytes to the file at `path`, creating it, and makes them
// durable. Returns 0, or -1 with the reason in FileErrorText.
int FileAppendDurably(const char *path, const void *bytes, int size);
// Why the last failed file call failed.
const char *FileErrorText(void);
// Sets what FileErrorText says, for a caller that refuses a file for a
// reason of its own.
void FileSetErrorText(const char *text);

// Makes every console line reach standard output as soon as it is written,
// whatever standard output is connected to, and keeps console output apart
// from the service's sockets: closed standard descriptors are filled, and a
// console that goes away only makes writes fail. Called before anything
// else opens a file or socket.
void ConsoleInit(void);

#if defined(__GNUC__)
#define CONSOLE_FORMAT __attribute__((format(printf, 1, 2)))
#else
#define CONSOLE_FORMAT
#endif

// Writes one console line, formatted as printf formats; `format` ends in a
// line feed. The line reaches standard output in one piece, after the
// client's prefix when clients are shown. In JSON form it is one object:
// the time, the client, an event named by the format's words before any
// colon (lower-cased, joined by "_": "Incoming connection from %s" is
// incoming_connection_from) and the line's text as "message".
void ConsoleLine(const char *format, ...) CONSOLE_FORMAT;

// How lines are written, set once at start-up: with `showClients` a line
// about a client begins with "[address:port] "; with `json` every line is
// a JSON object.
void ConsoleSetForm(int showClients, int json);
int ConsoleIsJson(void);

// Sets the client ("address:port") the lines this thread writes are about
// until it is set again ("": none). It is copied, cut to 47 bytes.
void ConsoleSetClient(const char *client);

// Writes nothing more from now on, from any thread: the last line of a
// process that ends with statements still running has been written.
void ConsoleClose(void);

// A named value of a JSON line: `length` bytes of `value`, any bytes.
typedef struct ConsoleField {
    const char *name;
    const char *value;
    int length;
} ConsoleField;

// Writes `lead` and `text` in double quotes as one line, the text as it
// is; in JSON form, `event` with the text as "text", exactly its bytes.
void ConsoleQuoted(const char *event, const char *lead, const char *text);

// Writes `length` bytes of `text` as console lines, the first after `lead`.
// Each line break in the text starts a line of its own indented by two
// blanks, so that a log reader takes no part of the text for a line the
// service wrote. In JSON form it is one object: `event`, the `count`
// fields (at most 7), and the text as "message".
void ConsoleText(const char *event, const char *lead, const char *text, int length, const ConsoleField *fields,
                 int count);

// The time now in UTC as RFC 3339 with milliseconds
// ("2026-12-09T03:04:05.678Z").
void ClockUtcText(char text[32]);

// A stop asked for from outside: SIGTERM or SIGINT on POSIX; on Windows
// Ctrl-C, Ctrl-Break or closing the console window for a console program,
// and for the service only its stop or shutdown control (console events,
// a user's logoff among them, leave it running). From StopWatchStart on,
// each such request makes StopRequested true and wakes the loop (NetWake);
// a second signal or console request while the first is acted on ends the
// process at once, as an unwatched one would. Threads started after it
// never take the signals.
void StopWatchStart(void);
int StopRequested(void);

// From now on the process ends as soon as the service returns, without
// running its libraries' clean-up: a driver's call still runs on another
// thread, and clean-up under it could crash or hang the end.
void ProcessEndsAtOnce(void);

// The service proper (RunService): serves until a stop is asked for and
// returns 0 once it has stopped, or a nonzero status when start-up fails.
typedef int (*ServeFunction)(const char *settingsLocation);

// Runs `serve` the way the platform runs a service and returns the process's
// exit status. On POSIX a service manager runs the program as it is, so
// `serve` runs directly. On Windows, when the Service Control Manager started
// the program, it runs as the service "varn-odbc": console lines go to the
// log file, a stop or shutdown asks `serve` to stop and waits for it (stop
// pending, with a checkpoint a second), and a failed start-up stops it with
// `serve`'s status as the service-specific exit code; started from a console
// it runs `serve` directly, as a console program.
int RunPlatformService(ServeFunction serve, const char *settingsLocation);

// The file console lines are appended to (the Windows service's log), or
// NULL where they go to standard output.
const char *ServiceLogPath(void);

#endif
