#include "RtConnectionManager.h"

#include "RtAcceptorTcp.h"
#include "RtAcceptorUdp.h"
#include "RtConnAcceptor.h"
#include "RtConnConnector.h"
#include "RtConnRlbTcpClient.h"
#include "RtConnRlbTcpServer.h"
#include "RtConnectorWrapper.h"
#include "RtRudpConn.h"
#include "RtDebug.h"
#include "RtDetectionConnector.h"
#include "RtNetworkThreadManager.h"
#include "RtThread.h"
#include "RtThreadManager.h"
#include "RtThreadProxy.h"

namespace {
bool HasAll(uint32_t aType, uint32_t aBits) { return (aType & aBits) == aBits; }
}  // namespace

CRtConnectionManager* CRtConnectionManager::Instance() {
    CRtNetworkThreadManager::Instance();
    return CRtSingletonT<CRtConnectionManager>::Instance();
}

CRtConnectionManager::CRtConnectionManager() { RT_DEBUG_TRACE_THIS("CRtConnectionManager"); }

CRtConnectionManager::~CRtConnectionManager() { RT_DEBUG_TRACE_THIS("~CRtConnectionManager"); }

RtResult CRtConnectionManager::CreateConnectionClient(uint32_t aType, IRtConnector*& aConClient,
                                                      ThreadStrategy aThreadStrategy) {
    RT_ASSERTE(!aConClient);
    IRtConnector* inner = nullptr;
    RtResult rv =
        (aType & CTYPE_CONNECTION_MASK) ? CreateConnConnector(aType, inner) : CreateBaseConnector(aType, inner);
    if (RT_FAILED(rv))
        return rv;
    aConClient = new CRtConnectorThreadProxy(aType, aThreadStrategy, inner);
    aConClient->AddReference();
    inner->ReleaseReference();
    return RT_OK;
}

RtResult CRtConnectionManager::CreateConnectionServer(uint32_t aType, IRtAcceptor*& aAcceptor,
                                                      ThreadStrategy aThreadStrategy, LBStrategy aLBStrategy) {
    RT_ASSERTE(!aAcceptor);
    IRtAcceptor* inner = nullptr;
    RtResult rv = (aType & CTYPE_CONNECTION_MASK) ? CreateConnAcceptor(aType, inner, aLBStrategy)
                                                  : CreateBaseAcceptor(aType, inner);
    if (RT_FAILED(rv))
        return rv;
    aAcceptor = new CRtAcceptorThreadProxy(aType, aThreadStrategy, aLBStrategy, inner);
    aAcceptor->AddReference();
    inner->ReleaseReference();
    return RT_OK;
}

RtResult CRtConnectionManager::CreateDetectionConnectionClient(IRtDetectionConnector*& aConClient) {
    RT_ASSERTE(!aConClient);
    aConClient = new CRtDetectionConnector;
    aConClient->AddReference();
    return RT_OK;
}

RtResult CRtConnectionManager::CreateBaseConnector(uint32_t aType, IRtConnector*& aConnector) {
    aConnector = nullptr;
    switch (aType) {
    case CTYPE_TCP:
    case CTYPE_UDP:
    case 4:
    case 8:
    case 12:
    case CTYPE_PROXY: {
        CRtConnectorWrapper* wrapper = new CRtConnectorWrapper;
        wrapper->AddReference();
        RtResult rv = wrapper->Init(aType);
        if (RT_FAILED(rv)) {
            wrapper->ReleaseReference();
            return rv;
        }
        aConnector = wrapper;
        return RT_OK;
    }
    case CTYPE_PROXY_DETECT: {
        CRtDetectionConnector* detection = new CRtDetectionConnector;
        detection->AddReference();
        RtResult rv = detection->AddConnection(CTYPE_PROXY, CRtInetAddr());
        if (RT_SUCCEEDED(rv))
            rv = detection->AddConnection(CTYPE_TCP, CRtInetAddr());
        if (RT_FAILED(rv)) {
            detection->ReleaseReference();
            return rv;
        }
        aConnector = detection;
        return RT_OK;
    }
    default:
        RT_ERROR_TRACE("CRtConnectionManager::CreateBaseConnector, wrong type=" << aType);
        return RT_ERROR_INVALID_ARG;
    }
}

RtResult CRtConnectionManager::CreateConnConnector(uint32_t aType, IRtConnector*& aConnector) {
    IRtConnector* base = nullptr;
    RtResult rv = CreateBaseConnector(aType & 0xFFFF, base);
    if (RT_FAILED(rv))
        return rv;
    aConnector = nullptr;
    if (HasAll(aType, 0x20001) || HasAll(aType, 0x60001) || HasAll(aType, 0x68000)) {
        aConnector = new CConnConnectorT<CRtConnRlbTcpClient>(base, aType, false);
        aConnector->AddReference();
    } else if (HasAll(aType, 0x120002)) {
        aConnector = new CConnConnectorT<CRtRudpConnClient>(base, aType, true);
        aConnector->AddReference();
    } else {
        RT_ERROR_TRACE("CRtConnectionManager::CreateConnConnector, invalid type=" << aType);
        rv = RT_ERROR_INVALID_ARG;
    }
    base->ReleaseReference();
    return rv;
}

