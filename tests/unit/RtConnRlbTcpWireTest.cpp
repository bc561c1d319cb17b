// The reliable TCP connection's units, its send buffer and its upload
// allowance, without a network.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RtBandWidthCtrl.h"
#include "RtConnRlbTcpPdu.h"
#include "RtConnRlbTcpSendBuffer.h"
#include "RtMessageBlock.h"
#include "RtNetworkBase.h"

namespace {

std::string Header(const CRtRlbTcpPdu& aPdu) {
    uint8_t buf[kRtRlbTcpMaxHeader];
    size_t n = aPdu.Encode(buf);
    return std::string(reinterpret_cast<const char*>(buf), n);
}

CRtRlbTcpPdu Pdu(uint8_t aType) {
    CRtRlbTcpPdu p;
    p.type = aType;
    return p;
}

// A heap chain the buffer may destroy.
CRtMessageBlock* Chain(const std::string& aBytes) {
    CRtMessageBlock view(static_cast<unsigned long>(aBytes.size()), aBytes.data(), CRtMessageBlock::DONT_DELETE,
                         static_cast<unsigned long>(aBytes.size()));
    return view.DuplicateChained();
}

// A lower transport that takes at most m_nTake bytes per call (all when
// negative) and keeps them.
class Lower : public IRtTransport {
public:
    uint32_t AddReference() override { return 1; }
    uint32_t ReleaseReference() override { return 1; }
    RtResult OpenWithSink(IRtTransportSink*) override { return RT_OK; }
    IRtTransportSink* GetSink() override { return nullptr; }
    RtResult SendData(CRtMessageBlock& aData, bool, bool aDestroy, long, bool) override {
        ++m_nCalls;
        std::string all = aData.FlattenChained();
        size_t n = m_nTake < 0 ? all.size() : std::min(all.size(), static_cast<size_t>(m_nTake));
        m_strWire += all.substr(0, n);
        if (n < all.size()) {
            aData.AdvanceChainedReadPtr(static_cast<unsigned long>(n));
            return RT_ERROR_PARTIAL_DATA;
        }
        if (aDestroy)
            aData.DestroyChained();
        return RT_OK;
    }
    RtResult SetOption(unsigned long, void*) override { return RT_OK; }
    RtResult GetOption(unsigned long, void*) override { return RT_OK; }
    RtResult Disconnect(RtResult) override { return RT_OK; }

    long m_nTake = -1;
    int m_nCalls = 0;
    std::string m_strWire;
};

struct Unit {
    CRtRlbTcpPdu pdu;
    std::string payload;
};

// Feeds aWire to a reader in pieces of aStep bytes and collects the units.
RtResult ReadAll(const std::string& aWire, size_t aStep, std::vector<Unit>& aUnits, uint32_t aMax = 1 << 20) {
    CRtRlbTcpUnitReader reader(aMax);
    for (size_t at = 0; at < aWire.size(); at += aStep) {
        std::string piece = aWire.substr(at, aStep);
        CRtMessageBlock mb(static_cast<unsigned long>(piece.size()), piece.data(), CRtMessageBlock::DONT_DELETE,
                           static_cast<unsigned long>(piece.size()));
        reader.Append(mb);
        for (;;) {
            Unit u;
            CRtMessageBlock* payload = nullptr;
            RtResult rv = reader.Next(u.pdu, payload);
            if (rv == RT_ERROR_PARTIAL_DATA)
                break;
            if (rv != RT_OK)
                return rv;
            if (payload) {
                u.payload = payload->FlattenChained();
                payload->DestroyChained();
            }
            aUnits.push_back(u);
        }
    }
    return RT_OK;
}

}  // namespace

