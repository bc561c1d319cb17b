// os-boundary: allow-file (a program of someone else's, not the framework)
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "RtMessageBlock.h"
#include "gather.h"

bool GatherThroughSystem() {
    static const char kHead[] = "scatter ";
    CRtMessageBlock head(8, kHead, CRtMessageBlock::DONT_DELETE, 8);
    CRtMessageBlock empty(16);  // takes no entry
    CRtMessageBlock tail(6);
    tail.Write("gather", 6);
    head.Append(&empty);
    head.Append(&tail);

    iovec iov[4];
    unsigned long length = 0;
    const CRtMessageBlock* rest = nullptr;
    const unsigned long count = head.FillIov(iov, 4, length, rest);
    if (count != 2 || length != 14 || rest) {
        std::printf("FillIov: %lu entries, %lu bytes\n", count, length);
        return false;
    }

    int fds[2];
    if (pipe(fds) != 0) {
        std::perror("pipe");
        return false;
    }
    const ssize_t written = writev(fds[1], iov, static_cast<int>(count));
    close(fds[1]);
    std::string back;
    char buf[64];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;)
        back.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    if (written != 14 || back != "scatter gather") {
        std::printf("writev wrote %ld bytes, read back '%s'\n", static_cast<long>(written), back.c_str());
        return false;
    }
    std::printf("writev gathered '%s'\n", back.c_str());
    return true;
}
