// The service manager on Linux is systemd: the service is a unit file in
// /etc/systemd/system driven with systemctl, and the service tells systemd
// its state through the datagram socket named in $NOTIFY_SOCKET.
#include "../RtOs.h"
#include "../RtOsService.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <initializer_list>
#include <thread>
#include <vector>

#include <csignal>

#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "RtOsSignals.h"

struct rtos::SvcHandleTag {
    std::string name;  // empty for the manager
};

namespace rtos {
namespace {

const char kUnitDir[] = "/etc/systemd/system/";

std::string UnitName(const std::string& aName) { return aName + ".service"; }
std::string UnitPath(const std::string& aName) { return kUnitDir + UnitName(aName); }

bool SystemdRuns() {
    // What sd_booted() checks: systemd creates this folder when it is PID 1.
    struct stat st;
    return lstat("/run/systemd/system", &st) == 0 && S_ISDIR(st.st_mode);
}

// Runs systemctl with the given arguments; its error output goes to ours so
// that the user sees systemd's own reason. aOut, when given, collects its
// standard output.
bool Systemctl(std::initializer_list<const char*> aArgs, std::string* aOut = nullptr) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>("systemctl"));
    for (const char* a : aArgs)
        argv.push_back(const_cast<char*>(a));
    argv.push_back(nullptr);

