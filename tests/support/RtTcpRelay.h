// A TCP relay for fault injection, built on the framework's acceptor,
// direct connector and transport (so it runs wherever they do, Wine
// included): each connection accepted is joined to a new connection to the
// target, and bytes are forwarded both ways. It can cut every joined pair
// after a given number of forwarded bytes (so mid-unit), hold the bytes
// back for a while, and refuse new connections. Network thread only.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "RtAcceptorTcp.h"
#include "RtConnectorTcp.h"
#include "RtTransportTcp.h"

namespace rttest {

class TcpRelay : public IRtAcceptorConnectorSink {
public:
    TcpRelay() : m_pAcceptor(new CRtAcceptorTcp) { m_pAcceptor->AddReference(); }
    ~TcpRelay() {
        Stop();
        m_pAcceptor->ReleaseReference();
    }

    RtResult Start(uint16_t aListenPort, uint16_t aTargetPort) {
        m_nTargetPort = aTargetPort;
        return m_pAcceptor->StartListen(this, CRtInetAddr("127.0.0.1", aListenPort));
    }
    void Stop() {
        m_pAcceptor->StopListen(RT_OK);
        CutAll();
    }

    // Ends every joined pair on both sides.
    // The pairs are kept until the relay goes: a cut may come from inside
    // one of their callbacks.
    void CutAll() {
        std::map<Pair*, std::unique_ptr<Pair>> pairs;
        pairs.swap(m_Pairs);
        for (auto& p : pairs) {
            p.second->Close();
            m_Dead.push_back(std::move(p.second));
        }
        ++m_nCuts;
    }
    // Cuts every pair once aBytes more have been forwarded (either way).
    void CutAfter(long aBytes) { m_nCutBudget = aBytes; }
    // Holds forwarded bytes back while set; they follow in order after.
    void Stall(bool aOn) {
        m_bStalled = aOn;
        if (!aOn) {
            for (auto& p : m_Pairs)
                p.second->FlushBoth();
        }
    }
    // Closes new connections at once while set.
    void Refuse(bool aOn) { m_bRefuse = aOn; }

    int Accepted() const { return m_nAccepted; }
    int Cuts() const { return m_nCuts; }

    void OnConnectIndication(RtResult aReason, IRtTransport* aTrpt, IRtAcceptorConnectorId*) override {
        if (RT_FAILED(aReason) || !aTrpt || m_bRefuse)
            return;  // dropped: the acceptor releases and closes it
        ++m_nAccepted;
        std::unique_ptr<Pair> pair(new Pair(*this, aTrpt));
        Pair* raw = pair.get();
        m_Pairs[raw] = std::move(pair);
        raw->ConnectUp(m_nTargetPort);
    }

private:
    class Pair;
    // One direction of a pair.
    class Side : public IRtTransportSink {
    public:
        Side(Pair& aPair, bool aDown) : m_Pair(aPair), m_bDown(aDown) {}
        void OnReceive(CRtMessageBlock& aData, IRtTransport*) override {
            m_Pair.Forward(m_bDown, aData.FlattenChained());
        }
        void OnSend(IRtTransport*) override { m_Pair.Flush(!m_bDown); }
        void OnDisconnect(RtResult, IRtTransport*) override { m_Pair.Lost(); }

    private:
        Pair& m_Pair;
        bool m_bDown;
    };

    class Pair {
    public:
        typedef CRtConnectorTcpT<Pair, CRtTransportTcp, CRtSocketStream> Connector;

        Pair(TcpRelay& aRelay, IRtTransport* aDown)
            : m_Relay(aRelay), m_Down(aDown), m_DownSide(*this, true), m_UpSide(*this, false) {
            m_Down->OpenWithSink(&m_DownSide);
        }
        ~Pair() { Close(); }

        void ConnectUp(uint16_t aPort) {
            m_pConnector.reset(new Connector(CRtThreadManager::Instance()->GetCurrentThread(), *this));
            if (m_pConnector->Connect(CRtInetAddr("127.0.0.1", aPort)) != 0)
                Lost();
        }
        void OnConnectIndication(RtResult aReason, IRtTransport* aTrpt, IRtConnectorInternal*) {
            if (RT_FAILED(aReason) || !aTrpt) {
                Lost();
                return;
            }
            m_Up = aTrpt;
            m_Up->OpenWithSink(&m_UpSide);
            FlushBoth();
        }
        // Bytes from the down side (aFromDown) or the up side.
        void Forward(bool aFromDown, const std::string& aBytes) {
            (aFromDown ? m_strToUp : m_strToDown) += aBytes;
            Flush(aFromDown);
        }
        void FlushBoth() {
            Flush(true);
            Flush(false);
        }
        // Sends what waits towards the up side (aToUp) or the down side.
        void Flush(bool aToUp) {
            std::string& queue = aToUp ? m_strToUp : m_strToDown;
            IRtTransport* to = aToUp ? m_Up.Get() : m_Down.Get();
            while (to && !queue.empty() && !m_Relay.m_bStalled) {
                size_t chunk = queue.size();
                const bool cut = m_Relay.m_nCutBudget >= 0 && static_cast<long>(chunk) >= m_Relay.m_nCutBudget;
                if (cut)
                    chunk = static_cast<size_t>(m_Relay.m_nCutBudget);
                CRtMessageBlock mb(static_cast<unsigned long>(chunk), queue.data(), CRtMessageBlock::DONT_DELETE,
                                   static_cast<unsigned long>(chunk));
                RtResult rv = chunk ? to->SendData(mb) : RT_OK;
                size_t sent = chunk - mb.GetChainedLength();
                if (rv == RT_OK)
                    sent = chunk;
                queue.erase(0, sent);
                if (m_Relay.m_nCutBudget >= 0)
                    m_Relay.m_nCutBudget -= static_cast<long>(sent);
                if (m_Relay.m_nCutBudget == 0) {
                    m_Relay.m_nCutBudget = -1;
                    m_Relay.CutAll();  // deletes this pair
                    return;
                }
                if (rv != RT_OK)
                    return;
            }
        }
        void Close() {
            if (m_pConnector)
                m_pConnector->Close(RT_OK);
            if (m_Down)
                m_Down->Disconnect(RT_OK);
            if (m_Up)
                m_Up->Disconnect(RT_OK);
            m_Down = nullptr;
            m_Up = nullptr;
        }
        // One side ended: so does the other.
        void Lost() {
            Close();
            m_Relay.Forget(this);
        }

    private:
        TcpRelay& m_Relay;
        CRtAutoPtr<IRtTransport> m_Down;
        CRtAutoPtr<IRtTransport> m_Up;
        Side m_DownSide;
        Side m_UpSide;
        std::unique_ptr<Connector> m_pConnector;
        std::string m_strToUp;
        std::string m_strToDown;
    };

    // Deleted on a later pass: the pair is inside one of its callbacks.
    void Forget(Pair* aPair) {
        auto it = m_Pairs.find(aPair);
        if (it == m_Pairs.end())
            return;
        m_Dead.push_back(std::move(it->second));
        m_Pairs.erase(it);
    }

    CRtAcceptorTcp* m_pAcceptor;
    uint16_t m_nTargetPort = 0;
    std::map<Pair*, std::unique_ptr<Pair>> m_Pairs;
    std::vector<std::unique_ptr<Pair>> m_Dead;
    long m_nCutBudget = -1;
    bool m_bStalled = false;
    bool m_bRefuse = false;
    // Read by the test's thread.
    std::atomic<int> m_nAccepted{0};
    std::atomic<int> m_nCuts{0};
};

}  // namespace rttest
