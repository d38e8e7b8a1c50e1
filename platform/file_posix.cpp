// The service's own files on POSIX systems: positioned reads and writes,
// fdatasync for durability, flock to keep a file to one process, and
// O_NOFOLLOW with fstat so that only regular files are taken.
#include "platform.h"

#include <errno.h>
#include <fcntl.h>
#include <libgen.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

static char fileError[300];

static int NoteFileError(void)
{
    snprintf(fileError, sizeof fileError, "%s", strerror(errno));
    return -1;
}

static int NotRegular(void)
{
    snprintf(fileError, sizeof fileError, "not a regular file");
    return -1;
}

// Opens `path` as one of the service's own files: never through a link,
// never waiting on a FIFO (O_NONBLOCK, which changes nothing for a regular
// file), and only when it is a regular file; created with mode 0600 when
// missing. Returns the descriptor, or -1 with the reason noted.
static int OpenOwn(const char *path, int flags, int *created)
{
    struct stat status;
    int fd = open(path, flags | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);

    *created = 0;
    if (fd < 0 && errno == ENOENT) {
        fd = open(path, flags | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_CREAT | O_EXCL, 0600);
        *created = fd >= 0;
    }
    // A link, a folder, and a FIFO or socket nobody serves.
    if (fd < 0)
        return errno == ELOOP || errno == EISDIR || errno == ENXIO ? NotRegular() : NoteFileError();
    if (fstat(fd, &status) != 0)
        NoteFileError();
    else if (!S_ISREG(status.st_mode))
        NotRegular();
    else
        return fd;
    close(fd);
    return -1;
}

// Takes `fd` for this process alone, or closes it. Returns 0, FILE_HELD
// when another process holds it, or -1.
static int Hold(int fd, FileHandle *file)
{
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
        *file = (FileHandle)fd;
        return 0;
    }
    int status = errno == EWOULDBLOCK ? FILE_HELD : -1;
    if (status == FILE_HELD)
        snprintf(fileError, sizeof fileError, "held by another running instance");
    else
        NoteFileError();
    close(fd);
    return status;
}

// Whether the file held as `fd` is still the one named `path` and has no
// other name: the lock is on the file, and the name may have been given
// to a fresh one between the open and the lock. Returns 0, FILE_HELD
// when the name moved on (so that the caller asks again), or -1.
static int CheckHeldName(int fd, const char *path)
{
    struct stat held;
    struct stat named;

    if (fstat(fd, &held) != 0)
        return NoteFileError();
    if (held.st_nlink > 1) {
        snprintf(fileError, sizeof fileError, "more than one link");
        return -1;
    }
    if (lstat(path, &named) != 0 || named.st_dev != held.st_dev || named.st_ino != held.st_ino) {
        snprintf(fileError, sizeof fileError, "held by another running instance");
        return FILE_HELD;
    }
    return 0;
}