RtResult CRtConnectionManager::CreateBaseAcceptor(uint32_t aType, IRtAcceptor*& aAcceptor) {
    aAcceptor = nullptr;
    if (aType == CTYPE_TCP) {
        aAcceptor = new CRtAcceptorTcp;
        aAcceptor->AddReference();
        return RT_OK;
    }
    if (aType == CTYPE_UDP) {
        aAcceptor = new CRtAcceptorUdp;
        aAcceptor->AddReference();
        return RT_OK;
    }
    RT_ERROR_TRACE("CRtConnectionManager::CreateConnectionServer, wrong type=" << aType);
    return RT_ERROR_INVALID_ARG;
}

RtResult CRtConnectionManager::CreateConnAcceptor(uint32_t aType, IRtAcceptor*& aAcceptor, LBStrategy aLBStrategy) {
    IRtAcceptor* base = nullptr;
    RtResult rv = CreateBaseAcceptor(aType & 0xFFFF, base);
    if (RT_FAILED(rv))
        return rv;
    aAcceptor = nullptr;
    if (HasAll(aType, 0x20001) || HasAll(aType, 0x60001)) {
        CRtAutoPtr<ServerListT<CRtConnRlbTcpServer>> list(new ServerListT<CRtConnRlbTcpServer>(true));
        aAcceptor = new CConnAcceptorT<CRtConnRlbTcpServer>(base, list.Get(), aType, aLBStrategy, true);
        aAcceptor->AddReference();
    } else if (HasAll(aType, 0x120002)) {
        static_cast<CRtAcceptorUdp*>(base)->SetMarker(true);
        const bool keepAlive = (aType & RT_RUDP_TYPE_SERVER_KEEPALIVE) != 0;
        CRtAutoPtr<ServerListT<CRtRudpConnServer>> list(new ServerListT<CRtRudpConnServer>(keepAlive));
        aAcceptor = new CConnAcceptorT<CRtRudpConnServer>(base, list.Get(), aType, aLBStrategy, keepAlive);
        aAcceptor->AddReference();
    } else {
        RT_ERROR_TRACE("CRtConnectionManager::CreateConnAcceptor, invalid type=" << aType);
        rv = RT_ERROR_INVALID_ARG;
    }
    base->ReleaseReference();
    return rv;
}

RtResult CRtConnectionManager::GetBindThreadId(IRtTransport* aTransport, uint32_t& aThreadId) const {
    RT_ASSERTE_RETURN(aTransport, RT_ERROR_INVALID_ARG);
    return aTransport->GetOption(RT_OPT_BIND_THREAD, &aThreadId);
}

RtResult CRtConnectionManager::GetThreadLoad(uint32_t aThreadId, int32_t& aLoad) const {
    return CRtNetworkThreadManager::Instance()->GetThreadLoad(aThreadId, aLoad);
}

RtResult CRtConnectionManager::GetThreadOfLeastLoad(uint32_t& aThreadId, int32_t* aLoad) const {
    CRtThreadInfo* info = CRtNetworkThreadManager::Instance()->GetThreadOfLeastLoad();
    if (!info)
        return RT_ERROR_NOT_FOUND;
    aThreadId = info->m_pThread->GetThreadId();
    if (aLoad)
        *aLoad = info->m_load;
    return RT_OK;
}

RtResult CRtConnectionManager::RebindTransportWithThread(IRtTransport* aTransport, uint32_t aThreadId) {
    uint32_t bound = 0;
    RtResult rv = GetBindThreadId(aTransport, bound);
    if (RT_FAILED(rv)) {
        RT_ERROR_TRACE("CRtConnectionManager::RebindTransportWithThread, GetBindThreadId failed! rv="
                       << rv << " trpt=" << static_cast<const void*>(aTransport));
        return rv;
    }
    if (!CRtThreadManager::IsEqualCurrentThread(bound)) {
        RT_ERROR_TRACE(
            "CRtConnectionManager::RebindTransportWithThread, current thread is not the bound thread of "
            "the transport! ThreadId="
            << bound << " trpt=" << static_cast<const void*>(aTransport));
        return RT_ERROR_UNEXPECTED;
    }
    if (CRtThreadManager::IsThreadEqual(bound, aThreadId))
        return RT_OK;
    uint32_t value = 0;
    aTransport->GetOption(144, &value);
    CRtThread* target = CRtThreadManager::Instance()->GetNetworkThread(aThreadId);
    if (!target) {
        RT_ERROR_TRACE(
            "CRtConnectionManager::RebindTransportWithThread, network thread not found! threadid=" << aThreadId);
        return RT_ERROR_NOT_FOUND;
    }
    CRtTransportBindThreadParam param;
    param.m_thread = target;
    param.m_load = value;
    return aTransport->SetOption(RT_OPT_BIND_THREAD, &param);
}
