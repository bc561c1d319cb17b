// Notification windows on Linux.
//
// Each thread that uses a window gets a message queue: an epoll set holding
// an eventfd (the wake-up for posts from other threads) and the sockets
// reported to the thread's windows. Posted messages wait in a list; timers
// are deadlines that only become WM_TIMER when the list is empty, so a busy
// thread never collects a backlog of ticks. An idle thread sleeps in
// epoll_wait until the next deadline.
//
// Socket readiness follows the Winsock async-select rules (see
// RtOsWindow.h). A socket is in the epoll set only for what may be reported
// now: EPOLLIN while FD_READ/FD_ACCEPT is enabled, EPOLLOUT while FD_WRITE is
// armed or a connect is pending, EPOLLRDHUP until the peer's close is seen.
// Level-triggered readiness therefore never repeats while a notification is
// waiting for the owner, and hang-up conditions (which epoll reports
// whatever the interest) take the socket out of the set.
//
// All state sits behind one mutex: it is small, and every critical section
// is a few look-ups long.
#include "../RtOsWindow.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "RtOsSelect.h"

namespace rtos {

namespace {

constexpr uint64_t kWakeKey = ~static_cast<uint64_t>(0);
constexpr uint32_t kMinPeriodMs = 10;  // as USER_TIMER_MINIMUM
constexpr uint32_t kMaxPeriodMs = 0x7FFFFFFF;
// Posted messages taken in a row before the sockets are looked at again, so
// that a flood of posts cannot starve socket notifications.
constexpr unsigned kPostedPerPoll = 16;
// How long FD_ACCEPT stays off after accept ran out of descriptors or
// memory; the pending connection would otherwise be reported at once again.
constexpr uint64_t kAcceptBackoffUs = 100000;
constexpr int kMaxEvents = 64;

uint64_t NowUs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

struct Posted {
    Message msg;
    bool fromSelect;  // a socket notification, dropped when the socket goes
};

struct Timer {
    uintptr_t window;
    uintptr_t id;
    uint64_t periodUs;
    uint64_t dueUs;
};

struct ThreadQueue {
    int epfd = -1;
    int evfd = -1;
    std::deque<Posted> posted;
    std::vector<Timer> timers;
    // Listening sockets whose FD_ACCEPT is held back: fd and generation.
    std::vector<std::pair<int, uint32_t>> backoff;
    bool quit = false;
    int quitCode = 0;
    unsigned takenSincePoll = 0;

