#include "RtReactorWin32Message.h"

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <utility>

#include "RtDebug.h"
#include "RtOs.h"
#include "RtOsThread.h"
#include "RtThreadManager.h"

namespace {
std::mutex s_classMutex;
bool s_bClassRegistered = false;

// Data still buffered at a peer's close is offered through OnInput; a
// handler that stops reading ends the offer after this many rounds.
constexpr int kMaxCloseReads = 1024;
}  // namespace

// ---- IRtEventHandler defaults --------------------------------------------------

RT_HANDLE IRtEventHandler::GetHandle() const {
    RT_ASSERTE(!"IRtEventHandler::GetHandle()");
    return RT_INVALID_HANDLE;
}
int IRtEventHandler::OnInput(RT_HANDLE) {
    RT_ASSERTE(!"IRtEventHandler::OnInput()");
    return -1;
}
int IRtEventHandler::OnOutput(RT_HANDLE) {
    RT_ASSERTE(!"IRtEventHandler::OnOutput()");
    return -1;
}
int IRtEventHandler::OnException(RT_HANDLE) {
    RT_ASSERTE(!"IRtEventHandler::OnException()");
    return -1;
}
int IRtEventHandler::OnClose(RT_HANDLE, MASK) {
    RT_ASSERTE(!"IRtEventHandler::OnClose()");
    return -1;
}

CRtString IRtEventHandler::GetMaskString(long aMask) {
    static const struct {
        long bit;
        const char* name;
    } kNames[] = {{ACCEPT_MASK, "ACCEPT_MASK"}, {CONNECT_MASK, "CONNECT_MASK"}, {READ_MASK, "READ_MASK"},
                  {WRITE_MASK, "WRITE_MASK"},   {EXCEPT_MASK, "EXCEPT_MASK"},   {TIMER_MASK, "TIMER_MASK"},
                  {SHOULD_CALL, "SHOULD_CALL"}, {CLOSE_MASK, "CLOSE_MASK"},     {EVENTQUEUE_MASK, "EVENTQUEUE_MASK"}};
    CRtString text;
    for (const auto& item : kNames) {
        if (aMask & item.bit) {
            text += item.name;
            text += ' ';
        }
    }
    return text;
}

// ---- CRtReactorWin32Message ---------------------------------------------------

CRtReactorWin32Message::CRtReactorWin32Message() : m_EstReactor("CRtReactorWin32Message") {}

CRtReactorWin32Message::~CRtReactorWin32Message() { Close(); }

bool CRtReactorWin32Message::UnregisterWindowClass() {
    std::lock_guard<std::mutex> lock(s_classMutex);
    if (!s_bClassRegistered)
        return true;
    if (!rtos::UnregisterWindowClass(kWindowClass))
        return false;
    s_bClassRegistered = false;
    return true;
}

RtResult CRtReactorWin32Message::Open() {
    RT_ASSERTE_RETURN(!m_hwndNotify, RT_ERROR_ALREADY_INITIALIZED);
    m_EstReactor.Reset2CurrentThreadId();
    m_Est.Reset2CurrentThreadId();
    Reset2CurrentThreadId();

    if (!m_pTimerQueue) {
        std::lock_guard<std::mutex> lock(m_TimerMutex);
        m_pTimerQueue = new CRtTimerQueueOrderedList(nullptr);
    }
    RtResult rv = m_EhRepository.Open();
    if (RT_FAILED(rv))
        return rv;

    {
        std::lock_guard<std::mutex> lock(s_classMutex);
        if (!s_bClassRegistered) {
            if (!rtos::RegisterWindowClass(kWindowClass, &CRtReactorWin32Message::Win32SocketWndProc)) {
                RT_ERROR_TRACE("CRtReactorWin32Message::Open, RegisterClass() failed! err=" << rtos::LastError());
                Close();
                return RT_ERROR_FAILURE;
            }
            s_bClassRegistered = true;
        }
    }
    rtos::WindowHandle wnd = rtos::CreateNotifyWindow(kWindowClass);
    if (!wnd) {
        RT_ERROR_TRACE("CRtReactorWin32Message::Open, CreateWindow() failed! err=" << rtos::LastError());
        Close();
        return RT_ERROR_FAILURE;
    }
    m_hwndNotify = wnd;
    if (!rtos::SetWindowUserValue(wnd, reinterpret_cast<intptr_t>(this))) {
        RT_ERROR_TRACE("CRtReactorWin32Message::Open, SetWindowLong() failed! err=" << rtos::LastError());
        Close();
        return RT_ERROR_FAILURE;
    }
    // The tick proves that timers can run; it stops at the first idle turn.
    if (!rtos::SetWindowTimer(wnd, kTickTimerId, kTickMs)) {
        RT_ERROR_TRACE("CRtReactorWin32Message::Open, SetTimer() failed! err=" << rtos::LastError());
        Close();
        return RT_ERROR_FAILURE;
    }
    m_dwTimerId = kTickTimerId;
    // Reactor threads hand each other requests and answers as events: a
    // wake-up that preempted the poster would cost a switch per event
    // instead of one per round.
    if (!rtos::ThreadPreferBatches())
        RT_WARNING_TRACE_THIS("CRtReactorWin32Message::Open, batch scheduling refused, err=" << rtos::LastError());
    SetStartFlag();
    RT_INFO_TRACE_THIS("CRtReactorWin32Message::Open, m_hwndNotify=" << static_cast<const void*>(wnd));
    return RT_OK;
}

