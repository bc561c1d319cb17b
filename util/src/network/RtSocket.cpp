#include "RtSocket.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "RtDebug.h"
#include "RtErrnoGuard.h"
#include "RtOs.h"

namespace {

// A failed call: the platform's code goes to errno, as the callers expect.
int Fail() {
    errno = rtos::LastSocketError();
    return -1;
}

int Checked(long aResult) {
    if (aResult < 0)
        return Fail();
    return aResult > INT_MAX ? INT_MAX : static_cast<int>(aResult);
}

rtos::SocketAddress ToSocketAddress(const CRtInetAddr& aAddr) {
    rtos::SocketAddress out;
    out.family = aAddr.GetType();
    memcpy(out.addr, aAddr.GetAddrBytes(), out.family == rtos::kAfInet6 ? 16 : 4);
    out.port = aAddr.GetPort();
    return out;
}

void FromSocketAddress(const rtos::SocketAddress& aIn, CRtInetAddr& aOut) {
    aOut.SetIpAddr(static_cast<unsigned short>(aIn.family), aIn.addr);
    aOut.SetPortA(aIn.port);
}

}  // namespace

CRtString RtErrorText(int aError) {
    char text[1024];
    int n = snprintf(text, sizeof text, "%d:", aError);
    if (n > 0 && static_cast<size_t>(n) < sizeof text)
        rtos::ErrorText(aError, text + n, sizeof text - static_cast<size_t>(n));
    return CRtString(text);
}

bool RtIsWouldBlock(int aError) { return aError == EWOULDBLOCK || rtos::SocketWouldBlock(aError); }

// ---- RT_IPC_SAP --------------------------------------------------------------------

void RT_IPC_SAP::SetHandle(RT_HANDLE aNew) {
    RT_ASSERTE(m_Handle == RT_INVALID_HANDLE || aNew == RT_INVALID_HANDLE);
    m_Handle = aNew;
}

int RT_IPC_SAP::Enable(int aValue) const {
    if (aValue != NON_BLOCK) {
        RT_ERROR_TRACE("RT_IPC_SAP::Enable, aValue=" << aValue);
        return -1;
    }
    return rtos::SocketSetNonBlocking(m_Handle, true) == 0 ? 0 : Fail();
}

int RT_IPC_SAP::Disable(int aValue) const {
    if (aValue != NON_BLOCK) {
        RT_ERROR_TRACE("RT_IPC_SAP::Disable, aValue=" << aValue);
        return -1;
    }
    return rtos::SocketSetNonBlocking(m_Handle, false) == 0 ? 0 : Fail();
}

int RT_IPC_SAP::Control(long aCmd, void* aArg) const {
    return rtos::SocketControl(m_Handle, aCmd, aArg) == 0 ? 0 : Fail();
}

// ---- CRtSocketBase -------------------------------------------------------------------

int CRtSocketBase::Open(int aFamily, int aType, int, bool aReuseAddr) {
    Close(0);
    RT_HANDLE handle = rtos::SocketOpen(
        aFamily, aType == RT_SOCK_DGRAM ? rtos::SocketType::kDatagram : rtos::SocketType::kStream);
    if (handle == rtos::kInvalidSocket)
        return Fail();
    m_Handle = handle;
    // Local sockets (family 1) have no address to reuse.
    if (aFamily != 1 && aReuseAddr && rtos::SocketSetReuseAddress(m_Handle, true) != 0) {
        Fail();
        CRtErrnoGuard keep;
        Close(1);
        return -1;
    }
    return 0;
}

int CRtSocketBase::Close(int aReason) {
    if (m_Handle == RT_INVALID_HANDLE)
        return 0;
    if (aReason == 0)
        CloseWriter();
    int rc = rtos::SocketClose(m_Handle);
    m_Handle = RT_INVALID_HANDLE;
    return rc == 0 ? 0 : Fail();
}

int CRtSocketBase::CloseWriter() {
    return rtos::SocketShutdown(m_Handle, rtos::ShutdownHow::kSend) == 0 ? 0 : Fail();
}

int CRtSocketBase::SetOption(int aLevel, int aOption, const void* aValue, int aLen) const {
    return rtos::SocketSetOption(m_Handle, aLevel, aOption, aValue, aLen) == 0 ? 0 : Fail();
}

