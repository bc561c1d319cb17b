// Turns the bytes a channel receives into HTTP messages: head lines go to a
// head object until the head is complete, then the body is collected by
// Content-Length or through the chunked decoder. The parser advances the
// received chain past what it takes; what follows a complete message stays
// in the chain for the next one. One parser belongs to one channel and runs
// on its thread.
#pragma once

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "RtDebug.h"
#include "RtHttpAtom.h"
#include "RtHttpHead.h"
#include "RtMessageBlock.h"
#include "RtReferenceControl.h"
#include "RtString.h"

// Limits for what a peer may send besides the head's own.
struct RtHttpParserLimits {
    // A chunk-size or trailer line.
    static constexpr size_t kMaxChunkLine = 4096;
    // Hexadecimal digits of a chunk size (0xFFFFFFFF at most).
    static constexpr size_t kMaxChunkSizeDigits = 8;
};

template <class Parser>
class CRtHttpChunkedDecoder : public CRtReferenceControlT<CRtMutexNullSingleThread> {
public:
    enum { STATE_SIZE = 0, STATE_DATA = 1, STATE_TRAILER = 2, STATE_FINISHED = 4 };

    CRtHttpChunkedDecoder(Parser* aParser, uint32_t aBodyLimit) : m_pParser(aParser), m_dwBodyLimit(aBodyLimit) {
        m_strLine.reserve(2024);
        m_strPending.reserve(16200);
    }

    bool IsFinished() const { return m_nState == STATE_FINISHED; }

    // Appends decoded data to aContent. aConsumed is what of aBuf belongs to
    // this message: all of it until the message ends, then up to the end of
    // its final CR LF.
    bool HandleChunkedContent(const char* aBuf, uint32_t aLen, CRtString& aContent, uint32_t& aConsumed) {
        RT_ASSERTE_RETURN(aBuf, false);
        aConsumed = 0;
        m_strPending.append(aBuf, aLen);
        size_t at = 0;
        bool ok = Decode(at, aContent);
        m_strPending.erase(0, at);
        if (!ok)
            return false;
        if (m_nState == STATE_FINISHED) {
            // The leftover bytes came last: they are the tail of this read.
            size_t left = m_strPending.size();
            m_strPending.clear();
            aConsumed = left <= aLen ? aLen - static_cast<uint32_t>(left) : 0;
        } else {
            aConsumed = aLen;
        }
        return true;
    }

    const CRtHttpHeaderArray& GetTrailers() const { return m_Trailers; }

private:
    bool Decode(size_t& aAt, CRtString& aContent) {
        const size_t size = m_strPending.size();
        while (aAt < size && m_nState != STATE_FINISHED) {
            if (m_nState == STATE_SIZE || m_nState == STATE_TRAILER) {
                const char* begin = m_strPending.data() + aAt;
                const char* lf = static_cast<const char*>(memchr(begin, '\n', size - aAt));
                if (!lf) {
                    m_strLine.append(begin, size - aAt);
                    aAt = size;
                    if (m_strLine.size() > RtHttpParserLimits::kMaxChunkLine)
                        return LineTooLong();
                    // A final CR waits with the line for its LF.
                    return true;
                }
                m_strLine.append(begin, static_cast<size_t>(lf - begin));
                aAt += static_cast<size_t>(lf - begin) + 1;
                if (m_strLine.size() > RtHttpParserLimits::kMaxChunkLine)
                    return LineTooLong();
                // Every chunk line ends in CR LF and holds no other CR: a
                // reader that ends lines at a bare CR or LF would cut the
                // body elsewhere.
                if (m_strLine.empty() || m_strLine.back() != '\r' || m_strLine.find('\r') != m_strLine.size() - 1) {
                    RT_ERROR_TRACE(
                        "CRtHttpChunkedDecoder::HandleChunkedContent, not \"\\r\\n\"! str=" << m_strLine.substr(0, 64));
                    return false;
                }
                m_strLine.pop_back();
                size_t lead = m_strLine.find_first_not_of(' ');
                m_strLine.erase(0, lead == CRtString::npos ? m_strLine.size() : lead);
                if (m_nState == STATE_SIZE) {
                    if (!SizeLine())
                        return false;
                } else {
                    if (m_strLine.empty()) {
                        m_nState = STATE_FINISHED;
                    } else {
                        if (++m_nTrailerLines > CRtHttpHeaderArray::kMaxHeaderLines) {
                            RT_ERROR_TRACE("CRtHttpChunkedDecoder::HandleChunkedContent, too many trailer lines! max="
                                           << CRtHttpHeaderArray::kMaxHeaderLines);
                            return false;
                        }
                        bool rv = m_Trailers.ParseHeaderLine(m_strLine);
                        RT_ASSERTE(rv);
                    }
                    m_strLine.clear();
                }
                continue;
            }
            // STATE_DATA
            if (m_dwRemain > 0) {
                if (size - aAt < m_dwRemain)
                    return true;  // a chunk is appended only once it is whole
                aContent.append(m_strPending.data() + aAt, m_dwRemain);
                aAt += m_dwRemain;
                m_dwRemain = 0;
                continue;
            }
            if (!m_bCrSeen) {
                if (m_strPending[aAt] != '\r') {
                    RT_ERROR_TRACE("CRtHttpChunkedDecoder::HandleChunkedContent,*aBuf != '\r', aBuf="
                                   << m_strPending.substr(aAt, 64));
                    return false;
                }
                ++aAt;
                m_bCrSeen = true;
                continue;
            }
            if (m_strPending[aAt] != '\n') {
                RT_ERROR_TRACE(
                    "CRtHttpChunkedDecoder::HandleChunkedContent,*aBuf != '\n', aBuf=" << m_strPending.substr(aAt, 64));
                return false;
            }
            ++aAt;
            m_nState = STATE_SIZE;
        }
        return true;
    }

