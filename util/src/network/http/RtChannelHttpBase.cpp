#include "RtChannelHttpServer.h"

#include "RtDebug.h"
#include "RtThread.h"
#include "RtThreadManager.h"
#include "RtThreadSwitch.h"

namespace {

// Ends a connection whose last response asked for it, on a later turn of
// the owner thread's loop: the application that sent the response is
// done with its call by then.
class CRtEventCloseAfterResponse : public IRtEvent {
public:
    CRtEventCloseAfterResponse(IRtTransport* aChannel, CRtChannelHttpBase* aBase)
        : m_pChannel(aChannel), m_pBase(aBase) {}
    RtResult OnEventFire() override {
        m_pBase->CloseNow_i();
        return RT_OK;
    }

private:
    // Keeps the channel alive until the event has run.
    CRtAutoPtr<IRtTransport> m_pChannel;
    CRtChannelHttpBase* m_pBase;
};

}  // namespace

CRtChannelHttpBase::CRtChannelHttpBase(IRtTransport* aTransportId) : m_pTransportId(aTransportId) {
    RT_ASSERTE(m_pTransportId);
}

CRtChannelHttpBase::~CRtChannelHttpBase() {
    if (m_pMbSendBuf)
        m_pMbSendBuf->DestroyChained();
}

void CRtChannelHttpBase::OnParseFinished() { m_bResetParser = true; }

RtResult CRtChannelHttpBase::Disconnect(RtResult aReason) {
    RtResult rv = RT_OK;
    if (m_pTransport) {
        rv = m_pTransport->Disconnect(aReason);
        m_pTransport = nullptr;
    }
    m_pSink = nullptr;
    // Nothing can send it any more.
    if (m_pMbSendBuf) {
        m_pMbSendBuf->DestroyChained();
        m_pMbSendBuf = nullptr;
    }
    m_bSendBufFull = false;
    m_bCloseWhenDrained = false;
    m_bCloseAfterReceive = false;
    return rv;
}

void CRtChannelHttpBase::OnReceive(CRtMessageBlock& aData, IRtTransport* aTrptId) {
    RT_ASSERTE(m_pTransport.Get() == aTrptId);
    // A request asked to close: what follows it is not read.
    if (m_bCloseRequested || !m_pTransport)
        return;

    // Every complete request of this read gets its own OnReceive, in order.
    // The sink may disconnect or release the channel in its callback, so
    // the channel holds itself and stops once the transport is gone.
    CRtAutoPtr<IRtTransport> self(m_pTransportId);
    ++m_nReceiveDepth;
    RtResult rv = RT_OK;
    for (;;) {
        unsigned long before = aData.GetChainedLength();
        rv = ParserHttpProtocol_t(aData);
        if (rv != RT_OK || !m_pTransport || m_bCloseRequested)
            break;
        unsigned long after = aData.GetChainedLength();
        if (after == 0 || after == before)
            break;
    }
    --m_nReceiveDepth;

    if (rv != RT_OK && rv != RT_ERROR_PARTIAL_DATA && m_pTransport) {
        IRtTransportSink* pSinkTmp = m_pSink;
        Disconnect(rv);
        RT_ASSERTE_RETURN_VOID(pSinkTmp);
        pSinkTmp->OnDisconnect(rv, m_pTransportId);
        return;
    }
    if (m_bCloseAfterReceive && m_nReceiveDepth == 0)
        CloseNow_i();
}

RtResult CRtChannelHttpBase::SendBuffered(CRtMessageBlock& aData) {
    RT_ASSERTE_RETURN(m_pTransport, RT_ERROR_NOT_INITIALIZED);
    if (m_bSendBufFull)
        return RT_ERROR_PARTIAL_DATA;
    if (m_pMbSendBuf) {
        if (m_pMbSendBuf->GetChainedLength() >= m_dwMaxSendBufLen) {
            m_bSendBufFull = true;
            return RT_ERROR_PARTIAL_DATA;
        }
        CRtMessageBlock* copy = aData.DuplicateChained();
        if (copy)
            m_pMbSendBuf->Append(copy);
        return RT_OK;
    }
    RtResult rv = m_pTransport->SendData(aData, true, false, 2, true);
    if (rv == RT_ERROR_PARTIAL_DATA) {
        // The transport left aData at its first unsent byte.
        m_pMbSendBuf = aData.DuplicateChained();
        return RT_OK;
    }
    // Only a would-block keeps data back: a transport that failed will not
    // take it later either, and the caller must hear of it.
    return rv;
}

void CRtChannelHttpBase::OnSend(IRtTransport* aTrptId) {
    RT_ASSERTE(m_pTransport.Get() == aTrptId);
    RT_ASSERTE_RETURN_VOID(m_pMbSendBuf);
    RT_ASSERTE_RETURN_VOID(m_pTransport);
    RtResult rv = m_pTransport->SendData(*m_pMbSendBuf, true, false, 2, true);
    if (RT_SUCCEEDED(rv)) {
        m_pMbSendBuf->DestroyChained();
        m_pMbSendBuf = nullptr;
    } else {
        m_pMbSendBuf = m_pMbSendBuf->ReclaimGarbage();
    }

    if (!m_pMbSendBuf && m_bCloseWhenDrained && m_pTransport) {
        m_bCloseWhenDrained = false;
        if (m_nReceiveDepth > 0)
            m_bCloseAfterReceive = true;
        else
            CloseNow_i();
        return;
    }
    if (m_bSendBufFull && (!m_pMbSendBuf || m_pMbSendBuf->GetChainedLength() < m_dwMaxSendBufLen)) {
        m_bSendBufFull = false;
        RT_ASSERTE_RETURN_VOID(m_pSink);
        m_pSink->OnSend(m_pTransportId);
    }
}