RtResult CRtReactorWin32Message::RegisterHandler(IRtEventHandler* aEh, IRtEventHandler::MASK aMask) {
    RT_ASSERTE_RETURN(aEh, RT_ERROR_INVALID_ARG);
    IRtEventHandler::MASK mask = aMask & IRtEventHandler::ALL_EVENTS_MASK;
    if (mask == IRtEventHandler::NULL_MASK) {
        RT_WARNING_TRACE(
            "CRtReactorWin32Message::RegisterHandler, NULL_MASK. aMask=" << IRtEventHandler::GetMaskString(aMask));
        return RT_ERROR_INVALID_ARG;
    }
    RT_HANDLE fd = aEh->GetHandle();
    CRtWinEventHandlerRepository::CElement ele;
    RtResult found = m_EhRepository.Find(fd, ele);
    if (found == RT_OK && ele.m_pEh == aEh && ele.m_Mask == mask)
        return RT_OK;
    if (found == RT_ERROR_INVALID_ARG)
        return found;
    if (found == RT_ERROR_NOT_FOUND) {
        RtResult rv = OnHandleRegister(fd, mask, aEh);
        if (RT_FAILED(rv))
            return rv;
    }
    return m_EhRepository.Bind(fd, CRtWinEventHandlerRepository::CElement(aEh, mask));
}

RtResult CRtReactorWin32Message::OnHandleRegister(RT_HANDLE aFd, IRtEventHandler::MASK aMask, IRtEventHandler*) {
    RT_ERROR_TRACE_THIS("CRtReactorWin32Message::OnHandleRegister, aFd="
                        << static_cast<unsigned long long>(aFd) << " aMask=" << IRtEventHandler::GetMaskString(aMask));
    return RT_ERROR_UNEXPECTED;
}

void CRtReactorWin32Message::OnHandleRemoved(RT_HANDLE aFd) {
    RT_DEBUG_TRACE_THIS("CRtReactorWin32Message::OnHandleRemoved, aFd=" << static_cast<unsigned long long>(aFd));
}

RtResult CRtReactorWin32Message::RemoveHandler(IRtEventHandler* aEh, IRtEventHandler::MASK aMask) {
    RT_ASSERTE_RETURN(aEh, RT_ERROR_INVALID_ARG);
    IRtEventHandler::MASK mask = aMask & IRtEventHandler::ALL_EVENTS_MASK;
    if (mask == IRtEventHandler::NULL_MASK) {
        RT_WARNING_TRACE(
            "CRtReactorWin32Message::RemoveHandler, NULL_MASK. aMask=" << IRtEventHandler::GetMaskString(aMask));
        return RT_ERROR_INVALID_ARG;
    }
    RT_HANDLE fd = aEh->GetHandle();
    CRtWinEventHandlerRepository::CElement ele;
    RtResult rv = m_EhRepository.Find(fd, ele);
    if (RT_FAILED(rv))
        return rv;
    return RemoveHandleWithoutFinding_i(fd, ele, mask);
}

