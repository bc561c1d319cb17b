#include "RtWinEventHandlerRepository.h"

#include "RtDebug.h"

RtResult CRtWinEventHandlerRepository::Open() {
    RT_ASSERTE_RETURN(m_Handlers.empty(), RT_ERROR_ALREADY_INITIALIZED);
    return RT_OK;
}

RtResult CRtWinEventHandlerRepository::Find(RT_HANDLE aFd, CElement& aEle) {
    RT_ASSERTE_RETURN(IsVaildHandle(aFd), RT_ERROR_INVALID_ARG);
    auto found = m_Handlers.find(aFd);
    if (found == m_Handlers.end())
        return RT_ERROR_NOT_FOUND;
    aEle = found->second;
    RT_ASSERTE(!aEle.IsCleared());
    return RT_OK;
}

RtResult CRtWinEventHandlerRepository::Bind(RT_HANDLE aFd, const CElement& aEle) {
    if (!IsVaildHandle(aFd) || aEle.IsCleared())
        return RT_ERROR_INVALID_ARG;
    auto result = m_Handlers.insert_or_assign(aFd, aEle);
    return result.second ? RT_OK : RT_ERROR_FOUND;
}

RtResult CRtWinEventHandlerRepository::UnBind(RT_HANDLE aFd) {
    return m_Handlers.erase(aFd) ? RT_OK : RT_ERROR_NOT_FOUND;
}