    ~ThreadQueue() {
        if (evfd >= 0)
            close(evfd);
        if (epfd >= 0)
            close(epfd);
    }
    void Wake() const {
        uint64_t one = 1;
        // A full counter (never reached) still leaves the eventfd readable.
        ssize_t rc = write(evfd, &one, sizeof one);
        (void)rc;
    }
};

struct Window {
    std::string cls;
    WindowProc proc = nullptr;
    std::shared_ptr<ThreadQueue> queue;
    intptr_t user = 0;
    bool destroying = false;
};

struct WindowClass {
    WindowProc proc;
    int windows;
};

enum class Phase { kIdle, kListening, kConnecting, kConnected, kDatagram, kFailed };

struct SelectState {
    uint32_t gen = 0;       // tells a reused descriptor number from its predecessor
    uintptr_t window = 0;   // 0: not reported
    uint32_t msg = 0;
    uint32_t events = 0;
    Phase phase = Phase::kIdle;
    bool readEnabled = true;   // FD_READ / FD_ACCEPT may be posted
    bool writeArmed = false;   // FD_WRITE is posted at the next writability
    bool peerClosed = false;   // end of the peer's data seen
    bool hungUp = false;       // both directions gone (reset or hang-up)
    bool closePosted = false;
    int closeError = 0;
    uint64_t resumeUs = 0;     // FD_ACCEPT held back until then
    uint32_t interest = 0;     // epoll events registered; 0: not in a set
    std::shared_ptr<ThreadQueue> queue;  // whose set holds the descriptor
};

struct State {
    std::mutex mutex;
    std::map<std::string, WindowClass> classes;
    std::unordered_map<uintptr_t, Window> windows;
    std::unordered_map<int, SelectState> sockets;
    uintptr_t lastWindow = 0;
    uint32_t lastGen = 0;
};

// Never destroyed: threads may still end (and clean up) during exit.
State& G() {
    static State* s_state = new State;
    return *s_state;
}

void ReleaseThread(const std::shared_ptr<ThreadQueue>& aQueue);

struct QueueHolder {
    std::shared_ptr<ThreadQueue> queue;
    ~QueueHolder() {
        if (queue)
            ReleaseThread(queue);
    }
};
thread_local QueueHolder t_holder;

// The calling thread's queue, made on first use; null when the system
// refuses the descriptors (errno tells why).
ThreadQueue* CurrentQueue() {
    if (t_holder.queue)
        return t_holder.queue.get();
    auto q = std::make_shared<ThreadQueue>();
    q->epfd = epoll_create1(EPOLL_CLOEXEC);
    if (q->epfd < 0)
        return nullptr;
    q->evfd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (q->evfd < 0)
        return nullptr;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kWakeKey;
    if (epoll_ctl(q->epfd, EPOLL_CTL_ADD, q->evfd, &ev) != 0)
        return nullptr;
    t_holder.queue = std::move(q);
    return t_holder.queue.get();
}

uintptr_t Id(WindowHandle aWnd) { return reinterpret_cast<uintptr_t>(aWnd); }
WindowHandle Handle(uintptr_t aId) { return reinterpret_cast<WindowHandle>(aId); }

Window* FindWindow_l(uintptr_t aId) {
    auto it = G().windows.find(aId);
    return it == G().windows.end() ? nullptr : &it->second;
}

// Drops queued messages of a window; with aFd, only that socket's
// notifications.
void DropPosted_l(ThreadQueue& aQueue, uintptr_t aWindow, int aFd) {
    auto& posted = aQueue.posted;
    posted.erase(std::remove_if(posted.begin(), posted.end(),
                                [&](const Posted& p) {
                                    if (Id(p.msg.window) != aWindow)
                                        return false;
                                    return aFd < 0 || (p.fromSelect && p.msg.wParam == static_cast<uintptr_t>(aFd));
                                }),
                 posted.end());
}

// ---- Socket readiness ----------------------------------------------------------

int SocketErrorOf(int aFd) {
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(aFd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
        return errno;
    return err;
}

uint32_t Buffered(int aFd) {
    int n = 0;
    return ioctl(aFd, FIONREAD, &n) == 0 && n > 0 ? static_cast<uint32_t>(n) : 0u;
}

void PostSelect_l(int aFd, const SelectState& aState, uint32_t aEvent, int aError) {
    Window* w = FindWindow_l(aState.window);
    if (!w)
        return;
    Message msg;
    msg.window = Handle(aState.window);
    msg.message = aState.msg;
    msg.wParam = static_cast<uintptr_t>(aFd);
    msg.lParam = MakeSelectLParam(aEvent, aError);
    const bool wasEmpty = w->queue->posted.empty();
    w->queue->posted.push_back(Posted{msg, true});
    if (wasEmpty && w->queue != t_holder.queue)
        w->queue->Wake();
}

uint32_t WantedEvents(const SelectState& s) {
    if (!s.window || s.closePosted)
        return 0;
    uint32_t want = 0;
    switch (s.phase) {
    case Phase::kListening:
        if ((s.events & kFdAccept) && s.readEnabled && s.resumeUs == 0)
            want = EPOLLIN;
        break;
    case Phase::kConnecting:
        want = EPOLLOUT;
        break;
    case Phase::kConnected:
        if (s.hungUp) {
            // Only the remaining data and the close are left to report.
            if (!(s.events & kFdRead) || s.readEnabled)
                want = EPOLLIN;
            break;
        }
        if ((s.events & kFdRead) && s.readEnabled)
            want |= EPOLLIN;
        if (s.peerClosed && !(s.events & kFdRead) && (s.events & kFdClose))
            want |= EPOLLIN;  // end of data is readable: reports the close
        if (!s.peerClosed && (s.events & (kFdRead | kFdClose)))
            want |= EPOLLRDHUP;
        if (s.writeArmed && (s.events & kFdWrite))
            want |= EPOLLOUT;
        break;
    case Phase::kDatagram:
        if ((s.events & kFdRead) && s.readEnabled)
            want |= EPOLLIN;
        if (s.writeArmed && (s.events & kFdWrite))
            want |= EPOLLOUT;
        break;
    case Phase::kIdle:  // an unconnected stream socket reports a hang-up: leave it out
    case Phase::kFailed:
        break;
    }
    return want;
}

std::shared_ptr<ThreadQueue> QueueOf_l(const SelectState& s) {
    Window* w = s.window ? FindWindow_l(s.window) : nullptr;
    return w ? w->queue : nullptr;
}

void UpdateInterest_l(int aFd, SelectState& s) {
    std::shared_ptr<ThreadQueue> q = QueueOf_l(s);
    const uint32_t want = q ? WantedEvents(s) : 0;
    if (want == s.interest && q == s.queue)
        return;
    if (s.interest && (want == 0 || q != s.queue)) {
        epoll_ctl(s.queue->epfd, EPOLL_CTL_DEL, aFd, nullptr);
        s.interest = 0;
        s.queue.reset();
    }
    if (!want)
        return;
    epoll_event ev{};
    ev.events = want;
    ev.data.u64 = (static_cast<uint64_t>(s.gen) << 32) | static_cast<uint32_t>(aFd);
    if (epoll_ctl(q->epfd, s.interest ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, aFd, &ev) == 0) {
        s.interest = want;
        s.queue = q;
    }
}

void OnSocketEvents_l(int aFd, uint32_t aGen, uint32_t aEv) {
    auto it = G().sockets.find(aFd);
    if (it == G().sockets.end() || it->second.gen != aGen)
        return;  // closed or replaced since epoll_wait looked
    SelectState& s = it->second;
    if (!s.window)
        return;
    switch (s.phase) {
    case Phase::kListening:
        if ((aEv & EPOLLIN) && s.readEnabled && (s.events & kFdAccept)) {
            PostSelect_l(aFd, s, kFdAccept, 0);
            s.readEnabled = false;
        } else if (aEv & (EPOLLERR | EPOLLHUP)) {
            s.phase = Phase::kFailed;  // shut down: nothing left to accept
        }
        break;
    case Phase::kConnecting: {
        const int err = SocketErrorOf(aFd);
        s.phase = err ? Phase::kFailed : Phase::kConnected;
        if (s.events & kFdConnect)
            PostSelect_l(aFd, s, kFdConnect, err);
        // EPOLLOUT has just told that the socket is writable.
        if (!err && (s.events & kFdWrite))
            PostSelect_l(aFd, s, kFdWrite, 0);
        s.writeArmed = false;
        break;
    }
    case Phase::kConnected:
        if (aEv & EPOLLERR) {
            const int err = SocketErrorOf(aFd);
            if (err)
                s.closeError = err;
            s.hungUp = s.peerClosed = true;
        }
        if (aEv & EPOLLHUP)
            s.hungUp = s.peerClosed = true;
        if (aEv & EPOLLRDHUP)
            s.peerClosed = true;
        if ((aEv & EPOLLOUT) && s.writeArmed && !s.hungUp) {
            PostSelect_l(aFd, s, kFdWrite, 0);
            s.writeArmed = false;
        }
        if (s.peerClosed) {
            if ((s.events & kFdRead) && Buffered(aFd) > 0) {
                // The data goes first; the close follows once it is read.
                if (s.readEnabled) {
                    PostSelect_l(aFd, s, kFdRead, 0);
                    s.readEnabled = false;
                }
            } else {
                if (s.events & kFdClose)
                    PostSelect_l(aFd, s, kFdClose, s.closeError);
                s.closePosted = true;
            }
        } else if ((aEv & EPOLLIN) && s.readEnabled && (s.events & kFdRead)) {
            PostSelect_l(aFd, s, kFdRead, 0);
            s.readEnabled = false;
        }
        break;
    case Phase::kDatagram:
        // An ICMP error is left for the next receive to report.
        if ((aEv & EPOLLOUT) && s.writeArmed) {
            PostSelect_l(aFd, s, kFdWrite, 0);
            s.writeArmed = false;
        }
        if ((aEv & EPOLLIN) && s.readEnabled && (s.events & kFdRead)) {
            PostSelect_l(aFd, s, kFdRead, 0);
            s.readEnabled = false;
        }
        break;
    case Phase::kIdle:
    case Phase::kFailed:
        break;
    }
    UpdateInterest_l(aFd, s);
}

SelectState* FindSocket_l(int aFd) {
    auto it = G().sockets.find(aFd);
    return it == G().sockets.end() ? nullptr : &it->second;
}

SelectState& NewSocket_l(int aFd) {
    SelectState& s = G().sockets[aFd];
    s = SelectState();
    s.gen = ++G().lastGen;
    return s;
}

// Ends reporting: out of the epoll set, queued notifications dropped.
void Detach_l(int aFd, SelectState& s) {
    if (s.interest) {
        epoll_ctl(s.queue->epfd, EPOLL_CTL_DEL, aFd, nullptr);
        s.interest = 0;
        s.queue.reset();
    }
    if (s.window) {
        if (Window* w = FindWindow_l(s.window))
            DropPosted_l(*w->queue, s.window, aFd);
    }
    s.window = 0;
    s.events = 0;
}

// ---- The queue -------------------------------------------------------------

// Waits up to aTimeoutMs (-1: no limit) and turns socket readiness into
// posted messages. False on failure.
bool Poll(ThreadQueue& aQueue, int aTimeoutMs) {
    epoll_event evs[kMaxEvents];
    const int n = epoll_wait(aQueue.epfd, evs, kMaxEvents, aTimeoutMs);
    if (n < 0)
        return errno == EINTR;
    bool woken = false;
    if (n > 0) {
        std::lock_guard<std::mutex> guard(G().mutex);
        for (int i = 0; i < n; ++i) {
            const uint64_t key = evs[i].data.u64;
            if (key == kWakeKey)
                woken = true;
            else
                OnSocketEvents_l(static_cast<int>(key & 0xFFFFFFFFu), static_cast<uint32_t>(key >> 32), evs[i].events);
        }
    }
    if (woken) {
        uint64_t count;
        ssize_t rc = read(aQueue.evfd, &count, sizeof count);
        (void)rc;
    }
    return true;
}

// Lets held-back listeners report again once their time has come.
void ResumeListeners_l(ThreadQueue& aQueue, uint64_t aNow) {
    auto& list = aQueue.backoff;
    for (size_t i = 0; i < list.size();) {
        SelectState* s = FindSocket_l(list[i].first);
        if (s && s->gen == list[i].second && s->resumeUs > aNow) {
            ++i;
            continue;
        }
        if (s && s->gen == list[i].second) {
            s->resumeUs = 0;
            UpdateInterest_l(list[i].first, *s);
        }
        list[i] = list.back();
        list.pop_back();
    }
}

bool TakeDueTimer_l(ThreadQueue& aQueue, uint64_t aNow, Message* aMsg) {
    Timer* due = nullptr;
    for (Timer& t : aQueue.timers) {
        if (t.dueUs <= aNow && (!due || t.dueUs < due->dueUs))
            due = &t;
    }
    if (!due)
        return false;
    aMsg->window = Handle(due->window);
    aMsg->message = kWmTimer;
    aMsg->wParam = due->id;
    aMsg->lParam = 0;
    // Expiries missed while the thread was busy collapse into this one.
    due->dueUs += due->periodUs;
    if (due->dueUs <= aNow)
        due->dueUs = aNow + due->periodUs;
    return true;
}

int TimeoutMs_l(const ThreadQueue& aQueue, uint64_t aNow) {
    uint64_t next = UINT64_MAX;
    for (const Timer& t : aQueue.timers)
        next = std::min(next, t.dueUs);
    for (const auto& entry : aQueue.backoff) {
        auto it = G().sockets.find(entry.first);
        if (it != G().sockets.end() && it->second.gen == entry.second && it->second.resumeUs)
            next = std::min(next, it->second.resumeUs);
    }
    if (next == UINT64_MAX)
        return -1;
    if (next <= aNow)
        return 0;
    // Rounded up: waking before the deadline would only spin.
    const uint64_t ms = (next - aNow + 999) / 1000;
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

void ReleaseThread(const std::shared_ptr<ThreadQueue>& aQueue) {
    // Like Windows at thread exit, the thread's windows go; their procedures
    // are not called any more.
    std::lock_guard<std::mutex> guard(G().mutex);
    State& g = G();
    for (auto it = g.windows.begin(); it != g.windows.end();) {
        if (it->second.queue != aQueue) {
            ++it;
            continue;
        }
        auto cls = g.classes.find(it->second.cls);
        if (cls != g.classes.end())
            --cls->second.windows;
        it = g.windows.erase(it);
    }
    for (auto& entry : g.sockets) {
        SelectState& s = entry.second;
        if (s.queue == aQueue) {
            s.interest = 0;  // the epoll set closes with the queue
            s.queue.reset();
        }
        if (s.window && !FindWindow_l(s.window))
            s.window = 0;
    }
    aQueue->posted.clear();
    aQueue->timers.clear();
    aQueue->backoff.clear();
}

}  // namespace

// ---- Classes and windows -----------------------------------------------------

bool RegisterWindowClass(const char* aName, WindowProc aProc) {
    if (!aName || !aProc) {
        errno = EINVAL;
        return false;
    }
    std::lock_guard<std::mutex> guard(G().mutex);
    if (!G().classes.emplace(aName, WindowClass{aProc, 0}).second) {
        errno = EEXIST;
        return false;
    }
    return true;
}

bool UnregisterWindowClass(const char* aName) {
    if (!aName) {
        errno = EINVAL;
        return false;
    }
    std::lock_guard<std::mutex> guard(G().mutex);
    auto it = G().classes.find(aName);
    if (it == G().classes.end()) {
        errno = ENOENT;
        return false;
    }
    if (it->second.windows > 0) {
        errno = EBUSY;
        return false;
    }
    G().classes.erase(it);
    return true;
}

WindowHandle CreateNotifyWindow(const char* aClassName) {
    if (!aClassName) {
        errno = EINVAL;
        return nullptr;
    }
    if (!CurrentQueue())
        return nullptr;
    std::lock_guard<std::mutex> guard(G().mutex);
    State& g = G();
    auto cls = g.classes.find(aClassName);
    if (cls == g.classes.end()) {
        errno = ENOENT;
        return nullptr;
    }
    // Handles are numbers that are never handed out twice, so a stale handle
    // cannot reach a newer window.
    const uintptr_t id = (++g.lastWindow) << 4;
    Window& w = g.windows[id];
    w.cls = aClassName;
    w.proc = cls->second.proc;
    w.queue = t_holder.queue;
    ++cls->second.windows;
    return Handle(id);
}

bool DestroyNotifyWindow(WindowHandle aWnd) {
    const uintptr_t id = Id(aWnd);
    WindowProc proc = nullptr;
    {
        std::lock_guard<std::mutex> guard(G().mutex);
        Window* w = FindWindow_l(id);
        if (!w || w->destroying) {
            errno = EINVAL;
            return false;
        }
        if (w->queue != t_holder.queue) {
            errno = EPERM;
            return false;
        }
        w->destroying = true;
        proc = w->proc;
    }
    // The window still exists while its procedure handles WM_DESTROY.
    proc(aWnd, kWmDestroy, 0, 0);

    std::lock_guard<std::mutex> guard(G().mutex);
    State& g = G();
    Window* w = FindWindow_l(id);
    if (!w)
        return true;
    ThreadQueue& q = *w->queue;
    q.timers.erase(std::remove_if(q.timers.begin(), q.timers.end(), [&](const Timer& t) { return t.window == id; }),
                   q.timers.end());
    DropPosted_l(q, id, -1);
    for (auto& entry : g.sockets) {
        if (entry.second.window == id)
            Detach_l(entry.first, entry.second);
    }
    auto cls = g.classes.find(w->cls);
    if (cls != g.classes.end())
        --cls->second.windows;
    g.windows.erase(id);
    return true;
}

bool SetWindowUserValue(WindowHandle aWnd, intptr_t aValue) {
    std::lock_guard<std::mutex> guard(G().mutex);
    Window* w = FindWindow_l(Id(aWnd));
    if (!w) {
        errno = EINVAL;
        return false;
    }
    w->user = aValue;
    return true;
}

intptr_t GetWindowUserValue(WindowHandle aWnd) {
    std::lock_guard<std::mutex> guard(G().mutex);
    Window* w = FindWindow_l(Id(aWnd));
    return w ? w->user : 0;
}

// ---- Messages ----------------------------------------------------------------

bool PostWindowMessage(WindowHandle aWnd, uint32_t aMsg, uintptr_t aWParam, intptr_t aLParam) {
    std::shared_ptr<ThreadQueue> wake;
    {
        std::lock_guard<std::mutex> guard(G().mutex);
        Window* w = FindWindow_l(Id(aWnd));
        if (!w) {
            errno = EINVAL;
            return false;
        }
        Message msg;
        msg.window = aWnd;
        msg.message = aMsg;
        msg.wParam = aWParam;
        msg.lParam = aLParam;
        // One wake-up per non-empty stretch suffices: the owner empties the
        // list before it sleeps again.
        if (w->queue->posted.empty() && w->queue != t_holder.queue)
            wake = w->queue;
        w->queue->posted.push_back(Posted{msg, false});
    }
    if (wake)
        wake->Wake();
    return true;
}

bool SetWindowTimer(WindowHandle aWnd, uintptr_t aId, uint32_t aPeriodMs) {
    const uint32_t ms = std::min(std::max(aPeriodMs, kMinPeriodMs), kMaxPeriodMs);
    const uint64_t periodUs = static_cast<uint64_t>(ms) * 1000u;
    std::shared_ptr<ThreadQueue> wake;
    {
        std::lock_guard<std::mutex> guard(G().mutex);
        Window* w = FindWindow_l(Id(aWnd));
        if (!w) {
            errno = EINVAL;
            return false;
        }
        const uint64_t due = NowUs() + periodUs;
        auto& timers = w->queue->timers;
        auto it = std::find_if(timers.begin(), timers.end(),
                               [&](const Timer& t) { return t.window == Id(aWnd) && t.id == aId; });
        if (it != timers.end()) {
            it->periodUs = periodUs;
            it->dueUs = due;
        } else {
            timers.push_back(Timer{Id(aWnd), aId, periodUs, due});
        }
        // The owner may be asleep with a later deadline.
        if (w->queue != t_holder.queue)
            wake = w->queue;
    }
    if (wake)
        wake->Wake();
    return true;
}

bool KillWindowTimer(WindowHandle aWnd, uintptr_t aId) {
    std::lock_guard<std::mutex> guard(G().mutex);
    Window* w = FindWindow_l(Id(aWnd));
    if (!w) {
        errno = EINVAL;
        return false;
    }
    auto& timers = w->queue->timers;
    auto it = std::find_if(timers.begin(), timers.end(),
                           [&](const Timer& t) { return t.window == Id(aWnd) && t.id == aId; });
    if (it == timers.end()) {
        errno = EINVAL;
        return false;
    }
    timers.erase(it);
    return true;
}

void PostQuit(int aExitCode) {
    ThreadQueue* q = CurrentQueue();
    if (!q)
        return;
    std::lock_guard<std::mutex> guard(G().mutex);
    q->quit = true;
    q->quitCode = aExitCode;
}

int GetWindowMessage(Message* aMsg) {
    if (!aMsg) {
        errno = EINVAL;
        return -1;
    }
    ThreadQueue* q = CurrentQueue();
    if (!q)
        return -1;
    {
        std::lock_guard<std::mutex> guard(G().mutex);
        if (!q->posted.empty() && q->takenSincePoll < kPostedPerPoll) {
            ++q->takenSincePoll;
            *aMsg = q->posted.front().msg;
            q->posted.pop_front();
            return 1;
        }
    }
    int timeoutMs = 0;  // first look without waiting
    for (;;) {
        if (!Poll(*q, timeoutMs))
            return -1;
        std::lock_guard<std::mutex> guard(G().mutex);
        q->takenSincePoll = 0;
        if (!q->posted.empty()) {
            ++q->takenSincePoll;
            *aMsg = q->posted.front().msg;
            q->posted.pop_front();
            return 1;
        }
        if (q->quit) {
            q->quit = false;
            *aMsg = Message();
            aMsg->message = kWmQuit;
            aMsg->wParam = static_cast<uintptr_t>(static_cast<intptr_t>(q->quitCode));
            return 0;
        }
        const uint64_t now = NowUs();
        ResumeListeners_l(*q, now);
        if (TakeDueTimer_l(*q, now, aMsg))
            return 1;
        timeoutMs = TimeoutMs_l(*q, now);
    }
}

void TranslateWindowMessage(const Message*) {}

intptr_t DispatchWindowMessage(const Message* aMsg) {
    if (!aMsg || !aMsg->window)
        return 0;
    WindowProc proc = nullptr;
    {
        std::lock_guard<std::mutex> guard(G().mutex);
        Window* w = FindWindow_l(Id(aMsg->window));
        if (!w)
            return 0;
        proc = w->proc;
    }
    return proc(aMsg->window, aMsg->message, aMsg->wParam, aMsg->lParam);
}

intptr_t DefaultWindowProc(WindowHandle, uint32_t, uintptr_t, intptr_t) { return 0; }

// ---- Socket notifications ------------------------------------------------------

int AsyncSelect(SocketHandle aSock, WindowHandle aWnd, uint32_t aMsg, uint32_t aEvents) {
    if (aSock > static_cast<SocketHandle>(INT_MAX)) {
        errno = EBADF;
        return -1;
    }
    const int fd = static_cast<int>(aSock);
    int type = 0;
    socklen_t len = sizeof type;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0)
        return -1;  // EBADF or ENOTSOCK
    if (aEvents == 0) {
        std::lock_guard<std::mutex> guard(G().mutex);
        if (SelectState* s = FindSocket_l(fd))
            Detach_l(fd, *s);
        return 0;
    }
    // Like WSAAsyncSelect, reporting makes the socket non-blocking.
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || (!(flags & O_NONBLOCK) && fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0))
        return -1;
    int listening = 0;
    len = sizeof listening;
    getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len);
    sockaddr_storage peer;
    socklen_t peerLen = sizeof peer;
    const bool connected = getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLen) == 0;

    std::lock_guard<std::mutex> guard(G().mutex);
    if (!FindWindow_l(Id(aWnd))) {
        errno = EINVAL;
        return -1;
    }
    SelectState* found = FindSocket_l(fd);
    SelectState& s = found ? *found : NewSocket_l(fd);
    if (s.phase == Phase::kIdle || s.phase == Phase::kConnected) {
        if (type == SOCK_DGRAM)
            s.phase = Phase::kDatagram;
        else if (listening)
            s.phase = Phase::kListening;
        else if (connected)
            s.phase = Phase::kConnected;
    }
    s.window = Id(aWnd);
    s.msg = aMsg;
    s.events = aEvents;
    // A new registration reports the current state afresh, as Winsock does.
    s.readEnabled = true;
    s.closePosted = false;
    s.writeArmed = s.phase == Phase::kConnected || s.phase == Phase::kDatagram;
    UpdateInterest_l(fd, s);
    return 0;
}