    int fds[2] = {-1, -1};
    if (aOut && pipe2(fds, O_CLOEXEC) != 0)
        return false;
    pid_t pid = fork();
    if (pid == 0) {
        int out = aOut ? fds[1] : open("/dev/null", O_WRONLY);
        if (out >= 0)
            dup2(out, STDOUT_FILENO);
        execvp("systemctl", argv.data());
        _exit(127);
    }
    if (aOut) {
        close(fds[1]);
        if (pid > 0) {
            char buf[256];
            ssize_t n;
            while ((n = read(fds[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
                if (n > 0)
                    aOut->append(buf, static_cast<size_t>(n));
        }
        close(fds[0]);
    }
    if (pid < 0)
        return false;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool Fail(uint32_t* aErr, uint32_t aCode) {
    if (aErr)
        *aErr = aCode;
    return false;
}

SvcHandle FailHandle(uint32_t* aErr, uint32_t aCode) {
    Fail(aErr, aCode);
    return nullptr;
}

}  // namespace

SvcHandle SvcOpenManager(uint32_t, uint32_t* aErr) {
    if (!SystemdRuns())
        return FailHandle(aErr, kSvcErrNoManager);
    return new SvcHandleTag();
}

SvcHandle SvcOpenService(SvcHandle aManager, const char* aName, uint32_t, uint32_t* aErr) {
    if (!aManager || !aName || !*aName)
        return FailHandle(aErr, static_cast<uint32_t>(EINVAL));
    if (access(UnitPath(aName).c_str(), F_OK) != 0)
        return FailHandle(aErr, kSvcErrNotInstalled);
    return new SvcHandleTag{aName};
}

SvcHandle SvcCreateService(SvcHandle aManager, const char* aName, const char*, const char* aDefinition, uint32_t,
                           uint32_t* aErr) {
    if (!aManager || !aName || !*aName || !aDefinition)
        return FailHandle(aErr, static_cast<uint32_t>(EINVAL));
    std::string path = UnitPath(aName);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return FailHandle(aErr, errno == EEXIST ? kSvcErrExists : static_cast<uint32_t>(errno));
    size_t len = strlen(aDefinition);
    bool written = write(fd, aDefinition, len) == static_cast<ssize_t>(len);
    int err = errno;
    if (close(fd) != 0 && written) {
        written = false;
        err = errno;
    }
    if (!written) {
        unlink(path.c_str());
        return FailHandle(aErr, static_cast<uint32_t>(err));
    }
    std::string unit = UnitName(aName);
    if (!Systemctl({"daemon-reload"}) || !Systemctl({"enable", "--quiet", unit.c_str()})) {
        unlink(path.c_str());
        Systemctl({"daemon-reload"});
        return FailHandle(aErr, kSvcErrCommand);
    }
    return new SvcHandleTag{aName};
}

bool SvcDelete(SvcHandle aService, uint32_t* aErr) {
    if (!aService || aService->name.empty())
        return Fail(aErr, static_cast<uint32_t>(EINVAL));
    std::string unit = UnitName(aService->name);
    Systemctl({"disable", "--quiet", unit.c_str()});
    if (unlink(UnitPath(aService->name).c_str()) != 0)
        return Fail(aErr, static_cast<uint32_t>(errno));
    Systemctl({"daemon-reload"});
    return true;
}

bool SvcStart(SvcHandle aService, uint32_t* aErr) {
    if (!aService || aService->name.empty())
        return Fail(aErr, static_cast<uint32_t>(EINVAL));
    // Returns once the service said READY=1, or failed.
    std::string unit = UnitName(aService->name);
    return Systemctl({"start", unit.c_str()}) || Fail(aErr, kSvcErrCommand);
}

bool SvcQueryStatus(SvcHandle aService, ServiceStatus* aStatus, uint32_t* aErr) {
    if (!aService || aService->name.empty() || !aStatus)
        return Fail(aErr, static_cast<uint32_t>(EINVAL));
    std::string unit = UnitName(aService->name);
    std::string state;
    if (!Systemctl({"show", "--property=ActiveState", "--value", unit.c_str()}, &state))
        return Fail(aErr, kSvcErrCommand);
    while (!state.empty() && (state.back() == '\n' || state.back() == ' '))
        state.pop_back();
    *aStatus = ServiceStatus{kSvcTypeOwnProcess, kSvcStopped, 0, 0, 0, 0, 0};
    if (state == "active" || state == "reloading") {
        aStatus->currentState = kSvcRunning;
        aStatus->controlsAccepted = kSvcAcceptStopShutdown;
    } else if (state == "activating") {
        aStatus->currentState = kSvcStartPending;
        aStatus->waitHint = 10000;
    } else if (state == "deactivating") {
        aStatus->currentState = kSvcStopPending;
        aStatus->waitHint = 10000;
    }
    return true;
}

bool SvcControl(SvcHandle aService, uint32_t aControl, ServiceStatus* aStatus, uint32_t* aErr) {
    if (!aService || aService->name.empty())
        return Fail(aErr, static_cast<uint32_t>(EINVAL));
    if (aControl != kSvcControlStop)
        return Fail(aErr, static_cast<uint32_t>(EINVAL));
    // Returns once the service has stopped.
    std::string unit = UnitName(aService->name);
    if (!Systemctl({"stop", unit.c_str()}))
        return Fail(aErr, kSvcErrCommand);
    ServiceStatus st;
    if (!SvcQueryStatus(aService, aStatus ? aStatus : &st, aErr))
        return false;
    return true;
}

void SvcClose(SvcHandle aHandle) { delete aHandle; }

// ---- The service's side ----------------------------------------------------

struct SvcStatusTag {};

namespace {

SvcStatusTag g_statusHandle;

// Sends one message to systemd; false when the process was not started by it.
bool Notify(const char* aMessage) {
    const char* path = getenv("NOTIFY_SOCKET");
    if (!path || (path[0] != '/' && path[0] != '@'))
        return false;
    sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    size_t len = strlen(path);
    if (len >= sizeof addr.sun_path)
        return false;
    memcpy(addr.sun_path, path, len);
    if (path[0] == '@')
        addr.sun_path[0] = '\0';  // abstract namespace
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    socklen_t addrLen = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len);
    ssize_t sent = sendto(fd, aMessage, strlen(aMessage), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr), addrLen);
    close(fd);
    return sent >= 0;
}

}  // namespace

bool SvcRunDispatcher(const char* aName, SvcMainFn aMain, uint32_t* aErr) {
    const char* notify = getenv("NOTIFY_SOCKET");
    if (!aName || !*aName || !aMain || !notify || !*notify)
        return Fail(aErr, kSvcErrNotService);
    // As with the Windows dispatcher, the service body runs on a thread of
    // its own while this one waits for it.
    std::string name = aName;
    std::thread service([aMain, name] {
        char* argv[] = {const_cast<char*>(name.c_str()), nullptr};
        aMain(1, argv);
    });
    // The stop and console signals go to the service's threads, which wait
    // where a handler can run; some runtimes (ThreadSanitizer) hold a signal
    // back for as long as its thread sits in join().
    sigset_t signals, old;
    sigemptyset(&signals);
    for (int sig : {SIGTERM, SIGINT, SIGQUIT, SIGHUP})
        sigaddset(&signals, sig);
    pthread_sigmask(SIG_BLOCK, &signals, &old);
    service.join();
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return true;
}

SvcStatusHandle SvcRegisterControlHandler(const char* aName, SvcControlFn aHandler, void* aContext) {
    if (!aName || !*aName || !aHandler)
        return nullptr;
    posix::SetServiceControlHandler(aHandler, aContext);
    return &g_statusHandle;
}

bool SvcReportStatus(SvcStatusHandle aHandle, const ServiceStatus& aStatus) {
    if (aHandle != &g_statusHandle)
        return false;
    char msg[160];
    switch (aStatus.currentState) {
    case kSvcRunning:
        snprintf(msg, sizeof msg, "READY=1\nSTATUS=running\nMAINPID=%d", static_cast<int>(getpid()));
        break;
    case kSvcStopPending:
        snprintf(msg, sizeof msg, "STOPPING=1\nSTATUS=stopping");
        break;
    case kSvcStopped:
        if (aStatus.win32ExitCode != 0)
            snprintf(msg, sizeof msg, "STATUS=failed to start, code %d",
                     static_cast<int>(aStatus.serviceSpecificExitCode));
        else
            snprintf(msg, sizeof msg, "STATUS=stopped");
        break;
    default:
        snprintf(msg, sizeof msg, "STATUS=starting");
        break;
    }
    return Notify(msg);
}

void SvcErrorText(uint32_t aErr, char* aBuf, size_t aSize) {
    if (!aBuf || aSize == 0)
        return;
    const char* text = nullptr;
    switch (aErr) {
    case kSvcErrNoManager:
        text = "systemd is not running on this machine";
        break;
    case kSvcErrCommand:
        text = "systemctl failed (its message is above)";
        break;
    case kSvcErrNotService:
        text = "the process was not started by systemd";
        break;
    case kSvcErrNotInstalled:
        text = "the service is not installed";
        break;
    case kSvcErrExists:
        text = "the service is already installed";
        break;
    default:
        break;
    }
    if (text)
        snprintf(aBuf, aSize, "%s", text);
    else
        ErrorText(static_cast<int>(aErr), aBuf, aSize);
}

}  // namespace rtos