RtResult CRtReactorWin32Message::RemoveHandleWithoutFinding_i(RT_HANDLE aFd,
                                                              const CRtWinEventHandlerRepository::CElement& aEle,
                                                              IRtEventHandler::MASK aMask) {
    IRtEventHandler::MASK newMask = aEle.m_Mask & ~(aMask & IRtEventHandler::ALL_EVENTS_MASK);
    if (newMask == aEle.m_Mask) {
        RT_DEBUG_TRACE("CRtReactorWin32Message::RemoveHandleWithoutFinding_i, mask is equal. aMask="
                       << IRtEventHandler::GetMaskString(aMask));
        return RT_OK;
    }
    if (newMask != IRtEventHandler::NULL_MASK) {
        RtResult rvBind = m_EhRepository.Bind(aFd, CRtWinEventHandlerRepository::CElement(aEle.m_pEh, newMask));
        RT_ASSERTE(rvBind == RT_ERROR_FOUND);
        return rvBind;
    }
    RtResult rv = m_EhRepository.UnBind(aFd);
    if (RT_FAILED(rv)) {
        RT_ERROR_TRACE("CRtReactorWin32Message::RemoveHandleWithoutFinding_i, UnBind() failed! aFd="
                       << static_cast<unsigned long long>(aFd) << " aMask=" << IRtEventHandler::GetMaskString(aMask)
                       << " rv=" << rv);
    }
    OnHandleRemoved(aFd);
    if (aMask & IRtEventHandler::SHOULD_CALL)
        aEle.m_pEh->OnClose(aFd, aEle.m_Mask);
    return RT_OK;
}

RtResult CRtReactorWin32Message::NotifyHandler(IRtEventHandler* aEh, IRtEventHandler::MASK aMask) {
    RT_HANDLE fd = RT_INVALID_HANDLE;
    if (aEh) {
        RT_HANDLE fdNew = aEh->GetHandle();
        RT_ASSERTE(fdNew != RT_INVALID_HANDLE);
        fd = fdNew;
    }
    rtos::WindowHandle wnd = m_hwndNotify;
    if (!wnd || !rtos::PostWindowMessage(wnd, WM_WIN32_SOCKET_NOTIFY, fd, static_cast<intptr_t>(aMask))) {
        RT_ERROR_TRACE_THIS("CRtReactorWin32Message::NotifyHandler, PostMessage() failed! err="
                            << rtos::LastError() << " m_hwndNotify=" << static_cast<const void*>(wnd));
        return RT_ERROR_UNEXPECTED;
    }
    return RT_OK;
}

RtResult CRtReactorWin32Message::RunEventLoop() {
    RT_DEBUG_TRACE_THIS("CRtReactorWin32Message::RunEventLoop");
    if (IsFlagStopped())
        return RT_OK;
    rtos::Message msg;
    for (;;) {
        const int rc = rtos::GetWindowMessage(&msg, WaitMs_i());
        if (rc == rtos::kNoMessage) {
            // A timer between two ticks has come due.
            ProcessTimerTick();
        } else if (rc > 0) {
            rtos::TranslateWindowMessage(&msg);
            rtos::DispatchWindowMessage(&msg);
        } else {
            break;
        }
        if (IsFlagStopped())
            break;
    }
    return RT_OK;
}

uint32_t CRtReactorWin32Message::WaitMs_i() const {
    const int64_t due = m_nNextDueUs.load(std::memory_order_relaxed);
    if (due == kNoDue)
        return rtos::kWaitForever;
    const int64_t left = due - CRtTimeValue::GetMonotonicTime().GetTotalInUsec();
    // Rounded up: waking before the due time would only spin.
    return left <= 0 ? 0 : static_cast<uint32_t>(std::min<int64_t>((left + 999) / 1000, INT32_MAX));
}

RtResult CRtReactorWin32Message::StopEventLoop() {
    RT_DEBUG_TRACE_THIS("CRtReactorWin32Message::StopEventLoop");
    SetStopFlag();
    CRtEventQueueUsingMutex::Stop();
    // The loop notices the flag after its next message; an idle loop has no
    // tick to bring one.
    if (m_hwndNotify.load() && !OnReactorThread())
        NotifyHandler(nullptr, IRtEventHandler::EVENTQUEUE_MASK);
    return RT_OK;
}

bool CRtReactorWin32Message::OnReactorThread() const {
    return m_EstReactor.GetThreadId() == CRtThreadManager::GetThreadSelfId();
}

