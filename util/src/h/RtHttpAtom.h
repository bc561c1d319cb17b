// Interned HTTP header names and request methods, compared by pointer.
#pragma once

#include <cstddef>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "RtMutex.h"
#include "RtString.h"

// Text helpers of the HTTP units. Case folding is ASCII only, whatever the
// locale; other bytes compare as unsigned values.
bool RtHttpEqualNoCase(const char* aLeft, size_t aLeftLen, const char* aRight, size_t aRightLen);
// Whether the comma-separated header value aList holds aToken (any case,
// surrounded by spaces or tabs only): "x-close" is not "close".
bool RtHttpHasToken(const CRtString& aList, const char* aToken);
// aText without leading and trailing 0x20 bytes; a text made only of spaces
// comes back unchanged.
CRtString RtHttpStripSpaces(const CRtString& aText);
std::string_view RtHttpStripSpaces(std::string_view aText);

// One interned name: a pointer to a canonical C string that lives as long as
// the atom list. Only the list makes non-null atoms, so equal pointers mean
// the same name whatever the spelling it was asked for with.
class CRtHttpAtom {
public:
    constexpr CRtHttpAtom() = default;

    const char* get() const { return m_pName; }

    bool operator==(const CRtHttpAtom& aOther) const { return m_pName == aOther.m_pName; }
    bool operator!=(const CRtHttpAtom& aOther) const { return m_pName != aOther.m_pName; }

private:
    friend class CRtHttpAtomList;
    explicit constexpr CRtHttpAtom(const char* aName) : m_pName(aName) {}

    const char* m_pName = nullptr;
};

// X(member, text) for every name the table starts with, in filling order:
// the header names, then the methods.
#define RT_HTTP_PREFILLED_ATOMS(X)                                                                        \
    X(Accept, "Accept") X(Accept_Charset, "Accept-Charset") X(Accept_Encoding, "Accept-Encoding")         \
    X(Accept_Language, "Accept-Language") X(Accept_Ranges, "Accept-Ranges") X(Age, "Age")                 \
    X(Allow, "Allow") X(Authentication, "Authentication") X(Authorization, "Authorization")               \
    X(Cache_Control, "Cache-Control") X(Connection, "Connection") X(Content_Base, "Content-Base")          \
    X(Content_Encoding, "Content-Encoding") X(Content_Language, "Content-Language")                        \
    X(Content_Length, "Content-Length") X(Content_Location, "Content-Location")                           \
    X(Content_MD5, "Content-MD5") X(Content_Range, "Content-Range")                                       \
    X(Content_Transfer_Encoding, "Content-Transfer-Encoding") X(Content_Type, "Content-Type")              \
    X(Date, "Date") X(Derived_From, "Derived-From") X(ETag, "Etag") X(Expect, "Expect")                   \
    X(Expires, "Expires") X(From, "From") X(Forwarded, "Forwarded") X(Host, "Host")                       \
    X(If_Match, "If-Match") X(If_Match_Any, "If-Match-Any") X(If_Modified_Since, "If-Modified-Since")     \
    X(If_None_Match, "If-None-Match") X(If_None_Match_Any, "If-None-Match-Any") X(If_Range, "If-Range")   \
    X(If_Unmodified_Since, "If-Unmodified-Since") X(Keep_Alive, "Keep-Alive")                             \
    X(Last_Modified, "Last-Modified") X(Link, "Link") X(Location, "Location")                             \
    X(Max_Forwards, "Max-Forwards") X(Message_Id, "Message-Id") X(Mime, "Mime") X(Pragma, "Pragma")       \
    X(Vary, "Vary") X(Proxy_Authenticate, "Proxy-Authenticate")                                           \
    X(Proxy_Authorization, "Proxy-Authorization") X(Proxy_Connection, "Proxy-Connection")                 \
    X(Range, "Range") X(Referer, "Referer") X(Retry_After, "Retry-After") X(Server, "Server") X(TE, "TE") \
    X(Title, "Title") X(Trailer, "Trailer") X(Transfer_Encoding, "Transfer-Encoding")                     \
    X(Upgrade, "Upgrade") X(URI, "URI") X(User_Agent, "User-Agent") X(Version, "Version")                 \
    X(Warning, "Warning") X(WWW_Authenticate, "WWW-Authenticate") X(Set_Cookie, "Set-Cookie")             \
    X(Cookie, "Cookie") X(Content_Disposition, "Content-Disposition")                                     \
    X(Sec_WebSocket_Key, "Sec-WebSocket-Key") X(Origin, "Origin")                                         \
    X(Sec_WebSocket_Version, "Sec-WebSocket-Version") X(Sec_WebSocket_Protocol, "Sec-WebSocket-Protocol") \
    X(Options, "OPTIONS") X(Head, "HEAD") X(Post, "POST") X(Put, "PUT") X(Get, "GET") X(Index, "INDEX")   \
    X(Delete, "DELETE") X(Trace, "TRACE") X(Connect, "CONNECT") X(M_Post, "M-POST")

