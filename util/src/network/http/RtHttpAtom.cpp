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

CRtString RtHttpStripSpaces(const CRtString& aText) {
    size_t first = aText.find_first_not_of(' ');
    if (first == CRtString::npos)
        return aText;
    size_t last = aText.find_last_not_of(' ');
    return aText.substr(first, last - first + 1);
}

// Constant-initialised, so other units may use them during their own static
// initialisation.
#define RT_HTTP_DEFINE_ATOM(member, text) const CRtHttpAtom CRtHttpAtomList::member{text};
RT_HTTP_PREFILLED_ATOMS(RT_HTTP_DEFINE_ATOM)
#undef RT_HTTP_DEFINE_ATOM

bool CRtHttpAtomList::LessNoCase::operator()(const char* aLeft, const char* aRight) const {
    const unsigned char* l = reinterpret_cast<const unsigned char*>(aLeft);
    const unsigned char* r = reinterpret_cast<const unsigned char*>(aRight);
    for (;; ++l, ++r) {
        unsigned char a = LowerAscii(*l);
        unsigned char b = LowerAscii(*r);
        if (a != b)
            return a < b;
        if (a == 0)
            return false;
    }
}

CRtHttpAtomList* CRtHttpAtomList::Instance() { return CRtSingletonT<CRtHttpAtomList>::Instance(); }

CRtHttpAtomList::CRtHttpAtomList() { RT_DEBUG_TRACE_THIS("CRtHttpAtomList::CRtHttpAtomList"); }

CRtHttpAtomList::~CRtHttpAtomList() {
    for (char* name : m_OwnedNames)
        delete[] name;
}

CRtHttpAtom CRtHttpAtomList::ResolveAtom(const CRtString& aName, bool aAdd) { return Resolve_i(aName, aAdd, false); }

CRtHttpAtom CRtHttpAtomList::ResolveReceivedAtom(const CRtString& aName) { return Resolve_i(aName, true, true); }

size_t CRtHttpAtomList::GetAtomCount() {
    CRtMutexGuardT<CRtMutexThread> guard(m_Mutex);
    if (!m_bTableFilled)
        CreateAtomTable();
    return m_Atoms.size();
}

size_t CRtHttpAtomList::GetReceivedAtomCount() {
    CRtMutexGuardT<CRtMutexThread> guard(m_Mutex);
    return m_nReceivedCount;
}

void CRtHttpAtomList::CreateAtomTable() {
#define RT_HTTP_INSERT_ATOM(member, text) m_Atoms.insert(member.get());
    RT_HTTP_PREFILLED_ATOMS(RT_HTTP_INSERT_ATOM)
#undef RT_HTTP_INSERT_ATOM
    RT_ASSERTE(m_Atoms.size() == kPrefilledCount);
    m_bTableFilled = true;
}

CRtHttpAtom CRtHttpAtomList::Resolve_i(const CRtString& aName, bool aAdd, bool aReceived) {
    CRtString strValue = RtHttpStripSpaces(aName);
    RT_ASSERTE_RETURN(!strValue.empty(), CRtHttpAtom());
    if (strValue.find('\0') != CRtString::npos)
        return CRtHttpAtom();

    CRtMutexGuardT<CRtMutexThread> guard(m_Mutex);
    if (!m_bTableFilled)
        CreateAtomTable();

    auto found = m_Atoms.find(strValue.c_str());
    if (found != m_Atoms.end())
        return CRtHttpAtom(*found);
    if (!aAdd)
        return CRtHttpAtom();
    if (aReceived) {
        if (m_nReceivedCount >= kMaxReceivedAtoms || strValue.size() > kMaxReceivedAtomBytes - m_nReceivedBytes)
            return CRtHttpAtom();
    }

    char* pName = new (std::nothrow) char[strValue.size() + 1];
    if (!pName)
        return CRtHttpAtom();
    memcpy(pName, strValue.c_str(), strValue.size() + 1);
    m_OwnedNames.push_back(pName);
    m_Atoms.insert(pName);
    if (aReceived) {
        ++m_nReceivedCount;
        m_nReceivedBytes += strValue.size();
    }
    return CRtHttpAtom(pName);
}
