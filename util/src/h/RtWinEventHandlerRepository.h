// The reactor's table of registered handlers by socket handle.
#pragma once

#include <map>

#include "RtReactorInterface.h"

class CRtWinEventHandlerRepository {
public:
    struct CElement {
        IRtEventHandler* m_pEh = nullptr;
        IRtEventHandler::MASK m_Mask = IRtEventHandler::NULL_MASK;
        CElement() = default;
        CElement(IRtEventHandler* aEh, IRtEventHandler::MASK aMask) : m_pEh(aEh), m_Mask(aMask) {}
        bool IsCleared() const { return m_pEh == nullptr; }
    };

    RtResult Open();
    // RT_OK, RT_ERROR_NOT_FOUND, or RT_ERROR_INVALID_ARG for the invalid handle.
    RtResult Find(RT_HANDLE aFd, CElement& aEle);
    // RT_OK for a new handle, RT_ERROR_FOUND when one was replaced.
    RtResult Bind(RT_HANDLE aFd, const CElement& aEle);
    RtResult UnBind(RT_HANDLE aFd);
    void Close() { m_Handlers.clear(); }
    size_t GetCount() const { return m_Handlers.size(); }

    static bool IsVaildHandle(RT_HANDLE aFd) { return aFd != RT_INVALID_HANDLE; }

private:
    std::map<RT_HANDLE, CElement> m_Handlers;
};
