#include "RtDataBlock.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "RtDebug.h"
#include "RtOs.h"

RtResult CRtDataBlock::CreateInstance(CRtDataBlock*& aDb, unsigned long aSize, const char* aData) {
    RT_ASSERTE(!aDb);
    RT_ASSERTE_RETURN(aSize > 0, RT_ERROR_INVALID_ARG);

    // A size beyond the 32-bit length is treated like any allocation the
    // system cannot satisfy, rather than truncated.
    void* mem = aSize <= kMaxLength ? std::malloc(sizeof(CRtDataBlock) + aSize) : nullptr;
    if (!mem) {
        RT_ERROR_TRACE("CRtDataBlock::CreateInstance, allocate failed! aSize=" << aSize);
        DumpCurrentMemory();
        return RT_ERROR_OUT_OF_MEMORY;
    }
    char* data = static_cast<char*>(mem) + sizeof(CRtDataBlock);
    if (aData)
        std::memcpy(data, aData, aSize);
    CRtDataBlock* db = new (mem) CRtDataBlock(static_cast<uint32_t>(aSize), data);
    db->AddReference();
    aDb = db;
    return RT_OK;
}

void CRtDataBlock::OnReferenceDestory() {
    void* mem = this;
    this->~CRtDataBlock();
    std::free(mem);
}

void DumpCurrentMemory() {
    rtos::ProcessMemory mem;
    if (!rtos::QueryProcessMemory(&mem))
        return;
    RT_INFO_TRACE("DumpCurrentMemory, mem = " << static_cast<unsigned long long>(mem.residentBytes >> 10)
                                              << " KB, virtual mem = "
                                              << static_cast<unsigned long long>(mem.virtualBytes >> 10));
}

CRtDataBlockNoMalloc::CRtDataBlockNoMalloc(const char* aStr, unsigned long aLen)
    : m_pBegin(aStr),
      m_pEnd(aStr ? aStr + aLen : nullptr),
      m_pCurrentRead(aStr),
      m_pCurrentWrite(const_cast<char*>(aStr)) {
    RT_ASSERTE(m_pBegin);
}

RtResult CRtDataBlockNoMalloc::Read(void* aDst, unsigned long aCount, unsigned long* aBytesRead) {
    RT_ASSERTE_RETURN(aDst, RT_ERROR_INVALID_ARG);
    RT_ASSERTE_RETURN(m_pCurrentRead, RT_ERROR_NOT_INITIALIZED);
    RT_ASSERTE(m_pCurrentRead <= m_pEnd);
    unsigned long left = m_pCurrentRead < m_pEnd ? static_cast<unsigned long>(m_pEnd - m_pCurrentRead) : 0;
    unsigned long n = aCount < left ? aCount : left;
    if (n)
        std::memcpy(aDst, m_pCurrentRead, n);
    m_pCurrentRead += n;
    if (aBytesRead)
        *aBytesRead = n;
    return n == aCount ? RT_OK : RT_ERROR_PARTIAL_DATA;
}

RtResult CRtDataBlockNoMalloc::Write(const void* aSrc, unsigned long aCount, unsigned long* aBytesWritten) {
    RT_ASSERTE_RETURN(aSrc, RT_ERROR_INVALID_ARG);
    RT_ASSERTE_RETURN(m_pCurrentWrite, RT_ERROR_NOT_INITIALIZED);
    RT_ASSERTE(m_pCurrentWrite <= m_pEnd);
    unsigned long left = m_pCurrentWrite < m_pEnd ? static_cast<unsigned long>(m_pEnd - m_pCurrentWrite) : 0;
    unsigned long n = aCount < left ? aCount : left;
    if (n)
        std::memcpy(m_pCurrentWrite, aSrc, n);
    m_pCurrentWrite += n;
    if (aBytesWritten)
        *aBytesWritten = n;
    return n == aCount ? RT_OK : RT_ERROR_PARTIAL_DATA;
}
