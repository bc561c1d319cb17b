// Socket readiness on Linux with the Winsock async-select rules (see
// RtOsWindow.h), kept in user space over edge-triggered epoll.
//
// A socket enters its window's epoll set once, for everything, edge-
// triggered, when it has something to report (listening, connecting,
// connected, or a datagram socket), and stays there: what may be reported
// now is in the socket's own flags, not in the set, so reporting and
// re-enabling cost no epoll_ctl. An edge that comes while FD_READ or
// FD_ACCEPT is disabled is consumed and not repeated; the socket calls
// therefore say what they saw (RtOsSelect.h), and where that does not tell
// whether something is left (a receive that filled the caller's buffer, an
// accept, a call on another thread than the owner's), the owner looks at
// the socket once more before it next waits.
//
// Locks: each descriptor number has a slot with its own lock, reached
// through a table indexed by the number without any lock (chunks are made
// on first use and never freed). A slot's lock may be held while its
// queue's lock is taken, never the other way round. Notifications are only
// posted by the owner thread of the window, from its epoll events and
// second looks.
#include "RtOsSelect.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstddef>

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include "../RtOsWindow.h"
#include "RtOsQueue.h"

namespace rtos {

namespace posix {

namespace {

static_assert(POLLIN == EPOLLIN && POLLOUT == EPOLLOUT && POLLERR == EPOLLERR && POLLHUP == EPOLLHUP &&
                  POLLRDHUP == EPOLLRDHUP,
              "poll and epoll readiness bits are read the same way");

constexpr uint32_t kEpollEvents = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
// How long FD_ACCEPT stays off after accept ran out of descriptors or
// memory; the pending connection would otherwise be reported at once again.
constexpr uint64_t kAcceptBackoffUs = 100000;

enum class Phase : uint8_t { kIdle, kListening, kConnecting, kConnected, kDatagram, kFailed };

struct Slot {
    std::mutex mutex;
    uint32_t gen = 0;      // changes whenever the number stands for another socket
    bool tracked = false;  // the number is a socket these calls know
    Phase phase = Phase::kIdle;
    uintptr_t window = 0;  // 0: not reported
    uint32_t msg = 0;
    uint32_t events = 0;
    // The window's queue; after the window let the socket go, the queue
    // whose epoll set may still hold it.
    std::shared_ptr<ThreadQueue> queue;
    bool inSet = false;       // in queue's epoll set, with the current generation
    bool readEnabled = true;  // FD_READ / FD_ACCEPT may be posted
    bool writeArmed = false;  // FD_WRITE is posted at the next writability
    bool peerClosed = false;  // end of the peer's data seen
    bool hungUp = false;      // both directions gone (reset or hang-up)
    bool closePosted = false;
    bool recheckQueued = false;  // the owner will look at the socket again
    bool errQueued = false;      // a datagram socket's error queue may hold an entry
    bool drained = false;        // the owner read a datagram socket dry since the look was queued
    int closeError = 0;
    uint64_t resumeUs = 0;  // FD_ACCEPT held back until then
};

// Descriptors below 2^24 have slots: far above what the system grants a
// process by default (RLIMIT_NOFILE's hard limit, usually 2^20).
constexpr unsigned kChunkBits = 10;
constexpr size_t kChunkSize = size_t(1) << kChunkBits;
constexpr size_t kChunks = size_t(1) << 14;

struct Chunk {
    Slot slots[kChunkSize];
};
std::atomic<Chunk*> g_chunks[kChunks];

Slot* FindSlot(int aFd) {
    if (aFd < 0 || static_cast<size_t>(aFd) >= kChunkSize * kChunks)
        return nullptr;
    Chunk* chunk = g_chunks[static_cast<size_t>(aFd) >> kChunkBits].load(std::memory_order_acquire);
    return chunk ? &chunk->slots[static_cast<size_t>(aFd) & (kChunkSize - 1)] : nullptr;
}

Slot* MakeSlot(int aFd) {
    if (aFd < 0 || static_cast<size_t>(aFd) >= kChunkSize * kChunks)
        return nullptr;
    std::atomic<Chunk*>& entry = g_chunks[static_cast<size_t>(aFd) >> kChunkBits];
    Chunk* chunk = entry.load(std::memory_order_acquire);
    if (!chunk) {
        Chunk* fresh = new Chunk;
        if (entry.compare_exchange_strong(chunk, fresh, std::memory_order_acq_rel))
            chunk = fresh;
        else
            delete fresh;  // another thread made it first
    }
    return &chunk->slots[static_cast<size_t>(aFd) & (kChunkSize - 1)];
}

// Visits every slot, each under its lock.
template <class Fn>
void ForEachSlot(Fn aFn) {
    for (size_t c = 0; c < kChunks; ++c) {
        Chunk* chunk = g_chunks[c].load(std::memory_order_acquire);
        if (!chunk)
            continue;
        for (size_t i = 0; i < kChunkSize; ++i) {
            Slot& s = chunk->slots[i];
            std::lock_guard<std::mutex> guard(s.mutex);
            aFn(static_cast<int>((c << kChunkBits) | i), s);
        }
    }
}

uint64_t Key(int aFd, uint32_t aGen) { return (static_cast<uint64_t>(aGen) << 32) | static_cast<uint32_t>(aFd); }

bool IsWouldBlockErr(int aErr) { return aErr == EAGAIN || aErr == EWOULDBLOCK; }

bool IsActive(Phase aPhase) { return aPhase != Phase::kIdle && aPhase != Phase::kFailed; }

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

// ---- Slot state ------------------------------------------------------------------

// A new socket got the number.
void Reset(Slot& s) {
    const uint32_t gen = s.gen + 1;
    s.tracked = true;
    s.gen = gen;
    s.phase = Phase::kIdle;
    s.window = 0;
    s.msg = 0;
    s.events = 0;
    s.queue.reset();
    s.inSet = false;
    s.readEnabled = true;
    s.writeArmed = false;
    s.peerClosed = false;
    s.hungUp = false;
    s.closePosted = false;
    s.recheckQueued = false;
    s.errQueued = false;
    s.drained = false;
    s.closeError = 0;
    s.resumeUs = 0;
}

// Ends reporting; queued notifications are dropped. The descriptor may stay
// in the epoll set: it is usually closed next, which takes it out without a
// system call, and otherwise its next event takes it out.
void Detach(Slot& s, int aFd) {
    if (s.window && s.queue)
        s.queue->DropSocketMessages(s.window, aFd);
    s.window = 0;
    s.events = 0;
}

// The socket is closed (or was, behind our back): closing took it out of
// every epoll set.
void Untrack(Slot& s, int aFd) {
    Detach(s, aFd);
    Reset(s);
    s.tracked = false;
}

// Puts the descriptor in its window's set once it has something to report.
// aFresh reports the current state afresh, as a new registration does.
void Register(Slot& s, int aFd, bool aFresh) {
    if (!s.window || !s.queue || !IsActive(s.phase))
        return;
    if (s.inSet && !aFresh)
        return;
    epoll_event ev{};
    ev.events = kEpollEvents;
    ev.data.u64 = Key(aFd, s.gen);
    // Adding, or modifying, looks at the socket at once: what is ready now
    // comes as an edge.
    if (s.inSet || epoll_ctl(s.queue->epfd, EPOLL_CTL_ADD, aFd, &ev) != 0)
        s.inSet = epoll_ctl(s.queue->epfd, EPOLL_CTL_MOD, aFd, &ev) == 0;
    else
        s.inSet = true;
}

void Post(Slot& s, int aFd, uint32_t aEvent, int aError) {
    Message msg;
    msg.window = reinterpret_cast<WindowHandle>(s.window);
    msg.message = s.msg;
    msg.wParam = static_cast<uintptr_t>(aFd);
    msg.lParam = MakeSelectLParam(aEvent, aError);
    s.queue->PostSocketMessage(msg);
}

void QueueRecheck(Slot& s, int aFd, bool aFromOwner) {
    if (s.recheckQueued || !s.window || !s.queue)
        return;
    s.recheckQueued = true;
    s.queue->AddRecheck(SocketRef{aFd, s.gen}, aFromOwner);
}

bool CalledByOwner(const Slot& s) { return s.queue && s.queue.get() == QueueOfThisThread(); }

// ---- Readiness to notifications ------------------------------------------------

void OnConnectedEvents(Slot& s, int aFd, uint32_t aEv) {
    if (s.closePosted)
        return;
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
    if ((aEv & EPOLLOUT) && s.writeArmed && !s.hungUp && (s.events & kFdWrite)) {
        Post(s, aFd, kFdWrite, 0);
        s.writeArmed = false;
    }
    if (s.peerClosed) {
        if ((s.events & kFdRead) && Buffered(aFd) > 0) {
            // The data goes first; the close follows once it is read.
            if (s.readEnabled) {
                Post(s, aFd, kFdRead, 0);
                s.readEnabled = false;
            }
        } else {
            if (s.events & kFdClose)
                Post(s, aFd, kFdClose, s.closeError);
            s.closePosted = true;
        }
    } else if ((aEv & EPOLLIN) && s.readEnabled && (s.events & kFdRead)) {
        Post(s, aFd, kFdRead, 0);
        s.readEnabled = false;
    }
}

void OnEvents(Slot& s, int aFd, uint32_t aEv) {
    switch (s.phase) {
    case Phase::kListening:
        if ((aEv & EPOLLIN) && s.readEnabled && (s.events & kFdAccept) && !s.resumeUs) {
            Post(s, aFd, kFdAccept, 0);
            s.readEnabled = false;
        } else if (aEv & (EPOLLERR | EPOLLHUP)) {
            s.phase = Phase::kFailed;  // shut down: nothing left to accept
        }
        break;
    case Phase::kConnecting: {
        if (!(aEv & (EPOLLOUT | EPOLLERR | EPOLLHUP)))
            break;
        const int err = SocketErrorOf(aFd);
        s.phase = err ? Phase::kFailed : Phase::kConnected;
        if (s.events & kFdConnect)
            Post(s, aFd, kFdConnect, err);
        // EPOLLOUT has just told that the socket is writable.
        if (!err && (s.events & kFdWrite))
            Post(s, aFd, kFdWrite, 0);
        s.writeArmed = false;
        // Data or the peer's close may have come in the same edge.
        if (!err)
            OnConnectedEvents(s, aFd, aEv & ~static_cast<uint32_t>(EPOLLOUT));
        break;
    }
    case Phase::kConnected:
        OnConnectedEvents(s, aFd, aEv);
        break;
    case Phase::kDatagram:
        // An ICMP error (IP_RECVERR) is reported by the next receive, as
        // Winsock does: FD_READ stands for it too. Edge-triggered epoll
        // repeats EPOLLERR with every edge until the receive drains it.
        if (aEv & EPOLLERR)
            s.errQueued = true;
        if ((aEv & EPOLLOUT) && s.writeArmed && (s.events & kFdWrite)) {
            Post(s, aFd, kFdWrite, 0);
            s.writeArmed = false;
        }
        if ((aEv & (EPOLLIN | EPOLLERR)) && s.readEnabled && (s.events & kFdRead)) {
            Post(s, aFd, kFdRead, 0);
            s.readEnabled = false;
        }
        break;
    case Phase::kIdle:
    case Phase::kFailed:
        break;
    }
}

// Whether a second look could post anything.
bool CouldReport(const Slot& s) {
    switch (s.phase) {
    case Phase::kListening:
        return s.readEnabled && (s.events & kFdAccept);
    case Phase::kConnecting:
        return true;
    case Phase::kConnected:
        return !s.closePosted && (s.readEnabled || s.writeArmed || s.peerClosed);
    case Phase::kDatagram:
        return s.readEnabled || s.writeArmed;
    case Phase::kIdle:
    case Phase::kFailed:
        break;
    }
    return false;
}

}  // namespace

// ---- Called by the owner's queue ---------------------------------------------------

void SelectOnEvent(ThreadQueue& aQueue, uint64_t aKey, uint32_t aEvents) {
    const int fd = static_cast<int>(aKey & 0xFFFFFFFFu);
    Slot* s = FindSlot(fd);
    if (!s)
        return;
    std::lock_guard<std::mutex> guard(s->mutex);
    if (!s->tracked || s->gen != static_cast<uint32_t>(aKey >> 32) || s->queue.get() != &aQueue)
        return;  // closed, replaced or moved since epoll_wait looked
    if (!s->window) {
        // Let go by its window and not closed since: it leaves the set now.
        if (s->inSet)
            epoll_ctl(aQueue.epfd, EPOLL_CTL_DEL, fd, nullptr);
        s->inSet = false;
        return;
    }
    OnEvents(*s, fd, aEvents);
}

void SelectRecheck(ThreadQueue& aQueue, SocketRef aSock) {
    Slot* s = FindSlot(aSock.fd);
    if (!s)
        return;
    std::lock_guard<std::mutex> guard(s->mutex);
    if (!s->tracked || s->gen != aSock.gen)
        return;
    s->recheckQueued = false;
    if (!s->window || s->queue.get() != &aQueue)
        return;
    if (s->drained) {
        // Read until it would block on the owner's thread: anything later
        // comes as a new edge.
        s->drained = false;
        return;
    }
    if (s->resumeUs) {
        if (s->resumeUs > NowUs())
            return;  // the listener's back-off entry looks again then
        s->resumeUs = 0;
    }
    if (!CouldReport(*s))
        return;
    uint32_t ev = 0;
    // After the peer's close only the buffered byte count matters.
    if (!(s->phase == Phase::kConnected && s->peerClosed && !s->writeArmed)) {
        pollfd p{aSock.fd, POLLIN | POLLOUT | POLLRDHUP, 0};
        if (poll(&p, 1, 0) > 0)
            ev = static_cast<uint16_t>(p.revents);
    }
    OnEvents(*s, aSock.fd, ev);
}

void SelectWindowGone(uintptr_t aWindow) {
    ForEachSlot([&](int aFd, Slot& s) {
        if (s.tracked && s.window == aWindow)
            Detach(s, aFd);
    });
}

void SelectQueueGone(const ThreadQueue* aQueue) {
    ForEachSlot([&](int, Slot& s) {
        if (s.queue.get() != aQueue)
            return;
        // The epoll set closes with the queue.
        s.window = 0;
        s.events = 0;
        s.inSet = false;
        s.recheckQueued = false;
        s.queue.reset();
    });
}

// ---- Hooks of the socket calls -------------------------------------------------

void SelectForget(int aFd) {
    Slot* s = FindSlot(aFd);
    if (!s)
        return;
    std::lock_guard<std::mutex> guard(s->mutex);
    if (s->tracked)
        Untrack(*s, aFd);
}

void SelectReceived(int aFd, long aResult, size_t aWanted, bool aPeek) {
    Slot* s = FindSlot(aFd);
    if (!s)
        return;
    std::lock_guard<std::mutex> guard(s->mutex);
    if (!s->tracked)
        return;
    s->readEnabled = true;
    if (!s->window)
        return;
    const bool owner = CalledByOwner(*s);
    bool look;
    if (!owner || s->peerClosed || s->phase == Phase::kListening) {
        // The owner may have consumed an edge meanwhile, or the close is due.
        look = true;
        s->drained = false;
    } else if (s->phase == Phase::kDatagram) {
        // Another datagram, or another queued error, may wait; a receive
        // that would block leaves nothing behind it.
        look = aResult >= 0 || !IsWouldBlockErr(errno);
        s->drained = !look;
    } else if (aResult < 0) {
        look = false;  // nothing buffered; a failure comes as its own edge
    } else if (aPeek) {
        look = aResult > 0 || aWanted == 0;
    } else {
        // A short receive emptied the socket: later data is a new edge.
        look = static_cast<size_t>(aResult) >= aWanted;
    }
    if (look)
        QueueRecheck(*s, aFd, owner);
}

void SelectErrorQueued(int aFd) {
    Slot* s = FindSlot(aFd);
    if (!s)
        return;
    std::lock_guard<std::mutex> guard(s->mutex);
    if (!s->tracked)
        return;
    s->errQueued = true;
    s->drained = false;
    if (s->window)
        QueueRecheck(*s, aFd, CalledByOwner(*s));
}

bool SelectErrorPending(int aFd) {
    Slot* s = FindSlot(aFd);
    if (!s)
        return false;
    std::lock_guard<std::mutex> guard(s->mutex);
    return s->tracked && s->errQueued;
}

void SelectErrorDrained(int aFd) {
    Slot* s = FindSlot(aFd);
    if (!s)
        return;
    std::lock_guard<std::mutex> guard(s->mutex);
    s->errQueued = false;
}

void SelectSent(int aFd, bool aBlocked) {
    if (!aBlocked)
        return;
    Slot* s = FindSlot(aFd);
    if (!s)
        return;
    std::lock_guard<std::mutex> guard(s->mutex);
    if (!s->tracked || s->writeArmed)
        return;
    s->writeArmed = true;
    // The refused send makes the kernel signal the next writability as an
    // edge; only another thread's send may have let its owner consume it.
    if (s->window && !CalledByOwner(*s))
        QueueRecheck(*s, aFd, false);
}

void SelectListening(int aFd) {
    Slot* s = FindSlot(aFd);
    if (!s)
        return;
    std::lock_guard<std::mutex> guard(s->mutex);
    if (!s->tracked)
        return;
    s->phase = Phase::kListening;
    s->readEnabled = true;
    Register(*s, aFd, true);
}

void SelectConnecting(int aFd, bool aDone) {
    // Recorded even before AsyncSelect, which may come after the connect.
    Slot* s = MakeSlot(aFd);
    if (!s)
        return;
    std::lock_guard<std::mutex> guard(s->mutex);
    if (!s->tracked)
        Reset(*s);
    if (s->phase != Phase::kDatagram)
        s->phase = aDone ? Phase::kConnected : Phase::kConnecting;
    s->writeArmed = aDone;
    Register(*s, aFd, true);
}

void SelectAccepted(int aListenFd, int aNewFd, int aErr) {
    uintptr_t window = 0;
    uint32_t msg = 0;
    uint32_t events = 0;
    std::shared_ptr<ThreadQueue> queue;
    if (Slot* ls = FindSlot(aListenFd)) {
        std::lock_guard<std::mutex> guard(ls->mutex);
        if (ls->tracked) {
            ls->readEnabled = true;
            if (ls->window && ls->queue) {
                const bool owner = CalledByOwner(*ls);
                if (aNewFd < 0 && (aErr == EMFILE || aErr == ENFILE || aErr == ENOBUFS || aErr == ENOMEM)) {
                    ls->resumeUs = NowUs() + kAcceptBackoffUs;
                    ls->queue->AddBackoff(SocketRef{aListenFd, ls->gen}, ls->resumeUs, owner);
                } else if (aNewFd >= 0 || !owner) {
                    // One edge may have stood for several connections.
                    QueueRecheck(*ls, aListenFd, owner);
                }
                window = ls->window;
                msg = ls->msg;
                events = ls->events;
                queue = ls->queue;
            }
        }
    }
    if (aNewFd < 0)
        return;
    Slot* s = window ? MakeSlot(aNewFd) : FindSlot(aNewFd);
    if (!s)
        return;
    std::lock_guard<std::mutex> guard(s->mutex);
    if (s->tracked)
        Untrack(*s, aNewFd);  // left over by a descriptor closed elsewhere
    if (!window)
        return;
    // The accepted socket is reported like its listener, from the start.
    Reset(*s);
    s->window = window;
    s->msg = msg;
    s->events = events;
    s->queue = std::move(queue);
    s->phase = Phase::kConnected;
    s->writeArmed = true;
    Register(*s, aNewFd, false);
}

}  // namespace posix

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
        if (posix::Slot* s = posix::FindSlot(fd)) {
            std::lock_guard<std::mutex> guard(s->mutex);
            if (s->tracked)
                posix::Detach(*s, fd);
        }
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

