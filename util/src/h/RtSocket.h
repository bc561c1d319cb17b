// Thin socket classes over the platform's socket calls. Every failing call
// returns -1 and leaves the platform's socket error in errno (Winsock codes
// such as 10035 on Windows); nothing here blocks by itself or logs anything
// but misuse. A socket object is used by one thread, its owner's.
#pragma once

#include "RtHandle.h"
#include "RtInetAddr.h"
#include "RtIovec.h"
#include "RtString.h"

// Socket types and flags the framework passes to these classes.
#define RT_SOCK_STREAM 1
#define RT_SOCK_DGRAM 2
#define RT_MSG_PEEK 0x2

// "<code>:<system message>", for log lines.
CRtString RtErrorText(int aError);

// Whether an error left in errno means "try again later".
bool RtIsWouldBlock(int aError);

class RT_IPC_SAP {
public:
    enum { NON_BLOCK = 0 };

    RT_IPC_SAP() : m_Handle(RT_INVALID_HANDLE) {}

    RT_HANDLE GetHandle() const { return m_Handle; }
    void SetHandle(RT_HANDLE aNew);
    int Enable(int aValue) const;
    int Disable(int aValue) const;
    // ioctlsocket-style control: rtos::kFionread, rtos::kFionbio.
    int Control(long aCmd, void* aArg) const;

protected:
    RT_HANDLE m_Handle;
};

class CRtSocketBase : public RT_IPC_SAP {
public:
    int Open(int aFamily, int aType, int aProtocol, bool aReuseAddr);
    // aReason 0 shuts the sending side down first (a graceful close).
    int Close(int aReason = 0);
    int SetOption(int aLevel, int aOption, const void* aValue, int aLen) const;
    int GetOption(int aLevel, int aOption, void* aValue, int* aLen) const;
    int GetRemoteAddr(CRtInetAddr& aAddr) const;
    int GetLocalAddr(CRtInetAddr& aAddr) const;

    // Bytes received, 0 when the peer has closed, -1 on error.
    int Recv(char* aBuf, unsigned long aLen, int aFlags = 0) const;
    int RecvV(iovec* aIov, unsigned long aCount) const;
    // Bytes accepted, which may be fewer than given.
    int Send(const char* aBuf, unsigned long aLen, int aFlags = 0) const;
    int SendV(const iovec* aIov, unsigned long aCount) const;

protected:
    CRtSocketBase() = default;
    ~CRtSocketBase() { Close(0); }
    int CloseWriter();
};

class CRtSocketStream : public CRtSocketBase {
public:
    CRtSocketStream() = default;
    ~CRtSocketStream() { Close(0); }

    int Open(bool aReuseAddr, const CRtInetAddr& aLocal);
    int Open(bool aReuseAddr, unsigned short aFamily);
    // 0 when connected at once; -1 otherwise, RtIsWouldBlock(errno) while
    // the connection goes on in the background.
    int Connect(const CRtInetAddr& aPeer) const;
    int CloseReader();

protected:
    void set_quickack() {}
};

class CRtSocketDgram : public CRtSocketBase {
public:
    CRtSocketDgram() = default;
    ~CRtSocketDgram() { Close(0); }

    int Open(const CRtInetAddr& aLocal);
    int RecvFrom(char* aBuf, unsigned long aLen, CRtInetAddr& aFrom, int aFlags = 0) const;
    int SendTo(const char* aBuf, unsigned long aLen, const CRtInetAddr& aTo, int aFlags = 0) const;
    int SendVTo(const iovec* aIov, unsigned long aCount, const CRtInetAddr& aTo) const;
};
