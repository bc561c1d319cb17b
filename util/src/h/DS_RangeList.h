// A sorted list of disjoint, non-adjacent number ranges: the packet numbers
// a reliable UDP connection has received and not yet acknowledged. Ranges
// are numeric (minimum <= maximum) and never span the 16-bit wrap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class CRtRudpBitStream;

template <class T>
struct RangeNode {
    RangeNode() = default;
    RangeNode(T aMin, T aMax) : minIndex(aMin), maxIndex(aMax) {}
    T minIndex = 0;
    T maxIndex = 0;
};

template <class T>
class DS_RangeList {
public:
    // Adds one number, merging with neighbours.
    void Insert(T aIndex) {
        size_t lo = 0, hi = ranges.size();
        while (lo < hi) {
            size_t mid = (lo + hi) / 2;
            if (ranges[mid].maxIndex < aIndex)
                lo = mid + 1;
            else
                hi = mid;
        }
        // lo: first range whose maximum is >= aIndex.
        if (lo < ranges.size() && ranges[lo].minIndex <= aIndex)
            return;
        const bool joinsNext =
            lo < ranges.size() && aIndex != static_cast<T>(~T(0)) && ranges[lo].minIndex == static_cast<T>(aIndex + 1);
        const bool joinsPrev = lo > 0 && aIndex != 0 && ranges[lo - 1].maxIndex == static_cast<T>(aIndex - 1);
        if (joinsPrev && joinsNext) {
            ranges[lo - 1].maxIndex = ranges[lo].maxIndex;
            ranges.erase(ranges.begin() + static_cast<long>(lo));
        } else if (joinsPrev) {
            ranges[lo - 1].maxIndex = aIndex;
        } else if (joinsNext) {
            ranges[lo].minIndex = aIndex;
        } else {
            ranges.insert(ranges.begin() + static_cast<long>(lo), RangeNode<T>(aIndex, aIndex));
        }
    }
    void Clear() { ranges.clear(); }
    size_t Size() const { return ranges.size(); }
    bool IsEmpty() const { return ranges.empty(); }

    // Writes as many leading ranges as fit into aMaxBits (count first) and,
    // with aClearWritten, removes them. Returns the ranges written (0 when
    // not even one fits; nothing is written then).
    size_t Serialize(CRtRudpBitStream& aOut, int64_t aMaxBits, bool aClearWritten);
    // Replaces the list with the one read; false when the stream ends early.
    bool Deserialize(CRtRudpBitStream& aIn);
    // The bits Serialize needs for the first aCount ranges.
    int64_t BitsFor(size_t aCount) const;

    std::vector<RangeNode<T>> ranges;
};

extern template class DS_RangeList<uint16_t>;
