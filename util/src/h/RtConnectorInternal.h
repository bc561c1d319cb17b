// What a connector wrapper or a proxy tunnel asks of the connector inside
// it. Inner connectors live on one network thread and tell the connector
// above them the outcome through its
// OnConnectIndication(RtResult, IRtTransport*, IRtConnectorInternal*).
#pragma once

#include "RtInetAddr.h"
#include "RtNetworkBase.h"
#include "RtString.h"

class IRtConnectorInternal {
public:
    // 0 when the attempt started (its outcome is told later, never from
    // inside this call); -1 when it failed at once (nothing is told).
    virtual int Connect(const CRtInetAddr& aAddr, CRtInetAddr* aAddrLocal = nullptr) = 0;
    // Stops the attempt; nothing is told afterwards.
    virtual int Close(RtResult aReason = RT_OK) = 0;
    // A tunnel: what it read from the connection behind the proxy's answer,
    // for whoever takes its transport over.
    virtual CRtString TakeUnreadData() { return CRtString(); }
    virtual ~IRtConnectorInternal() {}
};