TEST(RlbTcpPdu, FramingIsLittleEndianWhateverTheHost) {
    CRtRlbTcpPdu g = Pdu('G');
    g.ack = 0x0102;
    g.length = 10;
    EXPECT_EQ(std::string("\x47\x02\x01\x0A\x00\x00\x00", 7), Header(g));

    CRtRlbTcpPdu a = Pdu('A');
    a.connTypeHigh = 0x001E;
    a.channel = 0x0304;
    a.ack = 0x0506;
    a.ticket = 0x0708090A;
    EXPECT_EQ(std::string("\x41\x1E\x00\x04\x03\x06\x05\x0A\x09\x08\x07", 11), Header(a));

    CRtRlbTcpPdu b = Pdu('B');
    b.result = 20027;
    b.channel = 7;
    b.ticket = 0xFFFFFFFE;
    EXPECT_EQ(std::string("\x42\x3B\x4E\x00\x00\x07\x00\x00\x00\xFE\xFF\xFF\xFF", 13), Header(b));

    const size_t sizes[] = {11, 13, 1, 3, 5, 7, 7, 5, 3};
    for (uint8_t t = 'A'; t <= 'I'; ++t)
        EXPECT_EQ(sizes[t - 'A'], RtRlbTcpHeaderSize(t)) << t;
    EXPECT_EQ(0u, RtRlbTcpHeaderSize('@'));
    EXPECT_EQ(0u, RtRlbTcpHeaderSize('J'));
    EXPECT_EQ(0u, Pdu(0x50).Encode(nullptr));
}

// Every unit type, several in one input and split at any byte boundary,
// comes out as the same sequence.
TEST(RlbTcpPdu, ReaderGivesTheSameUnitsWhateverThePieces) {
    std::string wire;
    std::vector<Unit> sent;
    for (uint8_t t = 'A'; t <= 'I'; ++t) {
        Unit u;
        u.pdu = Pdu(t);
        u.pdu.ack = static_cast<uint16_t>(t * 3);
        u.pdu.channel = static_cast<uint16_t>(t * 5);
        u.pdu.ticket = 0xA0B0C0D0u + t;
        u.pdu.result = t;
        u.pdu.probe = 0x10000u * t;
        u.pdu.idleTimeout = t;
        u.pdu.connTypeHigh = 0x1E;
        if (RtRlbTcpIsData(t)) {
            u.payload = std::string(t, static_cast<char>(t));
            u.pdu.length = static_cast<uint32_t>(u.payload.size());
        }
        wire += Header(u.pdu) + u.payload;
        sent.push_back(u);
    }
    // A data unit without payload is a unit too.
    Unit empty{Pdu('E'), ""};
    wire += Header(empty.pdu);
    sent.push_back(empty);

    for (size_t step = 1; step <= wire.size(); ++step) {
        std::vector<Unit> got;
        ASSERT_EQ(RT_OK, ReadAll(wire, step, got)) << step;
        ASSERT_EQ(sent.size(), got.size()) << step;
        for (size_t i = 0; i < sent.size(); ++i) {
            EXPECT_EQ(Header(sent[i].pdu), Header(got[i].pdu)) << step << " " << i;
            EXPECT_EQ(sent[i].payload, got[i].payload) << step << " " << i;
        }
    }
}

TEST(RlbTcpPdu, ReaderRefusesUnknownTypesAndOverlongPayloadsAtOnce) {
    std::vector<Unit> got;
    EXPECT_EQ(RT_ERROR_NETWORK_INVALID_PDU, ReadAll(Header(Pdu('D')) + "\x50", 64, got));
    EXPECT_EQ(1u, got.size());

    // The length alone condemns it: nothing waits for 4 GiB to arrive.
    CRtRlbTcpPdu huge = Pdu('G');
    huge.length = 0xFFFFFFF0;
    CRtRlbTcpUnitReader reader(1000);
    std::string wire = Header(huge) + "abc";
    CRtMessageBlock mb(static_cast<unsigned long>(wire.size()), wire.data(), CRtMessageBlock::DONT_DELETE,
                       static_cast<unsigned long>(wire.size()));
    reader.Append(mb);
    CRtRlbTcpPdu pdu;
    CRtMessageBlock* payload = nullptr;
    EXPECT_EQ(RT_ERROR_NETWORK_INVALID_PDU, reader.Next(pdu, payload));
    EXPECT_EQ('G', reader.GetBadType());
    EXPECT_EQ(RT_ERROR_NETWORK_INVALID_PDU, reader.Append(mb));

    // Exactly the maximum is fine.
    CRtRlbTcpPdu most = Pdu('E');
    most.length = 1000;
    got.clear();
    EXPECT_EQ(RT_OK, ReadAll(Header(most) + std::string(1000, 'x'), 300, got, 1000));
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(1000u, got[0].payload.size());
}

