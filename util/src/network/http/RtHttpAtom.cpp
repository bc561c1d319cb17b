#include "RtHttpAtom.h"

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
    for (size_t i = 0; i < aLeftLen; ++i) {
        if (LowerAscii(static_cast<unsigned char>(aLeft[i])) != LowerAscii(static_cast<unsigned char>(aRight[i])))
            return false;
    }
    return true;
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

size_t CRtHttpAtomList::HashNoCase::operator()(std::string_view aName) const {
    // FNV-1a over the lower-cased bytes.
    size_t hash = static_cast<size_t>(14695981039346656037ull);
    for (char c : aName) {
        hash ^= LowerAscii(static_cast<unsigned char>(c));
        hash *= static_cast<size_t>(1099511628211ull);
    }
    return hash;
}

const CRtHttpAtomList::AtomTable& CRtHttpAtomList::Prefilled() {
    static const AtomTable table = [] {
        AtomTable atoms;
#define RT_HTTP_INSERT_ATOM(member, text) atoms.insert(member.get());
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

    const AtomTable& prefilled = Prefilled();
    auto known = prefilled.find(strValue);
    if (known != prefilled.end())
        return CRtHttpAtom(known->data());

    CRtMutexGuardT<CRtMutexThread> guard(m_Mutex);
    auto found = m_Atoms.find(strValue);
    if (found != m_Atoms.end())
        return CRtHttpAtom(found->data());
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
    m_Atoms.insert(std::string_view(pName, strValue.size()));
    if (aReceived) {
        ++m_nReceivedCount;
        m_nReceivedBytes += strValue.size();
    }
    return CRtHttpAtom(pName);
}
