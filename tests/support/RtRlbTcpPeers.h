// Peers for the reliable TCP connection suites: a test double of the base
// connector (the direct TCP connector behind IRtConnector) and a raw socket
// that speaks hand-written units.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

#include "RtConnRlbTcpPdu.h"
#include "RtConnectorTcp.h"
#include "RtLoopback.h"
#include "RtMessageBlock.h"
#include "RtNetworkBase.h"
#include "RtTestSupport.h"
#include "RtThreadManager.h"
#include "RtTimerWrapper.h"
#include "RtTransportTcp.h"

namespace rttest {

// Test double: IRtConnector over the direct TCP connector, for the client
// side until the connector wrapper serves type 1. Network thread only;
// every outcome reaches the sink from a later callback, once per attempt.
class TestTcpConnector : public IRtConnector, public CRtReferenceControlT<CRtMutexThread>, public CRtTimerWrapperSink {
public:
    typedef CRtConnectorTcpT<TestTcpConnector, CRtTransportTcp, CRtSocketStream> Inner;

    uint32_t AddReference() override { return CRtReferenceControlT::AddReference(); }
    uint32_t ReleaseReference() override { return CRtReferenceControlT::ReleaseReference(); }
    bool IsConnector() override { return true; }

    RtResult AsycConnect(IRtAcceptorConnectorSink* aSink, const CRtInetAddr& aAddr, CRtTimeValue* aTimeout,
                         CRtInetAddr* aLocal) override {
        CancelConnect(RT_OK);
        ++m_nAttempts;
        m_pSink = aSink;
        m_pInner.reset(new Inner(CRtThreadManager::Instance()->GetCurrentThread(), *this));
        if (m_pInner->Connect(aAddr, aLocal) != 0) {
            m_nPending = RT_ERROR_NETWORK_CONNECT_FAILED;
            m_Timer.Schedule(this, CRtTimeValue(), 1);
        } else if (aTimeout) {
            m_nPending = RT_ERROR_NETWORK_CONNECT_TIMEOUT;
            m_Timer.Schedule(this, *aTimeout, 1);
        }
        return RT_OK;
    }
    RtResult CancelConnect(RtResult) override {
        m_Timer.Cancel();
        if (m_pInner)
            m_pInner->Close(RT_OK);
        m_pSink = nullptr;
        return RT_OK;
    }
    void OnConnectIndication(RtResult aReason, IRtTransport* aTrpt, IRtConnectorInternal*) {
        m_Timer.Cancel();
        Tell(aReason, aTrpt);
    }
    void OnTimer(CRtTimerWrapper*) override {
        if (m_pInner)
            m_pInner->Close(RT_OK);
        Tell(m_nPending, nullptr);
    }
    int Attempts() const { return m_nAttempts; }

protected:
    ~TestTcpConnector() override { CancelConnect(RT_OK); }

private:
    void Tell(RtResult aReason, IRtTransport* aTrpt) {
        IRtAcceptorConnectorSink* sink = m_pSink;
        m_pSink = nullptr;
        if (sink)
            sink->OnConnectIndication(aReason, aTrpt, this);
    }

    IRtAcceptorConnectorSink* m_pSink = nullptr;
    std::unique_ptr<Inner> m_pInner;
    CRtTimerWrapper m_Timer;
    RtResult m_nPending = RT_OK;
    std::atomic<int> m_nAttempts{0};
};

// A unit as the raw peer reads it.
struct RawUnit {
    CRtRlbTcpPdu pdu;
    std::string payload;
};

inline void Feed(CRtRlbTcpUnitReader& aReader, const std::string& aBytes) {
    CRtMessageBlock mb(static_cast<unsigned long>(aBytes.size()), aBytes.data(), CRtMessageBlock::DONT_DELETE,
                       static_cast<unsigned long>(aBytes.size()));
    aReader.Append(mb);
}
// The next whole unit the reader holds, with its payload copied.
inline RtResult NextUnit(CRtRlbTcpUnitReader& aReader, RawUnit& aUnit) {
    CRtMessageBlock* payload = nullptr;
    const RtResult rv = aReader.Next(aUnit.pdu, payload);
    aUnit.payload = payload ? payload->FlattenChained() : std::string();
    if (payload)
        payload->DestroyChained();
    return rv;
}

// A plain loopback socket that writes hand-made units and reads units.
class RawPeer {
public:
    explicit RawPeer(uint16_t aPort) : m_Sock(ConnectLoopback(aPort)) { rtos::SocketSetNonBlocking(m_Sock, true); }
    ~RawPeer() { rtos::SocketClose(m_Sock); }