TEST(RlbTcpPdu, ResetStartsAgainAtAUnitBoundary) {
    CRtRlbTcpUnitReader reader;
    CRtRlbTcpPdu g = Pdu('G');
    g.length = 8;
    std::string partial = Header(g) + "1234";
    CRtMessageBlock mb(static_cast<unsigned long>(partial.size()), partial.data(), CRtMessageBlock::DONT_DELETE,
                       static_cast<unsigned long>(partial.size()));
    reader.Append(mb);
    CRtRlbTcpPdu pdu;
    CRtMessageBlock* payload = nullptr;
    EXPECT_EQ(RT_ERROR_PARTIAL_DATA, reader.Next(pdu, payload));
    reader.Reset();
    EXPECT_EQ(0u, reader.GetBufferedLength());
    std::string next = Header(Pdu('C'));
    CRtMessageBlock mb2(1, next.data(), CRtMessageBlock::DONT_DELETE, 1);
    reader.Append(mb2);
    ASSERT_EQ(RT_OK, reader.Next(pdu, payload));
    EXPECT_EQ('C', pdu.type);
    EXPECT_EQ(nullptr, payload);
}

TEST(BandWidthCtrl, AllowancesPerSliceAndSecond) {
    CBandWidthCtrl bw(1000, 10000, 10);
    EXPECT_EQ(1000u, bw.Allowed(5000));  // a tenth per slice
    bw.OnWritten(600);
    EXPECT_EQ(400u, bw.Allowed(5000));
    bw.Tick(1050);  // same slice
    EXPECT_EQ(400u, bw.Allowed(5000));
    for (uint32_t t = 1100; t < 2000; t += 100) {
        bw.Tick(t);
        EXPECT_EQ(1000u, bw.Allowed(5000)) << t;
        bw.OnWritten(1000);
    }
    EXPECT_EQ(0u, bw.Allowed(5000));  // the second's 10000 are spent
    bw.SetLimit(20000);
    bw.Tick(1950);
    EXPECT_EQ(0u, bw.Allowed(5000));  // a new limit waits for the next second
    bw.Tick(2000);
    EXPECT_EQ(2000u, bw.Allowed(5000));

    bw.SetLimit(1);
    EXPECT_EQ(CBandWidthCtrl::kMinLimit, bw.GetRequestedLimit());
    bw.SetLimit(0xFFFFFFFF);
    EXPECT_EQ(CBandWidthCtrl::kMaxLimit, bw.GetRequestedLimit());
    CBandWidthCtrl fast(0);
    EXPECT_EQ(CBandWidthCtrl::kMaxSingleWrite, fast.Allowed(0xFFFFFFFF));

    // Divisors out of range: one slice a second at least, ten at most; the
    // tick count may wrap.
    CBandWidthCtrl one(0xFFFFFF00, 5000, 0);
    EXPECT_EQ(5000u, one.Allowed(9999));
    one.OnWritten(5000);
    one.Tick(0xFFFFFF00 + 999);
    EXPECT_EQ(0u, one.Allowed(9999));
    one.Tick(0xFFFFFF00 + 1000);
    EXPECT_EQ(5000u, one.Allowed(9999));
    CBandWidthCtrl many(0, 100000, 1000);
    EXPECT_EQ(10000u, many.GetLimitPerSlice());

    // Slices keep to their grid whatever the ticks' period: a writer that
    // takes all it may at each 30 ms tick gets the limit, not five sixths.
    CBandWidthCtrl grid(0, 1000000, 10);
    uint64_t total = 0;
    for (uint32_t t = 0; t < 3000; t += 30) {
        grid.Tick(t);
        const uint32_t n = grid.Allowed(0xFFFFFFFF);
        grid.OnWritten(n);
        total += n;
    }
    EXPECT_GE(total, 2950000u);
    EXPECT_LE(total, 3000000u);

    // Only tests and benchmarks lift the cap; 0 puts it back.
    CBandWidthCtrl::SetCapForTest(0xFFFFFFFF);
    CBandWidthCtrl lifted(0);
    EXPECT_EQ(0xFFFFFFFFu, lifted.GetRequestedLimit());
    lifted.OnWritten(0xFFFFFFF0);
    lifted.OnWritten(0x100);  // saturates instead of wrapping to a fresh allowance
    EXPECT_EQ(0u, lifted.Allowed(1));
    CBandWidthCtrl::SetCapForTest(0);
    EXPECT_EQ(CBandWidthCtrl::kMaxLimit, CBandWidthCtrl(0).GetRequestedLimit());
}

