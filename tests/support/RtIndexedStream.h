// Seeded, indexed message streams for end-to-end checks of the reliable
// connections: message i is its index (u32, little-endian) and a body whose
// length and bytes follow from (seed, i), so a receiver knows exactly what
// must come next and can tell a gap, a duplicate or a corrupted byte apart.
// Both directions keep an FNV-1a checksum of every byte they pass, which
// two processes can print and compare.
//
//   StreamSender   sends count messages over a transport as fast as its
//                  back-pressure allows (RT_ERROR_PARTIAL_DATA, OnSend)
//   StreamChecker  checks each message received against the next expected
//
// Network thread only (the transport's thread).
#pragma once

#include <cstdint>
#include <string>

#include "RtMessageBlock.h"
#include "RtNetworkBase.h"

namespace rttest {

class StreamChecksum {
public:
    void Add(const std::string& aBytes) {
        for (unsigned char c : aBytes) {
            m_nSum ^= c;
            m_nSum *= 0x100000001B3ULL;
        }
        m_nBytes += aBytes.size();
    }
    uint64_t Sum() const { return m_nSum; }
    uint64_t Bytes() const { return m_nBytes; }

private:
    uint64_t m_nSum = 0xCBF29CE484222325ULL;
    uint64_t m_nBytes = 0;
};

class IndexedStream {
public:
    IndexedStream(uint64_t aSeed, uint32_t aMaxBody) : m_nSeed(aSeed), m_nMaxBody(aMaxBody ? aMaxBody : 1) {}

    std::string Make(uint32_t aIndex) const {
        uint64_t state = Mix(m_nSeed ^ (0x9E3779B97F4A7C15ULL * (aIndex + 1ULL)));
        const size_t body = 1 + static_cast<size_t>(Next(state) % m_nMaxBody);
        std::string m(4 + body, '\0');
        for (int i = 0; i < 4; ++i)
            m[static_cast<size_t>(i)] = static_cast<char>((aIndex >> (8 * i)) & 0xFF);
        size_t at = 4;
        while (at < m.size()) {
            uint64_t word = Next(state);
            for (int i = 0; i < 8 && at < m.size(); ++i, word >>= 8)
                m[at++] = static_cast<char>(word & 0xFF);
        }
        return m;
    }
    static uint32_t IndexOf(const std::string& aMessage) {
        uint32_t index = 0;
        for (size_t i = 0; i < 4 && i < aMessage.size(); ++i)
            index |= static_cast<uint32_t>(static_cast<unsigned char>(aMessage[i])) << (8 * i);
        return index;
    }

private:
    static uint64_t Mix(uint64_t aX) {
        aX ^= aX >> 33;
        aX *= 0xFF51AFD7ED558CCDULL;
        aX ^= aX >> 33;
        return aX ? aX : 1;
    }
    static uint64_t Next(uint64_t& aState) {
        aState ^= aState << 13;
        aState ^= aState >> 7;
        aState ^= aState << 17;
        return aState;
    }

    uint64_t m_nSeed;
    uint32_t m_nMaxBody;
};

class StreamSender {
public:
    StreamSender(const IndexedStream& aStream, uint32_t aCount) : m_Stream(aStream), m_nCount(aCount) {}
    ~StreamSender() { Drop(); }

    // Sends until done or refused; call again from OnSend. Extra messages
    // queued with Also() follow the stream.
    void Pump(IRtTransport* aTrpt) {
        while (aTrpt) {
            if (!m_pPending) {
                std::string next;
                if (m_nNext < m_nCount) {
                    next = m_Stream.Make(m_nNext++);
                    m_Sum.Add(next);
                } else if (!m_strExtra.empty()) {
                    next.swap(m_strExtra);
                } else {
                    return;
                }
                CRtMessageBlock view(static_cast<unsigned long>(next.size()), next.data(), CRtMessageBlock::DONT_DELETE,
                                     static_cast<unsigned long>(next.size()));
                m_pPending = view.DuplicateChained();
            }
            if (aTrpt->SendData(*m_pPending) != RT_OK)
                return;
            Drop();
        }
    }
    void Also(const std::string& aMessage) { m_strExtra = aMessage; }
    // Forgets a message the transport refused (the connection is gone).
    void Drop() {
        if (m_pPending)
            m_pPending->DestroyChained();
        m_pPending = nullptr;
    }
    bool AllTaken() const { return m_nNext == m_nCount && !m_pPending && m_strExtra.empty(); }
    uint32_t Sent() const { return m_nNext; }
    const StreamChecksum& Sum() const { return m_Sum; }

private:
    const IndexedStream& m_Stream;
    uint32_t m_nCount;
    uint32_t m_nNext = 0;
    std::string m_strExtra;
    CRtMessageBlock* m_pPending = nullptr;
    StreamChecksum m_Sum;
};

class StreamChecker {
public:
    StreamChecker(const IndexedStream& aStream, uint32_t aCount) : m_Stream(aStream), m_nCount(aCount) {}

    // False (once, with the reason kept) on the first message that is not
    // the next expected one.
    bool Check(const std::string& aMessage) {
        if (!m_strError.empty())
            return false;
        const uint32_t index = IndexedStream::IndexOf(aMessage);
        if (m_nNext >= m_nCount) {
            m_strError = "message beyond the count, index " + std::to_string(index);
        } else if (aMessage.size() < 4 || index != m_nNext) {
            m_strError = "expected index " + std::to_string(m_nNext) + ", got " + std::to_string(index);
        } else if (aMessage != m_Stream.Make(m_nNext)) {
            m_strError = "corrupted message " + std::to_string(index);
        }
        if (!m_strError.empty())
            return false;
        ++m_nNext;
        m_Sum.Add(aMessage);
        return true;
    }
    bool Complete() const { return m_nNext == m_nCount && m_strError.empty(); }
    uint32_t Received() const { return m_nNext; }
    const std::string& Error() const { return m_strError; }
    const StreamChecksum& Sum() const { return m_Sum; }

private:
    const IndexedStream& m_Stream;
    uint32_t m_nCount;
    uint32_t m_nNext = 0;
    std::string m_strError;
    StreamChecksum m_Sum;
};

}  // namespace rttest
