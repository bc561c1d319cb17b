// One remote UDP peer as an IRtTransport. Its datagrams arrive through the
// endpoint that owns the shared socket; each SendData sends one datagram.
// Used only on the endpoint's network thread (others go through the
// transport thread proxy).
#pragma once

#include "RtTimerWrapper.h"
#include "RtTransportTcp.h"
#include "RtUdpEndpoint.h"

class CRtTransportUdp : public CRtTransportBase, public CRtTimerWrapperSink {
public:
    // aAccepted: made for the first datagram of a new peer under a listener.
    CRtTransportUdp(CRtUdpEndpoint* aEndpoint, const rtos::SocketAddress& aPeer, bool aAccepted);

    RT_HANDLE GetHandle() const override;
    // The endpoint reads; the transport is never registered itself.
    int OnInput(RT_HANDLE) override { return 0; }

    // One datagram. RT_ERROR_PARTIAL_DATA when the socket would block: the
    // chain stays the caller's, and no OnSend follows (UDP keeps nothing).
    RtResult SendData(CRtMessageBlock& aData, bool aFlag = true, bool aDestroy = false, long aPriority = 2,
                      bool aPduFlag = true) override;
    RtResult SetOption(unsigned long aCommand, void* aArg) override;
    RtResult GetOption(unsigned long aCommand, void* aArg) override;

    void OnTimer(CRtTimerWrapper* aId) override;

    // From the endpoint: one datagram of this peer.
    void OnDatagram_i(char* aData, unsigned long aLen);
    // From the endpoint: the socket failed for this peer, or closed.
    void OnEndpointError_i(RtResult aReason);

    bool IsAccepted() const { return m_bAccepted; }
    // Null once closed.
    CRtUdpEndpoint* GetEndpoint() const { return m_pEndpoint.Get(); }
    const rtos::SocketAddress& GetPeer() const { return m_Peer; }

    static long GetLiveCount();

protected:
    ~CRtTransportUdp() override;

    RtResult Open_i() override { return m_pEndpoint ? RT_OK : RT_ERROR_NOT_INITIALIZED; }
    RtResult Close_i(RtResult aReason) override;

private:
    RtResult BindThread(CRtTransportBindThreadParam* aParam);
    RtResult SetIdleTimeout(uint16_t aSeconds);
    bool SocketOpen() const;

    CRtAutoPtr<CRtUdpEndpoint> m_pEndpoint;
    rtos::SocketAddress m_Peer;
    CRtInetAddr m_addrPeer;
    bool m_bAccepted;
    uint32_t m_dwLastRecv;
    uint16_t m_wIdleTimeout = 0;
    CRtTimerWrapper m_IdleTimer;
};
