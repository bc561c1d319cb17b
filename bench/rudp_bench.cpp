// The reliable UDP connection as one side of the loopback anchor
// (../shared/rudp-anchor, run by bench/rudp_anchor.sh): a server and a
// client process, bulk and ping-pong, speaking the anchor's command line
// and printing its RESULT line.
//
//   rt_rudp_bench server|client --port P --mode bulk|pingpong --count N --size S
//                 --time-cap SEC --mtu BYTES --window BYTES --warmup K
//
// Messages carry a 40-byte header (magic, size, seq, hand-over time, t0,
// flags; bit 0 of flags marks warm-up) and then byte i = (seq*131 + i) mod
// 256. --window is the connection's maximum buffered send (option 132),
// --mtu its MTU (option 114).
#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "RtConnectionManager.h"
#include "RtEventQueue.h"
#include "RtOs.h"
#include "RtRudpConn.h"
#include "RtThread.h"
#include "RtThreadManager.h"

namespace {

constexpr uint32_t kMagic = 0x52554450u;
constexpr size_t kHeader = 40;

struct Header {
    uint32_t magic, size;
    uint64_t seq, sendNs, t0Ns, flags;
};

uint64_t NowNs() { return rtos::MonotonicUs() * 1000; }

// Byte i of a body is (seq*131 + i) mod 256: runs of the repeating 0..255
// pattern, copied and compared up to 256 bytes at a time.
const uint8_t* Pattern() {
    static const std::vector<uint8_t> table = [] {
        std::vector<uint8_t> t(512);
        for (size_t i = 0; i < t.size(); ++i)
            t[i] = static_cast<uint8_t>(i);
        return t;
    }();
    return table.data();
}

std::string Build(size_t aSize, uint64_t aSeq, uint64_t aT0, uint64_t aFlags) {
    std::string m(std::max(aSize, kHeader), '\0');
    Header h{kMagic, static_cast<uint32_t>(m.size()), aSeq, NowNs(), aT0, aFlags};
    memcpy(&m[0], &h, sizeof h);
    for (size_t i = kHeader; i < m.size(); i += 256)
        memcpy(&m[i], Pattern() + ((aSeq * 131 + i) & 0xFF), std::min<size_t>(256, m.size() - i));
    return m;
}

bool Parse(const char* p, size_t aLen, Header& aOut) {
    if (aLen < kHeader)
        return false;
    memcpy(&aOut.magic, p, 4);
    memcpy(&aOut.size, p + 4, 4);
    memcpy(&aOut.seq, p + 8, 8);
    memcpy(&aOut.sendNs, p + 16, 8);
    memcpy(&aOut.t0Ns, p + 24, 8);
    memcpy(&aOut.flags, p + 32, 8);
    if (aOut.magic != kMagic || aOut.size != aLen)
        return false;
    for (size_t i = kHeader; i < aLen; i += 256)
        if (memcmp(p + i, Pattern() + ((aOut.seq * 131 + i) & 0xFF), std::min<size_t>(256, aLen - i)) != 0)
            return false;
    return true;
}

struct Options {
    std::string role, mode = "bulk";
    uint16_t port = 47000;
    uint32_t count = 20000, size = 1000, timeCap = 20, mtu = 1200, window = 65536, warmup = 0;
};

int64_t Percentile(std::vector<int64_t>& aV, double aP) {
    if (aV.empty())
        return 0;
    std::sort(aV.begin(), aV.end());
    size_t rank = static_cast<size_t>(aP * aV.size() + 0.999999);
    rank = std::min(std::max<size_t>(rank, 1), aV.size());
    return aV[rank - 1];
}

// Both roles: a sink on the network thread (TS_MULTI_THREAD).
class Bench : public IRtAcceptorConnectorSink, public IRtTransportSink {
public:
    explicit Bench(const Options& aOpt) : m_Opt(aOpt), m_Seen(aOpt.count, 0) {}

