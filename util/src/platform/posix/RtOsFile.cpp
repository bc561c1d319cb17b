#include "../RtOs.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

namespace rtos {

int MakeDir(const char* path) { return mkdir(path, 0755) == 0 ? 0 : -1; }

bool PathExists(const char* path) { return access(path, F_OK) == 0; }

bool RemoveFile(const char* path) { return unlink(path) == 0; }

bool RemoveDir(const char* path) { return rmdir(path) == 0; }

FileHandle FileCreate(const char* path) {
    // Not inherited: the service starts systemctl and must not hand it the log.
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    return fd < 0 ? kNoFile : fd;
}

size_t FileWriteAt(FileHandle aFile, const void* aData, size_t aLen, int64_t aOffset) {
    const char* data = static_cast<const char*>(aData);
    size_t done = 0;
    // A regular file takes the whole buffer in one call; a second one only
    // follows a short write (a full disk, a file size limit), to learn why.
    while (done < aLen) {
        off_t at = static_cast<off_t>(aOffset) + static_cast<off_t>(done);
        ssize_t n = pwrite(static_cast<int>(aFile), data + done, aLen - done, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            break;
        }
        done += static_cast<size_t>(n);
    }
    return done;
}

bool FileTruncate(FileHandle aFile, int64_t aSize) {
    return ftruncate(static_cast<int>(aFile), static_cast<off_t>(aSize)) == 0;
}

void FileClose(FileHandle aFile) { close(static_cast<int>(aFile)); }

bool ListDir(const char* aDir, const char* aPattern, DirVisitor aVisit, void* aCtx) {
    DIR* dir = opendir(aDir);
    if (!dir)
        return false;
    while (dirent* entry = readdir(dir)) {
        if (fnmatch(aPattern, entry->d_name, 0) == 0)
            aVisit(entry->d_name, aCtx);
    }
    closedir(dir);
    return true;
}

}  // namespace rtos
