// UDP peers over shared sockets. An endpoint owns one datagram socket bound
// to a local address and hands each datagram to the transport of its
// sender, making a transport (and indicating it to the listener) when a new
// sender speaks. The process-wide manager keeps the endpoints by local
// address, so that a UDP acceptor and UDP connectors on one address share
// its socket. An endpoint and its transports are used only on the network
// thread that made the endpoint; the manager may be called from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <unordered_map>

#include "RtInetAddr.h"
#include "RtMutex.h"
#include "RtNetworkBase.h"
#include "RtOsSocket.h"
#include "RtReactorInterface.h"
#include "RtSocket.h"
#include "RtUtilTemplates.h"

class CRtThread;
class CRtTransportUdp;
class CRtUdpEndpoint;

// A local or peer address as a map key: family, port and address bytes.
struct CRtUdpAddressKey {
    uint8_t m_family = 0;  // 0 IPv4, 1 IPv6
    uint16_t m_port = 0;
    uint8_t m_addr[16] = {};

    CRtUdpAddressKey() = default;
    explicit CRtUdpAddressKey(const rtos::SocketAddress& aAddr);
    explicit CRtUdpAddressKey(const CRtInetAddr& aAddr);

    bool operator==(const CRtUdpAddressKey& aOther) const {
        return m_family == aOther.m_family && m_port == aOther.m_port &&
               memcmp(m_addr, aOther.m_addr, m_family ? 16 : 4) == 0;
    }
};

struct CRtUdpAddressKeyHash {
    size_t operator()(const CRtUdpAddressKey& aKey) const;
};

class CRtUdpEndpointManager {
public:
    static constexpr uint32_t kDefaultPeerLimit = 4096;

    static CRtUdpEndpointManager* Instance();

    // Finds or makes the endpoint of aLocal on the calling network thread
    // and starts listening there. aBound receives the address the socket
    // is bound to (the port the system chose for port 0).
    RtResult StartListen(IRtAcceptorConnectorId* aAcceptor, IRtAcceptorConnectorSink* aSink, const CRtInetAddr& aLocal,
                         bool aMarker, CRtInetAddr& aBound);
    RtResult StopListen(const CRtInetAddr& aLocal);
    // A new transport to aPeer through the endpoint of aLocal (or a new
    // endpoint), with one reference for the caller.
    RtResult Connect(const CRtInetAddr& aPeer, const CRtInetAddr* aLocal, CRtTransportUdp*& aTransport);
    // An endpoint leaves: no more listens or connects find it.
    void RemoveEndpoint(CRtUdpEndpoint* aEndpoint);

    // Accepted peers one listening endpoint keeps at most (connected peers
    // do not count). 0 restores the configured value ([NETWORK]
    // UDP_MAX_PEERS in config.ini, else kDefaultPeerLimit). Applies to
    // listens started afterwards.
    void SetPeerLimit(uint32_t aLimit) { m_dwPeerLimit = aLimit; }
    uint32_t GetPeerLimit() const;
    // Tests: the largest datagram endpoints started afterwards deliver (0:
    // the thread's whole receive buffer).
    void SetReceiveSizeForTest(uint32_t aSize) { m_dwReceiveSize = aSize; }
    uint32_t GetReceiveSizeForTest() const { return m_dwReceiveSize; }

    // Endpoints the manager knows, and endpoints alive in the process (for
    // leak checks).
    size_t GetEndpointCount();
    static long GetLiveEndpoints();

private:
    friend class CRtSingletonT<CRtUdpEndpointManager>;
    CRtUdpEndpointManager();
    ~CRtUdpEndpointManager();

    typedef std::unordered_map<CRtUdpAddressKey, CRtAutoPtr<CRtUdpEndpoint>, CRtUdpAddressKeyHash> EndpointMap;
    // The endpoint of aKey (null when none); RT_ERROR_UNEXPECTED when
    // another network thread owns it.
    RtResult FindUsable_l(const CRtUdpAddressKey& aKey, CRtUdpEndpoint*& aEndpoint);
    void Add_l(CRtUdpEndpoint* aEndpoint);