    void OnConnectIndication(RtResult aReason, IRtTransport* aTrpt, IRtAcceptorConnectorId*) override {
        if (RT_FAILED(aReason) || !aTrpt) {
            fprintf(stderr, "connect failed rv=%d\n", aReason);
            m_bFailed = true;
            return;
        }
        if (m_pTrpt)
            return;  // one peer
        m_pTrpt = aTrpt;
        aTrpt->AddReference();
        aTrpt->OpenWithSink(this);
        aTrpt->SetOption(RT_OPT_CONN_MAX_SEND_BUF, &m_Opt.window);
        aTrpt->SetOption(RT_OPT_RUDP_MTU, &m_Opt.mtu);
        m_bConnected = true;
        if (m_Opt.role == "client")
            Next();
    }
    void OnReceive(CRtMessageBlock& aData, IRtTransport*) override {
        const uint64_t now = NowNs();
        // A message in one piece is read where it lies.
        std::string flat;
        const char* data = aData.GetTopLevelReadPtr();
        size_t len = aData.GetTopLevelLength();
        if (aData.GetNext()) {
            flat = aData.FlattenChained();
            data = flat.data();
            len = flat.size();
        }
        Header h{};
        const bool ok = Parse(data, len, h);
        if (m_Opt.role == "server") {
            if (!ok) {
                ++m_nCorrupt;
                return;
            }
            if ((h.flags & 1) || m_Opt.mode == "pingpong") {
                Echo(std::string(data, len));
                return;
            }
            OnBulk(h, now);
            return;
        }
        // Client: echoes of warm-up and ping-pong messages.
        if (!ok) {
            ++m_nCorrupt;
            return;
        }
        if (h.flags & 1) {
            ++m_nWarmDone;
        } else {
            m_Rtts.push_back((static_cast<int64_t>(now) - static_cast<int64_t>(h.sendNs)) / 1000);
            m_nLastNs = now;
            ++m_nMsgs;
        }
        Next();
    }
    void OnSend(IRtTransport*) override {
        if (!m_strPending.empty()) {
            std::string m;
            m.swap(m_strPending);
            Echo(m);
        }
        Next();
    }
    void OnDisconnect(RtResult aReason, IRtTransport*) override {
        fprintf(stderr, "disconnect rv=%d\n", aReason);
        if (aReason != RT_ERROR_NETWORK_SHUTDOWN)
            m_bPeerLost = true;
        m_bClosed = true;
    }

    // Client: the next thing to send, as far as back-pressure lets it.
    void Next() {
        if (m_Opt.role != "client" || !m_pTrpt || m_bSendDone)
            return;
        if (m_nWarmSent < m_Opt.warmup) {
            if (m_nWarmDone == m_nWarmSent && Send(Build(64, m_nWarmSent, 0, 1)))
                ++m_nWarmSent;
            return;
        }
        if (m_nWarmDone < m_Opt.warmup)
            return;
        if (!m_nT0) {
            m_nT0 = NowNs();
            m_nSent = 0;
        }
        const uint64_t stop = m_nT0 + static_cast<uint64_t>(m_Opt.timeCap) * 1000000000ull;
        if (m_Opt.mode == "pingpong") {
            if (m_nMsgs == m_nSent && m_nSent < m_Opt.count && NowNs() < stop &&
                Send(Build(m_Opt.size, m_nSent, m_nT0, 0)))
                ++m_nSent;
            if (m_nMsgs >= m_Opt.count || NowNs() >= stop)
                m_bSendDone = true;
            return;
        }
        while (m_nSent < m_Opt.count && NowNs() < stop) {
            if (!Send(Build(m_Opt.size, m_nSent, m_nT0, 0)))
                return;
            ++m_nSent;
        }
        m_bSendDone = true;
    }

