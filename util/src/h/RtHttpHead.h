// The head of one HTTP message: its header lines and, in the subclasses,
// the request or status line. Filled line by line by the parser, read and
// written by the channels; used on one thread, so no lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "RtHttpAtom.h"
#include "RtString.h"

// The header lines of a message in order of first arrival.
class CRtHttpHeaderArray {
public:
    // Longest head line, its CR LF included.
    static constexpr size_t kMaxLineLength = 64 * 1024;
    // Most header lines in one head (the first line and the empty line not
    // counted); repeated and ignored lines count too.
    static constexpr size_t kMaxHeaderLines = 256;
    // Most bytes of one head, every line with its CR LF.
    static constexpr size_t kMaxHeadLength = 1024 * 1024;
    // The body limit of messages whose length is checked (POST requests),
    // until a channel sets another.
    static constexpr int32_t kDefaultMaxContentLength = 0x200000;
    // The body limit of every other message.
    static constexpr int32_t kMaxContentLengthHard = 64 * 1024 * 1024;

    // GetContentLength results that are not lengths.
    static constexpr int32_t kNoContentLength = -1;
    static constexpr int32_t kBadContentLength = -2;

    // What the lines belong to: received requests and responses are read
    // with their own framing rules; plain arrays (a chunked body's
    // trailers) take header lines only.
    enum class Kind { kFields, kRequest, kResponse };

    CRtHttpHeaderArray() = default;
    explicit CRtHttpHeaderArray(Kind aKind) : m_eKind(aKind) {}
    virtual ~CRtHttpHeaderArray();

    // Drops the headers and the parse state; the length check and its
    // maximum stay. Returns true.
    virtual bool Clear();
    // Reads the request or status line; the base has none.
    virtual bool ParseFirstLine_t(const char* aLine);

    // Takes one head line with its CR LF: the first line, a header line, or
    // the empty line that completes the head. False when the message cannot
    // be read (the reason is logged).
    bool ParseLine(const CRtString& aLine);
    bool ParseLine(const char* aLine, size_t aLength);
    // Takes one header line without its CR LF (trailers use this directly).
    // Refused, as anything another reader could frame differently: a name
    // that is not a token, a folded line (joined to the previous value in
    // responses), a second Content-Length that differs from the first, and
    // an empty or colon-less Content-Length or Transfer-Encoding.
    bool ParseHeaderLine(const CRtString& aLine);

    // An empty value removes the header; a second value replaces or joins.
    bool SetHeader(const CRtHttpAtom& aAtom, const CRtString& aValue);
    bool GetHeader(const CRtHttpAtom& aAtom, CRtString& aValue) const;
    bool HasHeader(const CRtHttpAtom& aAtom) const;
    // Content-Length as a length, kNoContentLength when absent, or
    // kBadContentLength when it is not a plain decimal up to 0x7FFFFFFF.
    int32_t GetContentLength() const;
    // Appends "Name: value" CR LF per header (no empty line).
    void Flatten(CRtString& aOut) const;

    bool HaveAllHeaders() const { return m_bHaveAllHeaders; }
    // Both Transfer-Encoding and Content-Length: the body is chunked, but a
    // reader in front may have framed it by its length.
    bool HasConflictingLengths() const;

    void SetCheckLength(bool aCheck) { m_bCheckLength = aCheck; }
    bool GetCheckLength() const { return m_bCheckLength; }
    void SetMaxContentLength(int32_t aMax) { m_nMaxContentLength = aMax; }
    int32_t GetMaxContentLength() const { return m_nMaxContentLength; }
    // The most body bytes this message may carry, chunked bodies included.
    int32_t GetContentLimit() const { return m_bCheckLength ? m_nMaxContentLength : kMaxContentLengthHard; }

protected:
    using Entry = std::pair<CRtHttpAtom, CRtString>;

    Kind m_eKind = Kind::kFields;
    bool m_bHaveAllHeaders = false;
    bool m_bFirstLineParsed = false;
    bool m_bCheckLength = false;
    int32_t m_nMaxContentLength = kDefaultMaxContentLength;
    std::vector<Entry> m_Headers;
    size_t m_nHeaderLines = 0;
    size_t m_nHeadLength = 0;
    // The name of the last header line, for a folded line that continues it.
    CRtHttpAtom m_LastAtom;
    // The first line's text, its storage reused from head to head.
    CRtString m_strFirstLine;

private:
    bool FinishHead_i();
    bool JoinFoldedLine_i(const char* aLine, size_t aLength);
    bool CheckFramingHeader_i(const CRtHttpAtom& aAtom, const char* aLine, size_t aLength, size_t aSep);
    // Index of the first entry with aAtom, or npos.
    size_t Find_i(const CRtHttpAtom& aAtom) const;
    bool ParseHeaderLine_i(const char* aLine, size_t aLength);
    bool SetHeader_i(const CRtHttpAtom& aAtom, const char* aValue, size_t aLength);
};

class CRtHttpRequestHead : public CRtHttpHeaderArray {
public:
    CRtHttpRequestHead() : CRtHttpHeaderArray(Kind::kRequest) {}
    bool Clear() override;
    bool ParseFirstLine_t(const char* aLine) override;

    CRtHttpAtom GetMethod() const { return m_Method; }
    // Only the ten method atoms are accepted.
    bool SetMethod(const CRtHttpAtom& aMethod);
    // 10 for HTTP/1.0, 11 for HTTP/1.1, 0 when unset.
    int32_t GetVersion() const { return m_nVersion; }
    void SetVersion(int32_t aVersion) { m_nVersion = aVersion; }
    // Path and query as received, not decoded.
    const CRtString& GetRequestURI() const { return m_strRequestURI; }
    void SetRequestURI(const CRtString& aURI) { m_strRequestURI = aURI; }

    // Appends the request line and the header lines; false (after writing
    // the rest) when the version is neither 10 nor 11.
    bool Encode(CRtString& aOut) const;

private:
    CRtHttpAtom m_Method;
    int32_t m_nVersion = 0;
    CRtString m_strRequestURI;
};

class CRtHttpResponseHead : public CRtHttpHeaderArray {
public:
    CRtHttpResponseHead() : CRtHttpHeaderArray(Kind::kResponse) {}
    bool Clear() override;
    bool ParseFirstLine_t(const char* aLine) override;

    int32_t GetStatus() const { return m_nStatus; }
    void SetStatus(int32_t aStatus) { m_nStatus = aStatus; }
    const CRtString& GetStatusText() const { return m_strStatusText; }
    void SetStatusText(const CRtString& aText) { m_strStatusText = aText; }
    int32_t GetVersion() const { return m_nVersion; }
    void SetVersion(int32_t aVersion) { m_nVersion = aVersion; }

    // 0 for 204, 205 and 304 whatever the headers say.
    int32_t GetContentLength() const;

    // Appends the status line and the header lines; false (after writing
    // the rest) when the version is neither 10 nor 11.
    bool Encode(CRtString& aOut) const;

private:
    int32_t m_nVersion = 0;
    int32_t m_nStatus = -1;
    CRtString m_strStatusText;
};
