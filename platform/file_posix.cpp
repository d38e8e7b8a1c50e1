// The service's own files on POSIX systems: positioned reads and writes,
// fdatasync for durability, and flock to keep a file to one process.
#include "platform.h"

#include <errno.h>
#include <fcntl.h>
#include <libgen.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

static char fileError[160];

static int NoteFileError(void)
{
    snprintf(fileError, sizeof fileError, "%s", strerror(errno));
    return -1;
}

// A file that was just created is found again after a power cut only once
// its folder's entry is durable too.
static int SyncFolderOf(const char *path)
{
    char copy[4096];
    int folder;
    int status;

    snprintf(copy, sizeof copy, "%s", path);
    folder = open(dirname(copy), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        return -1;
    status = fsync(folder);
    close(folder);
    return status;
}

int FileOpenHeld(const char *path, FileHandle *file)
{
    struct stat before;
    int created = stat(path, &before) != 0;
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);

    *file = FILE_NONE;
    if (fd < 0)
        return NoteFileError();
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            snprintf(fileError, sizeof fileError, "held by another running instance");
        else
            NoteFileError();
        close(fd);
        return -1;
    }
    if (created && (fsync(fd) != 0 || SyncFolderOf(path) != 0)) {
        NoteFileError();
        close(fd);
        return -1;
    }
    *file = (FileHandle)fd;
    return 0;
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

int FileAppendDurably(const char *path, const void *bytes, int size)
{
    struct stat before;
    int created = stat(path, &before) != 0;
    // With O_APPEND every write lands at the end, whatever its offset.
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    int status;

    if (fd < 0)
        return NoteFileError();
    status = FileWrite((FileHandle)fd, 0, bytes, size);
    if (status == 0 && (fsync(fd) != 0 || (created && SyncFolderOf(path) != 0)))
        status = NoteFileError();
    close(fd);
    return status;
}

const char *FileErrorText(void)
{
    return fileError;
}
