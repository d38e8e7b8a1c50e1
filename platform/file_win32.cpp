// The service's own files on Windows: reads and writes at offsets,
// FlushFileBuffers for durability, and a share mode that keeps a file to
// one process.
#include "platform.h"

#include <windows.h>

#include <stdio.h>

static char fileError[160];

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

int FileOpenHeld(const char *path, FileHandle *file)
{
    // Others may read it; nobody else may write it or open it for writing.
    HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, NULL);

    *file = FILE_NONE;
    if (handle == INVALID_HANDLE_VALUE)
        return NoteFileError();
    // A new file's entry in its folder is made durable by the file system
    // with the first flush of the file.
    if (GetLastError() != ERROR_ALREADY_EXISTS && !FlushFileBuffers(handle)) {
        NoteFileError();
        CloseHandle(handle);
        return -1;
    }
    *file = (FileHandle)handle;
    return 0;
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
    return FlushFileBuffers((HANDLE)file) ? 0 : NoteFileError();
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

int FileAppendDurably(const char *path, const void *bytes, int size)
{
    HANDLE handle = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ, NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    DWORD put = 0;
    int status = 0;

    if (handle == INVALID_HANDLE_VALUE)
        return NoteFileError();
    if (!WriteFile(handle, bytes, (DWORD)size, &put, NULL) || put != (DWORD)size || !FlushFileBuffers(handle))
        status = NoteFileError();
    CloseHandle(handle);
    return status;
}

const char *FileErrorText(void)
{
    return fileError;
}