void CRtChannelHttpBase::OnDisconnect(RtResult aReason, IRtTransport* aTrptId) {
    RT_WARNING_TRACE("CRtChannelHttpBase::OnDisconnect, rv=" << aReason << " trpt=" << static_cast<void*>(aTrptId)
                                                             << " sink=" << static_cast<void*>(m_pSink)
                                                             << " this=" << static_cast<void*>(this));
    RT_ASSERTE(m_pTransport.Get() == aTrptId);
    IRtTransportSink* pSinkTmp = m_pSink;
    Disconnect(aReason);
    RT_ASSERTE_RETURN_VOID(pSinkTmp);
    pSinkTmp->OnDisconnect(aReason, m_pTransportId);
}

void CRtChannelHttpBase::CloseAfterResponse_i() {
    if (m_pMbSendBuf) {
        m_bCloseWhenDrained = true;
        return;
    }
    if (m_nReceiveDepth > 0) {
        m_bCloseAfterReceive = true;
        return;
    }
    // Called by the application outside any callback of ours: close on the
    // next turn of the loop.
    CRtThread* thread = CRtThreadManager::Instance()->GetCurrentThread();
    if (RT_FAILED(CThreadSwitch::PostToThread(thread, new CRtEventCloseAfterResponse(m_pTransportId, this)))) {
        RT_WARNING_TRACE_THIS("CRtChannelHttpBase::CloseAfterResponse_i, the close event was refused, closing at once");
        CloseNow_i();
    }
}

void CRtChannelHttpBase::CloseNow_i() {
    m_bCloseAfterReceive = false;
    m_bCloseWhenDrained = false;
    if (!m_pTransport)
        return;
    RT_INFO_TRACE_THIS("CRtChannelHttpBase::CloseNow_i, response sent, closing the connection");
    IRtTransportSink* pSinkTmp = m_pSink;
    Disconnect(RT_OK);
    if (pSinkTmp)
        pSinkTmp->OnDisconnect(RT_OK, m_pTransportId);
}

RtResult CRtChannelHttpBase::SetBaseOption(unsigned long aCommand, void* aArg, bool& aHandled) {
    aHandled = true;
    switch (aCommand) {
    case RT_OPT_CHANNEL_HTTP_MAX_SEND_BUF:
        m_dwMaxSendBufLen = *static_cast<uint32_t*>(aArg);
        return RT_OK;
    case RT_OPT_CHANNEL_HTTP_NO_CONTENT_LENGTH:
        m_bNoAutoLength = *static_cast<bool*>(aArg);
        return RT_OK;
    case RT_OPT_CHANNEL_HTTP_SEND_HEAD_ONCE:
        m_bHeadOnce = *static_cast<bool*>(aArg);
        m_bFirstPacket = true;
        return RT_OK;
    default:
        aHandled = false;
        return RT_ERROR_NOT_FOUND;
    }
}

RtResult CRtChannelHttpBase::GetBaseOption(unsigned long aCommand, void* aArg, bool& aHandled) {
    aHandled = true;
    switch (aCommand) {
    case RT_OPT_TRANSPORT_TRAN_TYPE:
        *static_cast<uint32_t*>(aArg) = RT_CHANNEL_HTTP_TRAN_TYPE;
        return RT_OK;
    case RT_OPT_CHANNEL_HTTP_MAX_SEND_BUF:
        *static_cast<uint32_t*>(aArg) = m_dwMaxSendBufLen;
        return RT_OK;
    case RT_OPT_CHANNEL_HTTP_NO_CONTENT_LENGTH:
        *static_cast<bool*>(aArg) = m_bNoAutoLength;
        return RT_OK;
    case RT_OPT_CHANNEL_HTTP_SEND_HEAD_ONCE:
        *static_cast<bool*>(aArg) = m_bHeadOnce;
        return RT_OK;
    default:
        aHandled = false;
        return RT_ERROR_NOT_FOUND;
    }
}

RtResult CRtChannelHttpBase::SendFirstPacket_i(CRtMessageBlock& aData, bool aDestroy, const char* aFailure) {
    m_strHead += "\r\n";
    CRtMessageBlock headBlock(static_cast<unsigned long>(m_strHead.size()), m_strHead.data(),
                              CRtMessageBlock::DONT_DELETE, static_cast<unsigned long>(m_strHead.size()));
    headBlock.Append(&aData);
    RtResult rv = SendBuffered(headBlock);
    if (RT_FAILED(rv)) {
        RT_ERROR_TRACE_THIS(aFailure << " rv=" << rv);
        return rv;
    }
    if (m_bHeadOnce)
        m_bFirstPacket = false;
    if (aDestroy)
        aData.DestroyChained();
    return RT_OK;
}

RtResult CRtChannelHttpBase::SendNextPacket_i(CRtMessageBlock& aData, bool aDestroy) {
    if (aData.GetChainedLength() == 0) {
        RT_ASSERTE(false);
        return RT_ERROR_INVALID_ARG;
    }
    RtResult rv = SendBuffered(aData);
    if (RT_SUCCEEDED(rv) && aDestroy)
        aData.DestroyChained();
    return rv;
}
