#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

#include "RtErrnoGuard.h"
#include "RtMutex.h"

TEST(CRtMutex, IsRecursiveAndTryLockFailsFromAnotherThread) {
    CRtMutexThread mutex;
    ASSERT_EQ(RT_OK, mutex.Lock());
    ASSERT_EQ(RT_OK, mutex.Lock());
    ASSERT_EQ(RT_OK, mutex.TryLock());

    RtResult other = RT_OK;
    std::thread([&] { other = mutex.TryLock(); }).join();
    EXPECT_EQ(RT_ERROR_FAILURE, other);

    mutex.UnLock();
    mutex.UnLock();
    mutex.UnLock();
    std::thread([&] {
        other = mutex.TryLock();
        if (other == RT_OK)
            mutex.UnLock();
    }).join();
    EXPECT_EQ(RT_OK, other);
}

// A mutex that refuses its lock, to check the guard does not unlock what
// it did not lock.
struct RefusingMutex {
    int locks = 0;
    int unlocks = 0;
    RtResult result = RT_ERROR_FAILURE;
    RtResult Lock() {
        ++locks;
        return result;
    }
    RtResult UnLock() {
        ++unlocks;
        return RT_OK;
    }
};

TEST(CRtMutexGuardT, UnlocksOnlyWhatItLocked) {
    RefusingMutex refusing;
    { CRtMutexGuardT<RefusingMutex> guard(refusing); }
    EXPECT_EQ(1, refusing.locks);
    EXPECT_EQ(0, refusing.unlocks);

    RefusingMutex accepting;
    accepting.result = RT_OK;
    {
        CRtMutexGuardT<RefusingMutex> guard(accepting);
        guard.UnLock();
    }
    EXPECT_EQ(1, accepting.unlocks);
}

TEST(CRtMutexGuardT, SerialisesThreads) {
    CRtMutexThread mutex;
    long counter = 0;
    auto work = [&] {
        for (int i = 0; i < 20000; ++i) {
            CRtMutexGuardT<CRtMutexThread> guard(mutex);
            ++counter;
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(40000, counter);
}

TEST(CRtMutexNullSingleThread, LocksNothing) {
    CRtMutexNullSingleThread mutex;
    EXPECT_EQ(RT_OK, mutex.Lock());
    EXPECT_EQ(RT_OK, mutex.TryLock());
    EXPECT_EQ(RT_OK, mutex.UnLock());
}

TEST(CRtEnsureSingleThread, RecordsTheOwningThread) {
    CRtEnsureSingleThread est("owner");
    uint32_t here = est.GetThreadId();
    uint32_t there = 0;
    std::thread([&] {
        est.Reset2CurrentThreadId();
        there = est.GetThreadId();
    }).join();
    EXPECT_NE(here, there);
    EXPECT_EQ("owner", est.GetName());
    est.Reset2ThreadId(7);
    EXPECT_EQ(7u, est.GetThreadId());
}

TEST(CRtErrnoGuard, RestoresErrno) {
    errno = EINTR;
    {
        CRtErrnoGuard guard;
        errno = ENOENT;
    }
    EXPECT_EQ(EINTR, errno);
}