    std::shared_ptr<posix::ThreadQueue> queue = posix::QueueOfWindow(aWnd);
    if (!queue) {
        errno = EINVAL;
        return -1;
    }
    posix::Slot* s = posix::MakeSlot(fd);
    if (!s) {
        errno = EMFILE;
        return -1;
    }
    using posix::Phase;
    std::lock_guard<std::mutex> guard(s->mutex);
    if (!s->tracked)
        posix::Reset(*s);
    if (s->phase == Phase::kIdle || s->phase == Phase::kConnected) {
        if (type == SOCK_DGRAM)
            s->phase = Phase::kDatagram;
        else if (listening)
            s->phase = Phase::kListening;
        else if (connected)
            s->phase = Phase::kConnected;
    }
    if (s->inSet && s->queue != queue) {
        // Moving to another thread's window: out of the old thread's set.
        epoll_ctl(s->queue->epfd, EPOLL_CTL_DEL, fd, nullptr);
        s->inSet = false;
    }
    if (s->queue != queue)
        s->recheckQueued = false;  // the old owner's second look no longer counts
    s->queue = std::move(queue);
    s->window = reinterpret_cast<uintptr_t>(aWnd);
    s->msg = aMsg;
    s->events = aEvents;
    // Checked again under the socket's lock: a window destroyed meanwhile has
    // already let its sockets go, this one included unless it is refused here.
    if (!posix::WindowExists(aWnd)) {
        s->window = 0;
        s->events = 0;
        errno = EINVAL;
        return -1;
    }
    // A new registration reports the current state afresh, as Winsock does.
    s->readEnabled = true;
    s->closePosted = false;
    s->writeArmed = s->phase == Phase::kConnected || s->phase == Phase::kDatagram;
    posix::Register(*s, fd, true);
    return 0;
}

}  // namespace rtos
