// What every reliable connection is: a transport towards its user and a
// sink towards the transport below it, with a connection status. A
// connection belongs to one network thread (its bound thread); all its
// operations run there.
#pragma once

#include <atomic>
#include <cstdint>

#include "RtNetworkBase.h"
#include "RtUtilTemplates.h"

// Options the reliable connections answer themselves (others go to the
// transport below).
#define RT_OPT_CONN_MAX_SEND_BUF 132        // uint32_t: send buffer limit in bytes, at least 1
#define RT_OPT_CONN_KEEPALIVE_INTERVAL 134  // uint32_t seconds
#define RT_OPT_CONN_UPLOAD_LIMIT 142        // uint32_t bytes per second, clamped to 1024 .. 0x8000000
#define RT_OPT_CONN_IDLE_TIMEOUT 145        // uint16_t seconds; the keep-alive interval follows
#define RT_OPT_CONN_RTT_TOGGLE 146          // no argument: round-trip probes on / off

enum ERtConnStatus : uint16_t {
    CS_UNCONNECTED = 1,
    CS_CONNECTED = 2,
    CS_RECONNECTING = 3,
    CS_RECONNECTED = 4,
    CS_ESTABLISHED = 5,
    CS_WAIT_RECONNECT = 6,
};

class CRtConnBase : public IRtTransport,
                    public IRtTransportSink,
                    public IRtAcceptorConnectorSink,
                    public CRtReferenceControlTimerDeleteT<CRtMutexThread> {
public:
    uint32_t AddReference() override { return CRtReferenceControlTimerDeleteT::AddReference(); }
    uint32_t ReleaseReference() override { return CRtReferenceControlTimerDeleteT::ReleaseReference(); }

    // Replaces the sink; a connection has no socket of its own to open.
    RtResult OpenWithSink(IRtTransportSink* aSink) override;
    IRtTransportSink* GetSink() override { return m_sink; }

    uint16_t GetStatus() const { return m_status.load(std::memory_order_acquire); }

protected:
    CRtConnBase() = default;
    ~CRtConnBase() override = default;

    void SetStatus(uint16_t inStatus);

    IRtTransportSink* m_sink = nullptr;
    // Whoever holds it is the transport this connection speaks over;
    // callbacks from any other are stale.
    CRtAutoPtr<IRtTransport> m_lowerTransport;

private:
    // Read by the thread that hands a connection to another one.
    std::atomic<uint16_t> m_status{CS_UNCONNECTED};
};