void CRtReactorWin32Message::UpdateTick_i() {
    rtos::WindowHandle wnd = m_hwndNotify;
    if (!wnd)
        return;
    // Under the timer lock: a timer scheduled from another thread meanwhile
    // either is counted here or finds the tick off and wakes us.
    std::lock_guard<std::mutex> lock(m_TimerMutex);
    const bool wanted = (m_pTimerQueue && m_pTimerQueue->GetCount() > 0) || GetPendingEventsCount() > 0;
    if (wanted == (m_dwTimerId != 0))
        return;
    if (!wanted) {
        rtos::KillWindowTimer(wnd, kTickTimerId);
        m_dwTimerId = 0;
        return;
    }
    if (!rtos::SetWindowTimer(wnd, kTickTimerId, kTickMs)) {
        RT_ERROR_TRACE_THIS("CRtReactorWin32Message::UpdateTick_i, SetTimer() failed! err=" << rtos::LastError());
        return;
    }
    m_dwTimerId = kTickTimerId;
}

RtResult CRtReactorWin32Message::Close() {
    if (rtos::WindowHandle wnd = m_hwndNotify) {
        uintptr_t tick = 0;
        {
            std::lock_guard<std::mutex> lock(m_TimerMutex);
            std::swap(tick, m_dwTimerId);
        }
        if (tick) {
            bool killed = rtos::KillWindowTimer(wnd, tick);
            RT_DEBUG_TRACE_THIS("CRtReactorWin32Message::Close, KillTimer rv=" << killed
                                                                               << " err=" << rtos::LastError());
        }
        // Other threads may still post wake-ups: they must find no window.
        m_hwndNotify = nullptr;
        bool destroyed = rtos::DestroyNotifyWindow(wnd);
        RT_DEBUG_TRACE_THIS("CRtReactorWin32Message::Close, DestroyWindow rv=" << destroyed
                                                                               << " err=" << rtos::LastError());
    }
    {
        std::lock_guard<std::mutex> lock(m_TimerMutex);
        delete m_pTimerQueue;
        m_pTimerQueue = nullptr;
    }
    m_EhRepository.Close();
    DestoryPendingEvents();
    return RT_OK;
}

RtResult CRtReactorWin32Message::PostEvent(IRtEvent* aEvent, IRtEventQueue::EPriority aPriority) {
    unsigned long oldSize = 0;
    RtResult rv = PostEventWithOldSize(aEvent, aPriority, &oldSize);
    // One wake-up per stretch of a non-empty queue.
    if (RT_SUCCEEDED(rv) && oldSize == 0)
        return NotifyHandler(nullptr, IRtEventHandler::EVENTQUEUE_MASK);
    return rv;
}

RtResult CRtReactorWin32Message::SendEvent(IRtEvent* aEvent) { return CRtEventQueueUsingMutex::SendEvent(aEvent); }

uint32_t CRtReactorWin32Message::GetPendingEventsCount() { return CRtEventQueueUsingMutex::GetPendingEventsCount(); }

RtResult CRtReactorWin32Message::ScheduleTimer(IRtTimerHandler* aEh, void* aArg, const CRtTimeValue& aInterval,
                                               unsigned long aCount) {
    RtResult rv;
    bool tickOff;
    {
        std::lock_guard<std::mutex> lock(m_TimerMutex);
        if (!m_pTimerQueue) {
            RT_WARNING_TRACE_THIS("CRtReactorWin32Message::ScheduleTimer, m_pTimerQueue not inited or closed.");
            return RT_ERROR_NOT_INITIALIZED;
        }
        rv = m_pTimerQueue->ScheduleTimer(aEh, aArg, aInterval, aCount);
        tickOff = m_dwTimerId == 0;
    }
    if (RT_FAILED(rv))
        return rv;
    if (OnReactorThread()) {
        // The pass after the running handler sees the new due time.
        if (tickOff)
            UpdateTick_i();
        return rv;
    }
    // An idle reactor has no tick, and a sleeping one may wait past the new
    // due time: wake its thread.
    const int64_t due = CRtTimeValue::GetMonotonicTime().GetTotalInUsec() + aInterval.GetTotalInUsec();
    if (tickOff)
        m_bTickWanted = true;
    if (tickOff || due < m_nNextDueUs.load(std::memory_order_relaxed))
        NotifyHandler(nullptr, IRtEventHandler::EVENTQUEUE_MASK);
    return rv;
}

RtResult CRtReactorWin32Message::CancelTimer(IRtTimerHandler* aEh) {
    std::lock_guard<std::mutex> lock(m_TimerMutex);
    if (!m_pTimerQueue) {
        RT_WARNING_TRACE_THIS("CRtReactorWin32Message::CancelTimer, m_pTimerQueue not inited or closed.");
        return RT_ERROR_NOT_INITIALIZED;
    }
    return m_pTimerQueue->CancelTimer(aEh);
}

