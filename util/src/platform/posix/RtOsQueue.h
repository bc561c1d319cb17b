// The per-thread message queue on Linux, shared by the windows
// (RtOsWindow.cpp) and the socket readiness bookkeeping (RtOsSelect.cpp).
//
// Every thread that uses a window has one queue: an epoll set holding an
// eventfd (the wake-up) and the sockets reported to the thread's windows.
// Each queue has its own lock; there is no lock for all queues. The lock
// guards only what other threads reach: posted messages, timers, the
// sockets waiting for a second look, and the sleeping flag. Lock order: a
// socket's lock (RtOsSelect.cpp) before a queue's lock, never the reverse.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "../RtOsWindow.h"

namespace rtos {
namespace posix {

struct Posted {
    Message msg;
    bool fromSelect;  // a socket notification, dropped when the socket goes
};

// First-in first-out messages in one growing buffer: a queue in steady use
// allocates nothing.
class PostedRing {
public:
    bool empty() const { return m_count == 0; }
    void push(const Posted& aItem);
    Posted pop();
    // Drops every item aPred holds for, keeping the others' order.
    template <class Pred>
    void remove_if(Pred aPred) {
        size_t kept = 0;
        for (size_t i = 0; i < m_count; ++i) {
            Posted& item = At(i);
            if (!aPred(item))
                At(kept++) = item;
        }
        m_count = kept;
    }
    void clear() { m_count = 0; }

private:
    Posted& At(size_t aIndex) { return m_items[(m_head + aIndex) % m_items.size()]; }
    std::vector<Posted> m_items;
    size_t m_head = 0;
    size_t m_count = 0;
};

struct Timer {
    uintptr_t window;
    uintptr_t id;
    uint64_t periodUs;
    uint64_t dueUs;
};

// A socket as the queue knows it: the generation tells a reused descriptor
// number from the socket that had it before.
struct SocketRef {
    int fd;
    uint32_t gen;
};

// A listener whose FD_ACCEPT is held back until aResumeUs.
struct Backoff {
    SocketRef sock;
    uint64_t resumeUs;
};

struct ThreadQueue {
    ThreadQueue() = default;
    ThreadQueue(const ThreadQueue&) = delete;
    ThreadQueue& operator=(const ThreadQueue&) = delete;
    ~ThreadQueue();

    int epfd = -1;
    int evfd = -1;

    std::mutex mutex;
    // ---- guarded by mutex
    PostedRing posted;
    std::vector<Timer> timers;
    std::vector<SocketRef> rechecks;
    std::vector<Backoff> backoff;
    bool sleeping = false;  // the owner waits in epoll_wait: a post must wake it
    bool wakeSent = false;  // and one wake-up is enough

    // With the lock held: true when the caller must Wake() the owner.
    bool WakeNeeded_l() {
        if (!sleeping || wakeSent)
            return false;
        wakeSent = true;
        return true;
    }
    void Wake() const;

    // Appends a socket notification. Only the owner thread posts them.
    void PostSocketMessage(const Message& aMsg);
    // Drops queued socket notifications of aFd to aWindow.
    void DropSocketMessages(uintptr_t aWindow, int aFd);
    // Asks the owner to look at a socket again before it next waits;
    // aFromOwner when the caller is the owner thread (no wake-up needed).
    void AddRecheck(SocketRef aSock, bool aFromOwner);
    // Holds a listener back until aResumeUs (replaces an earlier entry).
    void AddBackoff(SocketRef aSock, uint64_t aResumeUs, bool aFromOwner);
};

uint64_t NowUs();

// The calling thread's queue; null while it has none.
ThreadQueue* QueueOfThisThread();
// The queue of a live window; null when there is no such window.
std::shared_ptr<ThreadQueue> QueueOfWindow(WindowHandle aWnd);
bool WindowExists(WindowHandle aWnd);

// ---- Provided by the socket bookkeeping, called on the queue's owner thread.
// An epoll event of a socket; aKey is the registration's data.
void SelectOnEvent(ThreadQueue& aQueue, uint64_t aKey, uint32_t aEvents);
// A socket the hooks asked to look at again.
void SelectRecheck(ThreadQueue& aQueue, SocketRef aSock);
// The window is gone: its sockets are no longer reported.
void SelectWindowGone(uintptr_t aWindow);
// The queue's thread ends: its sockets leave the queue.
void SelectQueueGone(const ThreadQueue* aQueue);

}  // namespace posix
}  // namespace rtos
