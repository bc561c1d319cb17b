#include "../RtOsWindow.h"

#include <map>
#include <mutex>
#include <string>

#include "RtOsWin32.h"

namespace rtos {

static_assert(kWmDestroy == WM_DESTROY && kWmQuit == WM_QUIT && kWmTimer == WM_TIMER && kWmUser == WM_USER, "");
static_assert(kFdRead == FD_READ && kFdWrite == FD_WRITE && kFdAccept == FD_ACCEPT && kFdConnect == FD_CONNECT &&
                  kFdClose == FD_CLOSE,
              "");
static_assert(sizeof(SocketHandle) == sizeof(SOCKET) && kInvalidSocket == INVALID_SOCKET, "");

namespace {

// Window extra bytes: the user value, then our procedure. The procedure is
// stored after CreateWindowExA returns, so creation messages go to
// DefWindowProcA on Windows as they never reach a procedure on Linux.
constexpr int kUserSlot = 0;
constexpr int kProcSlot = sizeof(LONG_PTR);

// RegisterClassA keeps no pointer-sized class data we could read back before
// a window exists, so the procedures are kept here by class name. Both live
// until the process ends: a thread manager constructed before them (a static
// of the application) unregisters its class from its destructor, after
// function-local statics made later would already be gone.
std::mutex& ClassLock() {
    static std::mutex* s_lock = new std::mutex;
    return *s_lock;
}
std::map<std::string, WindowProc>& Classes() {
    static auto* s_classes = new std::map<std::string, WindowProc>;
    return *s_classes;
}

HWND Hwnd(WindowHandle aWnd) { return reinterpret_cast<HWND>(aWnd); }

LRESULT CALLBACK Trampoline(HWND aHwnd, UINT aMsg, WPARAM aWParam, LPARAM aLParam) {
    auto proc = reinterpret_cast<WindowProc>(GetWindowLongPtrA(aHwnd, kProcSlot));
    if (!proc)
        return DefWindowProcA(aHwnd, aMsg, aWParam, aLParam);
    return proc(reinterpret_cast<WindowHandle>(aHwnd), aMsg, aWParam, aLParam);
}

MSG ToMsg(const Message& aMsg) {
    MSG msg{};
    msg.hwnd = Hwnd(aMsg.window);
    msg.message = aMsg.message;
    msg.wParam = aMsg.wParam;
    msg.lParam = aMsg.lParam;
    return msg;
}

}  // namespace

bool RegisterWindowClass(const char* aName, WindowProc aProc) {
    if (!aName || !aProc) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::lock_guard<std::mutex> guard(ClassLock());
    WNDCLASSA wc{};
    wc.lpfnWndProc = Trampoline;
    wc.cbWndExtra = 2 * sizeof(LONG_PTR);
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = aName;
    if (!RegisterClassA(&wc))
        return false;
    Classes()[aName] = aProc;
    return true;
}

bool UnregisterWindowClass(const char* aName) {
    if (!aName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::lock_guard<std::mutex> guard(ClassLock());
    if (!UnregisterClassA(aName, GetModuleHandleA(nullptr)))
        return false;
    Classes().erase(aName);
    return true;
}

WindowHandle CreateNotifyWindow(const char* aClassName) {
    WindowProc proc = nullptr;
    {
        std::lock_guard<std::mutex> guard(ClassLock());
        auto it = aClassName ? Classes().find(aClassName) : Classes().end();
        if (it == Classes().end()) {
            SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
            return nullptr;
        }
        proc = it->second;
    }
    // Style 0 without WS_VISIBLE: a top-level window that is never shown.
    HWND hwnd = CreateWindowExA(0, aClassName, "", 0, 0, 0, 0, 0, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    if (!hwnd)
        return nullptr;
    SetWindowLongPtrA(hwnd, kProcSlot, reinterpret_cast<LONG_PTR>(proc));
    return reinterpret_cast<WindowHandle>(hwnd);
}

bool DestroyNotifyWindow(WindowHandle aWnd) { return DestroyWindow(Hwnd(aWnd)) != FALSE; }

bool SetWindowUserValue(WindowHandle aWnd, intptr_t aValue) {
    // A previous value of 0 and a failure both return 0: the error tells them apart.
    SetLastError(0);
    if (SetWindowLongPtrA(Hwnd(aWnd), kUserSlot, aValue) == 0 && GetLastError() != 0)
        return false;
    return true;
}

intptr_t GetWindowUserValue(WindowHandle aWnd) { return GetWindowLongPtrA(Hwnd(aWnd), kUserSlot); }

bool PostWindowMessage(WindowHandle aWnd, uint32_t aMsg, uintptr_t aWParam, intptr_t aLParam) {
    return PostMessageA(Hwnd(aWnd), aMsg, aWParam, aLParam) != FALSE;
}

bool SetWindowTimer(WindowHandle aWnd, uintptr_t aId, uint32_t aPeriodMs) {
    return SetTimer(Hwnd(aWnd), aId, aPeriodMs, nullptr) != 0;
}

bool KillWindowTimer(WindowHandle aWnd, uintptr_t aId) { return KillTimer(Hwnd(aWnd), aId) != FALSE; }

void PostQuit(int aExitCode) { PostQuitMessage(aExitCode); }

int GetWindowMessage(Message* aMsg, uint32_t aTimeoutMs) {
    if (!aMsg) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    MSG msg;
    BOOL rc;
    if (aTimeoutMs == kWaitForever) {
        rc = GetMessageA(&msg, nullptr, 0, 0);
        if (rc == -1)
            return -1;
    } else {
        const ULONGLONG deadline = GetTickCount64() + aTimeoutMs;
        while (!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            const ULONGLONG now = GetTickCount64();
            if (now >= deadline)
                return kNoMessage;
            const DWORD wait = MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(deadline - now), QS_ALLINPUT,
                                                           MWMO_INPUTAVAILABLE);
            if (wait == WAIT_FAILED)
                return -1;
        }
        rc = msg.message != WM_QUIT;
    }
    aMsg->window = reinterpret_cast<WindowHandle>(msg.hwnd);
    aMsg->message = msg.message;
    aMsg->wParam = msg.wParam;
    aMsg->lParam = msg.lParam;
    return rc ? 1 : 0;
}

void TranslateWindowMessage(const Message* aMsg) {
    if (!aMsg)
        return;
    MSG msg = ToMsg(*aMsg);
    TranslateMessage(&msg);
}

intptr_t DispatchWindowMessage(const Message* aMsg) {
    if (!aMsg)
        return 0;
    MSG msg = ToMsg(*aMsg);
    return DispatchMessageA(&msg);
}

intptr_t DefaultWindowProc(WindowHandle aWnd, uint32_t aMsg, uintptr_t aWParam, intptr_t aLParam) {
    return DefWindowProcA(Hwnd(aWnd), aMsg, aWParam, aLParam);
}

int AsyncSelect(SocketHandle aSock, WindowHandle aWnd, uint32_t aMsg, uint32_t aEvents) {
    return WSAAsyncSelect(static_cast<SOCKET>(aSock), Hwnd(aWnd), aMsg, static_cast<long>(aEvents)) == 0 ? 0 : -1;
}

}  // namespace rtos