RtResult CRtReactorWin32Message::ProcessEventQueue() {
    if (m_bInDispatch) {
        RT_ERROR_TRACE_THIS("CRtReactorWin32Message::ProcessHandleEvent() should not be overlapped here!");
        m_bNeedNotify = true;
        return RT_OK;
    }
    m_bInDispatch = true;
    // A member, so that a wake-up allocates nothing; empty between batches.
    EventsType& events = m_Batch;
    unsigned long remain = 0;
    RtResult rv = PopPendingEventsWithoutWait(events, kEventsPerDispatch, &remain);
    if (RT_SUCCEEDED(rv))
        ProcessEvents(events);
    events.clear();
    if (remain > 0 || m_bNeedNotify)
        NotifyHandler(nullptr, IRtEventHandler::EVENTQUEUE_MASK);
    // Only the owner writes the tick id, so it reads it without the lock.
    if (m_dwTimerId == 0 && (remain > 0 || m_bTickWanted.exchange(false)))
        UpdateTick_i();
    m_bInDispatch = false;
    m_bNeedNotify = false;
    return rv;
}

RtResult CRtReactorWin32Message::ProcessHandleEvent(RT_HANDLE aFd, IRtEventHandler::MASK aMask, RtResult aReason,
                                                    bool aIsNotify, bool) {
    if (aFd == RT_INVALID_HANDLE) {
        RT_ASSERTE(aMask == IRtEventHandler::EVENTQUEUE_MASK);
        return ProcessEventQueue();
    }

    CRtTimeValue start = CRtTimeValue::GetCoarseMonotonicTime();
    CRtWinEventHandlerRepository::CElement ele;
    RtResult rv = m_EhRepository.Find(aFd, ele);
    if (RT_FAILED(rv)) {
        RT_WARNING_TRACE("CRtReactorWin32Message::ProcessHandleEvent, handle not registed. aFd="
                         << static_cast<unsigned long long>(aFd) << " aMask=" << IRtEventHandler::GetMaskString(aMask)
                         << " aReason=" << aReason << " rv=" << rv);
        return rv;
    }

    if (aMask & IRtEventHandler::CLOSE_MASK) {
        RemoveHandleWithoutFinding_i(aFd, ele, IRtEventHandler::ALL_EVENTS_MASK | IRtEventHandler::SHOULD_CALL);
        rv = RT_ERROR_FAILURE;
    } else {
        IRtEventHandler::MASK active = aMask & ele.m_Mask;
        if (active == IRtEventHandler::NULL_MASK && !aIsNotify) {
            RT_WARNING_TRACE("CRtReactorWin32Message::ProcessHandleEvent, mask not registed. aFd="
                             << static_cast<unsigned long long>(aFd)
                             << " eleFind Mask=" << IRtEventHandler::GetMaskString(ele.m_Mask)
                             << " aMask=" << IRtEventHandler::GetMaskString(aMask));
            return RT_OK;
        }
        int result = 0;
        bool input = active & (IRtEventHandler::ACCEPT_MASK | IRtEventHandler::READ_MASK);
        bool output = active & (IRtEventHandler::CONNECT_MASK | IRtEventHandler::WRITE_MASK);
        if (input) {
            result = ele.m_pEh->OnInput(aFd);
            if ((result == 0 || result == -2) && output)
                result = ele.m_pEh->OnOutput(aFd);
        } else if (output) {
            result = ele.m_pEh->OnOutput(aFd);
        }
        if (result == 0) {
            rv = RT_OK;
        } else if (result == -2) {
            rv = RT_ERROR_WOULD_BLOCK;
        } else {
            // Only if the handler did not already go away in its callback.
            CRtWinEventHandlerRepository::CElement now;
            if (m_EhRepository.Find(aFd, now) == RT_OK && now.m_pEh == ele.m_pEh)
                RemoveHandleWithoutFinding_i(aFd, now, IRtEventHandler::ALL_EVENTS_MASK | IRtEventHandler::SHOULD_CALL);
            rv = RT_ERROR_FAILURE;
        }
    }

    CRtTimeValue spent = CRtTimeValue::GetCoarseMonotonicTime() - start;
    if (spent > CRtEventQueueBase::s_tvReportInterval) {
        RT_ERROR_TRACE_THIS("CRtReactorWin32Message::ProcessHandleEvent, report, sec="
                            << spent.GetSec() << " usec=" << spent.GetUsec()
                            << " aFd=" << static_cast<unsigned long long>(aFd)
                            << " aMask=" << IRtEventHandler::GetMaskString(aMask)
                            << " maskFind=" << IRtEventHandler::GetMaskString(ele.m_Mask)
                            << " ehFind=" << static_cast<const void*>(ele.m_pEh) << " aReason=" << aReason);
    }
    return rv;
}

