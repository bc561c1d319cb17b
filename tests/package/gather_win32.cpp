// os-boundary: allow-file (a program of someone else's, not the framework)
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "RtMessageBlock.h"
#include "gather.h"

static_assert(sizeof(iovec) == sizeof(WSABUF), "an iovec array is a WSABUF array");

namespace {

// A connected pair of loopback TCP sockets.
struct LoopbackPair {
    SOCKET listener = INVALID_SOCKET;
    SOCKET client = INVALID_SOCKET;
    SOCKET server = INVALID_SOCKET;

    bool Open() {
        listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int len = sizeof addr;
        if (listener == INVALID_SOCKET || bind(listener, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
            listen(listener, 1) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            return false;
        client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (client == INVALID_SOCKET || connect(client, reinterpret_cast<sockaddr*>(&addr), len) != 0)
            return false;
        server = accept(listener, nullptr, nullptr);
        return server != INVALID_SOCKET;
    }
    ~LoopbackPair() {
        for (SOCKET s : {listener, client, server})
            if (s != INVALID_SOCKET)
                closesocket(s);
    }
};

}  // namespace

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

    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
        std::printf("WSAStartup failed\n");
        return false;
    }
    std::string back;
    DWORD sent = 0;
    int rc = SOCKET_ERROR;
    {
        LoopbackPair pair;
        if (pair.Open()) {
            rc = WSASend(pair.client, reinterpret_cast<WSABUF*>(iov), count, &sent, 0, nullptr, nullptr);
            shutdown(pair.client, SD_SEND);
            char buf[64];
            for (int n; (n = recv(pair.server, buf, sizeof buf, 0)) > 0;)
                back.append(buf, static_cast<size_t>(n));
        } else {
            std::printf("loopback connection failed: %d\n", WSAGetLastError());
        }
    }
    WSACleanup();
    if (rc != 0 || sent != 14 || back != "scatter gather") {
        std::printf("WSASend sent %lu bytes, received '%s'\n", static_cast<unsigned long>(sent), back.c_str());
        return false;
    }
    std::printf("WSASend gathered '%s'\n", back.c_str());
    return true;
}
