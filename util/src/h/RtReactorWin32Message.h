// The window-message reactors. One hidden notification window per reactor
// carries socket readiness, event-queue wake-ups and a 30 ms tick; its
// procedure turns them into handler calls, event batches and timer passes.
// The tick runs only while the thread has timers or waiting events, so an
// idle thread sleeps until a socket, a post or a new timer wakes it.
// All operations but NotifyHandler, StopEventLoop, ScheduleTimer,
// CancelTimer and the event queue's run on the reactor's own thread.
#pragma once

#include <atomic>
#include <mutex>

#include "RtEnsureSingleThread.h"
#include "RtOsWindow.h"
#include "RtReactor.h"
#include "RtStopFlag.h"
#include "RtTimerQueue.h"
#include "RtWinEventHandlerRepository.h"

// Events and timers only: the main thread's reactor refuses sockets.
class CRtReactorWin32Message : public CRtReactorImp, public CRtStopFlag, public CRtEventQueueUsingMutex {
public:
    enum {
        WM_WIN32_SOCKET_SELECT = rtos::kWmUser + 33,  // 1057
        WM_WIN32_SOCKET_NOTIFY = rtos::kWmUser + 34,  // 1058
    };
    static constexpr uintptr_t kTickTimerId = 123;
    static constexpr uint32_t kTickMs = 30;
    // Events run per wake-up, so that sockets and the tick interleave.
    static constexpr unsigned long kEventsPerDispatch = 5;
    // A queue this long at a tick has lost its wake-up: drive it again.
    static constexpr uint32_t kStallThreshold = 31;
    static constexpr const char* kWindowClass = "RtWin32SocketNotification";

    CRtReactorWin32Message();
    ~CRtReactorWin32Message() override;

    RtResult Open() override;
    RtResult RegisterHandler(IRtEventHandler* aEh, IRtEventHandler::MASK aMask) override;
    RtResult RemoveHandler(IRtEventHandler* aEh, IRtEventHandler::MASK aMask) override;
    RtResult NotifyHandler(IRtEventHandler* aEh, IRtEventHandler::MASK aMask) override;
    RtResult RunEventLoop() override;
    RtResult StopEventLoop() override;
    RtResult Close() override;

    RtResult PostEvent(IRtEvent* aEvent, IRtEventQueue::EPriority aPriority = EPRIORITY_NORMAL) override;
    RtResult SendEvent(IRtEvent* aEvent) override;
    uint32_t GetPendingEventsCount() override;
    RtResult ScheduleTimer(IRtTimerHandler* aEh, void* aArg, const CRtTimeValue& aInterval,
                           unsigned long aCount) override;
    RtResult CancelTimer(IRtTimerHandler* aEh) override;

    RtResult ProcessHandleEvent(RT_HANDLE aFd, IRtEventHandler::MASK aMask, RtResult aReason, bool aIsNotify,
                                bool aDropConnect) override;
    RtResult ProcessTimerTick();

    // The window class, registered by the first reactor that opens; the
    // thread manager unregisters it at release.
    static bool UnregisterWindowClass();
    size_t GetHandlerCount() const { return m_EhRepository.GetCount(); }
    bool IsTickRunningForTest() {
        std::lock_guard<std::mutex> lock(m_TimerMutex);
        return m_dwTimerId != 0;
    }
    CRtTimerQueueBase* GetTimerQueue() const { return m_pTimerQueue; }

protected:
    virtual RtResult OnHandleRegister(RT_HANDLE aFd, IRtEventHandler::MASK aMask, IRtEventHandler* aEh);
    virtual void OnHandleRemoved(RT_HANDLE aFd);

    RtResult RemoveHandleWithoutFinding_i(RT_HANDLE aFd, const CRtWinEventHandlerRepository::CElement& aEle,
                                          IRtEventHandler::MASK aMask);
    RtResult ProcessEventQueue();
    // Reactor thread: starts the tick when timers or events wait, stops it
    // when there are none. It stops at a tick, and starts when a timer is
    // scheduled or events are left after a batch.
    void UpdateTick_i();
    // How long the loop may wait for its next message.
    uint32_t WaitMs_i() const;
    bool OnReactorThread() const;
    // Runs FD_CLOSE: data still buffered is offered first.
    void ProcessSocketClose(RT_HANDLE aFd, IRtEventHandler::MASK aMask, RtResult aReason);

    static intptr_t Win32SocketWndProc(rtos::WindowHandle aWnd, uint32_t aMsg, uintptr_t aWParam, intptr_t aLParam);

    CRtWinEventHandlerRepository m_EhRepository;
    // Read by other threads posting wake-ups.
    std::atomic<rtos::WindowHandle> m_hwndNotify{nullptr};
    // Non-zero while the tick runs. Written by the reactor thread only,
    // under the timer lock.
    uintptr_t m_dwTimerId = 0;
    // A timer was scheduled from another thread while the tick was off.
    std::atomic<bool> m_bTickWanted{false};
    // When the earliest timer comes due (monotonic us), as of the last pass:
    // the loop wakes for it between ticks. Other threads read it to know
    // whether a timer they schedule needs a wake-up.
    static constexpr int64_t kNoDue = INT64_MAX;
    std::atomic<int64_t> m_nNextDueUs{kNoDue};
    CRtTimerQueueOrderedList* m_pTimerQueue = nullptr;
    // Any thread may schedule while the reactor's thread closes the queue.
    std::mutex m_TimerMutex;
    bool m_bInDispatch = false;
    // The events of the wake-up being run.
    EventsType m_Batch;
    bool m_bNeedNotify = false;
    CRtEnsureSingleThread m_EstReactor;
};

// Adds sockets: each registered handle reports readiness to the window.
class CRtReactorWin32AsyncSelect : public CRtReactorWin32Message {
protected:
    RtResult OnHandleRegister(RT_HANDLE aFd, IRtEventHandler::MASK aMask, IRtEventHandler* aEh) override;
    void OnHandleRemoved(RT_HANDLE aFd) override;

private:
    RtResult DoAsyncSelect_i(RT_HANDLE aFd, IRtEventHandler::MASK aMask);
};
