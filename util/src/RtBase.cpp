#include "RtBase.h"

#include <cstring>

#include "RtOsSocket.h"

namespace {

// Folds ASCII letters only, whatever the locale says.
inline unsigned char FoldAscii(char aChar) {
    const unsigned char c = static_cast<unsigned char>(aChar);
    return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

bool EqualsFolded(const char* aText, const char* aPattern, size_t aLen) {
    for (size_t i = 0; i < aLen; ++i) {
        if (FoldAscii(aText[i]) != FoldAscii(aPattern[i]))
            return false;
    }
    return true;
}

}  // namespace

const char* rt_strcaserstr(const char* aText, const char* aPattern) {
    if (!aText || !aPattern || !*aText || !*aPattern)
        return nullptr;
    const size_t textLen = strlen(aText);
    const size_t patternLen = strlen(aPattern);
    if (patternLen > textLen)
        return nullptr;
    for (size_t pos = textLen - patternLen + 1; pos-- > 0;) {
        if (EqualsFolded(aText + pos, aPattern, patternLen))
            return aText + pos;
    }
    return nullptr;
}

void RtSplit(const CRtString& aSrc, const CRtString& aDelimiters, std::vector<CRtString>& aOut) {
    size_t start = 0;
    if (!aDelimiters.empty()) {
        for (size_t found; (found = aSrc.find_first_of(aDelimiters, start)) != CRtString::npos; start = found + 1)
            aOut.emplace_back(aSrc.substr(start, found - start));
    }
    aOut.emplace_back(aSrc.substr(start));
}

uint32_t RtGetLocalIP() { return rtos::LocalIPv4Address(); }

int RtGetLastError() { return rtos::LastSocketError(); }
