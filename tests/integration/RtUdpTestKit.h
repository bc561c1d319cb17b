// What the UDP suites share: raw datagram sockets that play the remote
// side, and a sink that records (and may echo) what the framework delivers.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "RtConnectionManager.h"
#include "RtLoopback.h"
#include "RtOs.h"
#include "RtOsSocket.h"
#include "RtTestSupport.h"
#include "RtThreadManager.h"

namespace rttest {

// A numeric address with any port, 0 included (the host-and-port
// constructor refuses port 0).
inline CRtInetAddr IpAddr(const char* aIp, uint16_t aPort) {
    CRtInetAddr a;
    a.SetIpAddr(aIp);
    a.SetPortA(aPort);
    return a;
}

// A non-blocking datagram socket bound to a loopback port (0: any).
class RawUdp {
public:
    explicit RawUdp(uint16_t aPort = 0, int aFamily = rtos::kAfInet) : m_nFamily(aFamily) {
        m_hSock = rtos::SocketOpen(aFamily, rtos::SocketType::kDatagram);
        rtos::SocketAddress a = Loopback(aPort, aFamily);
        m_bOk = m_hSock != rtos::kInvalidSocket && rtos::SocketBind(m_hSock, a) == 0 &&
                rtos::SocketLocalAddress(m_hSock, &a) == 0 && rtos::SocketSetNonBlocking(m_hSock, true) == 0;
        m_nPort = a.port;
    }
    ~RawUdp() { Close(); }
    RawUdp(const RawUdp&) = delete;
    RawUdp& operator=(const RawUdp&) = delete;

    void Close() {
        if (m_hSock != rtos::kInvalidSocket)
            rtos::SocketClose(m_hSock);
        m_hSock = rtos::kInvalidSocket;
    }
    bool Ok() const { return m_bOk; }
    uint16_t Port() const { return m_nPort; }
    bool SendTo(uint16_t aPort, const std::string& aData) {
        return rtos::SocketSendTo(m_hSock, aData.data(), aData.size(), Loopback(aPort, m_nFamily)) ==
               static_cast<long>(aData.size());
    }
    // The next datagram within aMs (its sender's port in *aFrom), or false.
    bool Recv(std::string& aOut, int aMs = 5000, uint16_t* aFrom = nullptr) {
        char buf[65536];
        bool got = WaitUntil(
            [&] {
            rtos::SocketAddress from;
            long n = rtos::SocketRecvFrom(m_hSock, buf, sizeof buf, &from);
            if (n < 0)
                return false;
            aOut.assign(buf, static_cast<size_t>(n));
            if (aFrom)
                *aFrom = from.port;
            return true;
            },
            aMs);
        return got;
    }

private:
    rtos::SocketHandle m_hSock = rtos::kInvalidSocket;
    int m_nFamily;
    uint16_t m_nPort = 0;
    bool m_bOk = false;
};

// Records indications, datagrams and disconnects; callbacks may come on
// several threads.
class UdpSink : public IRtAcceptorConnectorSink, public IRtTransportSink {
public:
    void OnConnectIndication(RtResult aReason, IRtTransport* aTrpt, IRtAcceptorConnectorId*) override {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Results.push_back(aReason);
        m_nIndicationThread = CRtThreadManager::GetThreadSelfId();
        if (RT_FAILED(aReason) || !aTrpt)
            return;
        aTrpt->AddReference();
        aTrpt->OpenWithSink(this);
        m_Order.push_back(aTrpt);
        m_Received[aTrpt];
        CRtInetAddr peer;
        if (aTrpt->GetOption(RT_OPT_TRANSPORT_PEER_ADDR, &peer) == RT_OK)
            m_PeerPorts[aTrpt] = peer.GetPort();
        if (m_wIdle)
            aTrpt->SetOption(RT_OPT_TRANSPORT_UDP_IDLE_TIMEOUT, &m_wIdle);
        ++m_nIndications;
    }
    void OnReceive(CRtMessageBlock& aData, IRtTransport* aTrptId) override {
        m_nReceiveThread = CRtThreadManager::GetThreadSelfId();
        std::lock_guard<std::mutex> lock(m_Mutex);
        auto found = m_Received.find(aTrptId);
        if (found == m_Received.end()) {
            ++m_nUnknown;  // a datagram before its indication
            return;
        }
        found->second.push_back(aData.FlattenChained());
        ++m_nDatagrams;
        if (m_bEcho)
            aTrptId->SendData(aData);
    }
    void OnSend(IRtTransport*) override {}
    void OnDisconnect(RtResult aReason, IRtTransport* aTrptId) override {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Reasons[aTrptId] = aReason;
        ++m_nDisconnects;
    }

    // On the thread the callbacks run on: drops every transport.
    void ReleaseAll() {
        std::lock_guard<std::mutex> lock(m_Mutex);
        for (IRtTransport* t : m_Order) {
            t->Disconnect(RT_OK);
            t->ReleaseReference();
        }
        m_Order.clear();
    }
    std::vector<std::string> DatagramsOf(size_t aIndex) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return aIndex < m_Order.size() ? m_Received[m_Order[aIndex]] : std::vector<std::string>();
    }
    IRtTransport* Transport(size_t aIndex) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return aIndex < m_Order.size() ? m_Order[aIndex] : nullptr;
    }
    RtResult ReasonOf(size_t aIndex) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (aIndex >= m_Order.size())
            return RT_ERROR_NOT_FOUND;
        auto found = m_Reasons.find(m_Order[aIndex]);
        return found == m_Reasons.end() ? RT_OK : found->second;
    }
    std::vector<RtResult> Results() {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_Results;
    }
    std::map<IRtTransport*, std::vector<std::string>> Received() {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_Received;
    }
    uint16_t PeerPortOf(IRtTransport* aTrpt) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_PeerPorts[aTrpt];
    }
    std::map<IRtTransport*, RtResult> Reasons() {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_Reasons;
    }

    bool m_bEcho = false;
    uint16_t m_wIdle = 0;
    std::atomic<int> m_nIndications{0}, m_nDatagrams{0}, m_nDisconnects{0}, m_nUnknown{0};
    std::atomic<uint32_t> m_nIndicationThread{0}, m_nReceiveThread{0};

private:
    std::mutex m_Mutex;
    std::vector<IRtTransport*> m_Order;
    std::vector<RtResult> m_Results;
    std::map<IRtTransport*, std::vector<std::string>> m_Received;
    std::map<IRtTransport*, RtResult> m_Reasons;
    std::map<IRtTransport*, uint16_t> m_PeerPorts;
};

}  // namespace rttest
