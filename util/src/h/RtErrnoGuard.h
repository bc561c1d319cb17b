// Keeps the C runtime's errno across a scope.
#pragma once

#include <cerrno>

class CRtErrnoGuard {
public:
    CRtErrnoGuard() : m_nErrno(errno) {}
    ~CRtErrnoGuard() { errno = m_nErrno; }

    CRtErrnoGuard(const CRtErrnoGuard&) = delete;
    CRtErrnoGuard& operator=(const CRtErrnoGuard&) = delete;

private:
    int m_nErrno;
};
