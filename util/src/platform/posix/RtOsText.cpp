#include "../RtOs.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace rtos {

namespace {
// strerror_r comes in two flavours; overloads pick whichever the C library has.
[[maybe_unused]] const char* Pick(int rc, const char* buf) { return rc == 0 ? buf : nullptr; }
[[maybe_unused]] const char* Pick(const char* text, const char*) { return text; }
}  // namespace

void ErrorText(int aErr, char* buf, size_t size) {
    if (!buf || size == 0)
        return;
    char tmp[256];
    tmp[0] = '\0';
    const char* text = Pick(strerror_r(aErr, tmp, sizeof tmp), tmp);
    snprintf(buf, size, "%s", text && *text ? text : "Unknown error");
}

int LastError() { return errno; }

size_t WideToNarrow(const wchar_t* in, char* out, size_t size) {
    if (!out || size == 0)
        return 0;
    out[0] = '\0';
    if (!in)
        return 0;
    mbstate_t state{};
    size_t used = 0;
    char piece[MB_LEN_MAX];
    for (; *in; ++in) {
        size_t n = wcrtomb(piece, *in, &state);
        if (n == static_cast<size_t>(-1)) {
            piece[0] = '?';  // not representable in the current encoding
            n = 1;
            state = mbstate_t{};
        }
        if (used + n >= size)
            break;
        memcpy(out + used, piece, n);
        used += n;
    }
    out[used] = '\0';
    return used;
}

}  // namespace rtos
