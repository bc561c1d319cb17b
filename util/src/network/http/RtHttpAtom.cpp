#include "RtHttpAtom.h"

#include <cstdint>
#include <cstring>
#include <new>

#include "RtDebug.h"
#include "RtUtilTemplates.h"

namespace {

unsigned char LowerAscii(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

}  // namespace

bool RtHttpEqualNoCase(const char* aLeft, size_t aLeftLen, const char* aRight, size_t aRightLen) {
    if (aLeftLen != aRightLen)
        return false;
    if (memcmp(aLeft, aRight, aLeftLen) == 0)
        return true;
    for (size_t i = 0; i < aLeftLen; ++i) {
        if (LowerAscii(static_cast<unsigned char>(aLeft[i])) != LowerAscii(static_cast<unsigned char>(aRight[i])))
            return false;
    }
    return true;
}

bool RtHttpHasToken(const CRtString& aList, const char* aToken) {
    const size_t tokenLen = strlen(aToken);
    size_t at = 0;
    while (at <= aList.size()) {
        size_t comma = aList.find(',', at);
        size_t end = comma == CRtString::npos ? aList.size() : comma;
        size_t b = at, e = end;
        while (b < e && (aList[b] == ' ' || aList[b] == '\t'))
            ++b;
        while (e > b && (aList[e - 1] == ' ' || aList[e - 1] == '\t'))
            --e;
        if (RtHttpEqualNoCase(aList.data() + b, e - b, aToken, tokenLen))
            return true;
        if (comma == CRtString::npos)
            break;
        at = comma + 1;
    }
    return false;
}

std::string_view RtHttpStripSpaces(std::string_view aText) {
    size_t first = aText.find_first_not_of(' ');
    if (first == std::string_view::npos)
        return aText;
    return aText.substr(first, aText.find_last_not_of(' ') - first + 1);
}

CRtString RtHttpStripSpaces(const CRtString& aText) { return CRtString(RtHttpStripSpaces(std::string_view(aText))); }

// Constant-initialised, so other units may use them during their own static
// initialisation.
#define RT_HTTP_DEFINE_ATOM(member, text) const CRtHttpAtom CRtHttpAtomList::member{text};
RT_HTTP_PREFILLED_ATOMS(RT_HTTP_DEFINE_ATOM)
#undef RT_HTTP_DEFINE_ATOM

CRtHttpAtomList::Key::Key(std::string_view aName) : name(aName) {
    // Eight bytes at a time, with bit 5 set in every byte: that folds
    // A-Z onto a-z, so names equal without regard to case hash alike
    // (other bytes may fold together too, which only costs a compare).
    const uint64_t kFold = 0x2020202020202020ull;
    uint64_t value = 0x9E3779B97F4A7C15ull ^ aName.size();
    size_t at = 0;
    for (; at + 8 <= aName.size(); at += 8) {
        uint64_t word;
        memcpy(&word, aName.data() + at, 8);
        value = (value ^ (word | kFold)) * 0xFF51AFD7ED558CCDull;
        value ^= value >> 29;
    }
    if (at < aName.size()) {
        uint64_t word = 0;
        memcpy(&word, aName.data() + at, aName.size() - at);
        value = (value ^ (word | kFold)) * 0xFF51AFD7ED558CCDull;
        value ^= value >> 29;
    }
    hash = static_cast<size_t>(value);
}

const CRtHttpAtomList::AtomTable& CRtHttpAtomList::Prefilled() {
    static const AtomTable table = [] {
        AtomTable atoms;
        atoms.reserve(4 * kPrefilledCount);
#define RT_HTTP_INSERT_ATOM(member, text) atoms.insert(Key(member.get()));
        RT_HTTP_PREFILLED_ATOMS(RT_HTTP_INSERT_ATOM)
#undef RT_HTTP_INSERT_ATOM
        RT_ASSERTE(atoms.size() == kPrefilledCount);
        return atoms;
    }();
    return table;
}

CRtHttpAtomList* CRtHttpAtomList::Instance() { return CRtSingletonT<CRtHttpAtomList>::Instance(); }

CRtHttpAtomList::CRtHttpAtomList() { RT_DEBUG_TRACE_THIS("CRtHttpAtomList::CRtHttpAtomList"); }

CRtHttpAtomList::~CRtHttpAtomList() {
    for (char* name : m_OwnedNames)
        delete[] name;
}

CRtHttpAtom CRtHttpAtomList::ResolveAtom(const CRtString& aName, bool aAdd) {
    return Resolve_i(aName.data(), aName.size(), aAdd, false);
}

CRtHttpAtom CRtHttpAtomList::ResolveReceivedAtom(const CRtString& aName) {
    return Resolve_i(aName.data(), aName.size(), true, true);
}

CRtHttpAtom CRtHttpAtomList::ResolveReceivedAtom(const char* aName, size_t aLength) {
    return Resolve_i(aName, aLength, true, true);
}

size_t CRtHttpAtomList::GetAtomCount() {
    CRtMutexGuardT<CRtMutexThread> guard(m_Mutex);
    return Prefilled().size() + m_Atoms.size();
}

size_t CRtHttpAtomList::GetReceivedAtomCount() {
    CRtMutexGuardT<CRtMutexThread> guard(m_Mutex);
    return m_nReceivedCount;
}

CRtHttpAtom CRtHttpAtomList::Resolve_i(const char* aName, size_t aLength, bool aAdd, bool aReceived) {
    std::string_view strValue = RtHttpStripSpaces(std::string_view(aName, aLength));
    RT_ASSERTE_RETURN(!strValue.empty(), CRtHttpAtom());
    if (strValue.find('\0') != std::string_view::npos)
        return CRtHttpAtom();

    const Key key(strValue);
    const AtomTable& prefilled = Prefilled();
    auto known = prefilled.find(key);
    if (known != prefilled.end())
        return CRtHttpAtom(known->name.data());

    CRtMutexGuardT<CRtMutexThread> guard(m_Mutex);
    auto found = m_Atoms.find(key);
    if (found != m_Atoms.end())
        return CRtHttpAtom(found->name.data());
    if (!aAdd)
        return CRtHttpAtom();
    if (aReceived) {
        if (m_nReceivedCount >= kMaxReceivedAtoms || strValue.size() > kMaxReceivedAtomBytes - m_nReceivedBytes)
            return CRtHttpAtom();
    }

    char* pName = new (std::nothrow) char[strValue.size() + 1];
    if (!pName)
        return CRtHttpAtom();
    memcpy(pName, strValue.data(), strValue.size());
    pName[strValue.size()] = '\0';
    m_OwnedNames.push_back(pName);
    m_Atoms.insert(Key(std::string_view(pName, strValue.size())));
    if (aReceived) {
        ++m_nReceivedCount;
        m_nReceivedBytes += strValue.size();
    }
    return CRtHttpAtom(pName);
}
