#include "RtOsSignals.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

namespace rtos {
namespace {

std::mutex g_lock;
int g_pipe[2] = {-1, -1};
ConsoleHandlerFn g_console = nullptr;
SvcControlFn g_control = nullptr;
void* g_controlContext = nullptr;
StopRequestFn g_stop = nullptr;
void* g_stopContext = nullptr;

extern "C" void OnSignal(int aSig) {
    int saved = errno;
    unsigned char b = static_cast<unsigned char>(aSig);
    ssize_t n = write(g_pipe[1], &b, 1);
    (void)n;
    errno = saved;
}

void Dispatch(int aSig) {
    std::unique_lock<std::mutex> guard(g_lock);
    ConsoleHandlerFn console = g_console;
    SvcControlFn control = g_control;
    void* controlContext = g_controlContext;
    StopRequestFn stop = g_stop;
    void* stopContext = g_stopContext;
    guard.unlock();

    switch (aSig) {
    case SIGINT:
    case SIGQUIT:
    case SIGHUP: {
        // Ctrl-C, Ctrl-Break and a closed console window, in that order.
        uint32_t event = aSig == SIGINT ? 0 : aSig == SIGQUIT ? 1 : 2;
        if (console && console(event))
            return;
        break;
    }
    case SIGTERM:
        if (control) {
            control(kSvcControlStop, controlContext);
            return;
        }
        if (stop) {
            stop(stopContext);
            return;
        }
        break;
    default:
        break;
    }
    // Not handled: the signal's own action, as if nobody had caught it.
    signal(aSig, SIG_DFL);
    raise(aSig);
}

void WatchSignals() {
    for (;;) {
        unsigned char b;
        ssize_t n = read(g_pipe[0], &b, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        Dispatch(b);
    }
}

// Routes aSig to the watcher thread, starting it on first use.
bool Catch(int aSig) {
    std::lock_guard<std::mutex> guard(g_lock);
    if (g_pipe[0] < 0) {
        if (pipe2(g_pipe, O_CLOEXEC) != 0)
            return false;
        std::thread(WatchSignals).detach();
    }
    struct sigaction sa = {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    return sigaction(aSig, &sa, nullptr) == 0;
}

}  // namespace

namespace posix {

bool SetConsoleSignalHandler(ConsoleHandlerFn aHandler) {
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_console = aHandler;
    }
    return Catch(SIGINT) && Catch(SIGQUIT) && Catch(SIGHUP);
}

bool SetStopSignalHandler(StopRequestFn aHandler, void* aContext) {
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_stop = aHandler;
        g_stopContext = aContext;
    }
    return Catch(SIGTERM);
}

void SetServiceControlHandler(SvcControlFn aHandler, void* aContext) {
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_control = aHandler;
        g_controlContext = aContext;
    }
    Catch(SIGTERM);
}

}  // namespace posix
}  // namespace rtos
