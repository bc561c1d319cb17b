#include "DS_RangeList.h"

#include "RtCnRudp.h"

template <class T>
int64_t DS_RangeList<T>::BitsFor(size_t aCount) const {
    int64_t bits = CRtRudpBitStream::CompressedBits(static_cast<uint16_t>(aCount));
    for (size_t i = 0; i < aCount && i < ranges.size(); ++i)
        bits += ranges[i].minIndex == ranges[i].maxIndex ? 17 : 33;
    return bits;
}

template <class T>
size_t DS_RangeList<T>::Serialize(CRtRudpBitStream& aOut, int64_t aMaxBits, bool aClearWritten) {
    // A count of 65535 or more cannot be written.
    size_t limit = ranges.size() < 65534 ? ranges.size() : 65534;
    int64_t bits = 0;
    size_t count = 0;
    while (count < limit) {
        int64_t next = bits + (ranges[count].minIndex == ranges[count].maxIndex ? 17 : 33);
        if (next + CRtRudpBitStream::CompressedBits(static_cast<uint16_t>(count + 1)) > aMaxBits)
            break;
        bits = next;
        ++count;
    }
    if (!count)
        return 0;
    aOut.WriteCompressed16(static_cast<uint16_t>(count));
    for (size_t i = 0; i < count; ++i) {
        const bool single = ranges[i].minIndex == ranges[i].maxIndex;
        aOut.WriteBit(single);
        aOut.Write16(static_cast<uint16_t>(ranges[i].minIndex));
        if (!single)
            aOut.Write16(static_cast<uint16_t>(ranges[i].maxIndex));
    }
    if (aClearWritten)
        ranges.erase(ranges.begin(), ranges.begin() + static_cast<long>(count));
    return count;
}

template <class T>
bool DS_RangeList<T>::Deserialize(CRtRudpBitStream& aIn) {
    ranges.clear();
    uint16_t count = 0;
    if (!aIn.ReadCompressed16(count))
        return false;
    // Each range takes at least 17 bits: a count beyond what the rest can
    // hold is a lie, and nothing is reserved for it.
    if (static_cast<size_t>(count) * 17 > aIn.GetNumberOfUnreadBits())
        return false;
    ranges.reserve(count);
    for (uint16_t i = 0; i < count; ++i) {
        bool single = false;
        uint16_t lo = 0, hi = 0;
        if (!aIn.ReadBit(single) || !aIn.Read16(lo))
            return false;
        if (single)
            hi = lo;
        else if (!aIn.Read16(hi))
            return false;
        ranges.emplace_back(static_cast<T>(lo), static_cast<T>(hi));
    }
    return true;
}

template class DS_RangeList<uint16_t>;
