// Bookkeeping shared by the socket calls and the message queues on Linux:
// the socket calls tell AsyncSelect what happened so that readiness is
// re-enabled the way Winsock re-enables it. Each hook is cheap when the
// socket is not reported to a window.
#pragma once

namespace rtos {
namespace posix {

// The socket is being closed, or a new socket got a number that a closed one
// had: its registration and its queued notifications go.
void SelectForget(int aFd);
// A receive was attempted: FD_READ may be reported again.
void SelectReceived(int aFd);
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

}  // namespace posix
}  // namespace rtos
