// The started/stopped flag that loops test on every pass. Written by any
// thread, read by the loop's thread.
#pragma once

#include <atomic>

#include "RtDebug.h"
#include "RtEnsureSingleThread.h"

class CRtStopFlag {
public:
    CRtStopFlag() : m_Est("CRtStopFlag") {}

    void SetStartFlag() {
        RT_ASSERTE(stoppedflag_);
        stoppedflag_ = false;
    }
    void SetStopFlag() { stoppedflag_ = true; }
    bool IsFlagStopped() const { return stoppedflag_; }

protected:
    CRtEnsureSingleThread m_Est;
    std::atomic<bool> stoppedflag_{true};
};