TEST(RlbTcpSendBuffer, EncodesStampsKeepsAndFreesByAck) {
    CRtConnRlbTcpSendBuffer buf(0);
    Lower lower;
    buf.Queue('G', Chain("g1"));
    buf.Queue('E', Chain("e"));
    buf.Queue('F', Chain("fff"));
    buf.Queue('G', Chain("g2g2"));
    EXPECT_EQ(10u, buf.GetCurrentSize());
    EXPECT_TRUE(buf.EncodeQueued(7));
    EXPECT_FALSE(buf.HasQueued());
    EXPECT_EQ(2u, buf.GetKeptCount());
    EXPECT_EQ(6u, buf.GetCurrentSize());  // 'E' and 'F' are gone once encoded
    EXPECT_EQ(RT_OK, buf.Write(lower));
    EXPECT_EQ(std::string("\x47\x07\x00\x02\x00\x00\x00g1", 9) +
                  std::string("\x45\x01\x00\x00\x00"
                              "e",
                              6) +
                  std::string("\x46\x07\x00\x03\x00\x00\x00"
                              "fff",
                              10) +
                  std::string("\x47\x07\x00\x04\x00\x00\x00g2g2", 11),
              lower.m_strWire);
    EXPECT_EQ(0u, buf.GetEncodedSize());

    // 'E' alone carries no ack.
    buf.Queue('E', Chain("x"));
    EXPECT_FALSE(buf.EncodeQueued(9));

    EXPECT_EQ(RT_OK, buf.ApplyAck(1));
    EXPECT_EQ(1u, buf.GetKeptCount());
    EXPECT_EQ(4u, buf.GetCurrentSize());
    // Beyond what was sent: nothing freed, the counters stay sound.
    EXPECT_EQ(RT_ERROR_NETWORK_INVALID_PDU, buf.ApplyAck(5));
    EXPECT_EQ(1u, buf.GetKeptCount());
    EXPECT_EQ(4u, buf.GetCurrentSize());
    EXPECT_EQ(RT_OK, buf.ApplyAck(1));  // the same ack again frees nothing
    EXPECT_EQ(RT_OK, buf.ApplyAck(2));
    EXPECT_EQ(0u, buf.GetKeptCount());
    EXPECT_EQ(0u, buf.GetCurrentSize());
}

