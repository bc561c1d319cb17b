// The helpers that ask the system: the local address, the last socket
// error and the per-thread COM initialisation count.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "RtBase.h"
#include "RtOs.h"
#include "RtOsCom.h"
#include "RtOsSocket.h"
#include "RtTestSupport.h"

namespace {

bool IsLoopback(uint32_t aAddr) { return reinterpret_cast<const uint8_t*>(&aAddr)[0] == 127; }

std::string Dotted(uint32_t aAddr) {
    const uint8_t* b = reinterpret_cast<const uint8_t*>(&aAddr);
    return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." + std::to_string(b[3]);
}

// The IPv4 addresses as another tool sees them: "ip -o -4 addr" on Linux,
// the platform's resolver for the host name on Windows.
bool IndependentAddresses(std::set<std::string>* aOut) {
#if defined(RT_OS_WINDOWS)
    if (!rtos::SocketStartup())
        return false;
    char name[256];
    rtos::SocketAddress found[16];
    size_t count = 0;
    const bool ok =
        rtos::GetLocalHostName(name, sizeof name) == 0 && rtos::ResolveHost(name, false, found, 16, &count) == 0;
    for (size_t i = 0; ok && i < count; ++i) {
        if (found[i].family == rtos::kAfInet)
            aOut->insert(std::to_string(found[i].addr[0]) + "." + std::to_string(found[i].addr[1]) + "." +
                         std::to_string(found[i].addr[2]) + "." + std::to_string(found[i].addr[3]));
    }
    rtos::SocketCleanup();
    return ok;
#else
    FILE* pipe = popen("ip -o -4 addr show up 2>/dev/null", "r");
    if (!pipe)
        return false;
    char line[512];
    while (fgets(line, sizeof line, pipe)) {
        const std::string text = line;
        const size_t inet = text.find(" inet ");
        if (inet == std::string::npos)
            continue;
        const size_t start = inet + 6;
        aOut->insert(text.substr(start, text.find('/', start) - start));
    }
    return pclose(pipe) == 0;
#endif
}

// Runs aBody on a thread of its own and returns that thread's id.
template <class Body>
uint32_t OnNewThread(Body aBody) {
    uint32_t id = 0;
    std::thread([&] {
        id = rtos::ThreadId();
        aBody();
    }).join();
    return id;
}

const char kNotFound[] = "::RtCoUninitialize, COM initialization record not found! threadID=";

}  // namespace

TEST(RtGetLocalIP, IsAnAddressOfThisMachinePreferringANonLoopbackOne) {
    std::set<std::string> addresses;
    if (!IndependentAddresses(&addresses) || addresses.empty())
        GTEST_SKIP() << "no independent list of this machine's addresses";
    const uint32_t ip = RtGetLocalIP();
    ASSERT_NE(0u, ip);
    EXPECT_EQ(1u, addresses.count(Dotted(ip))) << Dotted(ip);
    bool anyOther = false;
    for (const std::string& a : addresses)
        anyOther = anyOther || a.compare(0, 4, "127.") != 0;
    EXPECT_EQ(anyOther, !IsLoopback(ip)) << Dotted(ip);
    // The same answer from another thread: nothing per-thread is kept.
    uint32_t other = 0;
    OnNewThread([&] { other = RtGetLocalIP(); });
    EXPECT_EQ(ip, other);
}

TEST(RtGetLastError, IsTheCallingThreadsLastSocketError) {
    ASSERT_TRUE(rtos::SocketStartup());
    int failed = 0;
    int fresh = -1;
    OnNewThread([&] {
        rtos::SocketAddress any;
        ASSERT_EQ(-1, rtos::SocketBind(rtos::kInvalidSocket, any));
        failed = RtGetLastError();
        // A thread that has not failed yet has nothing to report. (Windows
        // keeps the socket error in the thread's last error, which thread
        // start and join overwrite: both reads happen on the thread.)
        OnNewThread([&] { fresh = RtGetLastError(); });
    });
    EXPECT_NE(0, failed);
    EXPECT_EQ(0, fresh);
    rtos::SocketCleanup();
}

