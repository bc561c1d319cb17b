#include "RtTimerQueue.h"

#include "RtDebug.h"

namespace {
constexpr uint32_t kInfiniteCount = 0xFFFFFFFF;
constexpr int64_t kBigJumpSeconds = 3600;

CRtTimeValue UsecToTime(int64_t aUs) { return CRtTimeValue(aUs / 1000000, static_cast<int32_t>(aUs % 1000000)); }

// Moves a periodic due time past aNow in whole periods, keeping its phase;
// periods missed while the thread was busy are skipped.
CRtTimeValue NextDue(const CRtTimeValue& aDue, const CRtTimeValue& aInterval, const CRtTimeValue& aNow) {
    int64_t interval = aInterval.GetTotalInUsec();
    int64_t late = (aNow - aDue).GetTotalInUsec();
    int64_t periods = late / interval + 1;
    return UsecToTime(aDue.GetTotalInUsec() + periods * interval);
}
}  // namespace

CRtTimerQueueBase::CRtTimerQueueBase(IRtObserver* aObserver) : m_pObserver(aObserver) {}

CRtTimerQueueBase::~CRtTimerQueueBase() {}

RtResult CRtTimerQueueBase::ScheduleTimer(IRtTimerHandler* aEh, void* aArg, const CRtTimeValue& aInterval,
                                          unsigned long aCount) {
    RT_ASSERTE_RETURN(aEh, RT_ERROR_INVALID_ARG);
    RT_ASSERTE_RETURN(aInterval > CRtTimeValue::s_tvZero || aCount == 1, RT_ERROR_INVALID_ARG);

    CNode node;
    node.m_pEh = aEh;
    node.m_pToken = aArg;
    node.m_tvInterval = aInterval;
    node.m_dwCount = aCount == 0 ? kInfiniteCount : static_cast<uint32_t>(aCount);

    bool wasEmpty = false;
    int rv;
    {
        CRtMutexGuardT<CRtMutexThread> guard(m_Mutex);
        if (m_pObserver) {
            CRtTimeValue earliest;
            wasEmpty = GetEarliestTime_l(earliest) != 0;
        }
        node.m_tvExpired = CRtTimeValue::GetMonotonicTime() + aInterval;
        rv = PushNode_l(node);
    }
    // Outside the lock: the observer may schedule or post in turn.
    if (wasEmpty)
        m_pObserver->OnObserve("TimerQueue notify", nullptr);
    return rv == 0 ? RT_OK : rv == 1 ? RT_ERROR_FOUND : RT_ERROR_FAILURE;
}

RtResult CRtTimerQueueBase::CancelTimer(IRtTimerHandler* aEh) {
    RT_ASSERTE_RETURN(aEh, RT_ERROR_INVALID_ARG);
    CRtMutexGuardT<CRtMutexThread> guard(m_Mutex);
    int rv = EraseNode_l(aEh);
    return rv == 0 ? RT_OK : rv == 1 ? RT_ERROR_NOT_FOUND : RT_ERROR_FAILURE;
}

void CRtTimerQueueBase::CheckClock(const CRtTimeValue& aWallNow, const CRtTimeValue& aMonoNow) {
    if (m_tvLastCheckWall > aWallNow) {
        RT_ERROR_TRACE_THIS("CheckExpire, time fall back! last=" << m_tvLastCheckWall.GetTotalInMsec()
                                                                 << " cur=" << aWallNow.GetTotalInMsec() << " diff="
                                                                 << (m_tvLastCheckWall - aWallNow).GetTotalInMsec());
    } else if (m_tvLastCheckWall.GetSec() != 0) {
        // A jump is the wall clock running ahead of the monotonic one, not a
        // long sleep between two checks.
        int64_t wallDelta = (aWallNow - m_tvLastCheckWall).GetSec();
        int64_t monoDelta = (aMonoNow - m_tvLastCheckMono).GetSec();
        if (wallDelta - monoDelta > kBigJumpSeconds) {
            RT_DEBUG_TRACE_THIS("CheckExpire, big jump ahead! last=" << m_tvLastCheckWall.GetSec() << " cur="
                                                                     << aWallNow.GetSec() << " diff=" << wallDelta);
        }
    }
    m_tvLastCheckWall = aWallNow;
    m_tvLastCheckMono = aMonoNow;
}

