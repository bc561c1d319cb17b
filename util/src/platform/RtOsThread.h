// Kernel-style waitable objects and threads.
//
// Events (auto- or manual-reset, with pulse) and counting semaphores behave
// as the Windows kernel objects do on both systems. Time limits are
// milliseconds; kWaitInfinite waits without limit. Long limits never wrap
// into short ones.
#pragma once

#include <cstdint>

namespace rtos {

constexpr uint64_t kWaitInfinite = UINT64_MAX;

enum class WaitResult { kSignaled, kTimeout, kFailed };

// ---- Events ----------------------------------------------------------------
using EventHandle = void*;
// Null on failure (the error in LastError()).
EventHandle EventCreate(bool aManualReset, bool aInitialState, const char* aName);
bool EventClose(EventHandle aEvent);
bool EventSet(EventHandle aEvent);
bool EventReset(EventHandle aEvent);
// Releases the threads waiting now (one for an auto-reset event) and leaves
// the event unsignalled.
bool EventPulse(EventHandle aEvent);
WaitResult EventWait(EventHandle aEvent, uint64_t aTimeoutMs);

// ---- Semaphores ------------------------------------------------------------
using SemaphoreHandle = void*;
SemaphoreHandle SemaphoreCreate(int32_t aInitial, int32_t aMaximum, const char* aName);
bool SemaphoreClose(SemaphoreHandle aSem);
// Fails, changing nothing, when aCount is below 1 or the maximum would be
// passed.
bool SemaphoreRelease(SemaphoreHandle aSem, int32_t aCount);
WaitResult SemaphoreWait(SemaphoreHandle aSem, uint64_t aTimeoutMs);

// ---- Threads ---------------------------------------------------------------
using ThreadHandle = void*;
using ThreadEntry = unsigned (*)(void* aArg);
// Starts a thread running aEntry(aArg); null on failure (error in LastError()).
ThreadHandle ThreadCreate(ThreadEntry aEntry, void* aArg);
WaitResult ThreadJoin(ThreadHandle aThread, uint64_t aTimeoutMs);
// Whether ThreadTerminate really ends a thread. Where it cannot, it only
// lets the thread go: its resources must then stay alive.
bool ThreadCanTerminate();
void ThreadTerminate(ThreadHandle aThread, unsigned aExitCode);
// Releases the handle of a joined or terminated thread.
void ThreadClose(ThreadHandle aThread);
// Names the calling thread for debuggers (cut to what the system keeps).
void ThreadSetName(const char* aName);
// Tells the scheduler that the calling thread works through batches that
// other threads hand it: waking it then does not preempt the thread that
// woke it, which goes on posting the rest of its round first (Linux
// SCHED_BATCH). False where the system refused; Windows has no such policy
// and answers true.
bool ThreadPreferBatches();

}  // namespace rtos
