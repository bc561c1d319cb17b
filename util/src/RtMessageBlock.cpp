#include "RtMessageBlock.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "RtDebug.h"

std::atomic<int> CRtMessageBlock::s_block_createcount{0};
std::atomic<int> CRtMessageBlock::s_block_destoycount{0};

// Reports a check under its usual text where the test itself is written
// so that it cannot overflow.
#define RT_MB_REPORT(text) ::RtAssertReport(__FILE__, __LINE__, text)

namespace {
// Constructors never keep the request bit or the lock bits.
constexpr uint32_t kTransientBits = CRtMessageBlock::OWN_BUFFER | 0xFF00u;

unsigned long Distance(const char* aFrom, const char* aTo) { return static_cast<unsigned long>(aTo - aFrom); }
}  // namespace

// Blocks are made and freed on every thread for every request: counting
// each one in two shared atomics would bounce their cache line between the
// cores. Each thread counts in a record of its own (written by it alone),
// linked once into a list that is never shortened; the statistics line
// adds them up. A thread-local pointer, not a thread-local object: objects
// with destructors cost an exit-time clean-up that can deadlock on Windows
// while other threads still run.
struct alignas(64) CRtMessageBlockCounts {
    std::atomic<int> created{0};
    std::atomic<int> destroyed{0};
    CRtMessageBlockCounts* next = nullptr;
};

