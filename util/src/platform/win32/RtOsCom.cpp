#include "RtOsWin32.h"

#include <objbase.h>

#include "../RtOsCom.h"

namespace rtos {

int32_t ComInitialize() { return static_cast<int32_t>(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)); }

void ComUninitialize() { CoUninitialize(); }

}  // namespace rtos
