// What a connector wrapper or a proxy tunnel asks of the connector inside
// it. Inner connectors live on one network thread.
#pragma once

#include "RtInetAddr.h"
#include "RtNetworkBase.h"

class IRtConnectorInternal {
public:
    // 0 when the attempt started (its outcome is told later), -1 when it
    // failed at once (nothing is told).
    virtual int Connect(const CRtInetAddr& aAddr, const CRtInetAddr* aAddrLocal = nullptr) = 0;
    // Stops the attempt; nothing is told afterwards.
    virtual void Close(RtResult aReason) = 0;
    virtual ~IRtConnectorInternal() {}
};
