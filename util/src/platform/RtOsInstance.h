// One instance per machine: a named lock that the first holder keeps.
// Windows: a named kernel mutex. Linux: a lock file held with flock.
#pragma once

namespace rtos {

enum class InstanceMutex { kCreated, kAlreadyExists, kFailed };
// Creates, or opens when it exists, the machine-wide named mutex; the handle
// (also returned when it already existed) keeps it until released or until
// the process ends.
InstanceMutex CreateInstanceMutex(const char* aName, void** aHandle);
void ReleaseInstanceMutex(void* aHandle);

}  // namespace rtos
