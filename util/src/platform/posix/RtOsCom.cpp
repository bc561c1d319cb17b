#include "../RtOsCom.h"

namespace rtos {

int32_t ComInitialize() { return 0; }

void ComUninitialize() {}

}  // namespace rtos
