// A tunnel through a SOCKS4 or SOCKS5 proxy: connects to the proxy with a
// direct TCP connector, asks it for the target (greeting, user name and
// password when the proxy information has them, connect request) and hands
// the transport to the proxy, now carrying the target's connection, to the
// connector above it. Runs on one network thread.
#pragma once

#include <cstring>
#include <string>

#include "RtConnectorTcp.h"
#include "RtHttpProxyInfo.h"
#include "RtHttpProxyManager.h"
#include "RtMessageBlock.h"
#include "RtReferenceControl.h"

template <class UpperType, class TrptType, class SockType>
class CRtConnectorSocksProxyT : public IRtConnectorInternal, public IRtTransportSink {
public:
    enum { STATE_IDLE = 0, STATE_GREETING = 1, STATE_AUTH = 2, STATE_CONNECT = 3, STATE_SUCCESS = 4 };
    // Replies are short; more than this before a reply is complete is not
    // a SOCKS proxy talking.
    static constexpr size_t kMaxReply = 512;

    CRtConnectorSocksProxyT(CRtThread* aNetworkThread, UpperType& aUpper, CRtHttpProxyInfo* aProxy)
        : m_upper(aUpper), m_TcpConnector(aNetworkThread, *this), m_pProxyInfo(aProxy) {
        RT_ASSERTE(m_pProxyInfo);
        if (m_pProxyInfo)
            m_pProxyInfo->AddReference();
    }
    ~CRtConnectorSocksProxyT() override {
        Close(RT_OK);
        if (m_pProxyInfo)
            m_pProxyInfo->ReleaseReference();
    }

    int Connect(const CRtInetAddr& aAddr, CRtInetAddr* aAddrLocal = nullptr) override {
        Close(RT_OK);
        RT_ASSERTE_RETURN(m_pProxyInfo, -1);
        m_addrTarget = aAddr;
        CRtInetAddr proxy(m_pProxyInfo->GetHostName().c_str(), m_pProxyInfo->GetPort());
        return m_TcpConnector.Connect(proxy, aAddrLocal);
    }

    int Close(RtResult aReason = RT_OK) override {
        m_TcpConnector.Close(aReason);
        ReleaseTransport(aReason);
        m_State = STATE_IDLE;
        m_strReply.clear();
        return 0;
    }

    int GetState() const { return m_State; }

    // The target's first bytes when they came with the proxy's last reply.
    CRtString TakeUnreadData() override {
        CRtString out(m_strReply.data(), m_strReply.size());
        m_strReply.clear();
        return out;
    }

    // The direct connector's outcome: connected to the proxy, or not.
    void OnConnectIndication(RtResult aReason, IRtTransport* aTrpt, IRtConnectorInternal*) {
        if (RT_FAILED(aReason) || !aTrpt) {
            Fail_i(RT_ERROR_NETWORK_SOCKET_ERROR);
            return;
        }
        m_pTransport = aTrpt;
        m_pTransport->AddReference();
        if (RT_FAILED(m_pTransport->OpenWithSink(this))) {
            Fail_i(RT_ERROR_NETWORK_SOCKET_ERROR);
            return;
        }
        // A target or credentials the protocol cannot carry are the caller's
        // fault, not the proxy's: told as such, and nothing goes out.
        RtResult rv = StartNewRequest();
        if (RT_FAILED(rv) && m_pTransport)
            Fail_i(rv == RT_ERROR_INVALID_ARG ? rv : RT_ERROR_NETWORK_SOCKET_ERROR);
    }

    void OnReceive(CRtMessageBlock& aData, IRtTransport*) override {
        // A reply may come in pieces or, in theory, with the next one: take
        // exactly one reply at a time.
        if (!m_pTransport)
            return;
        m_strReply += std::string(aData.FlattenChained().c_str(), aData.GetChainedLength());
        while (m_pTransport && m_State != STATE_SUCCESS) {
            // The target's first bytes may come joined to the last reply, so
            // only an incomplete reply is held to the bound.
            size_t need = ReplyLength();
            if (need == 0 && m_strReply.size() <= kMaxReply)
                return;  // wait for more
            if (need == 0 || need == SIZE_MAX) {
                Fail_i(RT_ERROR_NETWORK_SOCKET_ERROR);
                return;
            }
            std::string reply = m_strReply.substr(0, need);
            m_strReply.erase(0, need);
            if (!OnReply(reply))
                return;
        }
    }

    void OnSend(IRtTransport*) override { RT_ASSERTE(!"CRtConnectorSocksProxyT::OnSend, it shouldn't be called!"); }

    void OnDisconnect(RtResult aReason, IRtTransport*) override {
        if (!m_pTransport)
            return;
        RT_WARNING_TRACE_THIS("CRtConnectorSocksProxyT::OnDisconnect, the proxy closed during the handshake, reason="
                              << aReason << " state=" << m_State);
        Fail_i(RT_ERROR_NETWORK_SOCKET_ERROR);
    }

protected:
    bool IsSocks4() const { return m_pProxyInfo->GetProxyType() == CRtHttpProxyInfo::SOCK4_PROXY; }

