// Per-thread COM initialisation. Windows: the single-threaded apartment
// (CoInitializeEx with COINIT_APARTMENTTHREADED, as CoInitialize does).
// Linux has no COM: initialising always succeeds and undoing does nothing.
#pragma once

#include <cstdint>

namespace rtos {

// COM's own result: 0 (S_OK) the first time on a thread, 1 (S_FALSE) when
// the thread was initialised already (COM counts this one too), negative
// on failure (nothing counted).
int32_t ComInitialize();
// Undoes one initialisation that returned 0 or 1.
void ComUninitialize();

}  // namespace rtos
