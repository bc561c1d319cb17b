// Turns a connection type word into a working acceptor or connector, always
// wrapped in a thread proxy so that any thread may use it; answers binding
// and load questions about the network threads.
#pragma once

#include <cstdint>

#include "RtConnectionManagerTypes.h"
#include "RtNetworkBase.h"
#include "RtUtilTemplates.h"

class IRtDetectionConnector;

class CRtConnectionManager {
public:
    typedef ::ThreadStrategy ThreadStrategy;
    typedef ::LBStrategy LBStrategy;

    // Makes sure the network thread records exist first.
    static CRtConnectionManager* Instance();

    RtResult CreateConnectionClient(uint32_t aType, IRtConnector*& aConClient,
                                    ThreadStrategy aThreadStrategy = TS_SINGLE_THREAD);
    // A detection connector with no items yet, used on the calling thread
    // (no thread proxy).
    RtResult CreateDetectionConnectionClient(IRtDetectionConnector*& aConClient);
    RtResult CreateConnectionServer(uint32_t aType, IRtAcceptor*& aAcceptor,
                                    ThreadStrategy aThreadStrategy = TS_SINGLE_THREAD,
                                    LBStrategy aLBStrategy = LB_CURRENT_THREAD);

    RtResult GetBindThreadId(IRtTransport* aTransport, uint32_t& aThreadId) const;
    RtResult GetThreadLoad(uint32_t aThreadId, int32_t& aLoad) const;
    RtResult GetThreadOfLeastLoad(uint32_t& aThreadId, int32_t* aLoad = nullptr) const;
    // Call on the transport's current network thread.
    RtResult RebindTransportWithThread(IRtTransport* aTransport, uint32_t aThreadId);

private:
    friend class CRtSingletonT<CRtConnectionManager>;
    // Its items are base connectors behind thread proxies of their own.
    friend class CRtDetectionConnector;
    CRtConnectionManager();
    ~CRtConnectionManager();

    RtResult CreateBaseConnector(uint32_t aType, IRtConnector*& aConnector);
    RtResult CreateConnConnector(uint32_t aType, IRtConnector*& aConnector);
    RtResult CreateBaseAcceptor(uint32_t aType, IRtAcceptor*& aAcceptor);
    RtResult CreateConnAcceptor(uint32_t aType, IRtAcceptor*& aAcceptor, LBStrategy aLBStrategy);
};
