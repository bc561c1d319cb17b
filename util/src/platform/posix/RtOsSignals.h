// The signals that stand in for Windows console events and service controls
// are caught into a pipe and handled on one watcher thread, where handlers
// may take locks, log and block (a signal handler may do none of these).
#pragma once

#include "../RtOsService.h"

namespace rtos {
namespace posix {

// SIGTERM becomes the service's stop control.
void SetServiceControlHandler(SvcControlFn aHandler, void* aContext);

}  // namespace posix
}  // namespace rtos
