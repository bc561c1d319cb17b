#include "RtConfig.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "RtOs.h"
#include "RtProcessUtils.h"
#include "RtString.h"

namespace {

constexpr size_t kLineSize = 2048;  // lines of at most 2047 characters
constexpr size_t kTextSize = 512;

char s_szText[kTextSize];

std::mutex s_overrideMutex;
CRtString s_strOverride;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

char ToLowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualNoCase(const char* a, size_t aLen, const char* b) {
    size_t bLen = strlen(b);
    if (aLen != bLen)
        return false;
    for (size_t i = 0; i < aLen; ++i) {
        if (ToLowerAscii(a[i]) != ToLowerAscii(b[i]))
            return false;
    }
    return true;
}

// Trims blanks at both ends of [*aBegin, *aEnd).
void Trim(const char** aBegin, const char** aEnd) {
    while (*aBegin < *aEnd && IsBlank(**aBegin))
        ++*aBegin;
    while (*aEnd > *aBegin && IsBlank((*aEnd)[-1]))
        --*aEnd;
}

bool ConfigPath(char* aBuf, size_t aSize) {
    {
        std::lock_guard<std::mutex> guard(s_overrideMutex);
        if (!s_strOverride.empty())
            return snprintf(aBuf, aSize, "%s", s_strOverride.c_str()) < static_cast<int>(aSize);
    }
    const char* dir = get_home_dir();
    // Without a known executable directory there is no configuration file;
    // a bare "config.ini" would be read from wherever the process stands.
    if (!dir || !*dir)
        return false;
    int n = snprintf(aBuf, aSize, "%s%c%s", dir, rtos::kPathSep, "config.ini");
    return n > 0 && static_cast<size_t>(n) < aSize;
}

// Finds aKey in the first [aSection]; on success [*aBegin, *aEnd) is the
// value inside aLine.
bool FindValue(FILE* aFile, const char* aSection, const char* aKey, char* aLine, const char** aBegin,
               const char** aEnd) {
    bool inSection = false;
    bool sectionSeen = false;
    while (fgets(aLine, kLineSize, aFile)) {
        const char* p = aLine;
        while (IsBlank(*p))
            ++p;
        if (*p == '#')
            continue;
        const char* open = strchr(aLine, '[');
        if (open && strchr(aLine, ']')) {
            // Only the first section of a name is searched.
            if (sectionSeen)
                return false;
            const char* nameBegin = open + 1;
            const char* close = strchr(nameBegin, ']');
            const char* nameEnd = close ? close : nameBegin;
            Trim(&nameBegin, &nameEnd);
            inSection = EqualNoCase(nameBegin, static_cast<size_t>(nameEnd - nameBegin), aSection);
            sectionSeen = inSection;
            continue;
        }
        const char* eq = strchr(aLine, '=');
        if (!inSection || !eq)
            continue;
        const char* keyBegin = aLine;
        const char* keyEnd = eq;
        Trim(&keyBegin, &keyEnd);
        if (!EqualNoCase(keyBegin, static_cast<size_t>(keyEnd - keyBegin), aKey))
            continue;
        *aBegin = eq + 1;
        *aEnd = eq + strlen(eq);
        Trim(aBegin, aEnd);
        size_t len = static_cast<size_t>(*aEnd - *aBegin);
        if (len >= 2 && ((*aBegin)[0] == '"' || (*aBegin)[0] == '\'') && (*aEnd)[-1] == (*aBegin)[0]) {
            ++*aBegin;
            --*aEnd;
            Trim(aBegin, aEnd);
        }
        return true;
    }
    return false;
}

long long ParseNumber(const char* aSection, const char* aKey) {
    char buf[kLineSize];
    if (!get_string_param(aSection, aKey, buf, sizeof buf))
        return 0;
    errno = 0;
    char* end = nullptr;
    long long v = strtoll(buf, &end, 10);
    return end == buf ? 0 : v;  // strtoll saturates on overflow
}

}  // namespace

bool get_string_param(const char* aSection, const char* aKey, char* aBuf, unsigned long aSize) {
    if (!aBuf || aSize == 0)
        return false;
    aBuf[0] = '\0';
    if (!aSection || !aKey)
        return false;
    char path[rtos::kMaxPath];
    if (!ConfigPath(path, sizeof path))
        return false;
    FILE* file = fopen(path, rtos::kTextReadMode);
    if (!file)
        return false;
    char line[kLineSize];
    const char* begin = nullptr;
    const char* end = nullptr;
    if (FindValue(file, aSection, aKey, line, &begin, &end)) {
        size_t len = static_cast<size_t>(end - begin);
        if (len > aSize - 1)
            len = aSize - 1;
        memcpy(aBuf, begin, len);
        aBuf[len] = '\0';
    }
    fclose(file);
    size_t len = strlen(aBuf);
    if (len > 0 && aBuf[len - 1] == ';')
        aBuf[len - 1] = '\0';
    return len > 0;
}

int get_int_param(const char* aSection, const char* aKey) {
    long long v = ParseNumber(aSection, aKey);
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return static_cast<int>(v);
}

unsigned short get_uint16_param(const char* aSection, const char* aKey) {
    return static_cast<unsigned short>(static_cast<unsigned>(get_int_param(aSection, aKey)) & 0xFFFFu);
}

uint32_t get_uint32_param(const char* aSection, const char* aKey) {
    long long v = ParseNumber(aSection, aKey);
    // Like "%u": a negative number wraps, a number too large saturates.
    if (v > static_cast<long long>(UINT32_MAX))
        return UINT32_MAX;
    if (v < -static_cast<long long>(UINT32_MAX))
        return 0;
    return static_cast<uint32_t>(v);
}

bool get_bool_param(const char* aSection, const char* aKey, bool aDefault) {
    char buf[kLineSize];
    if (!get_string_param(aSection, aKey, buf, sizeof buf))
        return aDefault;
    return EqualNoCase(buf, strlen(buf), "true");
}

void init_config(const char* aPath) {
    if (aPath && strlen(aPath) < kTextSize - 1)
        snprintf(s_szText, sizeof s_szText, "%s", aPath);
}

void set_home_env(const char* aName) {
    if (aName)
        snprintf(s_szText, sizeof s_szText, "%s", aName);
}

const char* get_config_text() { return s_szText; }

void RtSetConfigFile(const char* aPath) {
    std::lock_guard<std::mutex> guard(s_overrideMutex);
    s_strOverride = aPath;
}
