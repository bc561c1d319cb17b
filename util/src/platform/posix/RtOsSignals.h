// The signals that stand in for Windows console events and service controls
// are caught into a pipe and handled on one watcher thread, where handlers
// may take locks, log and block (a signal handler may do none of these).
#pragma once

#include "../RtOsService.h"

namespace rtos {
namespace posix {

// SIGINT, SIGQUIT and SIGHUP become the console events Ctrl-C, Ctrl-Break
// and window closed.
bool SetConsoleSignalHandler(ConsoleHandlerFn aHandler);
// SIGTERM becomes a stop request of a console process...
bool SetStopSignalHandler(StopRequestFn aHandler, void* aContext);
// ...or, once set, the service's stop control, which comes first.
void SetServiceControlHandler(SvcControlFn aHandler, void* aContext);

}  // namespace posix
}  // namespace rtos