// ---- Hooks of the socket calls -------------------------------------------------

namespace posix {

void SelectForget(int aFd) {
    std::lock_guard<std::mutex> guard(G().mutex);
    auto it = G().sockets.find(aFd);
    if (it == G().sockets.end())
        return;
    Detach_l(aFd, it->second);
    G().sockets.erase(it);
}

void SelectReceived(int aFd) {
    std::lock_guard<std::mutex> guard(G().mutex);
    SelectState* s = FindSocket_l(aFd);
    if (s && !s->readEnabled) {
        s->readEnabled = true;
        UpdateInterest_l(aFd, *s);
    }
}

void SelectSent(int aFd, bool aBlocked) {
    if (!aBlocked)
        return;
    std::lock_guard<std::mutex> guard(G().mutex);
    SelectState* s = FindSocket_l(aFd);
    if (s && !s->writeArmed) {
        s->writeArmed = true;
        UpdateInterest_l(aFd, *s);
    }
}

void SelectListening(int aFd) {
    std::lock_guard<std::mutex> guard(G().mutex);
    SelectState* s = FindSocket_l(aFd);
    if (s) {
        s->phase = Phase::kListening;
        s->readEnabled = true;
        UpdateInterest_l(aFd, *s);
    }
}

void SelectConnecting(int aFd, bool aDone) {
    std::lock_guard<std::mutex> guard(G().mutex);
    SelectState* found = FindSocket_l(aFd);
    // Recorded even before AsyncSelect, which may come after the connect.
    SelectState& s = found ? *found : NewSocket_l(aFd);
    s.phase = aDone ? Phase::kConnected : Phase::kConnecting;
    s.writeArmed = aDone;
    UpdateInterest_l(aFd, s);
}

void SelectAccepted(int aListenFd, int aNewFd, int aErr) {
    std::lock_guard<std::mutex> guard(G().mutex);
    State& g = G();
    SelectState* ls = FindSocket_l(aListenFd);
    if (ls) {
        ls->readEnabled = true;
        if (aNewFd < 0 && (aErr == EMFILE || aErr == ENFILE || aErr == ENOBUFS || aErr == ENOMEM) && ls->window) {
            if (std::shared_ptr<ThreadQueue> q = QueueOf_l(*ls)) {
                if (!ls->resumeUs)
                    q->backoff.emplace_back(aListenFd, ls->gen);
                ls->resumeUs = NowUs() + kAcceptBackoffUs;
                if (q != t_holder.queue)
                    q->Wake();  // its sleep must end at the resume time
            }
        }
        UpdateInterest_l(aListenFd, *ls);
    }
    if (aNewFd < 0)
        return;
    auto stale = g.sockets.find(aNewFd);
    if (stale != g.sockets.end()) {
        Detach_l(aNewFd, stale->second);
        g.sockets.erase(stale);
    }
    ls = FindSocket_l(aListenFd);  // the erase may have moved it
    if (!ls || !ls->window)
        return;
    // The accepted socket is reported like its listener, from the start.
    const uintptr_t window = ls->window;
    const uint32_t msg = ls->msg;
    const uint32_t events = ls->events;
    SelectState& s = NewSocket_l(aNewFd);
    s.window = window;
    s.msg = msg;
    s.events = events;
    s.phase = Phase::kConnected;
    s.writeArmed = true;
    UpdateInterest_l(aNewFd, s);
}

}  // namespace posix

}  // namespace rtos