    EndpointMap m_Endpoints;
    CRtMutexThreadRecursive m_Mutex;
    // Set from any thread.
    std::atomic<uint32_t> m_dwPeerLimit{0};
    std::atomic<uint32_t> m_dwReceiveSize{0};
};

class CRtUdpEndpoint : public CRtReferenceControlTimerDeleteT<CRtMutexThread>, public IRtEventHandler {
public:
    // Datagrams read per readiness at most: a flood must not starve the
    // thread's timers and events.
    static constexpr int kReadBatch = 64;

    CRtUdpEndpoint(CRtUdpEndpointManager* aManager, CRtThread* aThread);

    RtResult Open(const CRtInetAddr& aLocal);
    RtResult StartListen(IRtAcceptorConnectorId* aAcceptor, IRtAcceptorConnectorSink* aSink, const CRtInetAddr& aLocal,
                         bool aMarker, uint32_t aPeerLimit);
    RtResult StopListen();
    RtResult Connect(const CRtInetAddr& aPeer, const CRtInetAddr* aLocal, CRtTransportUdp*& aTransport);
    // A transport that closes leaves the peer map.
    void RemoveTransport(CRtTransportUdp* aTransport);

    RT_HANDLE GetHandle() const override { return m_Socket.GetHandle(); }
    int OnInput(RT_HANDLE aFd) override;
    int OnClose(RT_HANDLE aFd, MASK aMask) override;

    // One received datagram from aFrom, as OnInput hands it on (a seam for
    // the fuzzer: no socket involved).
    void OnDatagram(const rtos::SocketAddress& aFrom, char* aData, unsigned long aLen);

    CRtThread* GetNetworkThread() const { return m_networkThread; }
    CRtSocketDgram& GetSocket() { return m_Socket; }
    const CRtInetAddr& GetLocalAddr() const { return m_addrLocal; }
    bool IsListening() const { return m_pAcceptor != nullptr; }
    size_t GetPeerCount() const { return m_Peers.size(); }
    uint32_t GetAcceptedCount() const { return m_dwAccepted; }

protected:
    ~CRtUdpEndpoint() override;

private:
    friend class CRtUdpEndpointManager;

    typedef std::unordered_map<CRtUdpAddressKey, CRtAutoPtr<CRtTransportUdp>, CRtUdpAddressKeyHash> PeerMap;

    // Leaves the manager and the reactor and closes the socket, at once.
    void Leave_i();
    // Closes every transport (or every accepted one), walking a copy.
    void CloseTransports_i(bool aAcceptedOnly, RtResult aReason, bool aTellSink);
    void OnRecvError_i(const rtos::SocketAddress& aFrom, bool aHaveFrom, int aError);
    void OnOversized_i(const rtos::SocketAddress& aFrom, size_t aSize, unsigned long aMax);
    void CountDropped_i();
    char* ReceiveBuffer_i(unsigned long& aLen);

    CRtUdpEndpointManager* m_pManager;
    CRtThread* m_networkThread;
    IRtAcceptorConnectorId* m_pAcceptor = nullptr;
    IRtAcceptorConnectorSink* m_pSink = nullptr;
    bool m_bMarker = false;
    uint32_t m_dwPeerLimit = CRtUdpEndpointManager::kDefaultPeerLimit;
    uint32_t m_dwAccepted = 0;
    CRtSocketDgram m_Socket;
    CRtInetAddr m_addrLocal;
    PeerMap m_Peers;
    bool m_bInManager = false;
    char* m_pOwnBuffer = nullptr;
    uint32_t m_dwReceiveSize = 0;
    // New senders dropped past the peer limit, told at most once a second.
    uint32_t m_dwDropped = 0;
    uint32_t m_dwDropReportTick = 0;
    bool m_bDropReported = false;
};