int CRtSocketBase::GetOption(int aLevel, int aOption, void* aValue, int* aLen) const {
    return rtos::SocketGetOption(m_Handle, aLevel, aOption, aValue, aLen) == 0 ? 0 : Fail();
}

int CRtSocketBase::GetRemoteAddr(CRtInetAddr& aAddr) const {
    rtos::SocketAddress addr;
    if (rtos::SocketPeerAddress(m_Handle, &addr) != 0)
        return Fail();
    FromSocketAddress(addr, aAddr);
    return 0;
}

int CRtSocketBase::GetLocalAddr(CRtInetAddr& aAddr) const {
    rtos::SocketAddress addr;
    if (rtos::SocketLocalAddress(m_Handle, &addr) != 0)
        return Fail();
    FromSocketAddress(addr, aAddr);
    return 0;
}

int CRtSocketBase::Recv(char* aBuf, unsigned long aLen, int aFlags) const {
    RT_ASSERTE_RETURN(aBuf, -1);
    long n = (aFlags & RT_MSG_PEEK) ? rtos::SocketPeek(m_Handle, aBuf, aLen) : rtos::SocketRecv(m_Handle, aBuf, aLen);
    return Checked(n);
}

int CRtSocketBase::RecvV(iovec* aIov, unsigned long aCount) const {
    RT_ASSERTE_RETURN(aIov, -1);
    return Checked(rtos::SocketRecvV(m_Handle, aIov, aCount));
}

int CRtSocketBase::Send(const char* aBuf, unsigned long aLen, int) const {
    return Checked(rtos::SocketSend(m_Handle, aBuf, aLen));
}

int CRtSocketBase::SendV(const iovec* aIov, unsigned long aCount) const {
    return Checked(rtos::SocketSendV(m_Handle, aIov, aCount));
}

// ---- CRtSocketStream / CRtSocketDgram -----------------------------------------------------

namespace {
int BindOrClose(CRtSocketBase& aSocket, const CRtInetAddr& aLocal) {
    if (rtos::SocketBind(aSocket.GetHandle(), ToSocketAddress(aLocal)) == 0)
        return 0;
    Fail();
    CRtErrnoGuard keep;
    aSocket.Close(1);
    return -1;
}
}  // namespace

int CRtSocketStream::Open(bool aReuseAddr, const CRtInetAddr& aLocal) {
    if (CRtSocketBase::Open(aLocal.GetType(), RT_SOCK_STREAM, 0, aReuseAddr) != 0)
        return -1;
    return BindOrClose(*this, aLocal);
}

int CRtSocketStream::Open(bool aReuseAddr, unsigned short aFamily) {
    return CRtSocketBase::Open(aFamily, RT_SOCK_STREAM, 0, aReuseAddr);
}

int CRtSocketStream::Connect(const CRtInetAddr& aPeer) const {
    if (!aPeer.IsResolved()) {
        errno = EINVAL;
        return -1;
    }
    return rtos::SocketConnect(m_Handle, ToSocketAddress(aPeer)) == 0 ? 0 : Fail();
}

int CRtSocketStream::CloseReader() {
    return rtos::SocketShutdown(m_Handle, rtos::ShutdownHow::kReceive) == 0 ? 0 : Fail();
}

int CRtSocketDgram::Open(const CRtInetAddr& aLocal) {
    if (CRtSocketBase::Open(aLocal.GetType(), RT_SOCK_DGRAM, 0, false) != 0)
        return -1;
    return BindOrClose(*this, aLocal);
}

int CRtSocketDgram::RecvFrom(char* aBuf, unsigned long aLen, CRtInetAddr& aFrom, int) const {
    rtos::SocketAddress from;
    long n = rtos::SocketRecvFrom(m_Handle, aBuf, aLen, &from);
    if (n < 0)
        return Fail();
    FromSocketAddress(from, aFrom);
    return Checked(n);
}

int CRtSocketDgram::SendTo(const char* aBuf, unsigned long aLen, const CRtInetAddr& aTo, int) const {
    return Checked(rtos::SocketSendTo(m_Handle, aBuf, aLen, ToSocketAddress(aTo)));
}

int CRtSocketDgram::SendVTo(const iovec* aIov, unsigned long aCount, const CRtInetAddr& aTo) const {
    RT_ASSERTE_RETURN(aIov, -1);
    return Checked(rtos::SocketSendToV(m_Handle, aIov, aCount, ToSocketAddress(aTo)));
}
