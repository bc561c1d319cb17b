#include "../RtOs.h"

#include <pthread.h>

namespace rtos {

static_assert(sizeof(pthread_mutex_t) <= sizeof(CriticalSection::opaque), "critical section storage too small");
static_assert(alignof(pthread_mutex_t) <= alignof(CriticalSection), "critical section storage misaligned");

static pthread_mutex_t* Native(CriticalSection* cs) { return reinterpret_cast<pthread_mutex_t*>(cs->opaque); }

void CsInit(CriticalSection* cs) {
    // A Windows critical section is recursive; callers rely on that.
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(Native(cs), &attr);
    pthread_mutexattr_destroy(&attr);
}

void CsDestroy(CriticalSection* cs) { pthread_mutex_destroy(Native(cs)); }
void CsEnter(CriticalSection* cs) { pthread_mutex_lock(Native(cs)); }
bool CsTryEnter(CriticalSection* cs) { return pthread_mutex_trylock(Native(cs)) == 0; }
void CsLeave(CriticalSection* cs) { pthread_mutex_unlock(Native(cs)); }

}  // namespace rtos