    // Bytes of the complete reply expected in this state; 0 while too few
    // have come to tell; SIZE_MAX for a reply that cannot be one.
    size_t ReplyLength() const {
        const std::string& r = m_strReply;
        switch (m_State) {
        case STATE_GREETING:
        case STATE_AUTH:
            return r.size() >= 2 ? 2 : 0;
        case STATE_CONNECT:
            if (IsSocks4())
                return r.size() >= 8 ? 8 : 0;
            if (r.size() < 5)
                return 0;
            if (static_cast<uint8_t>(r[0]) != 0x05 || r[1] != 0x00)
                return r.size();  // a refusal: judged as it stands
            switch (static_cast<uint8_t>(r[3])) {
            case 0x01:
                return Enough(10);
            case 0x04:
                return Enough(22);
            case 0x03:
                return Enough(7 + static_cast<uint8_t>(r[4]));
            default:
                return SIZE_MAX;
            }
        default:
            return SIZE_MAX;
        }
    }
    size_t Enough(size_t aLength) const { return m_strReply.size() >= aLength ? aLength : 0; }

    // false when the attempt ended.
    bool OnReply(const std::string& aReply) {
        const uint8_t b0 = static_cast<uint8_t>(aReply[0]);
        const uint8_t b1 = aReply.size() > 1 ? static_cast<uint8_t>(aReply[1]) : 0;
        switch (m_State) {
        case STATE_GREETING:
            if (b0 == 0x05 && b1 == 0x02) {
                std::string auth(1, '\x01');
                const CRtString& user = m_pProxyInfo->GetUserName();
                const CRtString& pass = m_pProxyInfo->GetPasswd();
                auth += static_cast<char>(user.size());
                auth.append(user.c_str(), user.size());
                auth += static_cast<char>(pass.size());
                auth.append(pass.c_str(), pass.size());
                m_State = STATE_AUTH;
                return Send_i(auth);
            }
            RT_WARNING_TRACE_THIS("CRtConnectorSocksProxyT::OnReceive, fail4, len="
                                  << aReply.size() << " buf[0]=" << int(b0) << " buf[1]=" << int(b1));
            break;
        case STATE_AUTH:
            if (b1 == 0x00) {
                m_State = STATE_CONNECT;
                return Send_i(Socks5Request());
            }
            RT_WARNING_TRACE_THIS("CRtConnectorSocksProxyT::OnReceive, fail1, len=" << aReply.size());
            break;
        case STATE_CONNECT:
            if (IsSocks4() ? (b0 == 0x00 && b1 == 0x5A) : (b0 == 0x05 && b1 == 0x00)) {
                m_State = STATE_SUCCESS;
                Succeed_i();
                return false;
            }
            RT_WARNING_TRACE_THIS((IsSocks4() ? "CRtConnectorSocksProxyT::OnReceive, fail2, len="
                                              : "CRtConnectorSocksProxyT::OnReceive, fail3, len=")
                                  << aReply.size());
            break;
        default:
            break;
        }
        Fail_i(RT_ERROR_NETWORK_SOCKET_ERROR);
        return false;
    }

    RtResult StartNewRequest() {
        if (m_State != STATE_IDLE) {
            RT_ERROR_TRACE_THIS("CRtConnectorSocksProxyT::StartNewRequest, wrong state=" << m_State);
            return RT_ERROR_UNEXPECTED;
        }
        // Names longer than a SOCKS5 length byte holds are refused for
        // SOCKS4a too: no proxy resolves them, and DNS names stop at 253.
        if (!m_addrTarget.IsResolved() && m_addrTarget.GetHostName().size() > 255) {
            RT_ERROR_TRACE_THIS("CRtConnectorSocksProxyT::StartNewRequest, host name longer than 255 bytes");
            return RT_ERROR_INVALID_ARG;
        }
        if (IsSocks4()) {
            std::string request;
            if (!Socks4Request(request)) {
                RT_ERROR_TRACE_THIS("CRtConnectorSocksProxyT::StartNewRequest, SOCKS4 reaches IPv4 targets only");
                return RT_ERROR_INVALID_ARG;
            }
            m_State = STATE_CONNECT;
            return Send_i(request) ? RT_OK : RT_ERROR_NETWORK_SOCKET_ERROR;
        }
        const bool credentials = !m_pProxyInfo->GetUserName().empty() || !m_pProxyInfo->GetPasswd().empty();
        // RFC 1929 gives each a one-byte length: a longer one would be cut
        // and the rest read as the password.
        if (m_pProxyInfo->GetUserName().size() > 255 || m_pProxyInfo->GetPasswd().size() > 255) {
            RT_ERROR_TRACE_THIS(
                "CRtConnectorSocksProxyT::StartNewRequest, user name or password longer than 255 bytes");
            return RT_ERROR_INVALID_ARG;
        }
        m_State = credentials ? STATE_GREETING : STATE_AUTH;
        return Send_i(std::string(credentials ? "\x05\x01\x02" : "\x05\x01\x00", 3)) ? RT_OK
                                                                                     : RT_ERROR_NETWORK_SOCKET_ERROR;
    }

