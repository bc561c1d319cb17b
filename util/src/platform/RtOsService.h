// Hosting a program as a system service, and its console.
//
// Windows: the Service Control Manager and the console control handler.
// Linux: systemd (a unit file driven through systemctl, readiness and
// stopping told through $NOTIFY_SOCKET, SIGTERM as the stop control), and
// signals standing in for console events.
// Error numbers are the system's (GetLastError, errno) or one of the kSvcErr
// values below; SvcErrorText turns either into a sentence.
#pragma once

#include <cstddef>
#include <cstdint>

namespace rtos {

// ---- Service states and controls (the Windows numbers) ---------------------
constexpr uint32_t kSvcTypeOwnProcess = 16;
constexpr uint32_t kSvcStopped = 1;
constexpr uint32_t kSvcStartPending = 2;
constexpr uint32_t kSvcStopPending = 3;
constexpr uint32_t kSvcRunning = 4;
constexpr uint32_t kSvcControlStop = 1;
constexpr uint32_t kSvcControlShutdown = 5;
constexpr uint32_t kSvcAcceptStopShutdown = 5;

constexpr uint32_t kSvcErrServiceSpecific = 1066;  // ERROR_SERVICE_SPECIFIC_ERROR
constexpr uint32_t kSvcErrBrokenPipe = 109;        // ERROR_BROKEN_PIPE
constexpr uint32_t kSvcErrAlreadyExists = 183;     // ERROR_ALREADY_EXISTS
// Errors of our own, beyond the range either system uses.
constexpr uint32_t kSvcErrNoManager = 0x20000001;   // no service manager runs here
constexpr uint32_t kSvcErrCommand = 0x20000002;     // the manager's command failed
constexpr uint32_t kSvcErrNotService = 0x20000003;  // not started by the manager
constexpr uint32_t kSvcErrNotInstalled = 0x20000004;
constexpr uint32_t kSvcErrExists = 0x20000005;

struct ServiceStatus {
    uint32_t serviceType;
    uint32_t currentState;
    uint32_t controlsAccepted;
    uint32_t win32ExitCode;
    uint32_t serviceSpecificExitCode;
    uint32_t checkPoint;
    uint32_t waitHint;
};

// ---- The manager's side ----------------------------------------------------
// Handles are opaque; every one opened must be closed with SvcClose.
struct SvcHandleTag;
using SvcHandle = SvcHandleTag*;

// Opens the local service manager with the given access rights.
SvcHandle SvcOpenManager(uint32_t aAccess, uint32_t* aErr);
SvcHandle SvcOpenService(SvcHandle aManager, const char* aName, uint32_t aAccess, uint32_t* aErr);
// Creates an own-process service started automatically under the system
// account, running aBinaryPath without arguments. aDefinition is the unit
// file systemd is given on Linux; Windows ignores it.
SvcHandle SvcCreateService(SvcHandle aManager, const char* aName, const char* aBinaryPath, const char* aDefinition,
                           uint32_t aAccess, uint32_t* aErr);
bool SvcDelete(SvcHandle aService, uint32_t* aErr);
bool SvcStart(SvcHandle aService, uint32_t* aErr);
// Sends a control; aStatus gets the state the manager returned.
bool SvcControl(SvcHandle aService, uint32_t aControl, ServiceStatus* aStatus, uint32_t* aErr);
bool SvcQueryStatus(SvcHandle aService, ServiceStatus* aStatus, uint32_t* aErr);
void SvcClose(SvcHandle aHandle);

// ---- The service's side ----------------------------------------------------
using SvcMainFn = void (*)(int aArgc, char** aArgv);
// Runs on a thread of the manager's (Windows) or of the watcher (Linux);
// returns a system error number, 0 for handled.
using SvcControlFn = uint32_t (*)(uint32_t aControl, void* aContext);

struct SvcStatusTag;
using SvcStatusHandle = SvcStatusTag*;

// Connects the process to the service manager, which runs aMain on a thread
// of its own; returns when the service has ended. False (with the reason)
// when the process was not started by the manager.
bool SvcRunDispatcher(const char* aName, SvcMainFn aMain, uint32_t* aErr);
SvcStatusHandle SvcRegisterControlHandler(const char* aName, SvcControlFn aHandler, void* aContext);
bool SvcReportStatus(SvcStatusHandle aHandle, const ServiceStatus& aStatus);

// The text of a service error number (system or kSvcErr), always terminated.
void SvcErrorText(uint32_t aErr, char* aBuf, size_t aSize);

// ---- Console ---------------------------------------------------------------
// Console events: Ctrl-C, Ctrl-Break, window closed (Linux: SIGINT, SIGQUIT,
// SIGHUP). The handler runs on a thread of its own and returns true when the
// event is handled; otherwise the default action ends the process.
using ConsoleHandlerFn = bool (*)(uint32_t aEvent);
bool SetConsoleHandler(ConsoleHandlerFn aHandler);
// A stop asked of a console process by the system (Linux: SIGTERM); the
// handler runs on a thread of its own. False where the system has no such
// request (Windows).
using StopRequestFn = void (*)(void* aContext);
bool SetStopRequestHandler(StopRequestFn aHandler, void* aContext);
// Waits for a key when a person is at the console (Windows: "pause").
void ConsolePause();
// Reads one character from standard input (EOF included).
int ConsoleReadChar();

}  // namespace rtos
