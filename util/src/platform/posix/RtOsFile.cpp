#include "../RtOs.h"

#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

namespace rtos {

int MakeDir(const char* path) { return mkdir(path, 0755) == 0 ? 0 : -1; }

bool PathExists(const char* path) { return access(path, F_OK) == 0; }

bool RemoveFile(const char* path) { return unlink(path) == 0; }

bool RemoveDir(const char* path) { return rmdir(path) == 0; }

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
