// What a socket owner implements to be driven by a reactor, and the reactor
// interface the rest of the framework sees: an event queue and a timer
// queue as well.
#pragma once

#include "RtEventQueue.h"
#include "RtHandle.h"
#include "RtString.h"
#include "RtTimerHandler.h"

class IRtEventHandler {
public:
    typedef long MASK;
    enum {
        NULL_MASK = 0,
        ACCEPT_MASK = 0x1,
        CONNECT_MASK = 0x2,
        READ_MASK = 0x4,
        WRITE_MASK = 0x8,
        EXCEPT_MASK = 0x10,
        TIMER_MASK = 0x20,
        ALL_EVENTS_MASK = 0x3F,
        SHOULD_CALL = 0x40,
        CLOSE_MASK = 0x80,
        EVENTQUEUE_MASK = 0x100,
    };

    // OnInput/OnOutput return 0 when handled, -2 when they would block (the
    // handler stays registered); anything else makes the reactor remove
    // the handler and call OnClose.
    virtual RT_HANDLE GetHandle() const;
    virtual int OnInput(RT_HANDLE aFd = RT_INVALID_HANDLE);
    virtual int OnOutput(RT_HANDLE aFd = RT_INVALID_HANDLE);
    virtual int OnException(RT_HANDLE aFd = RT_INVALID_HANDLE);
    virtual int OnClose(RT_HANDLE aFd, MASK aMask);
    virtual ~IRtEventHandler() {}

    // The names of the set bits, each followed by a blank.
    static CRtString GetMaskString(long aMask);
};

class IRtReactor : public IRtEventQueue, public IRtTimerQueue {
public:
    ~IRtReactor() override {}

    virtual RtResult Open() = 0;
    virtual RtResult RegisterHandler(IRtEventHandler* aEh, IRtEventHandler::MASK aMask) = 0;
    virtual RtResult RemoveHandler(IRtEventHandler* aEh,
                                   IRtEventHandler::MASK aMask = IRtEventHandler::ALL_EVENTS_MASK) = 0;
    // Any thread: has the reactor's thread dispatch aMask for aEh (or run
    // its event queue when aEh is null).
    virtual RtResult NotifyHandler(IRtEventHandler* aEh, IRtEventHandler::MASK aMask) = 0;
    virtual RtResult RunEventLoop() = 0;
    // Any thread.
    virtual RtResult StopEventLoop() = 0;
    virtual RtResult Close() = 0;
};
