// Message blocks: light views over data blocks or caller memory, linked
// into chains that carry all network data.
//
//   begin          read            write           end
//     |  consumed    |   readable    |    space      |
//
// A chain belongs to one thread at a time and nothing here locks. Only the
// data block's count is atomic, so two blocks on different threads may view
// the same data block; the bytes behind a shared block's write position are
// shared too, so write only into blocks whose data you alone hold.
//
// Ownership: a block without DUPLICATED belongs to whoever made it (often a
// local) and no chain operation frees it; blocks made by the duplication
// operations carry DUPLICATED and end in DestroyChained or ReclaimGarbage.
// A block does not own its successor.
//
// Every member needs a real block: callers test a chain pointer for null
// before calling through it.
#pragma once

#include <atomic>
#include <cstdint>

#include "RtDataBlock.h"
#include "RtDefines.h"
#include "RtIovec.h"
#include "RtString.h"

class CRtMessageBlock {
public:
    enum {
        // Views caller memory and owns no data block; set by the constructor.
        DONT_DELETE = 0x1,
        // Constructor request only: allocate a data block even though a
        // pointer is given (its bytes are not copied).
        OWN_BUFFER = 0x2,
        // Reading / writing the block is reported as a caller error.
        READ_LOCKED = 0x100,
        WRITE_LOCKED = 0x200,
        // Heap block made by DuplicateTopLevel; freed by chain operations.
        DUPLICATED = 0x20000
    };

    // A block of aSize fresh bytes, or a view of aSize bytes at aData (unless
    // OWN_BUFFER). aAdvanceWritePtrSize marks that many bytes as written, so
    // (len, p, DONT_DELETE, len) wraps bytes that are already there.
    explicit CRtMessageBlock(unsigned long aSize, const char* aData = nullptr, unsigned long aFlag = 0,
                             unsigned long aAdvanceWritePtrSize = 0);
    // A view over the whole of aDb, sharing it.
    CRtMessageBlock(CRtDataBlock* aDb, unsigned long aFlag);
    // Releases the data block; the successor is left alone.
    ~CRtMessageBlock();

    CRtMessageBlock(const CRtMessageBlock&) = delete;
    CRtMessageBlock& operator=(const CRtMessageBlock&) = delete;

    // ---- This block only ---------------------------------------------------
    const char* GetTopLevelReadPtr() const;
    char* GetTopLevelWritePtr() const;
    // RT_ERROR_NOT_AVAILABLE, without moving, when the step passes the write
    // position (read) or the end (write).
    RtResult AdvanceTopLevelReadPtr(unsigned long aStep);
    RtResult AdvanceTopLevelWritePtr(unsigned long aStep);
    unsigned long GetTopLevelLength() const;
    unsigned long GetTopLevelSpace() const;
    // Copies what fits into this block's space (a null aSrc only reserves);
    // RT_ERROR_PARTIAL_DATA when not all of aCount fitted.
    RtResult Write(const void* aSrc, unsigned long aCount, unsigned long* aBytesWritten = nullptr);
    void LockReading() { RT_SET_BITS(m_Flag, READ_LOCKED); }
    void LockWriting() { RT_SET_BITS(m_Flag, WRITE_LOCKED); }
    // A DUPLICATED heap block showing the same bytes, sharing the data block
    // (caller memory is copied); no successor. Null when allocation fails.
    CRtMessageBlock* DuplicateTopLevel() const;
    unsigned long GetFlag() const { return m_Flag; }

    // ---- This block and its successors -------------------------------------
    // A null aDst skips the copy. RT_ERROR_PARTIAL_DATA when the chain holds
    // fewer than aCount bytes (those are read).
    RtResult Read(void* aDst, unsigned long aCount, unsigned long* aBytesRead = nullptr, bool aAdvance = true);
    // aCount bytes from aPos readable bytes on; moves nothing.
    RtResult Peek(void* aDst, unsigned long aCount, unsigned long aPos = 0,
                  unsigned long* aBytesPeeked = nullptr) const;
    unsigned long GetChainedLength() const;
    unsigned long GetChainedSpace() const;
    // Links aMb behind the last block; a block already in the chain is
    // reported and not linked again.
    void Append(CRtMessageBlock* aMb);
    CRtMessageBlock* GetNext() const { return m_pNext; }
    RtResult AdvanceChainedReadPtr(unsigned long aCount, unsigned long* aBytesRead = nullptr);
    // Marks bytes placed into the blocks' space from outside (a scatter
    // receive) as written; only blocks not yet read from can take them.
    RtResult AdvanceChainedWritePtr(unsigned long aCount, unsigned long* aBytesWritten = nullptr);
    // A wholly DUPLICATED copy of the chain, or null (nothing left behind).
    CRtMessageBlock* DuplicateChained() const;
    // Keeps the first aStart readable bytes in this chain and returns the
    // rest as a wholly DUPLICATED chain, or null when there is no rest.
    CRtMessageBlock* Disjoint(unsigned long aStart);
    // Frees the DUPLICATED blocks of the chain; others are reported, left
    // alone and unlinked.
    RtResult DestroyChained();
    // Drops leading empty blocks (freeing DUPLICATED ones); returns the
    // first block with data, or null.
    CRtMessageBlock* ReclaimGarbage();
    // One entry per non-empty block, at most aMax; aRemainder is the first
    // block not examined (null when the chain was used up).
    unsigned long FillIov(iovec* aIov, unsigned long aMax, unsigned long& aFillLength,
                          const CRtMessageBlock*& aRemainder) const;
    CRtString FlattenChained() const;
    void SaveChainedReadPtr();
    // true: read positions back to the saved ones; false: every block
    // emptied back to its begin.
    void RewindChained(bool aRead);

    bool operator==(const CRtMessageBlock& aOther) const;
    bool operator!=(const CRtMessageBlock& aOther) const { return !(*this == aOther); }

    // " [msgblock c-<created> d-<destroyed>]"; the counts are approximate.
    static CRtString GetBlockStatics();

private:
    void ResetToDataBlock();

    CRtMessageBlock* m_pNext = nullptr;
    CRtDataBlock* m_pDataBlock = nullptr;
    char* m_pReadPtr = nullptr;
    char* m_pWritePtr = nullptr;
    char* m_pSaveReadPtr = nullptr;
    char* m_pBeginPtr = nullptr;
    char* m_pEndPtr = nullptr;
    uint32_t m_Flag = 0;

    // The totals of the per-thread counts, as the last statistics line
    // added them up (see the .cpp).
    static std::atomic<int> s_block_createcount;
    static std::atomic<int> s_block_destoycount;
};
