// The UDP listener: new peers of the endpoint bound to the listen address
// are indicated to the sink, with this acceptor as their origin. Used only
// on its network thread (users go through the acceptor thread proxy).
#pragma once

#include "RtAcceptorTcp.h"

class CRtAcceptorUdp : public CRtAcceptorBase {
public:
    CRtAcceptorUdp() = default;

    RtResult StartListen(IRtAcceptorConnectorSink* aSink, const CRtInetAddr& aAddrListen) override;
    RtResult StopListen(RtResult aReason) override;

    // Set before listening: only a first datagram of the two bytes 0x00
    // 0xFF makes a new peer (the reliable UDP connection's opening).
    void SetMarker(bool aMarker) { m_bMarker = aMarker; }
    // The address the socket is bound to while listening.
    const CRtInetAddr& GetListenAddr() const { return m_addrListen; }

protected:
    ~CRtAcceptorUdp() override;

private:
    bool m_bListening = false;
    CRtInetAddr m_addrListen;
    bool m_bMarker = false;
};