    bool Send(const std::string& aMsg) {
        CRtMessageBlock b(aMsg.size(), aMsg.data(), CRtMessageBlock::DONT_DELETE, aMsg.size());
        RtResult rv = m_pTrpt->SendData(b);
        if (rv == RT_OK)
            return true;
        if (rv != RT_ERROR_PARTIAL_DATA)
            fprintf(stderr, "send failed rv=%d\n", rv);
        return false;
    }
    void Echo(const std::string& aMsg) {
        if (!m_strPending.empty() || !Send(aMsg))
            m_strPending = aMsg;  // goes with the next OnSend
    }
    void OnBulk(const Header& aH, uint64_t aNow) {
        if (!m_nT0)
            m_nT0 = aH.t0Ns;
        if (aH.seq >= m_Seen.size() || aH.size != std::max<size_t>(m_Opt.size, kHeader)) {
            ++m_nCorrupt;
            return;
        }
        if (m_Seen[aH.seq]) {
            ++m_nDups;
            return;
        }
        m_Seen[aH.seq] = 1;
        if (m_nMsgs && aH.seq != m_nPrevSeq + 1)
            ++m_nOoo;
        if (!m_nMsgs && aH.seq != 0)
            ++m_nOoo;
        m_nPrevSeq = aH.seq;
        ++m_nMsgs;
        m_nLastNs = aNow;
        // Signed: peers in two processes with clocks apart (a Wine peer)
        // show the skew rather than a wrapped value.
        m_Lat.push_back((static_cast<int64_t>(aNow) - static_cast<int64_t>(aH.sendNs)) / 1000);
        if (m_nMsgs == m_Opt.count)
            m_bComplete = true;
    }

    void Drop() {
        IRtTransport* t = m_pTrpt;
        m_pTrpt = nullptr;
        if (t) {
            t->Disconnect(RT_OK);
            t->ReleaseReference();
        }
    }
    void Print(const char* aRole, bool aTimedOut) {
        const bool complete = m_nMsgs >= m_Opt.count;
        const uint64_t end =
            complete ? m_nLastNs : (aTimedOut ? m_nT0 + uint64_t(m_Opt.timeCap) * 1000000000ull : NowNs());
        const double seconds = m_nT0 && end > m_nT0 ? (end - m_nT0) / 1e9 : 0.0;
        const uint64_t bytes = uint64_t(m_nMsgs) * m_Opt.size;
        std::vector<int64_t>& v = m_Opt.mode == "pingpong" ? m_Rtts : m_Lat;
        int64_t mx = v.empty() ? 0 : *std::max_element(v.begin(), v.end());
        int64_t p50 = Percentile(v, 0.5), p99 = Percentile(v, 0.99);
        const char* k = m_Opt.mode == "pingpong" ? "rtt" : "lat";
        printf("RESULT impl=rt role=%s mode=%s size=%u target=%u msgs=%u bytes=%" PRIu64
               " seconds=%.3f goodput_MBps=%.1f %s_p50_us=%" PRId64 " %s_p99_us=%" PRId64 " %s_max_us=%" PRId64
               " dups=%u ooo=%u corrupt=%u complete=%d peer_lost=%d\n",
               aRole, m_Opt.mode.c_str(), m_Opt.size, m_Opt.count, m_nMsgs.load(), bytes, seconds,
               seconds > 0 ? bytes / seconds / 1e6 : 0.0, k, p50, k, p99, k, mx, m_nDups, m_nOoo, m_nCorrupt.load(),
               complete ? 1 : 0, m_bPeerLost ? 1 : 0);
        fflush(stdout);
    }