RtResult CRtReactorWin32Message::ProcessTimerTick() {
    RT_ASSERTE_RETURN(m_pTimerQueue, RT_ERROR_NOT_INITIALIZED);
    CRtTimeValue start = CRtTimeValue::GetCoarseMonotonicTime();
    CRtTimeValue remain;
    m_pTimerQueue->CheckExpire(&remain);
    m_nNextDueUs.store(remain == CRtTimeValue::s_tvMax
                           ? kNoDue
                           : CRtTimeValue::GetMonotonicTime().GetTotalInUsec() + remain.GetTotalInUsec(),
                       std::memory_order_relaxed);
    CRtTimeValue spent = CRtTimeValue::GetCoarseMonotonicTime() - start;
    if (spent > CRtEventQueueBase::s_tvReportInterval) {
        RT_ERROR_TRACE_THIS("CRtReactorWin32Message::ProcessTimerTick, report, sec=" << spent.GetSec()
                                                                                     << " usec=" << spent.GetUsec());
    }
    return RT_OK;
}

void CRtReactorWin32Message::ProcessSocketClose(RT_HANDLE aFd, IRtEventHandler::MASK aMask, RtResult aReason) {
    // Offer what the peer sent before closing, round after round, for as
    // long as the handler reads it.
    uint32_t remain = 0;
    bool warned = false;
    for (int round = 0; round < kMaxCloseReads; ++round) {
        if (rtos::SocketBytesBuffered(aFd, &remain) != 0 || remain == 0)
            break;
        if (!warned) {
            RT_WARNING_TRACE(
                "CRtReactorWin32Message::Win32SocketWndProc, data remained in the handle when closing, "
                "recv it. dwRemain="
                << remain);
            warned = true;
        }
        uint32_t before = remain;
        if (ProcessHandleEvent(aFd, IRtEventHandler::READ_MASK, RT_OK, false, false) != RT_OK)
            break;
        if (rtos::SocketBytesBuffered(aFd, &remain) != 0 || remain >= before)
            break;  // the handler read nothing: it will not read the rest either
    }
    ProcessHandleEvent(aFd, aMask | IRtEventHandler::CLOSE_MASK, aReason, false, false);
}