TEST(RlbTcpSendBuffer, ResendPutsUnacknowledgedUnitsAheadOfNewData) {
    CRtConnRlbTcpSendBuffer buf(0);
    Lower lower;
    for (const char* p : {"one", "two", "three"})
        buf.Queue('G', Chain(p));
    buf.EncodeQueued(0);
    lower.m_nTake = 5;  // the old transport took a piece of the first unit
    EXPECT_EQ(RT_ERROR_PARTIAL_DATA, buf.Write(lower));
    buf.Queue('G', Chain("four"));

    Lower fresh;
    ASSERT_EQ(RT_OK, buf.Resend(1, 42));  // the peer got "one"
    EXPECT_EQ(2u, buf.GetKeptCount());
    buf.EncodeQueued(42);
    EXPECT_EQ(RT_OK, buf.Write(fresh));
    EXPECT_EQ(std::string("\x47\x2A\x00\x03\x00\x00\x00two", 10) +
                  std::string("\x47\x2A\x00\x05\x00\x00\x00three", 12) +
                  std::string("\x47\x2A\x00\x04\x00\x00\x00"
                              "four",
                              11),
              fresh.m_strWire);
    EXPECT_EQ(RT_ERROR_NETWORK_INVALID_PDU, buf.Resend(9, 42));
}

TEST(RlbTcpSendBuffer, LimitsAndPartialWrites) {
    CRtConnRlbTcpSendBuffer buf(0);
    EXPECT_EQ(RT_ERROR_INVALID_ARG, buf.SetLimit(0));
    ASSERT_EQ(RT_OK, buf.SetLimit(10));
    buf.Queue('F', Chain("123456789"));
    EXPECT_FALSE(buf.IsFull());
    buf.Queue('F', Chain("0"));
    EXPECT_TRUE(buf.IsFull());
    buf.EncodeQueued(0);
    EXPECT_EQ(0u, buf.GetCurrentSize());
    EXPECT_TRUE(buf.IsFull());  // the encoded bytes count too

    Lower lower;
    lower.m_nTake = 4;
    EXPECT_EQ(RT_ERROR_PARTIAL_DATA, buf.Write(lower));
    EXPECT_FALSE(buf.IsHeldBack());  // waits for the transport, not a tick
    EXPECT_EQ(24u - 4u, buf.GetEncodedSize());
    lower.m_nTake = -1;
    EXPECT_EQ(RT_OK, buf.Write(lower));
    EXPECT_EQ(24u, lower.m_strWire.size());
    EXPECT_FALSE(buf.IsFull());

    // The ack count cannot tell more 'G' units apart than it counts.
    CRtConnRlbTcpSendBuffer many(0);
    many.SetLimit(0xFFFFFFFF);
    for (uint32_t i = 0; i < CRtConnRlbTcpSendBuffer::kMaxKeptUnits - 1; ++i)
        many.Queue('G', Chain("x"));
    EXPECT_FALSE(many.IsFull());
    many.EncodeQueued(0);
    many.Queue('G', Chain("x"));
    EXPECT_TRUE(many.IsFull());
    many.DropEncoded();
    EXPECT_EQ(RT_OK, many.Resend(100, 0));
    EXPECT_FALSE(many.IsFull());
}

TEST(RlbTcpSendBuffer, AllowanceHoldsBytesBackUntilATick) {
    CRtConnRlbTcpSendBuffer buf(0);
    buf.GetBandWidthCtrl().SetLimit(2048);
    buf.OnTick(1000);  // the new limit: 204 bytes a slice
    buf.Queue('E', Chain(std::string(500, 'x')));
    buf.EncodeQueued(0);
    Lower lower;
    EXPECT_EQ(RT_ERROR_PARTIAL_DATA, buf.Write(lower));
    EXPECT_TRUE(buf.IsHeldBack());
    EXPECT_EQ(204u, lower.m_strWire.size());
    EXPECT_EQ(RT_ERROR_PARTIAL_DATA, buf.Write(lower));  // same slice: nothing
    EXPECT_EQ(204u, lower.m_strWire.size());
    buf.OnTick(1100);
    buf.Write(lower);
    buf.OnTick(1200);
    EXPECT_EQ(RT_OK, buf.Write(lower));
    EXPECT_FALSE(buf.IsHeldBack());
    EXPECT_EQ(505u, lower.m_strWire.size());
}
