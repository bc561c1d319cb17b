// Hooks of the socket calls into the readiness bookkeeping on Linux
// (RtOsSelect.cpp): the socket calls tell AsyncSelect what happened so that
// readiness is re-enabled the way Winsock re-enables it. A hook takes only
// the socket's own lock, and none when it has nothing to record.
#pragma once

#include <cstddef>

namespace rtos {
namespace posix {

// The socket is being closed, or a new socket got a number that a closed one
// had: its registration and its queued notifications go.
void SelectForget(int aFd);
// A receive for aWanted bytes returned aResult (bytes, or -1 with errno
// still set); aPeek when the bytes stay buffered. FD_READ may be reported
// again, at once if data is left.
void SelectReceived(int aFd, long aResult, size_t aWanted, bool aPeek);
// A send was attempted; aBlocked when it was refused or cut short, which
// re-arms FD_WRITE.
void SelectSent(int aFd, bool aBlocked);
// listen() succeeded: FD_ACCEPT applies from now on.
void SelectListening(int aFd);
// A connect is under way (aDone false) or completed at once (aDone true).
void SelectConnecting(int aFd, bool aDone);
// accept() on aListenFd returned aNewFd, or -1 with aErr: FD_ACCEPT may be
// reported again, and the new socket takes over the listener's registration.
void SelectAccepted(int aListenFd, int aNewFd, int aErr);

// Datagram sockets: an ICMP error may wait in the socket's error queue
// (seen as EPOLLERR, or consumed from a send). Pending: the next receive
// that finds no datagram reads the queue; Drained: the queue is empty.
void SelectErrorQueued(int aFd);
bool SelectErrorPending(int aFd);
void SelectErrorDrained(int aFd);

}  // namespace posix
}  // namespace rtos
