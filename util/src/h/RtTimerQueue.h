// The timer queue of a framework thread. Due times follow the monotonic
// clock: steps of the wall clock are reported, but neither delay nor bunch
// timers. Any thread may schedule and cancel; only the owning thread runs
// CheckExpire, and handlers run without the lock held.
#pragma once

#include <cstdint>
#include <map>
#include <unordered_map>

#include "RtMutex.h"
#include "RtObserver.h"
#include "RtTimerHandler.h"

class CRtTimerQueueBase : public IRtTimerQueue {
public:
    struct CNode {
        IRtTimerHandler* m_pEh = nullptr;
        void* m_pToken = nullptr;
        CRtTimeValue m_tvExpired;
        CRtTimeValue m_tvInterval;
        uint32_t m_dwCount = 0;  // firings left; 0xFFFFFFFF without end
    };

    explicit CRtTimerQueueBase(IRtObserver* aObserver);
    ~CRtTimerQueueBase() override;

    RtResult ScheduleTimer(IRtTimerHandler* aEh, void* aArg, const CRtTimeValue& aInterval,
                           unsigned long aCount) override;
    RtResult CancelTimer(IRtTimerHandler* aEh) override;

    // Fires every due timer; returns how many fired. aRemainTime receives
    // the time to the next due timer, or s_tvMax when none is left.
    int CheckExpire(CRtTimeValue* aRemainTime = nullptr);
    // The next due time (monotonic), or s_tvMax when the queue is empty.
    CRtTimeValue GetEarliestTime();
    size_t GetCount();

protected:
    // Storage, always called with m_Mutex held. PushNode_l and EraseNode_l
    // return 0, or 1 when the handler had (PushNode_l) or lacked
    // (EraseNode_l) an entry; PopFirstNode_l and GetEarliestTime_l return 0
    // or -1 when empty.
    virtual int PushNode_l(const CNode& aNode) = 0;
    virtual int EraseNode_l(IRtTimerHandler* aEh) = 0;
    virtual int RePushNode_l(const CNode& aNode) = 0;
    virtual int PopFirstNode_l(CNode& aNode) = 0;
    virtual int GetEarliestTime_l(CRtTimeValue& aEarliest) const = 0;
    virtual size_t GetCount_l() const = 0;

    CRtMutexThread m_Mutex;

private:
    void CheckClock(const CRtTimeValue& aWallNow, const CRtTimeValue& aMonoNow);

    CRtTimeValue m_tvLastCheckWall;
    CRtTimeValue m_tvLastCheckMono;
    IRtObserver* m_pObserver;
};

// Entries ordered by due time; among equal due times the newest first.
// Insert, cancel and pop are logarithmic.
class CRtTimerQueueOrderedList : public CRtTimerQueueBase {
public:
    explicit CRtTimerQueueOrderedList(IRtObserver* aObserver = nullptr) : CRtTimerQueueBase(aObserver) {}

protected:
    int PushNode_l(const CNode& aNode) override;
    int EraseNode_l(IRtTimerHandler* aEh) override;
    int RePushNode_l(const CNode& aNode) override;
    int PopFirstNode_l(CNode& aNode) override;
    int GetEarliestTime_l(CRtTimeValue& aEarliest) const override;
    size_t GetCount_l() const override { return m_Nodes.size(); }

private:
    struct Key {
        int64_t nExpiredUs;  // the due time in microseconds: one compare
        uint64_t nSeq;       // larger is newer
        bool operator<(const Key& aOther) const {
            if (nExpiredUs != aOther.nExpiredUs)
                return nExpiredUs < aOther.nExpiredUs;
            return nSeq > aOther.nSeq;
        }
    };
    // What the tree keeps besides the key: small nodes walk the tree faster.
    struct Entry {
        IRtTimerHandler* pEh;
        void* pToken;
        int64_t nIntervalUs;
        uint32_t dwCount;
    };
    typedef std::map<Key, Entry> NodesType;

    void Insert_l(const CNode& aNode);

    NodesType m_Nodes;
    std::unordered_map<IRtTimerHandler*, NodesType::iterator> m_Index;
    uint64_t m_nSeq = 0;
};