    bool SizeLine() {
        size_t semi = m_strLine.find(';');
        if (semi != CRtString::npos)
            m_strLine.resize(semi);
        // Plain hexadecimal only: a sign or more digits than fit 32 bits
        // would read as a different size.
        // Nothing but blanks may follow the digits (before an extension).
        size_t digits = 0;
        while (digits < m_strLine.size() && isxdigit(static_cast<unsigned char>(m_strLine[digits])))
            ++digits;
        bool tail = m_strLine.find_first_not_of(" \t", digits) != CRtString::npos;
        unsigned int value = 0;
        if (digits == 0 || digits > RtHttpParserLimits::kMaxChunkSizeDigits || tail ||
            sscanf(m_strLine.c_str(), "%x", &value) != 1) {
            RT_ERROR_TRACE("CRtHttpChunkedDecoder::HandleChunkedContent, sscanf() failed! str=" << m_strLine);
            return false;
        }
        m_strLine.clear();
        m_bCrSeen = false;
        if (value == 0) {
            m_nState = STATE_TRAILER;
            return true;
        }
        if (value > m_dwBodyLimit || m_dwDecoded > m_dwBodyLimit - value) {
            RT_ERROR_TRACE("CRtHttpChunkedDecoder::HandleChunkedContent, body too long! size=" << value << " decoded="
                                                                                               << m_dwDecoded);
            return false;
        }
        m_dwDecoded += value;
        m_dwRemain = value;
        m_nState = STATE_DATA;
        return true;
    }

    bool LineTooLong() {
        RT_ERROR_TRACE("CRtHttpChunkedDecoder::HandleChunkedContent, line too long! len=" << m_strLine.size());
        return false;
    }

    int m_nState = STATE_SIZE;
    CRtString m_strLine;
    uint32_t m_dwRemain = 0;
    bool m_bCrSeen = false;
    CRtHttpHeaderArray m_Trailers;
    CRtString m_strPending;
    Parser* m_pParser;
    uint32_t m_dwBodyLimit;
    uint32_t m_dwDecoded = 0;
    size_t m_nTrailerLines = 0;
};

template <class Head, class Channel>
class CRtHttpParserT {
public:
    typedef CRtHttpChunkedDecoder<CRtHttpParserT> DecoderType;

    CRtHttpParserT(Head& aHeader, Channel* aChannel) : m_Header(aHeader), m_pChannel(aChannel) { Reset(); }

    void Reset() {
        m_Header.Clear();
        m_strPartialLine.clear();
        m_strContent.clear();
        m_bContentInit = false;
        m_bFinished = false;
        m_dwContentLength = 0;
        m_dwContentRead = 0;
        m_bToClose = false;
        m_pChunkedDecoder = nullptr;
    }