int CRtTimerQueueBase::CheckExpire(CRtTimeValue* aRemainTime) {
    {
        // Idle queues are checked on every loop pass: keep that cheap.
        CRtMutexGuardT<CRtMutexThread> guard(m_Mutex);
        if (GetCount_l() == 0) {
            if (aRemainTime)
                *aRemainTime = CRtTimeValue::s_tvMax;
            return 0;
        }
    }
    CRtTimeValue now = CRtTimeValue::GetMonotonicTime();
    CheckClock(CRtTimeValue::GetTimeOfDay(), now);

    int fired = 0;
    CRtMutexGuardT<CRtMutexThread> guard(m_Mutex);
    CRtTimeValue earliest;
    while (GetEarliestTime_l(earliest) == 0) {
        if (earliest > now) {
            if (aRemainTime)
                *aRemainTime = earliest - CRtTimeValue::GetMonotonicTime();
            return fired;
        }
        CNode node;
        int rv = PopFirstNode_l(node);
        RT_ASSERTE(rv == 0);
        if (rv != 0)
            break;
        if (node.m_dwCount != kInfiniteCount)
            --node.m_dwCount;
        if (node.m_dwCount != 0 && node.m_tvInterval > CRtTimeValue::s_tvZero) {
            node.m_tvExpired = NextDue(node.m_tvExpired, node.m_tvInterval, now);
            RePushNode_l(node);
        }
        m_Mutex.UnLock();
        node.m_pEh->OnTimeout(now, node.m_pToken);
        ++fired;
        m_Mutex.Lock();
    }
    if (aRemainTime)
        *aRemainTime = CRtTimeValue::s_tvMax;
    return fired;
}

CRtTimeValue CRtTimerQueueBase::GetEarliestTime() {
    CRtMutexGuardT<CRtMutexThread> guard(m_Mutex);
    CRtTimeValue earliest;
    return GetEarliestTime_l(earliest) == 0 ? earliest : CRtTimeValue::s_tvMax;
}

size_t CRtTimerQueueBase::GetCount() {
    CRtMutexGuardT<CRtMutexThread> guard(m_Mutex);
    return GetCount_l();
}

void CRtTimerQueueOrderedList::Insert_l(const CNode& aNode) {
    Entry entry{aNode.m_pEh, aNode.m_pToken, aNode.m_tvInterval.GetTotalInUsec(), aNode.m_dwCount};
    auto it = m_Nodes.emplace(Key{aNode.m_tvExpired.GetTotalInUsec(), ++m_nSeq}, entry).first;
    m_Index[aNode.m_pEh] = it;
}

int CRtTimerQueueOrderedList::PushNode_l(const CNode& aNode) {
    int replaced = EraseNode_l(aNode.m_pEh) == 0 ? 1 : 0;
    Insert_l(aNode);
    return replaced;
}

int CRtTimerQueueOrderedList::EraseNode_l(IRtTimerHandler* aEh) {
    auto found = m_Index.find(aEh);
    if (found == m_Index.end())
        return 1;
    m_Nodes.erase(found->second);
    m_Index.erase(found);
    return 0;
}

int CRtTimerQueueOrderedList::RePushNode_l(const CNode& aNode) {
    Insert_l(aNode);
    return 0;
}

int CRtTimerQueueOrderedList::PopFirstNode_l(CNode& aNode) {
    RT_ASSERTE_RETURN(!m_Nodes.empty(), -1);
    auto first = m_Nodes.begin();
    const Entry& entry = first->second;
    aNode.m_pEh = entry.pEh;
    aNode.m_pToken = entry.pToken;
    aNode.m_tvExpired = UsecToTime(first->first.nExpiredUs);
    aNode.m_tvInterval = UsecToTime(entry.nIntervalUs);
    aNode.m_dwCount = entry.dwCount;
    m_Index.erase(entry.pEh);
    m_Nodes.erase(first);
    return 0;
}

int CRtTimerQueueOrderedList::GetEarliestTime_l(CRtTimeValue& aEarliest) const {
    if (m_Nodes.empty())
        return -1;
    aEarliest = UsecToTime(m_Nodes.begin()->first.nExpiredUs);
    return 0;
}
