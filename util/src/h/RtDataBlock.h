// Reference-counted data bytes and a cursor over caller memory.
#pragma once

#include <cstdint>

#include "RtError.h"
#include "RtMutex.h"
#include "RtReferenceControl.h"

// A fixed number of data bytes shared by the message blocks that view them.
// Header and data are one allocation, the data right behind the header. Made
// only by CreateInstance (with one reference for the caller) and destroyed
// by the last ReleaseReference; the count is atomic, so blocks on different
// threads may share one data block.
class CRtDataBlock : public CRtReferenceControlT<CRtMutexThread> {
public:
    // The largest size CreateInstance accepts: the length is 32 bits, and
    // header plus data must fit a size_t on 32-bit targets as well.
    static constexpr unsigned long kMaxLength = 0xFFFFFFFFul - 64u;

    // aDb must be null on entry. With aData, its first aSize bytes are
    // copied in. RT_ERROR_INVALID_ARG for size 0, RT_ERROR_OUT_OF_MEMORY when
    // the allocation fails or aSize exceeds kMaxLength.
    static RtResult CreateInstance(CRtDataBlock*& aDb, unsigned long aSize, const char* aData = nullptr);

    char* GetBasePtr() const { return m_pData; }
    unsigned long GetLength() const { return m_dwLength; }
    unsigned long GetCapacity() const { return m_dwLength; }

    CRtDataBlock(const CRtDataBlock&) = delete;
    CRtDataBlock& operator=(const CRtDataBlock&) = delete;

protected:
    void OnReferenceDestory() override;

private:
    CRtDataBlock(uint32_t aLength, char* aData) : m_dwLength(aLength), m_pData(aData) {}
    ~CRtDataBlock() override = default;

    uint32_t m_dwLength;
    char* m_pData;
};

// Logs the process's memory use (INFO) after an allocation failure; logs
// nothing when the system cannot tell.
void DumpCurrentMemory();

// Independent read and write cursors over caller memory, both bounded by
// its end. Owns nothing.
class CRtDataBlockNoMalloc {
public:
    CRtDataBlockNoMalloc(const char* aStr, unsigned long aLen);

    // RT_OK when all aCount bytes moved, RT_ERROR_PARTIAL_DATA when the end
    // came first; the number moved goes to the optional out argument.
    RtResult Read(void* aDst, unsigned long aCount, unsigned long* aBytesRead = nullptr);
    RtResult Write(const void* aSrc, unsigned long aCount, unsigned long* aBytesWritten = nullptr);

private:
    const char* m_pBegin;
    const char* m_pEnd;
    const char* m_pCurrentRead;
    char* m_pCurrentWrite;
};
