#include "../RtOs.h"

#include <cerrno>
#include <sys/random.h>

namespace rtos {

bool RandomBytes(void* aBuf, size_t aLen) {
    unsigned char* p = static_cast<unsigned char*>(aBuf);
    while (aLen > 0) {
        // Below 256 bytes getrandom is never cut short once the pool is
        // ready, but a signal may still interrupt the wait for it.
        ssize_t n = getrandom(p, aLen, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += n;
        aLen -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace rtos
