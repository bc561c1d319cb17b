// Per-thread notification windows: the message loop a reactor runs on.
//
// Windows uses real hidden windows, window timers and WSAAsyncSelect. Linux
// has our own implementation with the same observable behaviour: every
// thread gets a message queue on first use (an epoll set with an eventfd for
// wake-ups), window timers are deadlines of that queue, and socket readiness
// becomes queued messages with the Winsock async-select rules.
//
// Rules shared by both systems:
// - A window belongs to the thread that created it. Only that thread
//   retrieves its messages (GetWindowMessage) and may destroy it.
// - PostWindowMessage may be called from any thread; it wakes the owner.
// - Posted messages (socket notifications included) come out in the order
//   they were posted. WM_QUIT comes when no posted message is left, WM_TIMER
//   after that: a timer that expired several times while the thread was busy
//   yields one WM_TIMER.
// - The window procedure gets no creation messages. On Windows it may also
//   get system messages; whatever it does not handle goes to
//   DefaultWindowProc.
#pragma once

#include <cstdint>

#include "RtOsSocket.h"

namespace rtos {

struct NotifyWindow;  // never defined: the handle is opaque
using WindowHandle = NotifyWindow*;

using WindowProc = intptr_t (*)(WindowHandle aWnd, uint32_t aMsg, uintptr_t aWParam, intptr_t aLParam);

struct Message {
    WindowHandle window = nullptr;
    uint32_t message = 0;
    uintptr_t wParam = 0;
    intptr_t lParam = 0;
};

// Message numbers (the Windows values).
constexpr uint32_t kWmDestroy = 0x0002;
constexpr uint32_t kWmQuit = 0x0012;   // wParam: the code given to PostQuit
constexpr uint32_t kWmTimer = 0x0113;  // wParam: the timer id
constexpr uint32_t kWmUser = 0x0400;   // first number free for private messages

// Network events of AsyncSelect (the Winsock FD_ bits).
constexpr uint32_t kFdRead = 0x01;
constexpr uint32_t kFdWrite = 0x02;
constexpr uint32_t kFdAccept = 0x08;
constexpr uint32_t kFdConnect = 0x10;
constexpr uint32_t kFdClose = 0x20;

// A socket message carries the socket in wParam and, in lParam, the event in
// the low 16 bits and the socket error (0 for none) in the high 16 bits.
constexpr uint32_t SelectEvent(intptr_t aLParam) {
    return static_cast<uint32_t>(static_cast<uintptr_t>(aLParam) & 0xFFFFu);
}
constexpr int SelectError(intptr_t aLParam) {
    return static_cast<int>((static_cast<uintptr_t>(aLParam) >> 16) & 0xFFFFu);
}
constexpr intptr_t MakeSelectLParam(uint32_t aEvent, int aError) {
    return static_cast<intptr_t>(((static_cast<uintptr_t>(aError) & 0xFFFFu) << 16) | (aEvent & 0xFFFFu));
}

// ---- Classes and windows -----------------------------------------------------
// Registers a window class for the process; false when the name is taken.
bool RegisterWindowClass(const char* aName, WindowProc aProc);
// False while windows of the class exist or when it is not registered.
bool UnregisterWindowClass(const char* aName);

// A hidden window of a registered class, owned by the calling thread; null
// on failure.
WindowHandle CreateNotifyWindow(const char* aClassName);
// Owning thread only. The procedure receives WM_DESTROY before this returns;
// the window's timers and socket registrations end with it.
bool DestroyNotifyWindow(WindowHandle aWnd);

// A pointer-sized value kept with the window, 0 until set.
bool SetWindowUserValue(WindowHandle aWnd, intptr_t aValue);
intptr_t GetWindowUserValue(WindowHandle aWnd);

// ---- Messages ----------------------------------------------------------------
// Any thread. False when the window does not exist.
bool PostWindowMessage(WindowHandle aWnd, uint32_t aMsg, uintptr_t aWParam, intptr_t aLParam);

// Starts or restarts timer aId of the window: WM_TIMER every aPeriodMs
// (at least 10 ms). Call on the owning thread.
bool SetWindowTimer(WindowHandle aWnd, uintptr_t aId, uint32_t aPeriodMs);
// False when no such timer runs.
bool KillWindowTimer(WindowHandle aWnd, uintptr_t aId);

// Asks the calling thread's loop to end: GetWindowMessage returns 0 once the
// posted messages are gone.
void PostQuit(int aExitCode);

constexpr uint32_t kWaitForever = 0xFFFFFFFFu;
constexpr int kNoMessage = -2;
// Waits for the calling thread's next message, at most aTimeoutMs (to the
// millisecond, unlike the window timers). Returns >0 with a message, 0 with
// WM_QUIT, kNoMessage when the time ran out, -1 on failure.
int GetWindowMessage(Message* aMsg, uint32_t aTimeoutMs = kWaitForever);
// Keyboard translation on Windows; nothing elsewhere.
void TranslateWindowMessage(const Message* aMsg);
// Calls the procedure of the message's window; returns its result.
intptr_t DispatchWindowMessage(const Message* aMsg);
intptr_t DefaultWindowProc(WindowHandle aWnd, uint32_t aMsg, uintptr_t aWParam, intptr_t aLParam);

// ---- Socket notifications ------------------------------------------------------
// Reports the network events aEvents (kFd... bits) of aSock to aWnd as
// message aMsg (kWmUser or above), replacing an earlier registration, and
// makes the socket non-blocking. aEvents 0 ends the reports at once (on
// Linux, notifications already queued are dropped; Windows may still deliver
// them). Returns 0, or -1 with LastSocketError().
//
// Re-enabling, as with Winsock: after FD_READ no further FD_READ comes until
// the socket is read (then again if data remains); FD_ACCEPT likewise until
// the next accept. FD_WRITE comes once when the socket is or becomes
// writable after registration or after its connection completes, and again
// only after a send that would block. FD_CONNECT comes once, with the
// connection's error. FD_CLOSE comes once when the peer has closed, after
// the data still buffered has been offered through FD_READ.
int AsyncSelect(SocketHandle aSock, WindowHandle aWnd, uint32_t aMsg, uint32_t aEvents);

}  // namespace rtos
