#include "../RtOs.h"

#include <cstdio>

#include <direct.h>
#include <io.h>

#include "RtOsWin32.h"

namespace rtos {

namespace {
char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// '*' and '?' against a long name, ignoring case as the file system does.
bool Matches(const char* aPattern, const char* aName) {
    const char* pat = aPattern;
    const char* name = aName;
    const char* starPat = nullptr;
    const char* starName = nullptr;
    while (*name) {
        if (*pat == '*') {
            starPat = ++pat;
            starName = name;
        } else if (*pat && (*pat == '?' || Lower(*pat) == Lower(*name))) {
            ++pat;
            ++name;
        } else if (starPat) {
            pat = starPat;
            name = ++starName;
        } else {
            return false;
        }
    }
    while (*pat == '*')
        ++pat;
    // A trailing ".*" also accepts a name without a dot: "*.*" lists everything.
    if (pat[0] == '.' && pat[1] == '*') {
        pat += 2;
        while (*pat == '*')
            ++pat;
    }
    return *pat == '\0';
}
}  // namespace

// The C runtime's _mkdir maps the Win32 error to errno (EEXIST, ENOENT, ...).
int MakeDir(const char* path) { return _mkdir(path) == 0 ? 0 : -1; }

bool PathExists(const char* path) { return _access(path, 0) == 0; }

bool RemoveFile(const char* path) { return DeleteFileA(path) != FALSE; }

bool RemoveDir(const char* path) { return RemoveDirectoryA(path) != FALSE; }

FileHandle FileCreate(const char* path) {
    // The sharing is the C runtime's fopen's: readers and other writers may
    // open the file meanwhile.
    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    return file == INVALID_HANDLE_VALUE ? kNoFile : reinterpret_cast<FileHandle>(file);
}

size_t FileWriteAt(FileHandle aFile, const void* aData, size_t aLen, int64_t aOffset) {
    HANDLE file = reinterpret_cast<HANDLE>(aFile);
    const char* data = static_cast<const char*>(aData);
    size_t done = 0;
    while (done < aLen) {
        // On a handle opened without FILE_FLAG_OVERLAPPED the offset in the
        // OVERLAPPED makes WriteFile a synchronous write at that offset: no
        // SetFilePointerEx call before it.
        uint64_t at = static_cast<uint64_t>(aOffset) + done;
        OVERLAPPED where = {};
        where.Offset = static_cast<DWORD>(at);
        where.OffsetHigh = static_cast<DWORD>(at >> 32);
        size_t chunk = aLen - done;
        if (chunk > 0x40000000)
            chunk = 0x40000000;
        DWORD written = 0;
        if (!WriteFile(file, data + done, static_cast<DWORD>(chunk), &written, &where))
            break;
        if (written == 0) {
            SetLastError(ERROR_DISK_FULL);
            break;
        }
        done += written;
    }
    return done;
}

bool FileTruncate(FileHandle aFile, int64_t aSize) {
    // Writes carry their own offsets, so moving the file pointer here
    // disturbs nothing.
    HANDLE file = reinterpret_cast<HANDLE>(aFile);
    LARGE_INTEGER size;
    size.QuadPart = aSize;
    return SetFilePointerEx(file, size, nullptr, FILE_BEGIN) && SetEndOfFile(file);
}

void FileClose(FileHandle aFile) { CloseHandle(reinterpret_cast<HANDLE>(aFile)); }

bool ListDir(const char* aDir, const char* aPattern, DirVisitor aVisit, void* aCtx) {
    char query[kMaxPath];
    int n = snprintf(query, sizeof query, "%s\\%s", aDir, aPattern);
    if (n < 0 || static_cast<size_t>(n) >= sizeof query)
        return false;
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA(query, &data);
    if (find == INVALID_HANDLE_VALUE) {
        // No match in a readable directory is not an error.
        if (GetLastError() != ERROR_FILE_NOT_FOUND)
            return false;
        DWORD attr = GetFileAttributesA(aDir);
        return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY) != 0;
    }
    // FindFirstFileA also matches the pattern against the 8.3 short name, so
    // "*.log" finds "a.logs" through its short name A~1.LOG; the long name
    // is checked again.
    do {
        if (Matches(aPattern, data.cFileName))
            aVisit(data.cFileName, aCtx);
    } while (FindNextFileA(find, &data));
    FindClose(find);
    return true;
}

}  // namespace rtos