int FileSyncFolder(const char *path)
{
    char copy[4096];
    int folder;
    int status;

    snprintf(copy, sizeof copy, "%s", path);
    folder = open(dirname(copy), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        return NoteFileError();
    status = fsync(folder) == 0 ? 0 : NoteFileError();
    close(folder);
    return status;
}

int FileOpenHeld(const char *path, FileHandle *file)
{
    int created;
    int fd = OpenOwn(path, O_RDWR, &created);
    int status;

    *file = FILE_NONE;
    if (fd < 0)
        return -1;
    status = Hold(fd, file);
    if (status == 0)
        status = CheckHeldName(fd, path);
    // A file that was just created is found again after a power cut only
    // once its folder's entry is durable too.
    if (status == 0 && created && (fsync(fd) != 0 || FileSyncFolder(path) != 0))
        status = NoteFileError();
    if (status != 0 && *file != FILE_NONE) {
        FileClose(*file);
        *file = FILE_NONE;
    }
    return status;
}

int FileCreateHeld(const char *path, FileHandle *file)
{
    int fd;

    *file = FILE_NONE;
    FileRemove(path);
    fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return errno == ELOOP || errno == EISDIR ? NotRegular() : NoteFileError();
    return Hold(fd, file);
}

int FileCheckRegular(const char *path)
{
    struct stat status;

    if (lstat(path, &status) != 0)
        return errno == ENOENT ? 0 : NoteFileError();
    if (S_ISREG(status.st_mode))
        return 0;
    snprintf(fileError, sizeof fileError, "%s is not a regular file", path);
    return -1;
}

int FileRead(FileHandle file, int64_t offset, void *buffer, int size)
{
    ssize_t got;
    do {
        got = pread((int)file, buffer, (size_t)size, (off_t)offset);
    } while (got < 0 && errno == EINTR);
    return got < 0 ? NoteFileError() : (int)got;
}

int FileWrite(FileHandle file, int64_t offset, const void *buffer, int size)
{
    const char *bytes = (const char *)buffer;
    while (size > 0) {
        ssize_t put = pwrite((int)file, bytes, (size_t)size, (off_t)offset);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return NoteFileError();
        bytes += put;
        offset += put;
        size -= (int)put;
    }
    return 0;
}

int FileSync(FileHandle file)
{
    return fdatasync((int)file) == 0 ? 0 : NoteFileError();
}

int FileTruncate(FileHandle file, int64_t size)
{
    return ftruncate((int)file, (off_t)size) == 0 ? 0 : NoteFileError();
}

int64_t FileSize(FileHandle file)
{
    struct stat status;
    return fstat((int)file, &status) == 0 ? (int64_t)status.st_size : NoteFileError();
}

void FileClose(FileHandle file)
{
    if (file != FILE_NONE)
        close((int)file);
}

// The lock goes with the file, and an open file may be replaced: the old
// file stays held until it is closed, after the new one is in its place.
int FileReplaceHeld(FileHandle *held, const char *path, FileHandle fresh, const char *freshPath)
{
    if (rename(freshPath, path) != 0)
        return NoteFileError();
    FileClose(*held);
    *held = fresh;
    return 0;
}

void FileRemove(const char *path)
{
    unlink(path);
}

// The file at `path` (a link as itself), or where none is yet its folder
// and in *name the name the file would have there. Returns 0, or -1.
static int IdentityOf(const char *path, struct stat *status, const char **name)
{
    char folder[4096];
    const char *slash = strrchr(path, '/');

    *name = "";
    if (lstat(path, status) == 0)
        return 0;
    if (errno != ENOENT)
        return -1;
    *name = slash != NULL ? slash + 1 : path;
    snprintf(folder, sizeof folder, "%.*s", slash != NULL ? (int)(slash - path) + 1 : 1, slash != NULL ? path : ".");
    return stat(folder, status);
}

int FileSameFile(const char *a, const char *b)
{
    struct stat first;
    struct stat second;
    const char *firstName;
    const char *secondName;

    return IdentityOf(a, &first, &firstName) == 0 && IdentityOf(b, &second, &secondName) == 0 &&
           first.st_dev == second.st_dev && first.st_ino == second.st_ino && strcmp(firstName, secondName) == 0;
}

int FileIsFullPath(const char *path)
{
    return path[0] == '/';
}

int FileLinkCount(FileHandle file)
{
    struct stat status;
    return fstat((int)file, &status) == 0 ? (int)status.st_nlink : NoteFileError();
}

int FileReplaceWith(const char *path, const void *bytes, int size)
{
    char temporary[4096];
    int fd;
    int status;

    snprintf(temporary, sizeof temporary, "%s.tmp", path);
    FileRemove(temporary);
    fd = open(temporary, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0)
        return errno == ELOOP || errno == EISDIR ? NotRegular() : NoteFileError();
    // Readable by a collector running as another user.
    status = fchmod(fd, 0644) == 0 ? FileWrite((FileHandle)fd, 0, bytes, size) : NoteFileError();
    close(fd);
    if (status == 0 && rename(temporary, path) != 0)
        status = NoteFileError();
    if (status != 0)
        unlink(temporary);
    return status;
}

int FileAppendDurably(const char *path, const void *bytes, int size)
{
    int created;
    // With O_APPEND every write lands at the end, whatever its offset.
    int fd = OpenOwn(path, O_WRONLY | O_APPEND, &created);
    int status;

    if (fd < 0)
        return -1;
    status = FileWrite((FileHandle)fd, 0, bytes, size);
    if (status == 0 && (fsync(fd) != 0 || (created && FileSyncFolder(path) != 0)))
        status = NoteFileError();
    close(fd);
    return status;
}

const char *FileErrorText(void)
{
    return fileError;
}

void FileSetErrorText(const char *text)
{
    snprintf(fileError, sizeof fileError, "%s", text);
}
