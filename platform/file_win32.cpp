// The service's own files on Windows: reads and writes at offsets,
// FlushFileBuffers for durability, a share mode that keeps a file to one
// process, FILE_FLAG_OPEN_REPARSE_POINT so that only regular files on disk
// are taken, and a rename through the fresh file's handle that replaces a
// file still held open.
#include "platform.h"

#include <windows.h>

#include <stdio.h>

// MinGW-w64 10 declares the information class only for a _WIN32_WINNT of
// 0x0A000002 or above, which no build sets, and the flags only for builds
// that target Windows 10 1607 or later.
#define RENAME_INFO_EX ((FILE_INFO_BY_HANDLE_CLASS)22)
#ifndef FILE_RENAME_FLAG_REPLACE_IF_EXISTS
#define FILE_RENAME_FLAG_REPLACE_IF_EXISTS 0x00000001
#endif
#ifndef FILE_RENAME_FLAG_POSIX_SEMANTICS
#define FILE_RENAME_FLAG_POSIX_SEMANTICS 0x00000002
#endif

static char fileError[300];
// Set when a rename took effect but the flush that makes it durable
// failed; the next flush of the file that was renamed clears it.
static int nameOwed;

static int NoteFileError(void)
{
    DWORD code = GetLastError();
    char text[120] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, code, 0, text, sizeof text, NULL);
    // The system's text ends in CR LF, which would break the console line.
    for (char *c = text; *c != '\0'; c++)
        if (*c == '\r' || *c == '\n')
            *c = '\0';
    if (code == ERROR_SHARING_VIOLATION)
        snprintf(fileError, sizeof fileError, "held by another running instance");
    else
        snprintf(fileError, sizeof fileError, "%s(error %lu)", text, (unsigned long)code);
    return -1;
}

static int NotRegular(void)
{
    snprintf(fileError, sizeof fileError, "not a regular file");
    return -1;
}