    static std::string Encode(const CRtRlbTcpPdu& aPdu, const std::string& aPayload = std::string()) {
        uint8_t head[kRtRlbTcpMaxHeader];
        size_t n = aPdu.Encode(head);
        return std::string(reinterpret_cast<const char*>(head), n) + aPayload;
    }
    static CRtRlbTcpPdu Unit(uint8_t aType) {
        CRtRlbTcpPdu p;
        p.type = aType;
        return p;
    }
    static std::string Request(uint16_t aTypeHigh, uint16_t aChannel = 0, uint32_t aTicket = 0, uint16_t aAck = 0) {
        CRtRlbTcpPdu a = Unit(RT_RLBTCP_PDU_CONN_REQ);
        a.connTypeHigh = aTypeHigh;
        a.channel = aChannel;
        a.ticket = aTicket;
        a.ack = aAck;
        return Encode(a);
    }
    static std::string Data(uint8_t aType, const std::string& aPayload, uint16_t aAck = 0) {
        CRtRlbTcpPdu g = Unit(aType);
        g.ack = aAck;
        g.length = static_cast<uint32_t>(aPayload.size());
        return Encode(g, aPayload);
    }

    bool Send(const std::string& aBytes) {
        size_t at = 0;
        bool ok = WaitUntil([&] {
            long n = rtos::SocketSend(m_Sock, aBytes.data() + at, aBytes.size() - at);
            if (n > 0)
                at += static_cast<size_t>(n);
            return at == aBytes.size() || (n < 0 && !rtos::SocketWouldBlock(rtos::LastSocketError()));
        });
        return ok && at == aBytes.size();
    }

    // The next unit within aMs, skipping 'D' and 'H' units unless asked
    // for; false on a timeout or when the server closed first.
    bool Next(RawUnit& aUnit, int aMs = 5000, bool aKeepAlives = false) {
        bool got = false;
        WaitUntil(
            [&] {
            // What came with the close is read first.
            bool open = Pump();
            RawUnit u;
            while (NextUnit(m_Reader, u) == RT_OK) {
                if (aKeepAlives || (u.pdu.type != RT_RLBTCP_PDU_KEEPALIVE && u.pdu.type != RT_RLBTCP_PDU_RTT)) {
                    aUnit = u;
                    got = true;
                    return true;
                }
            }
            return !open;
            },
            aMs);
        return got;
    }
    // Reads what came; false once the server closed.
    bool Pump() {
        if (m_bClosed)
            return false;
        char buf[8192];
        for (;;) {
            long n = rtos::SocketRecv(m_Sock, buf, sizeof buf);
            if (n > 0) {
                Feed(m_Reader, std::string(buf, static_cast<size_t>(n)));
                continue;
            }
            if (n == 0 || !rtos::SocketWouldBlock(rtos::LastSocketError()))
                m_bClosed = true;
            return !m_bClosed;
        }
    }
    bool WaitClosed(int aMs = 5000) {
        return WaitUntil([&] { return !Pump(); }, aMs);
    }
    // Handshake as a new client of aTypeHigh: the server's 'B'.
    RawUnit Hello(uint16_t aTypeHigh) {
        RawUnit b;
        EXPECT_TRUE(Send(Request(aTypeHigh)));
        EXPECT_TRUE(Next(b));
        EXPECT_EQ(RT_RLBTCP_PDU_CONN_RESP, b.pdu.type);
        return b;
    }

    const rtos::SocketHandle m_Sock;

private:
    bool m_bClosed = false;
    CRtRlbTcpUnitReader m_Reader;
};

}  // namespace rttest
