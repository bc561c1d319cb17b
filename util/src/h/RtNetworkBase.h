// The network interfaces every transport, acceptor, connector and proxy
// shares: a connected stream or peer association (IRtTransport) and its
// sink, the option identifiers, and the acceptor / connector interfaces.
#pragma once

#include <cstdint>
#include <vector>

#include "RtError.h"
#include "RtEventQueue.h"
#include "RtInetAddr.h"
#include "RtMessageBlock.h"
#include "RtReferenceControl.h"

class CRtThread;
class CRtEventThread;
class IRtTransportSink;

// ---- Option identifiers (the pointee type is given per option) -----------------
#define RT_OPT_TRANSPORT_FIO_NREAD 101         // uint32_t: bytes readable now
#define RT_OPT_TRANSPORT_FD 103                // RT_HANDLE
#define RT_OPT_TRANSPORT_LOCAL_ADDR 104        // CRtInetAddr
#define RT_OPT_TRANSPORT_PEER_ADDR 105         // CRtInetAddr
#define RT_OPT_TRANSPORT_SOCK_ALIVE 106        // uint32_t 1/0 (UDP: one byte)
#define RT_OPT_TRANSPORT_TRAN_TYPE 107         // uint32_t: 1 TCP, 2 UDP
#define RT_OPT_TRANSPORT_KEEPALIVE 108         // uint32_t seconds, 0 = off
#define RT_OPT_TRANSPORT_RCV_BUF_LEN 109       // uint32_t
#define RT_OPT_TRANSPORT_SND_BUF_LEN 110       // uint32_t
#define RT_OPT_LOWER_TRANSPORT 112             // IRtTransport* (thread proxies)
#define RT_OPT_TRANSPORT_TOS 113               // int
#define RT_OPT_RUDP_OBSERVER 116               // IRtObserver*, told "RUDP" when the network is poor
#define RT_OPT_TRANSPORT_TCP_NODELAY 117       // uint32_t
#define RT_OPT_TRANSPORT_UNUSED_118 118        // accepted, no effect
#define RT_OPT_TRANSPORT_RCV_BYTES 140         // uint32_t, reset by the query
#define RT_OPT_TRANSPORT_SND_BYTES 141         // uint32_t, reset by the query
#define RT_OPT_BIND_THREAD 143                 // get: uint32_t id; set: CRtTransportBindThreadParam
#define RT_OPT_TRANSPORT_UDP_IDLE_TIMEOUT 145  // UDP only

// The argument of SetOption(RT_OPT_BIND_THREAD): the target network
// thread, the load value, an event the target waits on after taking the
// transport over (or null), and events to run there once it is bound.
struct CRtTransportBindThreadParam {
    CRtThread* m_thread = nullptr;
    uint32_t m_load = 0;
    CRtEventThread* m_pEvent = nullptr;
    std::vector<IRtEvent*> m_events;
};

class IRtTransport : public IRtReferenceControl {
public:
    virtual RtResult OpenWithSink(IRtTransportSink* aSink) = 0;
    virtual void SetParameter(unsigned long) {}
    virtual IRtTransportSink* GetSink() = 0;
    // The default drops the arguments no transport gives a meaning to.
    virtual RtResult SendDataEx(CRtMessageBlock& aData, uint32_t, uint32_t, uint32_t a4, uint32_t a5, uint32_t a6,
                                uint32_t) {
        return SendData(aData, a4 != 0, a5 != 0, static_cast<long>(a6), true);
    }
    // RT_OK when all went out; RT_ERROR_PARTIAL_DATA when the rest must wait
    // for the sink's OnSend (the chain then starts at the first unsent
    // byte). aDestroy hands the chain over once it is sent completely.
    virtual RtResult SendData(CRtMessageBlock& aData, bool aFlag = true, bool aDestroy = false, long aPriority = 2,
                              bool aPduFlag = true) = 0;
    virtual RtResult SetOption(unsigned long aCommand, void* aArg) = 0;
    virtual RtResult GetOption(unsigned long aCommand, void* aArg) = 0;
    // The sink hears nothing of a disconnect it asked for.
    virtual RtResult Disconnect(RtResult aReason) = 0;

protected:
    ~IRtTransport() override {}
};

class IRtTransportSink {
public:
    // aData is valid only during the call: DuplicateChained to keep it.
    virtual void OnReceive(CRtMessageBlock& aData, IRtTransport* aTrptId) = 0;
    // After a refused or partial send, the transport takes data again.
    virtual void OnSend(IRtTransport* aTrptId) = 0;
    // The connection is gone; the transport has already dropped the sink.
    virtual void OnDisconnect(RtResult aReason, IRtTransport* aTrptId) = 0;
    virtual ~IRtTransportSink() {}
};

class IRtAcceptorConnectorId : public IRtReferenceControl {
public:
    virtual bool IsConnector() = 0;

protected:
    ~IRtAcceptorConnectorId() override {}
};

class IRtAcceptorConnectorSink {
public:
    // Acceptors: aReason is RT_OK and aTrpt a new, unopened transport the
    // sink opens (OpenWithSink) or releases. Connectors may report a
    // failure with a null transport.
    virtual void OnConnectIndication(RtResult aReason, IRtTransport* aTrpt, IRtAcceptorConnectorId* aRequestId) = 0;
    virtual ~IRtAcceptorConnectorSink() {}
};

class IRtAcceptor : public IRtAcceptorConnectorId {
public:
    virtual RtResult StartListen(IRtAcceptorConnectorSink* aSink, const CRtInetAddr& aAddrListen) = 0;
    virtual RtResult StopListen(RtResult aReason) = 0;

protected:
    ~IRtAcceptor() override {}
};

class IRtConnector : public IRtAcceptorConnectorId {
public:
    virtual RtResult AsycConnect(IRtAcceptorConnectorSink* aSink, const CRtInetAddr& aAddrPeer,
                                 CRtTimeValue* aTimeout = nullptr, CRtInetAddr* aAddrLocal = nullptr) = 0;
    virtual RtResult CancelConnect(RtResult aReason) = 0;

protected:
    ~IRtConnector() override {}
};