// A file on disk that is neither a folder nor a reparse point (a symbolic
// link, a junction, a mount point).
static int IsRegular(HANDLE handle)
{
    BY_HANDLE_FILE_INFORMATION info;
    return GetFileType(handle) == FILE_TYPE_DISK && GetFileInformationByHandle(handle, &info) &&
           (info.dwFileAttributes &
            (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) == 0;
}

// Opens `path` as one of the service's own files, never through a reparse
// point, with `disposition`; nobody else may write it, and it may be
// replaced (FileReplaceHeld) while it is held. Returns the handle, or
// INVALID_HANDLE_VALUE with the reason noted; *created says whether the
// file is new.
static HANDLE OpenOwn(const char *path, DWORD access, DWORD disposition, int *created)
{
    HANDLE handle = CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_DELETE, NULL, disposition,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    DWORD error = GetLastError();
    DWORD attributes;

    *created = handle != INVALID_HANDLE_VALUE && error != ERROR_ALREADY_EXISTS;
    if (handle == INVALID_HANDLE_VALUE) {
        // A folder cannot be opened as a file at all: say what it is.
        attributes = GetFileAttributesA(path);
        SetLastError(error);
        if (error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
            (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0)
            NotRegular();
        else
            NoteFileError();
        // The caller tells a file another process holds by the code.
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    if (!IsRegular(handle)) {
        CloseHandle(handle);
        NotRegular();
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

int FileOpenHeld(const char *path, FileHandle *file)
{
    int created;
    HANDLE handle = OpenOwn(path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS, &created);
    BY_HANDLE_FILE_INFORMATION info;

    *file = FILE_NONE;
    if (handle == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_SHARING_VIOLATION ? FILE_HELD : -1;
    if (GetFileInformationByHandle(handle, &info) && info.nNumberOfLinks > 1) {
        CloseHandle(handle);
        snprintf(fileError, sizeof fileError, "more than one link");
        return -1;
    }
    // A new file's entry in its folder is made durable by the file system
    // with the first flush of the file.
    if (created && !FlushFileBuffers(handle)) {
        NoteFileError();
        CloseHandle(handle);
        return -1;
    }
    *file = (FileHandle)handle;
    return 0;
}

int FileCreateHeld(const char *path, FileHandle *file)
{
    int created;
    HANDLE handle;

    *file = FILE_NONE;
    FileRemove(path);
    // DELETE: it takes the place of the held file through this handle.
    handle = OpenOwn(path, GENERIC_READ | GENERIC_WRITE | DELETE, CREATE_NEW, &created);
    if (handle == INVALID_HANDLE_VALUE)
        return -1;
    *file = (FileHandle)handle;
    return 0;
}

// Opens whatever is at `path` (a folder, a reparse point as itself) to
// read its attributes only, beside any other program's handles.
static HANDLE OpenAttributes(const char *path)
{
    return CreateFileA(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                       OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, NULL);
}

int FileCheckRegular(const char *path)
{
    HANDLE handle = OpenAttributes(path);
    int regular;

    if (handle == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND ? 0 : NoteFileError();
    regular = IsRegular(handle);
    CloseHandle(handle);
    if (regular)
        return 0;
    snprintf(fileError, sizeof fileError, "%s is not a regular file", path);
    return -1;
}

static OVERLAPPED At(int64_t offset)
{
    OVERLAPPED at;
    ZeroMemory(&at, sizeof at);
    at.Offset = (DWORD)(offset & 0xFFFFFFFF);
    at.OffsetHigh = (DWORD)(offset >> 32);
    return at;
}

int FileRead(FileHandle file, int64_t offset, void *buffer, int size)
{
    OVERLAPPED at = At(offset);
    DWORD got = 0;
    if (!ReadFile((HANDLE)file, buffer, (DWORD)size, &got, &at) && GetLastError() != ERROR_HANDLE_EOF)
        return NoteFileError();
    return (int)got;
}

int FileWrite(FileHandle file, int64_t offset, const void *buffer, int size)
{
    OVERLAPPED at = At(offset);
    DWORD put = 0;
    if (!WriteFile((HANDLE)file, buffer, (DWORD)size, &put, &at))
        return NoteFileError();
    return put == (DWORD)size ? 0 : -1;
}

int FileSync(FileHandle file)
{
    if (!FlushFileBuffers((HANDLE)file))
        return NoteFileError();
    nameOwed = 0;
    return 0;
}

int FileTruncate(FileHandle file, int64_t size)
{
    LARGE_INTEGER to;
    to.QuadPart = size;
    if (!SetFilePointerEx((HANDLE)file, to, NULL, FILE_BEGIN) || !SetEndOfFile((HANDLE)file))
        return NoteFileError();
    return 0;
}

int64_t FileSize(FileHandle file)
{
    LARGE_INTEGER size;
    return GetFileSizeEx((HANDLE)file, &size) ? (int64_t)size.QuadPart : NoteFileError();
}

void FileClose(FileHandle file)
{
    if (file != FILE_NONE)
        CloseHandle((HANDLE)file);
}

// The fresh file takes the name through its own handle while the old one
// stays open, so that no other program can open the name in between. Only
// POSIX semantics let a rename replace a file that is open, on Windows 10
// and later where the file system offers them (NTFS); elsewhere the rename
// fails and the old file stays held.
int FileReplaceHeld(FileHandle *held, const char *path, FileHandle fresh, const char *freshPath)
{
    union {
        FILE_RENAME_INFO info;
        char room[sizeof(FILE_RENAME_INFO) + MAX_PATH * sizeof(WCHAR)];
    } rename;
    int units;

    (void)freshPath;
    ZeroMemory(&rename, sizeof rename);
    // The name as CreateFileA reads it.
    units = MultiByteToWideChar(CP_ACP, 0, path, -1, rename.info.FileName, MAX_PATH);
    if (units < 1)
        return NoteFileError();
    rename.info.Flags = FILE_RENAME_FLAG_REPLACE_IF_EXISTS | FILE_RENAME_FLAG_POSIX_SEMANTICS;
    rename.info.FileNameLength = (DWORD)(units - 1) * sizeof(WCHAR);
    if (!SetFileInformationByHandle((HANDLE)fresh, RENAME_INFO_EX, &rename, sizeof rename)) {
        DWORD code = GetLastError();
        NoteFileError();
        // Not another instance: a program that opened the name without
        // FILE_SHARE_DELETE keeps it from being replaced. A system without
        // the POSIX semantics refuses the information class.
        if (code == ERROR_SHARING_VIOLATION)
            snprintf(fileError, sizeof fileError, "open in another program (error %lu)", (unsigned long)code);
        else if (code == ERROR_INVALID_PARAMETER || code == ERROR_NOT_SUPPORTED)
            snprintf(fileError, sizeof fileError, "an open file cannot be replaced here (error %lu)",
                     (unsigned long)code);
        return -1;
    }
    CloseHandle((HANDLE)*held);
    *held = fresh;
    // The rename is logged with the file's metadata, which its flush makes
    // durable.
    if (!FlushFileBuffers((HANDLE)fresh)) {
        NoteFileError();
        nameOwed = 1;
    }
    return 0;
}

// A new file's entry goes with the file's first flush, and a rename with
// the renamed file's flush (FileReplaceHeld, or FileSync after it).
int FileSyncFolder(const char *path)
{
    (void)path;
    return nameOwed ? -1 : 0;
}

void FileRemove(const char *path)
{
    DeleteFileA(path);
}

// The file at `path`, or where none is yet its folder and in *name the
// name the file would have there. Returns 0, or -1.
static int IdentityOf(const char *path, BY_HANDLE_FILE_INFORMATION *info, const char **name)
{
    char folder[MAX_PATH + 8];
    const char *cut = NULL;
    HANDLE handle = OpenAttributes(path);
    BOOL known;

    *name = "";
    if (handle == INVALID_HANDLE_VALUE) {
        if (GetLastError() != ERROR_FILE_NOT_FOUND)
            return -1;
        for (const char *c = path; *c != '\0'; c++)
            if (*c == '\\' || *c == '/' || (*c == ':' && c == path + 1))
                cut = c;
        *name = cut != NULL ? cut + 1 : path;
        snprintf(folder, sizeof folder, "%.*s", cut != NULL ? (int)(cut - path) + 1 : 1, cut != NULL ? path : ".");
        handle = OpenAttributes(folder);
        if (handle == INVALID_HANDLE_VALUE)
            return -1;
    }
    known = GetFileInformationByHandle(handle, info);
    CloseHandle(handle);
    return known ? 0 : -1;
}

// Names compare without regard to case, as NTFS's do.
int FileSameFile(const char *a, const char *b)
{
    BY_HANDLE_FILE_INFORMATION first;
    BY_HANDLE_FILE_INFORMATION second;
    const char *firstName;
    const char *secondName;

    return IdentityOf(a, &first, &firstName) == 0 && IdentityOf(b, &second, &secondName) == 0 &&
           first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
           first.nFileIndexHigh == second.nFileIndexHigh && first.nFileIndexLow == second.nFileIndexLow &&
           lstrcmpiA(firstName, secondName) == 0;
}

int FileIsFullPath(const char *path)
{
    int drive = ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) && path[1] == ':';
    return (drive && (path[2] == '\\' || path[2] == '/')) || (path[0] == '\\' && path[1] == '\\');
}

int FileLinkCount(FileHandle file)
{
    BY_HANDLE_FILE_INFORMATION info;
    return GetFileInformationByHandle((HANDLE)file, &info) ? (int)info.nNumberOfLinks : NoteFileError();
}

int FileReplaceWith(const char *path, const void *bytes, int size)
{
    char temporary[MAX_PATH + 8];
    int created;
    HANDLE handle;
    DWORD put = 0;
    int status = 0;

    snprintf(temporary, sizeof temporary, "%s.tmp", path);
    FileRemove(temporary);
    handle = OpenOwn(temporary, GENERIC_WRITE, CREATE_NEW, &created);
    if (handle == INVALID_HANDLE_VALUE)
        return -1;
    if (!WriteFile(handle, bytes, (DWORD)size, &put, NULL) || put != (DWORD)size)
        status = NoteFileError();
    CloseHandle(handle);
    // A reader that holds the old file open without sharing its deletion
    // makes this fail; the next write tries again.
    if (status == 0 && !MoveFileExA(temporary, path, MOVEFILE_REPLACE_EXISTING))
        status = NoteFileError();
    if (status != 0)
        DeleteFileA(temporary);
    return status;
}

int FileAppendDurably(const char *path, const void *bytes, int size)
{
    int created;
    HANDLE handle = OpenOwn(path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES, OPEN_ALWAYS, &created);
    DWORD put = 0;
    int status = 0;

    if (handle == INVALID_HANDLE_VALUE)
        return -1;
    if (!WriteFile(handle, bytes, (DWORD)size, &put, NULL) || put != (DWORD)size || !FlushFileBuffers(handle))
        status = NoteFileError();
    CloseHandle(handle);
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
