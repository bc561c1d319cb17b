#include "../RtOs.h"

#include <cstdio>
#include <cstring>

#include "RtOsWin32.h"

namespace rtos {

void ErrorText(int aErr, char* buf, size_t size) {
    if (!buf || size == 0)
        return;
    char text[512];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(aErr), 0, text, sizeof text, nullptr);
    // System messages end with CR LF, which would break a log line.
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' '))
        --n;
    if (n == 0)
        snprintf(buf, size, "Unknown error %d", aErr);
    else
        snprintf(buf, size, "%.*s", static_cast<int>(n), text);
}

int LastError() { return static_cast<int>(GetLastError()); }

size_t WideToNarrow(const wchar_t* in, char* out, size_t size) {
    if (!out || size == 0)
        return 0;
    out[0] = '\0';
    if (!in)
        return 0;
    // Converting one character (or surrogate pair) at a time keeps a
    // double-byte or UTF-8 sequence from being cut at the end of the buffer.
    size_t used = 0;
    char piece[8];
    while (*in) {
        int len = 1;
        if (in[0] >= 0xD800 && in[0] <= 0xDBFF && in[1] >= 0xDC00 && in[1] <= 0xDFFF)
            len = 2;
        int n = WideCharToMultiByte(CP_ACP, 0, in, len, piece, sizeof piece, nullptr, nullptr);
        if (n <= 0) {
            piece[0] = '?';
            n = 1;
        }
        if (used + static_cast<size_t>(n) >= size)
            break;
        memcpy(out + used, piece, static_cast<size_t>(n));
        used += static_cast<size_t>(n);
        in += len;
    }
    out[used] = '\0';
    return used;
}

}  // namespace rtos