// The process-wide interning table. Lookup is ASCII case-insensitive and
// ignores surrounding spaces; a name is kept with the spelling it was first
// added with. Safe from any thread.
class CRtHttpAtomList {
public:
#define RT_HTTP_DECLARE_ATOM(member, text) static const CRtHttpAtom member;
    RT_HTTP_PREFILLED_ATOMS(RT_HTTP_DECLARE_ATOM)
#undef RT_HTTP_DECLARE_ATOM

    static constexpr size_t kPrefilledCount = 78;
    // Names that peers may add. Application code adds without limit (its
    // names are a fixed set); names from received heads stop being interned
    // once either bound is reached, so a peer cannot grow the table for ever.
    static constexpr size_t kMaxReceivedAtoms = 1024;
    static constexpr size_t kMaxReceivedAtomBytes = 64 * 1024;

    static CRtHttpAtomList* Instance();

    // The atom for aName; with aAdd an unknown name is interned. Null for an
    // empty name or one holding a NUL byte (an atom is a C string).
    CRtHttpAtom ResolveAtom(const CRtString& aName, bool aAdd);
    // As ResolveAtom with adding, for names read from the network: beyond
    // the received bounds an unknown name gives the null atom.
    CRtHttpAtom ResolveReceivedAtom(const CRtString& aName);
    CRtHttpAtom ResolveReceivedAtom(const char* aName, size_t aLength);

    size_t GetAtomCount();
    size_t GetReceivedAtomCount();

    ~CRtHttpAtomList();
    CRtHttpAtomList(const CRtHttpAtomList&) = delete;
    CRtHttpAtomList& operator=(const CRtHttpAtomList&) = delete;

private:
    template <class T>
    friend class CRtSingletonT;
    CRtHttpAtomList();

    // A name with its ASCII case-insensitive hash, computed once per lookup
    // for both tables.
    struct Key {
        explicit Key(std::string_view aName);
        std::string_view name;
        size_t hash;
    };
    struct KeyHash {
        size_t operator()(const Key& aKey) const { return aKey.hash; }
    };
    struct KeyEqual {
        bool operator()(const Key& aLeft, const Key& aRight) const {
            return RtHttpEqualNoCase(aLeft.name.data(), aLeft.name.size(), aRight.name.data(), aRight.name.size());
        }
    };
    typedef std::unordered_set<Key, KeyHash, KeyEqual> AtomTable;

    // The prefilled names never change, so they are looked up without the
    // lock; only names added at run time need it.
    static const AtomTable& Prefilled();
    CRtHttpAtom Resolve_i(const char* aName, size_t aLength, bool aAdd, bool aReceived);

    AtomTable m_Atoms;  // names added at run time
    std::vector<char*> m_OwnedNames;
    size_t m_nReceivedCount = 0;
    size_t m_nReceivedBytes = 0;
    CRtMutexThread m_Mutex;
};
