#include "../RtOsThread.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <new>
#include <pthread.h>
#include <sched.h>

namespace rtos {

namespace {

// Condition variables wait against the monotonic clock so that a step of
// the wall clock neither shortens nor stretches a wait.
struct Waitable {
    pthread_mutex_t mutex;
    pthread_cond_t cond;

    Waitable() {
        pthread_mutex_init(&mutex, nullptr);
        pthread_condattr_t attr;
        pthread_condattr_init(&attr);
        pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
        pthread_cond_init(&cond, &attr);
        pthread_condattr_destroy(&attr);
    }
    ~Waitable() {
        pthread_cond_destroy(&cond);
        pthread_mutex_destroy(&mutex);
    }

    // Waits under mutex until aReady() holds or the time runs out.
    template <class Ready>
    WaitResult WaitFor(uint64_t aTimeoutMs, Ready aReady) {
        if (aTimeoutMs == kWaitInfinite) {
            while (!aReady())
                pthread_cond_wait(&cond, &mutex);
            return WaitResult::kSignaled;
        }
        timespec deadline;
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        // Beyond a few centuries a deadline is as good as none.
        constexpr uint64_t kMaxMs = 10000ull * 365 * 24 * 3600 * 1000;
        uint64_t ms = aTimeoutMs > kMaxMs ? kMaxMs : aTimeoutMs;
        deadline.tv_sec += static_cast<time_t>(ms / 1000);
        deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            ++deadline.tv_sec;
            deadline.tv_nsec -= 1000000000L;
        }
        while (!aReady()) {
            int rc = pthread_cond_timedwait(&cond, &mutex, &deadline);
            if (rc == ETIMEDOUT)
                return aReady() ? WaitResult::kSignaled : WaitResult::kTimeout;
            if (rc != 0 && rc != EINTR)
                return WaitResult::kFailed;
        }
        return WaitResult::kSignaled;
    }
};

struct Event : Waitable {
    bool manual;
    bool signaled;
    int waiters = 0;
    // A manual-reset pulse releases every thread waiting at that moment:
    // they see the generation change.
    uint64_t pulseGeneration = 0;
    // An auto-reset pulse releases one waiting thread through a token.
    int pulseTokens = 0;
};

struct Semaphore : Waitable {
    int32_t count;
    int32_t maximum;
};

struct Thread {
    pthread_t thread;
    ThreadEntry entry;
    void* arg;
    Waitable done;
    bool finished = false;
    bool detached = false;  // joined or detached: nothing left to reclaim
    bool closed = false;    // the handle is gone: the thread frees the record
};

}  // namespace

EventHandle EventCreate(bool aManualReset, bool aInitialState, const char*) {
    Event* ev = new (std::nothrow) Event;
    if (!ev) {
        errno = ENOMEM;
        return nullptr;
    }
    ev->manual = aManualReset;
    ev->signaled = aInitialState;
    return ev;
}

bool EventClose(EventHandle aEvent) {
    delete static_cast<Event*>(aEvent);
    return aEvent != nullptr;
}

bool EventSet(EventHandle aEvent) {
    Event* ev = static_cast<Event*>(aEvent);
    if (!ev)
        return false;
    pthread_mutex_lock(&ev->mutex);
    ev->signaled = true;
    if (ev->manual)
        pthread_cond_broadcast(&ev->cond);
    else
        pthread_cond_signal(&ev->cond);
    pthread_mutex_unlock(&ev->mutex);
    return true;
}

bool EventReset(EventHandle aEvent) {
    Event* ev = static_cast<Event*>(aEvent);
    if (!ev)
        return false;
    pthread_mutex_lock(&ev->mutex);
    ev->signaled = false;
    pthread_mutex_unlock(&ev->mutex);
    return true;
}

bool EventPulse(EventHandle aEvent) {
    Event* ev = static_cast<Event*>(aEvent);
    if (!ev)
        return false;
    pthread_mutex_lock(&ev->mutex);
    ev->signaled = false;
    if (ev->manual) {
        ++ev->pulseGeneration;
        pthread_cond_broadcast(&ev->cond);
    } else if (ev->waiters > ev->pulseTokens) {
        ++ev->pulseTokens;
        pthread_cond_broadcast(&ev->cond);
    }
    pthread_mutex_unlock(&ev->mutex);
    return true;
}

WaitResult EventWait(EventHandle aEvent, uint64_t aTimeoutMs) {
    Event* ev = static_cast<Event*>(aEvent);
    if (!ev)
        return WaitResult::kFailed;
    pthread_mutex_lock(&ev->mutex);
    uint64_t generation = ev->pulseGeneration;
    ++ev->waiters;
    WaitResult rv = ev->WaitFor(
        aTimeoutMs, [&] { return ev->signaled || ev->pulseTokens > 0 || ev->pulseGeneration != generation; });
    --ev->waiters;
    if (ev->pulseTokens > ev->waiters && rv != WaitResult::kSignaled)
        ev->pulseTokens = ev->waiters;  // a pulse is not kept for later waiters
    if (rv == WaitResult::kSignaled && !ev->manual) {
        // An auto-reset event lets exactly one waiter through per signal.
        if (ev->signaled)
            ev->signaled = false;
        else if (ev->pulseTokens > 0)
            --ev->pulseTokens;
    }
    pthread_mutex_unlock(&ev->mutex);
    return rv;
}