intptr_t CRtReactorWin32Message::Win32SocketWndProc(rtos::WindowHandle aWnd, uint32_t aMsg, uintptr_t aWParam,
                                                    intptr_t aLParam) {
    if (aMsg != WM_WIN32_SOCKET_NOTIFY && aMsg != WM_WIN32_SOCKET_SELECT && aMsg != rtos::kWmTimer &&
        aMsg != rtos::kWmDestroy) {
        return rtos::DefaultWindowProc(aWnd, aMsg, aWParam, aLParam);
    }
    auto* pReactor = reinterpret_cast<CRtReactorWin32Message*>(rtos::GetWindowUserValue(aWnd));
    if (aMsg == rtos::kWmDestroy) {
        RT_INFO_TRACE("CRtReactorWin32Message::Win32SocketWndProc, WM_DESTROY");
        rtos::PostQuit(0);
        return 0;
    }
    if (!pReactor) {
        RT_ASSERTE(pReactor);
        return rtos::DefaultWindowProc(aWnd, aMsg, aWParam, aLParam);
    }

    if (aMsg == WM_WIN32_SOCKET_NOTIFY) {
        pReactor->ProcessHandleEvent(static_cast<RT_HANDLE>(aWParam), static_cast<IRtEventHandler::MASK>(aLParam),
                                     RT_OK, true, false);
        pReactor->ProcessTimerTick();
        return 0;
    }

    if (aMsg == WM_WIN32_SOCKET_SELECT) {
        RT_HANDLE sockHandle = static_cast<RT_HANDLE>(aWParam);
        RT_ASSERTE(sockHandle != RT_INVALID_HANDLE);
        uint32_t event = rtos::SelectEvent(aLParam);
        int error = rtos::SelectError(aLParam);
        RtResult reason = error ? RT_ERROR_NETWORK_SOCKET_ERROR : RT_OK;
        IRtEventHandler::MASK mask = IRtEventHandler::NULL_MASK;
        bool known = true;
        switch (event) {
        case rtos::kFdRead:
            mask = IRtEventHandler::READ_MASK;
            break;
        case rtos::kFdWrite:
            mask = IRtEventHandler::WRITE_MASK;
            break;
        case rtos::kFdAccept:
            mask = IRtEventHandler::ACCEPT_MASK;
            break;
        case rtos::kFdConnect:
            mask = IRtEventHandler::CONNECT_MASK;
            break;
        case rtos::kFdClose:
            if (!error)
                reason = RT_ERROR_NETWORK_CONNECTION_CLOSED;
            break;
        default:
            known = false;
            break;
        }
        if (!known) {
            RT_WARNING_TRACE("CRtReactorWin32Message::Win32SocketWndProc, unknown SELECTEVENT wParam="
                             << static_cast<unsigned long long>(aWParam)
                             << " lParam=" << static_cast<long long>(aLParam));
        } else if (event == rtos::kFdClose || error) {
            RT_DEBUG_TRACE("CRtReactorWin32Message::Win32SocketWndProc, handle is closed. fd="
                           << static_cast<unsigned long long>(sockHandle)
                           << " mask=" << IRtEventHandler::GetMaskString(mask) << " nErrorCode=" << error
                           << " lParam=" << static_cast<long long>(aLParam) << " rvError=" << reason);
            if (event == rtos::kFdClose && !error)
                pReactor->ProcessSocketClose(sockHandle, mask, reason);
            else
                pReactor->ProcessHandleEvent(sockHandle, mask | IRtEventHandler::CLOSE_MASK, reason, false, false);
        } else {
            pReactor->ProcessHandleEvent(sockHandle, mask, reason, false, false);
        }
        pReactor->ProcessTimerTick();
        return 0;
    }

    // The tick.
    pReactor->ProcessTimerTick();
    if (pReactor->GetPendingEventsCount() >= kStallThreshold) {
        pReactor->NotifyHandler(nullptr, IRtEventHandler::EVENTQUEUE_MASK);
        RT_ERROR_TRACE("CRtReactorWin32Message::Win32SocketWndProc, WM_TIMER, eventqueue abnormal, need drive, hwnd="
                       << static_cast<const void*>(aWnd));
    }
    pReactor->UpdateTick_i();
    return rtos::DefaultWindowProc(aWnd, aMsg, aWParam, aLParam);
}

// ---- CRtReactorWin32AsyncSelect ------------------------------------------------

RtResult CRtReactorWin32AsyncSelect::OnHandleRegister(RT_HANDLE aFd, IRtEventHandler::MASK, IRtEventHandler*) {
    return DoAsyncSelect_i(aFd, IRtEventHandler::ALL_EVENTS_MASK);
}

void CRtReactorWin32AsyncSelect::OnHandleRemoved(RT_HANDLE aFd) { DoAsyncSelect_i(aFd, IRtEventHandler::NULL_MASK); }

RtResult CRtReactorWin32AsyncSelect::DoAsyncSelect_i(RT_HANDLE aFd, IRtEventHandler::MASK aMask) {
    uint32_t events = 0;
    if (aMask & IRtEventHandler::READ_MASK)
        events |= rtos::kFdRead;
    if (aMask & IRtEventHandler::WRITE_MASK)
        events |= rtos::kFdWrite;
    if (aMask & IRtEventHandler::ACCEPT_MASK)
        events |= rtos::kFdAccept;
    if (aMask & IRtEventHandler::CONNECT_MASK)
        events |= rtos::kFdConnect;
    if (events)
        events |= rtos::kFdClose;
    if (rtos::AsyncSelect(aFd, m_hwndNotify, WM_WIN32_SOCKET_SELECT, events) != 0) {
        RT_ERROR_TRACE_THIS("CRtReactorWin32AsyncSelect::DoAsyncSelect_i, WSAAsyncSelect() failed! aFd="
                            << static_cast<unsigned long long>(aFd) << " err=" << rtos::LastSocketError());
        return RT_ERROR_FAILURE;
    }
    return RT_OK;
}
