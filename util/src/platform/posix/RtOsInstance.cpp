#include "../RtOsInstance.h"

#include <cerrno>
#include <cstdint>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace rtos {

// One lock file per name, machine-wide: /run/lock where it is writable to
// all (Debian), else /tmp. The kernel drops the lock when the process ends.
InstanceMutex CreateInstanceMutex(const char* aName, void** aHandle) {
    if (aHandle)
        *aHandle = nullptr;
    if (!aName || !*aName)
        return InstanceMutex::kFailed;
    std::string dir = access("/run/lock", W_OK) == 0 ? "/run/lock/" : "/tmp/";
    std::string path = dir + aName + ".lock";
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0 && errno == EACCES)  // another user's file: a read handle can lock it too
        fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return InstanceMutex::kFailed;
    // Others may lock the file whatever their umask.
    fchmod(fd, 0666);
    InstanceMutex result = InstanceMutex::kCreated;
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR)
            continue;
        if (errno != EWOULDBLOCK) {
            close(fd);
            return InstanceMutex::kFailed;
        }
        result = InstanceMutex::kAlreadyExists;
        break;
    }
    if (aHandle)
        *aHandle = reinterpret_cast<void*>(static_cast<intptr_t>(fd) + 1);
    else if (result == InstanceMutex::kAlreadyExists)
        close(fd);
    return result;
}

void ReleaseInstanceMutex(void* aHandle) {
    if (!aHandle)
        return;
    int fd = static_cast<int>(reinterpret_cast<intptr_t>(aHandle) - 1);
    close(fd);
}

}  // namespace rtos
