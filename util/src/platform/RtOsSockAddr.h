// Shared by both socket implementations: SocketAddress to and from the
// system's sockaddr. Include after the system's socket headers; a false
// result leaves setting the error to the caller.
#pragma once

#include <cstring>

#include "RtOsSocket.h"

namespace rtos {

template <class LengthType>
bool ToNative(const SocketAddress& aAddr, sockaddr_storage* aOut, LengthType* aLen) {
    memset(aOut, 0, sizeof *aOut);
    if (aAddr.family == AF_INET) {
        auto* sin = reinterpret_cast<sockaddr_in*>(aOut);
        sin->sin_family = AF_INET;
        sin->sin_port = htons(aAddr.port);
        memcpy(&sin->sin_addr, aAddr.addr, 4);
        *aLen = sizeof *sin;
        return true;
    }
    if (aAddr.family == AF_INET6) {
        auto* sin6 = reinterpret_cast<sockaddr_in6*>(aOut);
        sin6->sin6_family = AF_INET6;
        sin6->sin6_port = htons(aAddr.port);
        memcpy(&sin6->sin6_addr, aAddr.addr, 16);
        *aLen = sizeof *sin6;
        return true;
    }
    return false;
}

inline bool FromNative(const sockaddr_storage& aIn, SocketAddress* aOut) {
    *aOut = SocketAddress();
    if (aIn.ss_family == AF_INET) {
        const auto* sin = reinterpret_cast<const sockaddr_in*>(&aIn);
        aOut->family = AF_INET;
        aOut->port = ntohs(sin->sin_port);
        memcpy(aOut->addr, &sin->sin_addr, 4);
        return true;
    }
    if (aIn.ss_family == AF_INET6) {
        const auto* sin6 = reinterpret_cast<const sockaddr_in6*>(&aIn);
        aOut->family = AF_INET6;
        aOut->port = ntohs(sin6->sin6_port);
        memcpy(aOut->addr, &sin6->sin6_addr, 16);
        return true;
    }
    return false;
}

// Copies the addresses of a getaddrinfo result list, in order, at most aMax.
template <class AddrInfo>
void CollectAddresses(const AddrInfo* aList, SocketAddress* aOut, size_t aMax, size_t* aCount) {
    *aCount = 0;
    for (const AddrInfo* ai = aList; ai && *aCount < aMax; ai = ai->ai_next) {
        sockaddr_storage ss;
        memset(&ss, 0, sizeof ss);
        size_t len = static_cast<size_t>(ai->ai_addrlen);
        memcpy(&ss, ai->ai_addr, len < sizeof ss ? len : sizeof ss);
        if (FromNative(ss, &aOut[*aCount]))
            ++*aCount;
    }
}

}  // namespace rtos
