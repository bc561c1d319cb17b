#include <cstdint>
#include <cstdio>
#include <cstring>

#include "RtLog.h"
#include "RtOs.h"

CRtLog::CRtLogRecorder::CRtLogRecorder(char* aBuffer, unsigned long aSize)
    : m_pBuffer(aBuffer), m_nSize(aSize), m_nLength(0), m_bHex(false) {
    if (m_pBuffer && m_nSize > 0)
        m_pBuffer[0] = '\0';
}

CRtLog::CRtLogRecorder& CRtLog::CRtLogRecorder::Append(const char* aText, size_t aLen) {
    if (!m_pBuffer || !aText)
        return *this;
    // The last kRecorderReserve bytes always stay free, the terminator
    // included in the room.
    size_t used = m_nLength + kRecorderReserve + 1;
    size_t room = m_nSize > used ? m_nSize - used : 0;
    if (aLen > room)
        aLen = room;
    memcpy(m_pBuffer + m_nLength, aText, aLen);
    m_nLength += aLen;
    if (m_nLength < m_nSize)
        m_pBuffer[m_nLength] = '\0';
    return *this;
}

namespace {
constexpr size_t kDigitsSize = 24;  // 20 digits of a 64-bit value, a sign, "0x"
}  // namespace

char* CRtLog::DigitsBackward(char* aEnd, uint64_t aValue, bool aHex) {
    static const char kHexDigits[] = "0123456789abcdef";
    char* p = aEnd;
    if (aHex) {
        do {
            *--p = kHexDigits[aValue & 0xf];
            aValue >>= 4;
        } while (aValue != 0);
    } else {
        do {
            *--p = static_cast<char>('0' + aValue % 10);
            aValue /= 10;
        } while (aValue != 0);
    }
    return p;
}

CRtLog::CRtLogRecorder& CRtLog::CRtLogRecorder::AppendSigned(long long aValue) {
    if (m_bHex)
        return AppendUnsigned(static_cast<unsigned long long>(aValue));
    char buf[kDigitsSize];
    char* end = buf + sizeof buf;
    // The magnitude in unsigned arithmetic, so that the most negative value
    // has one too.
    uint64_t magnitude = aValue < 0 ? 0 - static_cast<uint64_t>(aValue) : static_cast<uint64_t>(aValue);
    char* p = DigitsBackward(end, magnitude, false);
    if (aValue < 0)
        *--p = '-';
    return Append(p, static_cast<size_t>(end - p));
}

CRtLog::CRtLogRecorder& CRtLog::CRtLogRecorder::AppendUnsigned(unsigned long long aValue) {
    char buf[kDigitsSize];
    char* end = buf + sizeof buf;
    char* p = DigitsBackward(end, static_cast<uint64_t>(aValue), m_bHex);
    m_bHex = false;
    return Append(p, static_cast<size_t>(end - p));
}

// Small integers are written as the int they promote to, in hexadecimal too.
CRtLog::CRtLogRecorder& CRtLog::CRtLogRecorder::operator<<(char aValue) {
    return m_bHex ? AppendUnsigned(static_cast<unsigned>(static_cast<int>(aValue))) : AppendSigned(aValue);
}
CRtLog::CRtLogRecorder& CRtLog::CRtLogRecorder::operator<<(unsigned char aValue) {
    return operator<<(static_cast<int>(aValue));
}
CRtLog::CRtLogRecorder& CRtLog::CRtLogRecorder::operator<<(short aValue) {
    return operator<<(static_cast<int>(aValue));
}
CRtLog::CRtLogRecorder& CRtLog::CRtLogRecorder::operator<<(unsigned short aValue) {
    return operator<<(static_cast<int>(aValue));
}
CRtLog::CRtLogRecorder& CRtLog::CRtLogRecorder::operator<<(int aValue) {
    return m_bHex ? AppendUnsigned(static_cast<unsigned>(aValue)) : AppendSigned(aValue);
}
CRtLog::CRtLogRecorder& CRtLog::CRtLogRecorder::operator<<(unsigned int aValue) { return AppendUnsigned(aValue); }
CRtLog::CRtLogRecorder& CRtLog::CRtLogRecorder::operator<<(long aValue) {
    return m_bHex ? AppendUnsigned(static_cast<unsigned long>(aValue)) : AppendSigned(aValue);
}
CRtLog::CRtLogRecorder& CRtLog::CRtLogRecorder::operator<<(unsigned long aValue) { return AppendUnsigned(aValue); }
CRtLog::CRtLogRecorder& CRtLog::CRtLogRecorder::operator<<(long long aValue) { return AppendSigned(aValue); }
CRtLog::CRtLogRecorder& CRtLog::CRtLogRecorder::operator<<(unsigned long long aValue) { return AppendUnsigned(aValue); }

CRtLog::CRtLogRecorder& CRtLog::CRtLogRecorder::operator<<(float aValue) {
    return operator<<(static_cast<double>(aValue));
}

CRtLog::CRtLogRecorder& CRtLog::CRtLogRecorder::operator<<(double aValue) {
    char buf[512];  // "%f" of a huge double is over 300 digits
    int n = snprintf(buf, sizeof buf, "%f", aValue);
    return Append(buf, n > 0 ? strnlen(buf, sizeof buf) : 0);
}

CRtLog::CRtLogRecorder& CRtLog::CRtLogRecorder::operator<<(const char* aText) {
    return aText ? Append(aText, strlen(aText)) : *this;
}

CRtLog::CRtLogRecorder& CRtLog::CRtLogRecorder::operator<<(const CRtString& aText) {
    return Append(aText.c_str(), strlen(aText.c_str()));
}

CRtLog::CRtLogRecorder& CRtLog::CRtLogRecorder::operator<<(const wchar_t* aText) {
    if (!aText)
        return *this;
    char buf[kRecorderBufferSize];
    size_t n = rtos::WideToNarrow(aText, buf, sizeof buf);
    return Append(buf, n);
}

CRtLog::CRtLogRecorder& CRtLog::CRtLogRecorder::operator<<(const void* aPointer) {
    char buf[kDigitsSize];
    char* end = buf + sizeof buf;
    char* p = DigitsBackward(end, static_cast<uint64_t>(reinterpret_cast<uintptr_t>(aPointer)), true);
    *--p = 'x';
    *--p = '0';
    return Append(p, static_cast<size_t>(end - p));
}

CRtLog::CRtLogRecorder& CRtLog::CRtLogRecorder::operator<<(_ordix aOrdix) {
    m_bHex = aOrdix == hex;
    return *this;
}