    // The server side: a message without Content-Length or chunked
    // encoding has an empty body, and what follows is the next message.
    // The client side keeps taking the rest of the read as the body.
    void SetEmptyBodyWithoutLength(bool aOn) { m_bEmptyBodyWithoutLength = aOn; }
    // Set by the channel for messages that have no body whatever their
    // headers say (e.g. the answer to HEAD).
    void SetNoBody(bool aOn) { m_bNoBody = aOn; }
    // The client side of a connection the server ends to end a body: a
    // message without Content-Length or chunked encoding takes everything
    // up to the close (bounded by the head's body limit), and FinishAtClose
    // completes it.
    void SetBodyUntilClose(bool aOn) { m_bBodyUntilClose = aOn; }
    // Whether the current message waits for the close to end its body.
    bool IsBodyUntilClose() const { return m_bContentInit && m_bToClose && !m_bFinished; }
    // The peer closed: a body that runs to the close is complete now.
    RtResult FinishAtClose() {
        if (!IsBodyUntilClose())
            return RT_ERROR_INVALID_STATE;
        m_dwContentLength = m_dwContentRead;
        m_bFinished = true;
        if (m_pChannel)
            m_pChannel->OnParseFinished();
        return RT_OK;
    }

    RtResult ParseHead(CRtMessageBlock& aBlock) {
        RT_ASSERTE(!m_Header.HaveAllHeaders());
        // A head that arrived in one block is read in place.
        CRtString flat;
        const char* text = aBlock.GetTopLevelReadPtr();
        size_t size = aBlock.GetTopLevelLength();
        if (aBlock.GetNext()) {
            flat = aBlock.FlattenChained();
            text = flat.data();
            size = flat.size();
        }
        size_t segment = 0;
        while (segment < size) {
            const char* lf = static_cast<const char*>(memchr(text + segment, '\n', size - segment));
            if (!lf)
                break;
            const size_t end = static_cast<size_t>(lf - text) + 1;
            // A CR that ended the previous read pairs with an LF opening this one.
            bool crBefore = end - 1 > segment ? text[end - 2] == '\r'
                                              : !m_strPartialLine.empty() && m_strPartialLine.back() == '\r';
            if (!crBefore) {
                RT_ERROR_TRACE_THIS("CRtHttpParserT::ParseHead, not \"\\r\\n\"!");
                return RT_ERROR_FAILURE;
            }
            bool ok;
            if (m_strPartialLine.empty()) {
                ok = m_Header.ParseLine(text + segment, end - segment);
            } else {
                m_strPartialLine.append(text + segment, end - segment);
                ok = m_Header.ParseLine(m_strPartialLine);
                m_strPartialLine.clear();
            }
            if (!ok)
                return RT_ERROR_FAILURE;
            segment = end;
            if (m_Header.HaveAllHeaders()) {
                aBlock.AdvanceChainedReadPtr(static_cast<unsigned long>(segment));
                return RT_OK;
            }
        }
        m_strPartialLine.append(text + segment, size - segment);
        if (m_strPartialLine.size() > CRtHttpHeaderArray::kMaxLineLength) {
            RT_ERROR_TRACE_THIS("CRtHttpParserT::ParseHead, line too long! len=" << m_strPartialLine.size());
            return RT_ERROR_FAILURE;
        }
        aBlock.AdvanceChainedReadPtr(static_cast<unsigned long>(size));
        return RT_OK;
    }