SemaphoreHandle SemaphoreCreate(int32_t aInitial, int32_t aMaximum, const char*) {
    if (aMaximum < 1 || aInitial < 0 || aInitial > aMaximum) {
        errno = EINVAL;
        return nullptr;
    }
    Semaphore* sem = new (std::nothrow) Semaphore;
    if (!sem) {
        errno = ENOMEM;
        return nullptr;
    }
    sem->count = aInitial;
    sem->maximum = aMaximum;
    return sem;
}

bool SemaphoreClose(SemaphoreHandle aSem) {
    delete static_cast<Semaphore*>(aSem);
    return aSem != nullptr;
}

bool SemaphoreRelease(SemaphoreHandle aSem, int32_t aCount) {
    Semaphore* sem = static_cast<Semaphore*>(aSem);
    if (!sem || aCount < 1) {
        errno = EINVAL;
        return false;
    }
    pthread_mutex_lock(&sem->mutex);
    bool ok = aCount <= sem->maximum - sem->count;
    if (ok) {
        sem->count += aCount;
        if (aCount == 1)
            pthread_cond_signal(&sem->cond);
        else
            pthread_cond_broadcast(&sem->cond);
    } else {
        errno = EOVERFLOW;
    }
    pthread_mutex_unlock(&sem->mutex);
    return ok;
}

WaitResult SemaphoreWait(SemaphoreHandle aSem, uint64_t aTimeoutMs) {
    Semaphore* sem = static_cast<Semaphore*>(aSem);
    if (!sem)
        return WaitResult::kFailed;
    pthread_mutex_lock(&sem->mutex);
    WaitResult rv = sem->WaitFor(aTimeoutMs, [sem] { return sem->count > 0; });
    if (rv == WaitResult::kSignaled)
        --sem->count;
    pthread_mutex_unlock(&sem->mutex);
    return rv;
}

namespace {
void* ThreadMain(void* aArg) {
    Thread* t = static_cast<Thread*>(aArg);
    t->entry(t->arg);
    pthread_mutex_lock(&t->done.mutex);
    t->finished = true;
    bool closed = t->closed;
    pthread_cond_broadcast(&t->done.cond);
    pthread_mutex_unlock(&t->done.mutex);
    if (closed)
        delete t;
    return nullptr;
}
}  // namespace

ThreadHandle ThreadCreate(ThreadEntry aEntry, void* aArg) {
    Thread* t = new (std::nothrow) Thread;
    if (!t) {
        errno = ENOMEM;
        return nullptr;
    }
    t->entry = aEntry;
    t->arg = aArg;
    int rc = pthread_create(&t->thread, nullptr, ThreadMain, t);
    if (rc != 0) {
        delete t;
        errno = rc;
        return nullptr;
    }
    return t;
}

WaitResult ThreadJoin(ThreadHandle aThread, uint64_t aTimeoutMs) {
    Thread* t = static_cast<Thread*>(aThread);
    if (!t)
        return WaitResult::kFailed;
    pthread_mutex_lock(&t->done.mutex);
    WaitResult rv = t->done.WaitFor(aTimeoutMs, [t] { return t->finished; });
    bool join = rv == WaitResult::kSignaled && !t->detached;
    if (join)
        t->detached = true;
    pthread_mutex_unlock(&t->done.mutex);
    if (join)
        pthread_join(t->thread, nullptr);
    return rv;
}

// A thread cannot be killed safely here: it may hold a lock of the heap or
// the C library. It is let go instead.
bool ThreadCanTerminate() { return false; }

void ThreadTerminate(ThreadHandle aThread, unsigned) {
    Thread* t = static_cast<Thread*>(aThread);
    if (!t)
        return;
    pthread_mutex_lock(&t->done.mutex);
    bool detach = !t->detached;
    t->detached = true;
    pthread_mutex_unlock(&t->done.mutex);
    if (detach)
        pthread_detach(t->thread);
}

void ThreadClose(ThreadHandle aThread) {
    Thread* t = static_cast<Thread*>(aThread);
    if (!t)
        return;
    pthread_mutex_lock(&t->done.mutex);
    bool detach = !t->detached;
    t->detached = true;
    bool finished = t->finished;
    // A thread still running frees its own record when it ends.
    t->closed = !finished;
    pthread_mutex_unlock(&t->done.mutex);
    if (detach)
        pthread_detach(t->thread);
    if (finished)
        delete t;
}

bool ThreadPreferBatches() {
    sched_param param{};
    param.sched_priority = 0;
    int rc = pthread_setschedparam(pthread_self(), SCHED_BATCH, &param);
    if (rc != 0)
        errno = rc;
    return rc == 0;
}

void ThreadSetName(const char* aName) {
    char name[16];
    strncpy(name, aName ? aName : "", sizeof name - 1);
    name[sizeof name - 1] = '\0';
    pthread_setname_np(pthread_self(), name);
}

}  // namespace rtos
