// The process-wide table of threads that initialised COM through
// RtCoInitialize, with how many times each did.
#include <vector>

#include "RtBase.h"
#include "RtDebug.h"
#include "RtMutex.h"
#include "RtOsCom.h"
#include "RtThreadManager.h"

namespace {

struct CRtComInitRecord {
    uint32_t m_dwThreadId;
    int m_comInitNum;
};

struct CRtComInitTable {
    CRtMutexThread m_Mutex;
    std::vector<CRtComInitRecord> m_Records;
};

// Built on first use and never destroyed: threads may initialise COM from
// static constructors and undo it from static destructors.
CRtComInitTable& Table() {
    static CRtComInitTable* s_pTable = new CRtComInitTable;
    return *s_pTable;
}

std::vector<CRtComInitRecord>::iterator Find(CRtComInitTable& aTable, uint32_t aThreadId) {
    auto it = aTable.m_Records.begin();
    while (it != aTable.m_Records.end() && it->m_dwThreadId != aThreadId)
        ++it;
    return it;
}

}  // namespace

RtResult RtCoInitialize() {
    const uint32_t threadId = CRtThreadManager::GetThreadSelfId();
    CRtComInitTable& table = Table();
    CRtMutexGuardT<CRtMutexThread> guard(table.m_Mutex);
    auto it = Find(table, threadId);
    if (it != table.m_Records.end()) {
        RT_ASSERTE(it->m_comInitNum > 0);
        ++it->m_comInitNum;
        return RT_OK;
    }
    const int32_t rv = rtos::ComInitialize();
    if (rv != 0) {
        RT_WARNING_TRACE("::RtCoInitialize, CoInitialize failed! rv=" << rv << " threadID=" << threadId);
        // A positive result (the thread was initialised already) was still
        // counted by COM; the caller, told it failed, will not undo it.
        if (rv > 0)
            rtos::ComUninitialize();
        return RT_ERROR_FAILURE;
    }
    table.m_Records.push_back(CRtComInitRecord{threadId, 1});
    return RT_OK;
}

void RtCoUninitialize() {
    const uint32_t threadId = CRtThreadManager::GetThreadSelfId();
    CRtComInitTable& table = Table();
    CRtMutexGuardT<CRtMutexThread> guard(table.m_Mutex);
    auto it = Find(table, threadId);
    if (it == table.m_Records.end()) {
        RT_WARNING_TRACE("::RtCoUninitialize, COM initialization record not found! threadID=" << threadId);
        return;
    }
    RT_ASSERTE(it->m_comInitNum > 0);
    if (--it->m_comInitNum <= 0) {
        rtos::ComUninitialize();
        table.m_Records.erase(it);
    }
}