    RtResult HandleContent(CRtMessageBlock* aBlock) {
        if (!m_bContentInit) {
            RtResult rv = InitContent();
            if (RT_FAILED(rv))
                return rv;
        }
        for (CRtMessageBlock* block = aBlock; block && !m_bFinished; block = block->GetNext()) {
            uint32_t length = block->GetTopLevelLength();
            if (length == 0)
                continue;
            if (m_pChunkedDecoder) {
                uint32_t used = 0;
                if (!m_pChunkedDecoder->HandleChunkedContent(block->GetTopLevelReadPtr(), length, m_strContent, used))
                    return RT_ERROR_FAILURE;
                block->AdvanceTopLevelReadPtr(used);
                if (m_pChunkedDecoder->IsFinished())
                    break;
                continue;
            }
            if (m_bToClose) {
                if (length > static_cast<uint32_t>(m_Header.GetContentLimit()) - m_dwContentRead) {
                    RT_ERROR_TRACE_THIS("CRtHttpParserT::HandleContent, body too long! read=" << m_dwContentRead
                                                                                              << " len=" << length);
                    return RT_ERROR_FAILURE;
                }
                m_strContent.append(block->GetTopLevelReadPtr(), length);
                block->AdvanceTopLevelReadPtr(length);
                m_dwContentRead += length;
                continue;
            }
            uint32_t missing = m_dwContentLength - m_dwContentRead;
            if (length > missing) {
                if (m_bRestIsBody) {
                    // No length given: the rest of this read is the body.
                    m_dwContentLength = length;
                    missing = length;
                } else {
                    RT_WARNING_TRACE_THIS("CRtHttpParserT::HandleContent, m_dwContentRead="
                                          << m_dwContentRead + length << " > m_dwContentLength=" << m_dwContentLength);
                }
                m_strContent.append(block->GetTopLevelReadPtr(), missing);
                block->AdvanceTopLevelReadPtr(missing);
                m_dwContentRead = m_dwContentLength;
                break;
            }
            m_strContent.append(block->GetTopLevelReadPtr(), length);
            block->AdvanceTopLevelReadPtr(length);
            m_dwContentRead += length;
        }
        if (m_bToClose)
            return RT_ERROR_PARTIAL_DATA;
        bool done = m_pChunkedDecoder ? m_pChunkedDecoder->IsFinished() : m_dwContentRead == m_dwContentLength;
        if (!done)
            return RT_ERROR_PARTIAL_DATA;
        m_bFinished = true;
        if (m_pChannel)
            m_pChannel->OnParseFinished();
        return RT_OK;
    }

    RtResult GetContent(CRtMessageBlock*& aContent) {
        RT_ASSERTE_RETURN(m_bFinished, RT_ERROR_NOT_INITIALIZED);
        aContent = nullptr;
        if (m_strContent.empty())
            return RT_OK;
        CRtMessageBlock view(static_cast<unsigned long>(m_strContent.size()), m_strContent.data(),
                             CRtMessageBlock::DONT_DELETE, static_cast<unsigned long>(m_strContent.size()));
        aContent = view.DuplicateChained();
        return aContent ? RT_OK : RT_ERROR_OUT_OF_MEMORY;
    }

    bool IsFinished() const { return m_bFinished; }

private:
    RtResult InitContent() {
        m_bContentInit = true;
        m_bRestIsBody = false;
        if (m_bNoBody) {
            m_dwContentLength = 0;
            return RT_OK;
        }
        int32_t length = m_Header.GetContentLength();
        CRtString encoding;
        if (m_Header.GetHeader(CRtHttpAtomList::Transfer_Encoding, encoding) &&
            RtHttpEqualNoCase(encoding.data(), encoding.size(), "chunked", 7)) {
            RT_ASSERTE(!m_pChunkedDecoder);
            m_pChunkedDecoder = new DecoderType(this, static_cast<uint32_t>(m_Header.GetContentLimit()));
            m_dwContentLength = 0xFFFFFFFF;
            return RT_OK;
        }
        if (length < 0 && m_bBodyUntilClose) {
            m_bToClose = true;
            m_dwContentLength = 0xFFFFFFFF;
            return RT_OK;
        }
        m_bRestIsBody = length < 0 && !m_bEmptyBodyWithoutLength;
        m_dwContentLength = length < 0 ? 0 : static_cast<uint32_t>(length);
        return RT_OK;
    }

    Head& m_Header;
    CRtString m_strPartialLine;
    CRtAutoPtr<DecoderType> m_pChunkedDecoder;
    bool m_bContentInit = false;
    bool m_bFinished = false;
    CRtString m_strContent;
    uint32_t m_dwContentLength = 0;
    uint32_t m_dwContentRead = 0;
    bool m_bNoBody = false;
    bool m_bEmptyBodyWithoutLength = true;
    bool m_bBodyUntilClose = false;
    // The current message's body ends at the close.
    bool m_bToClose = false;
    // The current message has no length: the rest of the read is its body.
    bool m_bRestIsBody = false;
    Channel* m_pChannel;
};
