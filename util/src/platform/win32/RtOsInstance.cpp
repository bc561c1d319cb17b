#include "RtOsWin32.h"

#include "../RtOsInstance.h"

namespace rtos {

// A named kernel mutex: it exists while any process holds a handle to it.
InstanceMutex CreateInstanceMutex(const char* aName, void** aHandle) {
    if (aHandle)
        *aHandle = nullptr;
    HANDLE h = CreateMutexA(nullptr, FALSE, aName);
    if (!h)
        return InstanceMutex::kFailed;
    InstanceMutex result =
        GetLastError() == ERROR_ALREADY_EXISTS ? InstanceMutex::kAlreadyExists : InstanceMutex::kCreated;
    if (aHandle)
        *aHandle = h;
    return result;
}

void ReleaseInstanceMutex(void* aHandle) {
    if (aHandle)
        CloseHandle(static_cast<HANDLE>(aHandle));
}

}  // namespace rtos
