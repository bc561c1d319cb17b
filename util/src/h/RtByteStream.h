// Fixed-size values read from and written to a message block, with a
// failure that sticks: once a direction fails, its later calls do nothing
// (and are logged), so a decoder checks the result once at the end.
#pragma once

#include <cstdint>

#include "RtDebug.h"
#include "RtError.h"

// Values travel in host byte order (little-endian on the targets); the
// reliable connections' wire formats depend on it.
template <class BlockType>
class CRtByteStreamT {
public:
    explicit CRtByteStreamT(BlockType& aBlock) : m_Block(aBlock) {}

    CRtByteStreamT(const CRtByteStreamT&) = delete;
    CRtByteStreamT& operator=(const CRtByteStreamT&) = delete;

    // A chained, advancing read. A value the chain does not hold in full is
    // not read at all, so a decoder can wait for more bytes and start again.
    CRtByteStreamT& Read(void* aDst, unsigned long aCount) {
        unsigned long n = 0;
        if (m_ResultRead == RT_OK) {
            if (m_Block.GetChainedLength() < aCount)
                m_ResultRead = RT_ERROR_PARTIAL_DATA;
            else
                m_ResultRead = m_Block.Read(aDst, aCount, &n, true);
            if (m_ResultRead == RT_OK)
                return *this;
        }
        RT_ERROR_TRACE_THIS("CRtByteStreamT::Read, can't read. m_ResultRead=" << m_ResultRead << ", Read=" << n);
        return *this;
    }

    // Writes into the block's own space only.
    CRtByteStreamT& Write(const void* aSrc, unsigned long aCount) {
        unsigned long n = 0;
        if (m_ResultWrite == RT_OK) {
            m_ResultWrite = m_Block.Write(aSrc, aCount, &n);
            if (m_ResultWrite == RT_OK)
                return *this;
        }
        RT_ERROR_TRACE_THIS("CRtByteStreamT::Write, can't write. m_ResultWrite=" << m_ResultWrite << ", Written=" << n);
        return *this;
    }

    bool IsGood() const { return m_ResultRead == RT_OK && m_ResultWrite == RT_OK; }
    RtResult GetResultRead() const { return m_ResultRead; }
    RtResult GetResultWrite() const { return m_ResultWrite; }

    CRtByteStreamT& operator<<(char aValue) { return Write(&aValue, sizeof aValue); }
    CRtByteStreamT& operator<<(int8_t aValue) { return Write(&aValue, sizeof aValue); }
    CRtByteStreamT& operator<<(uint8_t aValue) { return Write(&aValue, sizeof aValue); }
    CRtByteStreamT& operator<<(int16_t aValue) { return Write(&aValue, sizeof aValue); }
    CRtByteStreamT& operator<<(uint16_t aValue) { return Write(&aValue, sizeof aValue); }
    CRtByteStreamT& operator<<(int32_t aValue) { return Write(&aValue, sizeof aValue); }
    CRtByteStreamT& operator<<(uint32_t aValue) { return Write(&aValue, sizeof aValue); }

    CRtByteStreamT& operator>>(char& aValue) { return Read(&aValue, sizeof aValue); }
    CRtByteStreamT& operator>>(int8_t& aValue) { return Read(&aValue, sizeof aValue); }
    CRtByteStreamT& operator>>(uint8_t& aValue) { return Read(&aValue, sizeof aValue); }
    CRtByteStreamT& operator>>(int16_t& aValue) { return Read(&aValue, sizeof aValue); }
    CRtByteStreamT& operator>>(uint16_t& aValue) { return Read(&aValue, sizeof aValue); }
    CRtByteStreamT& operator>>(int32_t& aValue) { return Read(&aValue, sizeof aValue); }
    CRtByteStreamT& operator>>(uint32_t& aValue) { return Read(&aValue, sizeof aValue); }

private:
    BlockType& m_Block;
    RtResult m_ResultRead = RT_OK;
    RtResult m_ResultWrite = RT_OK;
};