    Options m_Opt;
    IRtTransport* m_pTrpt = nullptr;
    std::atomic<bool> m_bConnected{false}, m_bFailed{false}, m_bComplete{false}, m_bClosed{false}, m_bPeerLost{false},
        m_bSendDone{false};
    std::atomic<uint64_t> m_nT0{0};
    std::atomic<uint32_t> m_nMsgs{0}, m_nCorrupt{0};
    uint32_t m_nSent = 0, m_nWarmSent = 0, m_nWarmDone = 0, m_nDups = 0, m_nOoo = 0;
    uint64_t m_nPrevSeq = 0, m_nLastNs = 0;
    std::vector<uint8_t> m_Seen;
    std::vector<int64_t> m_Lat, m_Rtts;
    std::string m_strPending;
};

// Runs aFn on aThread and waits for it.
template <class Fn>
void OnThread(CRtThread* aThread, Fn aFn) {
    struct Call : IRtEvent {
        explicit Call(Fn& aF) : f(aF) {}
        RtResult OnEventFire() override {
            f();
            return RT_OK;
        }
        Fn& f;
    };
    aThread->GetEventQueue()->SendEvent(new Call(aFn));
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (argc < 2) {
        fprintf(stderr,
                "usage: %s server|client --port P --mode bulk|pingpong --count N --size S --time-cap SEC "
                "--mtu BYTES --window BYTES --warmup K\n",
                argv[0]);
        return 2;
    }
    opt.role = argv[1];
    for (int i = 2; i + 1 < argc; i += 2) {
        std::string k = argv[i];
        const char* v = argv[i + 1];
        if (k == "--port")
            opt.port = static_cast<uint16_t>(atoi(v));
        else if (k == "--mode")
            opt.mode = v;
        else if (k == "--count")
            opt.count = static_cast<uint32_t>(atol(v));
        else if (k == "--size")
            opt.size = static_cast<uint32_t>(atol(v));
        else if (k == "--time-cap")
            opt.timeCap = static_cast<uint32_t>(atol(v));
        else if (k == "--mtu")
            opt.mtu = static_cast<uint32_t>(atol(v));
        else if (k == "--window")
            opt.window = static_cast<uint32_t>(atol(v));
        else if (k == "--warmup")
            opt.warmup = static_cast<uint32_t>(atol(v));
    }
    CRtThreadManager manager;
    manager.Initialize(1, false);
    CRtThread* net = manager.GetDefaultNetworkThread();
    Bench bench(opt);
    IRtAcceptor* acceptor = nullptr;
    IRtConnector* connector = nullptr;
    CRtInetAddr addr("127.0.0.1", opt.port);
    OnThread(net, [&] {
        if (opt.role == "server") {
            CRtConnectionManager::Instance()->CreateConnectionServer(0x120002, acceptor, TS_MULTI_THREAD);
            if (RT_FAILED(acceptor->StartListen(&bench, addr)))
                bench.m_bFailed = true;
        } else {
            CRtConnectionManager::Instance()->CreateConnectionClient(0x120002, connector, TS_MULTI_THREAD);
            connector->AsycConnect(&bench, addr);
        }
    });
    const uint64_t start = NowNs();
    const uint64_t cap = uint64_t(opt.timeCap) * 1000000000ull;
    bool timedOut = false;
    for (;;) {
        rtos::SleepMs(opt.role == "server" ? 1 : 20);
        if (bench.m_bFailed)
            break;
        const uint64_t now = NowNs();
        if (opt.role == "server") {
            if (opt.mode == "bulk" && bench.m_bComplete)
                break;
            if (opt.mode == "bulk" && bench.m_nT0 && now > bench.m_nT0 + cap) {
                timedOut = true;
                break;
            }
            // Nobody came: say so rather than wait to be killed.
            if (bench.m_bClosed || (!bench.m_nT0 && now > start + cap + 30ull * 1000000000ull))
                break;
        } else {
            // Drives time-capped sending when nothing else happens; back-
            // pressure and the echoes drive it otherwise.
            OnThread(net, [&] { bench.Next(); });
            if (bench.m_bSendDone || bench.m_bClosed || now > start + cap + 30ull * 1000000000ull)
                break;
        }
    }
    if (opt.role == "server" && opt.mode == "bulk")
        OnThread(net, [&] { bench.Print("server", timedOut); });
    if (opt.role == "server") {
        // Say goodbye, so that the client need not wait out its own close.
        OnThread(net, [&] { bench.Drop(); });
        const uint64_t until = NowNs() + 2ull * 1000000000ull;
        while (CRtRudpConn::GetLiveCount() > 0 && NowNs() < until)
            rtos::SleepMs(5);
    }
    if (opt.role == "client") {
        if (opt.mode == "pingpong")
            OnThread(net, [&] { bench.Print("client", false); });
        // An orderly close: what is handed over still goes, then the peer
        // hears the shutdown; the connection lives on without us until then.
        // The connector holds its connection as long as it lives.
        OnThread(net, [&] {
            bench.Drop();
            connector->CancelConnect(RT_OK);
            connector->ReleaseReference();
            connector = nullptr;
        });
        const uint64_t until = NowNs() + 8ull * 1000000000ull;
        while (CRtRudpConn::GetLiveCount() > 0 && NowNs() < until)
            rtos::SleepMs(5);
    }
    OnThread(net, [&] {
        bench.Drop();
        if (acceptor) {
            acceptor->StopListen(RT_OK);
            acceptor->ReleaseReference();
        }
        if (connector) {
            connector->CancelConnect(RT_OK);
            connector->ReleaseReference();
        }
    });
    fflush(stdout);
    std::_Exit(0);
}
