#include <cinttypes>
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

CRtLog::CRtLogRecorder& CRtLog::CRtLogRecorder::AppendSigned(long long aValue) {
    if (m_bHex)
        return AppendUnsigned(static_cast<unsigned long long>(aValue));
    char buf[32];
    int n = snprintf(buf, sizeof buf, "%" PRId64, static_cast<int64_t>(aValue));
    return Append(buf, n > 0 ? static_cast<size_t>(n) : 0);
}

CRtLog::CRtLogRecorder& CRtLog::CRtLogRecorder::AppendUnsigned(unsigned long long aValue) {
    char buf[32];
    int n = snprintf(buf, sizeof buf, m_bHex ? "%" PRIx64 : "%" PRIu64, static_cast<uint64_t>(aValue));
    m_bHex = false;
    return Append(buf, n > 0 ? static_cast<size_t>(n) : 0);
}

// Small integers are written as the int they promote to, in hexadecimal too.
CRtLog::CRtLogRecorder& CRtLog::CRtLogRecorder::operator<<(char aValue) {
    return m_bHex ? AppendUnsigned(static_cast<unsigned>(static_cast<int>(aValue))) : AppendSigned(aValue);
}
CRtLog::CRtLogRecorder& CRtLog::CRtLogRecorder::operator<<(unsigned char aValue) { return operator<<(static_cast<int>(aValue)); }
CRtLog::CRtLogRecorder& CRtLog::CRtLogRecorder::operator<<(short aValue) { return operator<<(static_cast<int>(aValue)); }
CRtLog::CRtLogRecorder& CRtLog::CRtLogRecorder::operator<<(unsigned short aValue) { return operator<<(static_cast<int>(aValue)); }
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

CRtLog::CRtLogRecorder& CRtLog::CRtLogRecorder::operator<<(float aValue) { return operator<<(static_cast<double>(aValue)); }

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
    char buf[32];
    int n = snprintf(buf, sizeof buf, "0x%" PRIxPTR, reinterpret_cast<uintptr_t>(aPointer));
    return Append(buf, n > 0 ? static_cast<size_t>(n) : 0);
}

CRtLog::CRtLogRecorder& CRtLog::CRtLogRecorder::operator<<(_ordix aOrdix) {
    m_bHex = aOrdix == hex;
    return *this;
}
