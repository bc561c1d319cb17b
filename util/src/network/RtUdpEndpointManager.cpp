#include <cstring>

#include "RtConfig.h"
#include "RtDebug.h"
#include "RtThread.h"
#include "RtThreadManager.h"
#include "RtTransportUdp.h"
#include "RtUdpEndpoint.h"

// ---- CRtUdpAddressKey ------------------------------------------------------------

CRtUdpAddressKey::CRtUdpAddressKey(const rtos::SocketAddress& aAddr)
    : m_family(aAddr.family == rtos::kAfInet6 ? 1 : 0), m_port(aAddr.port) {
    memcpy(m_addr, aAddr.addr, m_family ? 16 : 4);
}

CRtUdpAddressKey::CRtUdpAddressKey(const CRtInetAddr& aAddr)
    : m_family(aAddr.GetType() == rtos::kAfInet6 ? 1 : 0), m_port(aAddr.GetPort()) {
    memcpy(m_addr, aAddr.GetAddrBytes(), m_family ? 16 : 4);
}

size_t CRtUdpAddressKeyHash::operator()(const CRtUdpAddressKey& aKey) const {
    // FNV-1a over the bytes that make the key.
    uint64_t h = 1469598103934665603ull;
    auto mix = [&h](uint8_t aByte) {
        h ^= aByte;
        h *= 1099511628211ull;
    };
    mix(aKey.m_family);
    mix(static_cast<uint8_t>(aKey.m_port >> 8));
    mix(static_cast<uint8_t>(aKey.m_port));
    for (int i = 0; i < (aKey.m_family ? 16 : 4); ++i)
        mix(aKey.m_addr[i]);
    return static_cast<size_t>(h);
}

// ---- CRtUdpEndpointManager ---------------------------------------------------------

CRtUdpEndpointManager* CRtUdpEndpointManager::Instance() { return CRtSingletonT<CRtUdpEndpointManager>::Instance(); }

CRtUdpEndpointManager::CRtUdpEndpointManager() : m_Endpoints(100) { RT_DEBUG_TRACE_THIS("CRtUdpEndpointManager"); }

CRtUdpEndpointManager::~CRtUdpEndpointManager() { RT_DEBUG_TRACE_THIS("~CRtUdpEndpointManager"); }

uint32_t CRtUdpEndpointManager::GetPeerLimit() const {
    if (m_dwPeerLimit)
        return m_dwPeerLimit;
    uint32_t configured = get_uint32_param("NETWORK", "UDP_MAX_PEERS");
    return configured ? configured : kDefaultPeerLimit;
}

size_t CRtUdpEndpointManager::GetEndpointCount() {
    CRtMutexGuardT<CRtMutexThreadRecursive> guard(m_Mutex);
    return m_Endpoints.size();
}

RtResult CRtUdpEndpointManager::FindUsable_l(const CRtUdpAddressKey& aKey, CRtUdpEndpoint*& aEndpoint) {
    aEndpoint = nullptr;
    auto found = m_Endpoints.find(aKey);
    if (found == m_Endpoints.end())
        return RT_OK;
    CRtThread* owner = found->second->GetNetworkThread();
    if (!CRtThreadManager::IsEqualCurrentThread(owner->GetThreadId())) {
        // Its socket, peers and timers belong to that thread alone.
        RT_ERROR_TRACE_THIS("CRtUdpEndpointManager, endpoint belongs to another network thread! threadid="
                            << owner->GetThreadId() << " ip=" << found->second->GetLocalAddr().GetIpDisplayName()
                            << " port=" << found->second->GetLocalAddr().GetPort());
        return RT_ERROR_UNEXPECTED;
    }
    aEndpoint = found->second.Get();
    return RT_OK;
}

void CRtUdpEndpointManager::Add_l(CRtUdpEndpoint* aEndpoint) {
    auto ret = m_Endpoints.emplace(CRtUdpAddressKey(aEndpoint->GetLocalAddr()), aEndpoint);
    RT_ASSERTE(ret.second == true);
    if (ret.second)
        aEndpoint->m_bInManager = true;
}

RtResult CRtUdpEndpointManager::StartListen(IRtAcceptorConnectorId* aAcceptor, IRtAcceptorConnectorSink* aSink,
                                            const CRtInetAddr& aLocal, bool aMarker, CRtInetAddr& aBound) {
    CRtThread* current = CRtThreadManager::Instance()->GetCurrentThread();
    RT_ASSERTE_RETURN(current && current->GetReactor(), RT_ERROR_NOT_INITIALIZED);
    uint32_t limit = GetPeerLimit();
    CRtMutexGuardT<CRtMutexThreadRecursive> guard(m_Mutex);
    CRtUdpEndpoint* existing = nullptr;
    RtResult rv = FindUsable_l(CRtUdpAddressKey(aLocal), existing);
    if (RT_FAILED(rv))
        return rv;
    CRtAutoPtr<CRtUdpEndpoint> endpoint(existing ? existing : new CRtUdpEndpoint(this, current));
    rv = endpoint->StartListen(aAcceptor, aSink, aLocal, aMarker, limit);
    if (RT_FAILED(rv))
        return rv;
    if (!existing)
        Add_l(endpoint.Get());
    aBound = endpoint->GetLocalAddr();
    return RT_OK;
}

RtResult CRtUdpEndpointManager::StopListen(const CRtInetAddr& aLocal) {
    CRtAutoPtr<CRtUdpEndpoint> endpoint;
    {
        CRtMutexGuardT<CRtMutexThreadRecursive> guard(m_Mutex);
        CRtUdpEndpoint* found = nullptr;
        RtResult rv = FindUsable_l(CRtUdpAddressKey(aLocal), found);
        if (RT_FAILED(rv))
            return rv;
        endpoint = found;
    }
    return endpoint ? endpoint->StopListen() : RT_OK;
}

RtResult CRtUdpEndpointManager::Connect(const CRtInetAddr& aPeer, const CRtInetAddr* aLocal,
                                        CRtTransportUdp*& aTransport) {
    RT_ASSERTE_RETURN(aPeer.IsResolved(), RT_ERROR_INVALID_ARG);
    CRtThread* current = CRtThreadManager::Instance()->GetCurrentThread();
    RT_ASSERTE_RETURN(current && current->GetReactor(), RT_ERROR_NOT_INITIALIZED);
    CRtMutexGuardT<CRtMutexThreadRecursive> guard(m_Mutex);
    CRtUdpEndpoint* existing = nullptr;
    if (aLocal) {
        RtResult rv = FindUsable_l(CRtUdpAddressKey(*aLocal), existing);
        if (RT_FAILED(rv))
            return rv;
    }
    CRtAutoPtr<CRtUdpEndpoint> endpoint(existing ? existing : new CRtUdpEndpoint(this, current));
    RtResult rv = endpoint->Connect(aPeer, aLocal, aTransport);
    if (RT_SUCCEEDED(rv) && !existing)
        Add_l(endpoint.Get());
    return rv;
}

void CRtUdpEndpointManager::RemoveEndpoint(CRtUdpEndpoint* aEndpoint) {
    CRtAutoPtr<CRtUdpEndpoint> last;
    CRtMutexGuardT<CRtMutexThreadRecursive> guard(m_Mutex);
    auto found = m_Endpoints.find(CRtUdpAddressKey(aEndpoint->GetLocalAddr()));
    size_t n = found != m_Endpoints.end() && found->second.Get() == aEndpoint ? 1 : 0;
    RT_ASSERTE(n == 1);
    if (n == 1) {
        last = found->second;
        m_Endpoints.erase(found);
    }
}