TEST(RtCoInitialize, CountsPerThreadAndUninitialisesWithTheLastCall) {
    rttest::LogWatch watch;
    std::vector<int32_t> probes;
    const uint32_t id = OnNewThread([&] {
        EXPECT_EQ(RT_OK, RtCoInitialize());
        EXPECT_EQ(RT_OK, RtCoInitialize());
        RtCoUninitialize();
        // COM is still initialised for the thread: a direct call is counted
        // on top (1) and undone at once.
        probes.push_back(rtos::ComInitialize());
        rtos::ComUninitialize();
        RtCoUninitialize();
        probes.push_back(rtos::ComInitialize());
        rtos::ComUninitialize();
        EXPECT_FALSE(watch.Has(kNotFound + std::to_string(rtos::ThreadId())));
        // One call more than were counted.
        RtCoUninitialize();
    });
    EXPECT_TRUE(watch.Has(kNotFound + std::to_string(id) + "\n")) << rttest::ReadProcessLog();
#if defined(RT_OS_WINDOWS)
    EXPECT_EQ((std::vector<int32_t>{1, 0}), probes);
#else
    EXPECT_EQ((std::vector<int32_t>{0, 0}), probes);
#endif
}

TEST(RtCoInitialize, UninitialiseWithoutARecordOnlyLogs) {
    rttest::LogWatch watch;
    uint32_t other = 0;
    const uint32_t owner = OnNewThread([&] {
        ASSERT_EQ(RT_OK, RtCoInitialize());
        // Another thread's call finds no record of its own.
        other = OnNewThread([] { RtCoUninitialize(); });
        RtCoUninitialize();
        EXPECT_FALSE(watch.Has(kNotFound + std::to_string(rtos::ThreadId())));
        RtCoUninitialize();
    });
    EXPECT_TRUE(watch.Has(kNotFound + std::to_string(other) + "\n")) << rttest::ReadProcessLog();
    EXPECT_TRUE(watch.Has(kNotFound + std::to_string(owner) + "\n"));
}

TEST(RtCoInitialize, ManyThreadsKeepSeparateCounts) {
    rttest::LogWatch watch;
    std::vector<std::thread> threads;
    std::vector<uint32_t> ids(6);
    for (size_t t = 0; t < ids.size(); ++t) {
        threads.emplace_back([&ids, t] {
            ids[t] = rtos::ThreadId();
            for (int round = 0; round < 200; ++round) {
                const int depth = 1 + round % 3;
                for (int i = 0; i < depth; ++i)
                    EXPECT_EQ(RT_OK, RtCoInitialize());
                for (int i = 0; i < depth; ++i)
                    RtCoUninitialize();
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    EXPECT_FALSE(watch.Has(kNotFound)) << rttest::ReadProcessLog();
    EXPECT_FALSE(watch.Has("Assert failed"));
}

#if defined(RT_OS_WINDOWS)
// A thread that initialised COM itself gets S_FALSE from COM, which counts
// it; RtCoInitialize reports the failure and must not leave that count.
TEST(RtCoInitialize, AlreadyInitialisedThreadFailsWithoutLeakingACount) {
    rttest::LogWatch watch;
    int32_t reinit = -1;
    const uint32_t id = OnNewThread([&] {
        ASSERT_EQ(0, rtos::ComInitialize());
        EXPECT_EQ(RT_ERROR_FAILURE, RtCoInitialize());
        RtCoUninitialize();  // no record was added
        rtos::ComUninitialize();
        // Only a thread whose COM count is back to zero gets S_OK again.
        reinit = rtos::ComInitialize();
        rtos::ComUninitialize();
    });
    EXPECT_EQ(0, reinit);
    EXPECT_TRUE(watch.Has("::RtCoInitialize, CoInitialize failed! rv=1 threadID=" + std::to_string(id) + "\n"))
        << rttest::ReadProcessLog();
    EXPECT_TRUE(watch.Has(kNotFound + std::to_string(id) + "\n"));
}
#endif