    // A name the framework has not resolved goes to the proxy as a name
    // (SOCKS4a): the proxy may see names this host cannot.
    bool Socks4Request(std::string& aOut) const {
        aOut.assign("\x04\x01", 2);
        AppendPort(aOut);
        if (!m_addrTarget.IsResolved()) {
            aOut.append("\x00\x00\x00\x01", 4);
            aOut.append("kzm", 4);  // with its terminating 0
            aOut.append(m_addrTarget.GetHostName().c_str(), m_addrTarget.GetHostName().size() + 1);
            return true;
        }
        if (m_addrTarget.GetType() == rtos::kAfInet6)
            return false;
        aOut.append(reinterpret_cast<const char*>(m_addrTarget.GetAddrBytes()), 4);
        aOut.append("kzm", 4);
        return true;
    }

    std::string Socks5Request() const {
        std::string out("\x05\x01\x00", 3);
        if (!m_addrTarget.IsResolved()) {
            const CRtString& name = m_addrTarget.GetHostName();
            out += '\x03';
            out += static_cast<char>(name.size());
            out.append(name.c_str(), name.size());
        } else if (m_addrTarget.GetType() == rtos::kAfInet6) {
            out += '\x04';
            out.append(reinterpret_cast<const char*>(m_addrTarget.GetAddrBytes()), 16);
        } else {
            out += '\x01';
            out.append(reinterpret_cast<const char*>(m_addrTarget.GetAddrBytes()), 4);
        }
        AppendPort(out);
        return out;
    }

    void AppendPort(std::string& aOut) const {
        const uint16_t port = m_addrTarget.GetPort();
        aOut += static_cast<char>(port >> 8);
        aOut += static_cast<char>(port & 0xFF);
    }

    bool Send_i(const std::string& aBytes) {
        CRtMessageBlock mb(static_cast<unsigned long>(aBytes.size()), aBytes.data(), CRtMessageBlock::DONT_DELETE,
                           static_cast<unsigned long>(aBytes.size()));
        RtResult rv = m_pTransport ? m_pTransport->SendData(mb) : RT_ERROR_NOT_AVAILABLE;
        if (RT_SUCCEEDED(rv))
            return true;
        RT_ERROR_TRACE_THIS("CRtConnectorSocksProxyT::StartNewRequest, SendData() failed! len=" << aBytes.size()
                                                                                                << " rv=" << rv);
        Fail_i(RT_ERROR_NETWORK_SOCKET_ERROR);
        return false;
    }

    void Succeed_i() {
        RT_ASSERTE(m_State == STATE_SUCCESS);
        IRtTransport* transport = m_pTransport;
        m_pTransport = nullptr;
        // The connector above moves the socket into a transport of its own;
        // until then this sink ignores what the old one reports.
        m_upper.OnConnectIndication(RT_OK, transport, static_cast<IRtConnectorInternal*>(this));
        transport->ReleaseReference();
    }

    // Told once: the proxy is forgotten, its transport dropped.
    void Fail_i(RtResult aReason) {
        const int state = m_State;
        ReleaseTransport(aReason);
        m_TcpConnector.Close(aReason);
        m_State = STATE_IDLE;
        m_strReply.clear();
        RT_WARNING_TRACE_THIS("CRtConnectorSocksProxyT, failed, proxy=" << m_pProxyInfo->GetHostAndPort()
                                                                        << " state=" << state);
        if (aReason != RT_ERROR_INVALID_ARG)
            CRtHttpProxyManager::Instance()->ClearCacheProxy(m_pProxyInfo->GetHostName(), m_pProxyInfo->GetPort());
        m_upper.OnConnectIndication(aReason, nullptr, static_cast<IRtConnectorInternal*>(this));
    }

    void ReleaseTransport(RtResult aReason) {
        if (!m_pTransport)
            return;
        IRtTransport* transport = m_pTransport;
        m_pTransport = nullptr;
        transport->Disconnect(aReason);
        transport->ReleaseReference();
    }

    UpperType& m_upper;
    CRtConnectorTcpT<CRtConnectorSocksProxyT, TrptType, SockType> m_TcpConnector;
    IRtTransport* m_pTransport = nullptr;
    CRtHttpProxyInfo* m_pProxyInfo;
    CRtInetAddr m_addrTarget;
    int m_State = STATE_IDLE;
    std::string m_strReply;
};
