#include "../RtOs.h"

#include "RtOsWin32.h"

namespace rtos {

static_assert(sizeof(CRITICAL_SECTION) <= sizeof(CriticalSection::opaque), "critical section storage too small");
static_assert(alignof(CRITICAL_SECTION) <= alignof(CriticalSection), "critical section storage misaligned");

static CRITICAL_SECTION* Native(CriticalSection* cs) { return reinterpret_cast<CRITICAL_SECTION*>(cs->opaque); }

void CsInit(CriticalSection* cs) { InitializeCriticalSection(Native(cs)); }
void CsDestroy(CriticalSection* cs) { DeleteCriticalSection(Native(cs)); }
void CsEnter(CriticalSection* cs) { EnterCriticalSection(Native(cs)); }
bool CsTryEnter(CriticalSection* cs) { return TryEnterCriticalSection(Native(cs)) != FALSE; }
void CsLeave(CriticalSection* cs) { LeaveCriticalSection(Native(cs)); }

}  // namespace rtos
