// Notification windows on Linux: classes, windows, the per-thread message
// queue and window timers. Socket readiness lives in RtOsSelect.cpp.
//
// Posted messages wait in the queue's list; timers are deadlines that only
// become WM_TIMER when the list is empty, so a busy thread never collects a
// backlog of ticks. An idle thread sleeps in epoll_wait until the next
// deadline; a post from another thread writes the eventfd only while the
// owner sleeps.
//
// Locks: each queue has its own (see RtOsQueue.h). A window is found by its
// owner in a thread-local list without any lock; other threads find it in a
// registry split into shards, each with its own lock, so that posters to
// different windows do not meet. Classes have a lock of their own, taken
// only when windows come and go.
#include "../RtOsWindow.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <map>
#include <string>
#include <unordered_map>

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include "RtOsQueue.h"

namespace rtos {

namespace posix {

uint64_t NowUs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

void PostedRing::push(const Posted& aItem) {
    if (m_count == m_items.size()) {
        std::vector<Posted> grown;
        grown.reserve(std::max<size_t>(16, m_items.size() * 2));
        for (size_t i = 0; i < m_count; ++i)
            grown.push_back(At(i));
        grown.resize(grown.capacity());
        m_items.swap(grown);
        m_head = 0;
    }
    m_items[(m_head + m_count) % m_items.size()] = aItem;
    ++m_count;
}

Posted PostedRing::pop() {
    Posted item = m_items[m_head];
    m_head = (m_head + 1) % m_items.size();
    --m_count;
    return item;
}

ThreadQueue::~ThreadQueue() {
    if (evfd >= 0)
        close(evfd);
    if (epfd >= 0)
        close(epfd);
}

void ThreadQueue::Wake() const {
    uint64_t one = 1;
    // The eventfd is edge-triggered and never read: every write is one
    // edge, and the counter cannot fill up in the lifetime of a process.
    ssize_t rc = write(evfd, &one, sizeof one);
    (void)rc;
}

void ThreadQueue::PostSocketMessage(const Message& aMsg) {
    std::lock_guard<std::mutex> guard(mutex);
    posted.push(Posted{aMsg, true});
}

void ThreadQueue::DropSocketMessages(uintptr_t aWindow, int aFd) {
    std::lock_guard<std::mutex> guard(mutex);
    posted.remove_if([&](const Posted& p) {
        return p.fromSelect && reinterpret_cast<uintptr_t>(p.msg.window) == aWindow &&
               p.msg.wParam == static_cast<uintptr_t>(aFd);
    });
}

void ThreadQueue::AddRecheck(SocketRef aSock, bool aFromOwner) {
    bool wake;
    {
        std::lock_guard<std::mutex> guard(mutex);
        rechecks.push_back(aSock);
        wake = !aFromOwner && WakeNeeded_l();
    }
    if (wake)
        Wake();
}

void ThreadQueue::AddBackoff(SocketRef aSock, uint64_t aResumeUs, bool aFromOwner) {
    bool wake;
    {
        std::lock_guard<std::mutex> guard(mutex);
        auto it = std::find_if(backoff.begin(), backoff.end(),
                               [&](const Backoff& b) { return b.sock.fd == aSock.fd && b.sock.gen == aSock.gen; });
        if (it != backoff.end())
            it->resumeUs = aResumeUs;
        else
            backoff.push_back(Backoff{aSock, aResumeUs});
        // The owner's sleep must end at the resume time.
        wake = !aFromOwner && WakeNeeded_l();
    }
    if (wake)
        Wake();
}

}  // namespace posix

namespace {

using posix::NowUs;
using posix::ThreadQueue;

constexpr uint64_t kWakeKey = ~static_cast<uint64_t>(0);
constexpr uint32_t kMinPeriodMs = 10;  // as USER_TIMER_MINIMUM
constexpr uint32_t kMaxPeriodMs = 0x7FFFFFFF;
// Posted messages taken in a row before the sockets are looked at again, so
// that a flood of posts cannot starve socket notifications.
constexpr unsigned kPostedPerPoll = 16;
constexpr int kMaxEvents = 64;
constexpr size_t kShards = 16;

struct Window {
    uintptr_t id = 0;
    std::string cls;
    WindowProc proc = nullptr;
    std::shared_ptr<ThreadQueue> queue;
    std::atomic<intptr_t> user{0};
    bool alive = true;        // guarded by queue->mutex: posts stop with it
    bool destroying = false;  // owner thread only
};

struct WindowClass {
    WindowProc proc;
    int windows;
};

struct Classes {
    std::mutex mutex;
    std::map<std::string, WindowClass> map;
};

struct Shard {
    std::mutex mutex;
    std::unordered_map<uintptr_t, std::shared_ptr<Window>> windows;
};

// Never destroyed: threads may still end (and clean up) during exit.
Classes& TheClasses() {
    static Classes* s_classes = new Classes;
    return *s_classes;
}
Shard& ShardOf(uintptr_t aId) {
    static Shard* s_shards = new Shard[kShards];
    return s_shards[(aId >> 4) % kShards];
}
std::atomic<uintptr_t> g_lastWindow{0};

void ReleaseThread();

// What only the thread itself touches.
struct ThreadState {
    std::shared_ptr<ThreadQueue> queue;
    std::vector<std::shared_ptr<Window>> windows;
    bool quit = false;
    int quitCode = 0;
    unsigned takenSincePoll = 0;
    std::vector<posix::SocketRef> rechecks;  // swapped with the queue's under its lock
    ~ThreadState() {
        if (queue)
            ReleaseThread();
    }
};
thread_local ThreadState t_state;

// The calling thread's queue, made on first use; null when the system
// refuses the descriptors (errno tells why).
ThreadQueue* CurrentQueue() {
    if (t_state.queue)
        return t_state.queue.get();
    auto q = std::make_shared<ThreadQueue>();
    q->epfd = epoll_create1(EPOLL_CLOEXEC);
    if (q->epfd < 0)
        return nullptr;
    q->evfd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (q->evfd < 0)
        return nullptr;
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLET;
    ev.data.u64 = kWakeKey;
    if (epoll_ctl(q->epfd, EPOLL_CTL_ADD, q->evfd, &ev) != 0)
        return nullptr;
    t_state.queue = std::move(q);
    return t_state.queue.get();
}

uintptr_t Id(WindowHandle aWnd) { return reinterpret_cast<uintptr_t>(aWnd); }
WindowHandle Handle(uintptr_t aId) { return reinterpret_cast<WindowHandle>(aId); }

// A window of the calling thread: no lock, only this thread adds or removes them.
Window* FindOwn(uintptr_t aId) {
    for (const auto& w : t_state.windows) {
        if (w->id == aId)
            return w.get();
    }
    return nullptr;
}

// Any thread's window; the reference keeps it valid after the lookup.
std::shared_ptr<Window> FindAny(uintptr_t aId) {
    Shard& shard = ShardOf(aId);
    std::lock_guard<std::mutex> guard(shard.mutex);
    auto it = shard.windows.find(aId);
    return it == shard.windows.end() ? nullptr : it->second;
}

// Runs aFn on the window, found without a lock when it is the caller's own;
// false when there is no such window.
template <class Fn>
bool WithWindow(WindowHandle aWnd, Fn aFn) {
    if (Window* own = FindOwn(Id(aWnd))) {
        aFn(*own);
        return true;
    }
    std::shared_ptr<Window> w = FindAny(Id(aWnd));
    if (!w) {
        errno = EINVAL;
        return false;
    }
    aFn(*w);
    return true;
}

// Runs aFn(queue) under the lock of the window's queue while the window
// lives; false (EINVAL) when it does not, or when aFn fails. aWake: another
// thread's owner, if asleep, must look at its queue again afterwards.
template <class Fn>
bool InQueueOf(WindowHandle aWnd, bool aWake, Fn aFn) {
    std::shared_ptr<Window> foreign;
    Window* w = FindOwn(Id(aWnd));
    if (!w) {
        foreign = FindAny(Id(aWnd));
        w = foreign.get();
    }
    if (!w) {
        errno = EINVAL;
        return false;
    }
    ThreadQueue& q = *w->queue;
    bool wake = false;
    {
        std::lock_guard<std::mutex> guard(q.mutex);
        if (!w->alive) {
            errno = EINVAL;
            return false;
        }
        if (!aFn(q))
            return false;
        wake = aWake && foreign && q.WakeNeeded_l();
    }
    if (wake)
        q.Wake();
    return true;
}

// Ends the window for everyone: other threads no longer find it, posts to
// it fail and its queued messages and timers go.
void RetireWindow(Window& aWnd) {
    {
        Shard& shard = ShardOf(aWnd.id);
        std::lock_guard<std::mutex> guard(shard.mutex);
        shard.windows.erase(aWnd.id);
    }
    {
        ThreadQueue& q = *aWnd.queue;
        std::lock_guard<std::mutex> guard(q.mutex);
        aWnd.alive = false;
        q.timers.erase(std::remove_if(q.timers.begin(), q.timers.end(),
                                      [&](const posix::Timer& t) { return t.window == aWnd.id; }),
                       q.timers.end());
        q.posted.remove_if([&](const posix::Posted& p) { return Id(p.msg.window) == aWnd.id; });
    }
    std::lock_guard<std::mutex> guard(TheClasses().mutex);
    auto cls = TheClasses().map.find(aWnd.cls);
    if (cls != TheClasses().map.end())
        --cls->second.windows;
}

void ReleaseThread() {
    // Like Windows at thread exit, the thread's windows go; their procedures
    // are not called any more.
    ThreadQueue* q = t_state.queue.get();
    for (const auto& w : t_state.windows)
        RetireWindow(*w);
    t_state.windows.clear();
    posix::SelectQueueGone(q);
    {
        std::lock_guard<std::mutex> guard(q->mutex);
        q->posted.clear();
        q->timers.clear();
        q->rechecks.clear();
        q->backoff.clear();
    }
    t_state.queue.reset();
}

// ---- Waiting -------------------------------------------------------------------

// With the queue's lock held: how long the owner may sleep, in ms (-1: no
// limit). Marks the queue sleeping unless the answer is 0.
int SleepMs_l(ThreadQueue& aQueue, uint64_t aNow, uint64_t aDeadlineUs) {
    if (!aQueue.posted.empty() || !aQueue.rechecks.empty() || t_state.quit)
        return 0;
    uint64_t next = aDeadlineUs;
    for (const posix::Timer& t : aQueue.timers)
        next = std::min(next, t.dueUs);
    for (const posix::Backoff& b : aQueue.backoff)
        next = std::min(next, b.resumeUs);
    if (next <= aNow)
        return 0;
    aQueue.sleeping = true;
    aQueue.wakeSent = false;
    if (next == UINT64_MAX)
        return -1;
    // Rounded up: waking before the deadline would only spin.
    const uint64_t ms = (next - aNow + 999) / 1000;
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

// Looks again at what the socket calls asked for and at listeners whose
// time has come, then waits (with the queue's lock not held) and turns
// readiness into posted messages; it sleeps no later than aDeadlineUs.
// False on failure.
bool Poll(ThreadQueue& aQueue, uint64_t aDeadlineUs) {
    std::vector<posix::SocketRef>& work = t_state.rechecks;
    uint64_t now = NowUs();
    {
        std::lock_guard<std::mutex> guard(aQueue.mutex);
        work.swap(aQueue.rechecks);
        for (size_t i = 0; i < aQueue.backoff.size();) {
            if (aQueue.backoff[i].resumeUs > now) {
                ++i;
                continue;
            }
            work.push_back(aQueue.backoff[i].sock);
            aQueue.backoff[i] = aQueue.backoff.back();
            aQueue.backoff.pop_back();
        }
    }
    for (const posix::SocketRef& sock : work)
        posix::SelectRecheck(aQueue, sock);
    work.clear();

    int timeoutMs;
    {
        std::lock_guard<std::mutex> guard(aQueue.mutex);
        timeoutMs = SleepMs_l(aQueue, now, aDeadlineUs);
    }
    epoll_event evs[kMaxEvents];
    const int n = epoll_wait(aQueue.epfd, evs, kMaxEvents, timeoutMs);
    if (timeoutMs != 0) {
        std::lock_guard<std::mutex> guard(aQueue.mutex);
        aQueue.sleeping = false;
    }
    if (n < 0)
        return errno == EINTR;
    for (int i = 0; i < n; ++i) {
        if (evs[i].data.u64 != kWakeKey)
            posix::SelectOnEvent(aQueue, evs[i].data.u64, evs[i].events);
    }
    return true;
}

bool TakePosted(ThreadQueue& aQueue, Message* aMsg) {
    std::lock_guard<std::mutex> guard(aQueue.mutex);
    if (aQueue.posted.empty())
        return false;
    *aMsg = aQueue.posted.pop().msg;
    ++t_state.takenSincePoll;
    return true;
}

bool TakeDueTimer(ThreadQueue& aQueue, Message* aMsg) {
    const uint64_t now = NowUs();
    std::lock_guard<std::mutex> guard(aQueue.mutex);
    posix::Timer* due = nullptr;
    for (posix::Timer& t : aQueue.timers) {
        if (t.dueUs <= now && (!due || t.dueUs < due->dueUs))
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
    if (due->dueUs <= now)
        due->dueUs = now + due->periodUs;
    return true;
}

}  // namespace

namespace posix {

ThreadQueue* QueueOfThisThread() { return t_state.queue.get(); }

std::shared_ptr<ThreadQueue> QueueOfWindow(WindowHandle aWnd) {
    if (Window* own = FindOwn(Id(aWnd)))
        return own->queue;
    std::shared_ptr<Window> w = FindAny(Id(aWnd));
    return w ? w->queue : nullptr;
}

bool WindowExists(WindowHandle aWnd) { return FindOwn(Id(aWnd)) || FindAny(Id(aWnd)); }

}  // namespace posix

// ---- Classes and windows -----------------------------------------------------

bool RegisterWindowClass(const char* aName, WindowProc aProc) {
    if (!aName || !aProc) {
        errno = EINVAL;
        return false;
    }
    std::lock_guard<std::mutex> guard(TheClasses().mutex);
    if (!TheClasses().map.emplace(aName, WindowClass{aProc, 0}).second) {
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
    std::lock_guard<std::mutex> guard(TheClasses().mutex);
    auto it = TheClasses().map.find(aName);
    if (it == TheClasses().map.end()) {
        errno = ENOENT;
        return false;
    }
    if (it->second.windows > 0) {
        errno = EBUSY;
        return false;
    }
    TheClasses().map.erase(it);
    return true;
}

WindowHandle CreateNotifyWindow(const char* aClassName) {
    if (!aClassName) {
        errno = EINVAL;
        return nullptr;
    }
    if (!CurrentQueue())
        return nullptr;
    auto w = std::make_shared<Window>();
    {
        std::lock_guard<std::mutex> guard(TheClasses().mutex);
        auto cls = TheClasses().map.find(aClassName);
        if (cls == TheClasses().map.end()) {
            errno = ENOENT;
            return nullptr;
        }
        w->proc = cls->second.proc;
        ++cls->second.windows;
    }
    // Handles are numbers that are never handed out twice, so a stale handle
    // cannot reach a newer window.
    w->id = (g_lastWindow.fetch_add(1, std::memory_order_relaxed) + 1) << 4;
    w->cls = aClassName;
    w->queue = t_state.queue;
    t_state.windows.push_back(w);
    Shard& shard = ShardOf(w->id);
    std::lock_guard<std::mutex> guard(shard.mutex);
    shard.windows.emplace(w->id, w);
    return Handle(w->id);
}

bool DestroyNotifyWindow(WindowHandle aWnd) {
    const uintptr_t id = Id(aWnd);
    Window* w = FindOwn(id);
    if (!w) {
        errno = FindAny(id) ? EPERM : EINVAL;  // only the owning thread destroys
        return false;
    }
    if (w->destroying) {
        errno = EINVAL;
        return false;
    }
    w->destroying = true;
    // The window still exists while its procedure handles WM_DESTROY.
    w->proc(aWnd, kWmDestroy, 0, 0);

    auto own = std::find_if(t_state.windows.begin(), t_state.windows.end(),
                            [&](const std::shared_ptr<Window>& p) { return p->id == id; });
    std::shared_ptr<Window> keep = *own;
    t_state.windows.erase(own);
    // Retired first: a registration racing from another thread either sees
    // the window gone or is let go below.
    RetireWindow(*keep);
    posix::SelectWindowGone(id);
    return true;
}

bool SetWindowUserValue(WindowHandle aWnd, intptr_t aValue) {
    return WithWindow(aWnd, [&](Window& w) { w.user.store(aValue, std::memory_order_release); });
}

intptr_t GetWindowUserValue(WindowHandle aWnd) {
    intptr_t value = 0;
    WithWindow(aWnd, [&](Window& w) { value = w.user.load(std::memory_order_acquire); });
    return value;
}

// ---- Messages ----------------------------------------------------------------

bool PostWindowMessage(WindowHandle aWnd, uint32_t aMsg, uintptr_t aWParam, intptr_t aLParam) {
    Message msg;
    msg.window = aWnd;
    msg.message = aMsg;
    msg.wParam = aWParam;
    msg.lParam = aLParam;
    return InQueueOf(aWnd, true, [&](ThreadQueue& q) {
        q.posted.push(posix::Posted{msg, false});
        return true;
    });
}

bool SetWindowTimer(WindowHandle aWnd, uintptr_t aId, uint32_t aPeriodMs) {
    const uint32_t ms = std::min(std::max(aPeriodMs, kMinPeriodMs), kMaxPeriodMs);
    const uint64_t periodUs = static_cast<uint64_t>(ms) * 1000u;
    // The owner may be asleep with a later deadline.
    return InQueueOf(aWnd, true, [&](ThreadQueue& q) {
        const uint64_t due = NowUs() + periodUs;
        auto it = std::find_if(q.timers.begin(), q.timers.end(),
                               [&](const posix::Timer& t) { return t.window == Id(aWnd) && t.id == aId; });
        if (it != q.timers.end()) {
            it->periodUs = periodUs;
            it->dueUs = due;
        } else {
            q.timers.push_back(posix::Timer{Id(aWnd), aId, periodUs, due});
        }
        return true;
    });
}

bool KillWindowTimer(WindowHandle aWnd, uintptr_t aId) {
    return InQueueOf(aWnd, false, [&](ThreadQueue& q) {
        auto it = std::find_if(q.timers.begin(), q.timers.end(),
                               [&](const posix::Timer& t) { return t.window == Id(aWnd) && t.id == aId; });
        if (it == q.timers.end()) {
            errno = EINVAL;
            return false;
        }
        q.timers.erase(it);
        return true;
    });
}

void PostQuit(int aExitCode) {
    if (!CurrentQueue())
        return;
    t_state.quit = true;
    t_state.quitCode = aExitCode;
}

int GetWindowMessage(Message* aMsg, uint32_t aTimeoutMs) {
    if (!aMsg) {
        errno = EINVAL;
        return -1;
    }
    ThreadQueue* q = CurrentQueue();
    if (!q)
        return -1;
    if (t_state.takenSincePoll < kPostedPerPoll && TakePosted(*q, aMsg))
        return 1;
    const uint64_t deadline = aTimeoutMs == kWaitForever ? UINT64_MAX : NowUs() + uint64_t{aTimeoutMs} * 1000u;
    for (;;) {
        if (!Poll(*q, deadline))
            return -1;
        t_state.takenSincePoll = 0;
        if (TakePosted(*q, aMsg))
            return 1;
        if (t_state.quit) {
            t_state.quit = false;
            *aMsg = Message();
            aMsg->message = kWmQuit;
            aMsg->wParam = static_cast<uintptr_t>(static_cast<intptr_t>(t_state.quitCode));
            return 0;
        }
        if (TakeDueTimer(*q, aMsg))
            return 1;
        if (deadline != UINT64_MAX && NowUs() >= deadline)
            return kNoMessage;
    }
}

void TranslateWindowMessage(const Message*) {}

intptr_t DispatchWindowMessage(const Message* aMsg) {
    if (!aMsg || !aMsg->window)
        return 0;
    WindowProc proc = nullptr;
    if (!WithWindow(aMsg->window, [&](Window& w) { proc = w.proc; }))
        return 0;
    return proc(aMsg->window, aMsg->message, aMsg->wParam, aMsg->lParam);
}

intptr_t DefaultWindowProc(WindowHandle, uint32_t, uintptr_t, intptr_t) { return 0; }

}  // namespace rtos
