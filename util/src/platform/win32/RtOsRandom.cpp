#include "../RtOs.h"

#include "RtOsWin32.h"
#include <bcrypt.h>

namespace rtos {

bool RandomBytes(void* aBuf, size_t aLen) {
    unsigned char* p = static_cast<unsigned char*>(aBuf);
    while (aLen > 0) {
        ULONG chunk = aLen > 0x10000000 ? 0x10000000 : static_cast<ULONG>(aLen);
        // The system's preferred generator: no algorithm handle to open.
        if (BCryptGenRandom(nullptr, p, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0)
            return false;
        p += chunk;
        aLen -= chunk;
    }
    return true;
}

}  // namespace rtos