namespace {
std::atomic<CRtMessageBlockCounts*> g_counts{nullptr};
thread_local CRtMessageBlockCounts* t_counts = nullptr;

CRtMessageBlockCounts& MyCounts() {
    if (!t_counts) {
        auto* counts = new CRtMessageBlockCounts;
        counts->next = g_counts.load(std::memory_order_relaxed);
        while (!g_counts.compare_exchange_weak(counts->next, counts, std::memory_order_release,
                                               std::memory_order_relaxed)) {
        }
        t_counts = counts;
    }
    return *t_counts;
}

// One writer per record: a plain load and store, no locked instruction.
void Bump(std::atomic<int>& aCount) {
    aCount.store(aCount.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}
void CountCreated() { Bump(MyCounts().created); }
void CountDestroyed() { Bump(MyCounts().destroyed); }
}  // namespace

CRtMessageBlock::CRtMessageBlock(unsigned long aSize, const char* aData, unsigned long aFlag,
                                 unsigned long aAdvanceWritePtrSize) {
    CountCreated();
    uint32_t flag = static_cast<uint32_t>(aFlag);
    if (aData && RT_BIT_DISABLED(flag, OWN_BUFFER)) {
        m_pBeginPtr = m_pReadPtr = m_pWritePtr = const_cast<char*>(aData);
        m_pEndPtr = m_pBeginPtr + aSize;
        RT_SET_BITS(flag, DONT_DELETE);
    } else {
        RT_CLR_BITS(flag, DONT_DELETE);
        // The bytes at aData are never copied: OWN_BUFFER asks for room only.
        if (aSize)
            CRtDataBlock::CreateInstance(m_pDataBlock, aSize, nullptr);
        ResetToDataBlock();
    }
    if (aAdvanceWritePtrSize)
        AdvanceTopLevelWritePtr(aAdvanceWritePtrSize);
    m_Flag = flag & ~kTransientBits;
}

CRtMessageBlock::CRtMessageBlock(CRtDataBlock* aDb, unsigned long aFlag) {
    CountCreated();
    RT_ASSERTE(RT_BIT_DISABLED(aFlag, CRtMessageBlock::DONT_DELETE));
    m_pDataBlock = aDb;
    if (m_pDataBlock)
        m_pDataBlock->AddReference();
    ResetToDataBlock();
    m_Flag = static_cast<uint32_t>(aFlag) & ~(kTransientBits | DONT_DELETE);
}

CRtMessageBlock::~CRtMessageBlock() {
    CountDestroyed();
    if (m_pDataBlock)
        m_pDataBlock->ReleaseReference();
}

void CRtMessageBlock::ResetToDataBlock() {
    if (m_pDataBlock) {
        m_pBeginPtr = m_pReadPtr = m_pWritePtr = m_pDataBlock->GetBasePtr();
        m_pEndPtr = m_pBeginPtr + m_pDataBlock->GetLength();
    } else {
        m_pBeginPtr = m_pReadPtr = m_pWritePtr = m_pEndPtr = nullptr;
    }
}

const char* CRtMessageBlock::GetTopLevelReadPtr() const {
    RT_ASSERTE(RT_BIT_DISABLED(m_Flag, READ_LOCKED));
    return m_pReadPtr;
}

char* CRtMessageBlock::GetTopLevelWritePtr() const {
    RT_ASSERTE(RT_BIT_DISABLED(m_Flag, WRITE_LOCKED));
    return m_pWritePtr;
}

RtResult CRtMessageBlock::AdvanceTopLevelReadPtr(unsigned long aStep) {
    RT_ASSERTE(RT_BIT_DISABLED(m_Flag, READ_LOCKED));
    if (aStep > GetTopLevelLength()) {
        RT_MB_REPORT("m_pWritePtr >= m_pReadPtr + aStep");
        return RT_ERROR_NOT_AVAILABLE;
    }
    m_pReadPtr += aStep;
    return RT_OK;
}

RtResult CRtMessageBlock::AdvanceTopLevelWritePtr(unsigned long aStep) {
    RT_ASSERTE(RT_BIT_DISABLED(m_Flag, WRITE_LOCKED));
    if (aStep > GetTopLevelSpace()) {
        RT_MB_REPORT("m_pWritePtr + aStep <= m_pEndPtr");
        return RT_ERROR_NOT_AVAILABLE;
    }
    m_pWritePtr += aStep;
    return RT_OK;
}

unsigned long CRtMessageBlock::GetTopLevelLength() const {
    RT_ASSERTE_RETURN(m_pWritePtr >= m_pReadPtr, 0);
    return Distance(m_pReadPtr, m_pWritePtr);
}

unsigned long CRtMessageBlock::GetTopLevelSpace() const {
    RT_ASSERTE_RETURN(m_pEndPtr >= m_pWritePtr, 0);
    return Distance(m_pWritePtr, m_pEndPtr);
}

RtResult CRtMessageBlock::Write(const void* aSrc, unsigned long aCount, unsigned long* aBytesWritten) {
    RT_ASSERTE(RT_BIT_DISABLED(m_Flag, WRITE_LOCKED));
    unsigned long space = GetTopLevelSpace();
    unsigned long n = aCount <= space ? aCount : space;
    if (aSrc && n)
        std::memcpy(m_pWritePtr, aSrc, n);
    m_pWritePtr += n;
    if (aBytesWritten)
        *aBytesWritten = n;
    if (n == aCount)
        return RT_OK;
    RT_ASSERTE(m_pWritePtr == m_pEndPtr);
    return RT_ERROR_PARTIAL_DATA;
}

CRtMessageBlock* CRtMessageBlock::DuplicateTopLevel() const {
    CRtMessageBlock* dup;
    unsigned long size = Distance(m_pBeginPtr, m_pEndPtr);
    if (RT_BIT_ENABLED(m_Flag, DONT_DELETE)) {
        // The caller's memory may go away: the copy gets its own bytes.
        RT_ASSERTE(!m_pDataBlock);
        dup = new (std::nothrow) CRtMessageBlock(size, m_pBeginPtr, (m_Flag & ~DONT_DELETE) | OWN_BUFFER);
        if (dup && size && !dup->m_pDataBlock) {
            delete dup;
            return nullptr;
        }
        if (dup && size)
            std::memcpy(dup->m_pBeginPtr, m_pBeginPtr, size);
    } else {
        dup = new (std::nothrow) CRtMessageBlock(m_pDataBlock, m_Flag);
    }
    if (!dup)
        return nullptr;
    dup->m_pReadPtr += Distance(m_pBeginPtr, m_pReadPtr);
    dup->m_pWritePtr += Distance(m_pBeginPtr, m_pWritePtr);
    RT_SET_BITS(dup->m_Flag, DUPLICATED);
    return dup;
}

RtResult CRtMessageBlock::Read(void* aDst, unsigned long aCount, unsigned long* aBytesRead, bool aAdvance) {
    unsigned long total = 0;
    RtResult rv = RT_ERROR_PARTIAL_DATA;
    if (aCount == 0) {
        rv = RT_OK;
    } else {
        for (CRtMessageBlock* pMbMove = this; pMbMove; pMbMove = pMbMove->m_pNext) {
            RT_ASSERTE(RT_BIT_DISABLED(pMbMove->m_Flag, READ_LOCKED));
            unsigned long len = pMbMove->GetTopLevelLength();
            unsigned long n = len < aCount - total ? len : aCount - total;
            if (aDst && n)
                std::memcpy(static_cast<char*>(aDst) + total, pMbMove->m_pReadPtr, n);
            total += n;
            if (aAdvance)
                pMbMove->m_pReadPtr += n;
            if (total == aCount) {
                rv = RT_OK;
                break;
            }
        }
    }
    if (aBytesRead)
        *aBytesRead = total;
    return rv;
}

RtResult CRtMessageBlock::Peek(void* aDst, unsigned long aCount, unsigned long aPos,
                               unsigned long* aBytesPeeked) const {
    // Walks forward to the block holding aPos instead of recursing, so a
    // long chain cannot exhaust the stack.
    const CRtMessageBlock* pMbMove = this;
    for (;;) {
        RT_ASSERTE(RT_BIT_DISABLED(pMbMove->m_Flag, READ_LOCKED));
        unsigned long len = pMbMove->GetTopLevelLength();
        if (aPos < len)
            break;
        if (!pMbMove->m_pNext)
            return RT_ERROR_PARTIAL_DATA;
        aPos -= len;
        pMbMove = pMbMove->m_pNext;
    }
    unsigned long here = pMbMove->GetTopLevelLength() - aPos;
    if (aCount <= here) {
        if (aDst && aCount)
            std::memcpy(aDst, pMbMove->m_pReadPtr + aPos, aCount);
        if (aBytesPeeked)
            *aBytesPeeked = aCount;
        return RT_OK;
    }
    if (aDst)
        std::memcpy(aDst, pMbMove->m_pReadPtr + aPos, here);
    if (!pMbMove->m_pNext) {
        if (aBytesPeeked)
            *aBytesPeeked = here;
        return RT_ERROR_PARTIAL_DATA;
    }
    unsigned long rest = 0;
    RtResult rv = pMbMove->m_pNext->Read(aDst ? static_cast<char*>(aDst) + here : nullptr, aCount - here, &rest, false);
    if (aBytesPeeked)
        *aBytesPeeked = here + rest;
    return rv;
}

unsigned long CRtMessageBlock::GetChainedLength() const {
    unsigned long total = 0;
    for (const CRtMessageBlock* p = this; p; p = p->m_pNext)
        total += p->GetTopLevelLength();
    return total;
}

unsigned long CRtMessageBlock::GetChainedSpace() const {
    unsigned long total = 0;
    for (const CRtMessageBlock* p = this; p; p = p->m_pNext)
        total += p->GetTopLevelSpace();
    return total;
}

void CRtMessageBlock::Append(CRtMessageBlock* aMb) {
    CRtMessageBlock* pMbMove = this;
    bool inChain = false;
    for (;; pMbMove = pMbMove->m_pNext) {
        if (aMb == pMbMove) {
            RT_ASSERTE(aMb != pMbMove);
            inChain = true;
        }
        if (!pMbMove->m_pNext)
            break;
    }
    // Linking it again would make the chain a ring that every walk follows
    // for ever.
    if (!inChain)
        pMbMove->m_pNext = aMb;
}

RtResult CRtMessageBlock::AdvanceChainedReadPtr(unsigned long aCount, unsigned long* aBytesRead) {
    if (aCount == 0)
        return RT_OK;
    return Read(nullptr, aCount, aBytesRead, true);
}

RtResult CRtMessageBlock::AdvanceChainedWritePtr(unsigned long aCount, unsigned long* aBytesWritten) {
    if (aCount == 0)
        return RT_OK;
    RT_ASSERTE(RT_BIT_DISABLED(m_Flag, WRITE_LOCKED));
    unsigned long dwNeedWrite = aCount;
    for (CRtMessageBlock* pCurrent = this; pCurrent; pCurrent = pCurrent->m_pNext) {
        if (pCurrent->m_pBeginPtr != pCurrent->m_pReadPtr) {
            RT_ASSERTE(pCurrent->m_pBeginPtr == pCurrent->m_pReadPtr);
            RT_ERROR_TRACE("CRtMessageBlock::AdvanceChainedWritePtr, can't advance. m_pBeginPtr="
                           << static_cast<const void*>(pCurrent->m_pBeginPtr)
                           << " m_pReadPtr=" << static_cast<const void*>(pCurrent->m_pReadPtr));
            if (aBytesWritten)
                *aBytesWritten = aCount - dwNeedWrite;
            return RT_ERROR_PARTIAL_DATA;
        }
        unsigned long space = pCurrent->GetTopLevelSpace();
        if (dwNeedWrite <= space) {
            pCurrent->m_pWritePtr += dwNeedWrite;
            if (aBytesWritten)
                *aBytesWritten = aCount;
            return RT_OK;
        }
        pCurrent->m_pWritePtr += space;
        dwNeedWrite -= space;
    }
    RT_ASSERTE(aCount > dwNeedWrite);
    if (aBytesWritten)
        *aBytesWritten = aCount - dwNeedWrite;
    return RT_ERROR_PARTIAL_DATA;
}

CRtMessageBlock* CRtMessageBlock::DuplicateChained() const {
    CRtMessageBlock* head = nullptr;
    CRtMessageBlock* tail = nullptr;
    for (const CRtMessageBlock* p = this; p; p = p->m_pNext) {
        CRtMessageBlock* dup = p->DuplicateTopLevel();
        if (!dup) {
            RT_WARNING_TRACE_THIS("CRtMessageBlock::DuplicateChained, return NULL from DuplicateTopLevel!");
            if (head)
                head->DestroyChained();
            return nullptr;
        }
        if (tail)
            tail->m_pNext = dup;
        else
            head = dup;
        tail = dup;
    }
    return head;
}

CRtMessageBlock* CRtMessageBlock::Disjoint(unsigned long aStart) {
    unsigned long chained = GetChainedLength();
    if (aStart > chained) {
        RT_WARNING_TRACE_THIS("CRtMessageBlock::Disjoint, start=" << aStart << " len=" << chained);
        return nullptr;
    }
    // Nothing to hand over: the chain stays whole, trailing empty blocks
    // included.
    if (aStart == chained)
        return nullptr;

    CRtMessageBlock* tail = nullptr;
    unsigned long off = aStart;
    for (CRtMessageBlock* p = this; p; p = p->m_pNext) {
        unsigned long len = p->GetTopLevelLength();
        if (off == 0 && len == 0)
            continue;
        if (off == len) {
            tail = p->m_pNext;
            p->m_pNext = nullptr;
            break;
        }
        if (off < len) {
            CRtMessageBlock* dup = p->DuplicateTopLevel();
            if (!dup) {
                RT_WARNING_TRACE_THIS("CRtMessageBlock::Disjoint, return NULL from DuplicateTopLevel!");
                return nullptr;
            }
            dup->m_pReadPtr += off;
            dup->m_pNext = p->m_pNext;
            p->m_pWritePtr = p->m_pReadPtr + off;
            p->m_pNext = nullptr;
            tail = dup;
            break;
        }
        off -= len;
    }

    // The receiver destroys the tail, so it may hold only DUPLICATED blocks;
    // the blocks replaced here still belong to their makers.
    CRtMessageBlock* pPrevious = nullptr;
    for (CRtMessageBlock* pMove = tail; pMove;) {
        if (RT_BIT_DISABLED(pMove->m_Flag, DUPLICATED)) {
            RT_WARNING_TRACE("CRtMessageBlock::Disjoint, there are not DUPLICATED blocks behind the disjointed block.");
            CRtMessageBlock* dup = pMove->DuplicateTopLevel();
            if (!dup) {
                // Put the tail back so that no byte is lost; the chain then
                // reads as before the call.
                Append(tail);
                return nullptr;
            }
            dup->m_pNext = pMove->m_pNext;
            if (pPrevious) {
                RT_ASSERTE(pPrevious->m_pNext == pMove);
                pPrevious->m_pNext = dup;
            } else {
                tail = dup;
            }
            pMove->m_pNext = nullptr;
            pMove = dup;
        }
        pPrevious = pMove;
        pMove = pMove->m_pNext;
    }
    return tail;
}

RtResult CRtMessageBlock::DestroyChained() {
    for (CRtMessageBlock* pMbMove = this; pMbMove;) {
        CRtMessageBlock* next = pMbMove->m_pNext;
        if (RT_BIT_ENABLED(pMbMove->m_Flag, DUPLICATED)) {
            delete pMbMove;
        } else {
            RT_ASSERTE(RT_BIT_ENABLED(pMbMove->m_Flag, DUPLICATED));
            // The block outlives the chain; it must not point into freed blocks.
            pMbMove->m_pNext = nullptr;
        }
        pMbMove = next;
    }
    return RT_OK;
}

CRtMessageBlock* CRtMessageBlock::ReclaimGarbage() {
    CRtMessageBlock* pMbMove = this;
    while (pMbMove && pMbMove->GetTopLevelLength() == 0) {
        CRtMessageBlock* next = pMbMove->m_pNext;
        if (RT_BIT_ENABLED(pMbMove->m_Flag, DUPLICATED))
            delete pMbMove;
        else
            pMbMove->m_pNext = nullptr;  // its successor may be freed next
        pMbMove = next;
    }
    return pMbMove;
}

unsigned long CRtMessageBlock::FillIov(iovec* aIov, unsigned long aMax, unsigned long& aFillLength,
                                       const CRtMessageBlock*& aRemainder) const {
    aFillLength = 0;
    unsigned long filled = 0;
    const CRtMessageBlock* p = this;
    for (; p && filled < aMax; p = p->m_pNext) {
        unsigned long len = p->GetTopLevelLength();
        if (len == 0)
            continue;
        rtos::SetIoVec(aIov[filled], p->m_pReadPtr, len);
        aFillLength += len;
        ++filled;
    }
    aRemainder = p;
    return filled;
}

CRtString CRtMessageBlock::FlattenChained() const {
    CRtString result;
    unsigned long len = GetChainedLength();
    result.reserve(len + 1);
    for (const CRtMessageBlock* p = this; p; p = p->m_pNext)
        result.append(p->m_pReadPtr, p->GetTopLevelLength());
    return result;
}

void CRtMessageBlock::SaveChainedReadPtr() {
    for (CRtMessageBlock* i = this; i; i = i->m_pNext)
        i->m_pSaveReadPtr = i->m_pReadPtr;
}

void CRtMessageBlock::RewindChained(bool aRead) {
    for (CRtMessageBlock* i = this; i; i = i->m_pNext) {
        if (aRead) {
            RT_ASSERTE(i->m_pSaveReadPtr);
            // A saved position the block no longer covers (its write position
            // moved back since) would break begin <= read <= write.
            if (i->m_pSaveReadPtr && i->m_pSaveReadPtr >= i->m_pBeginPtr && i->m_pSaveReadPtr <= i->m_pWritePtr)
                i->m_pReadPtr = i->m_pSaveReadPtr;
        } else {
            // The read position cannot stay ahead of the write position.
            i->m_pWritePtr = i->m_pReadPtr = i->m_pBeginPtr;
        }
    }
}

bool CRtMessageBlock::operator==(const CRtMessageBlock& aOther) const {
    return GetChainedLength() == aOther.GetChainedLength() && FlattenChained() == aOther.FlattenChained();
}

CRtString CRtMessageBlock::GetBlockStatics() {
    char text[128];
    int created = 0, destroyed = 0;
    for (CRtMessageBlockCounts* c = g_counts.load(std::memory_order_acquire); c; c = c->next) {
        created += c->created.load(std::memory_order_relaxed);
        destroyed += c->destroyed.load(std::memory_order_relaxed);
    }
    s_block_createcount.store(created, std::memory_order_relaxed);
    s_block_destoycount.store(destroyed, std::memory_order_relaxed);
    int n = snprintf(text, sizeof text, " [msgblock c-%d d-%d]", created, destroyed);
    if (n < 0 || static_cast<size_t>(n) >= sizeof text)
        return CRtString();
    return CRtString(text, static_cast<size_t>(n));
}
