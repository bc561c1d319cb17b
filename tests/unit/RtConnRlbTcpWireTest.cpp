// The reliable TCP connection's units, its send buffer and its upload
// allowance, without a network.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "RtBandWidthCtrl.h"
#include "RtConnRlbTcpPdu.h"
#include "RtConnRlbTcpSendBuffer.h"
#include "RtMessageBlock.h"
#include "RtNetworkBase.h"
#include "RtRlbTcpPeers.h"
#include "RtScriptedTransport.h"

namespace {

using rttest::Feed;
using rttest::NextUnit;
using rttest::RawUnit;
using rttest::ScriptedTransport;
std::string Header(const CRtRlbTcpPdu& aPdu) { return rttest::RawPeer::Encode(aPdu); }

CRtRlbTcpPdu Pdu(uint8_t aType, uint16_t aAck = 0, uint32_t aLength = 0) {
    CRtRlbTcpPdu p;
    p.type = aType;
    p.ack = aAck;
    p.length = aLength;
    return p;
}

// A heap chain the buffer may destroy.
CRtMessageBlock* Chain(const std::string& aBytes) {
    CRtMessageBlock view(static_cast<unsigned long>(aBytes.size()), aBytes.data(), CRtMessageBlock::DONT_DELETE,
                         static_cast<unsigned long>(aBytes.size()));
    return view.DuplicateChained();
}

// Feeds aWire to a reader in pieces of aStep bytes and collects the units.
RtResult ReadAll(const std::string& aWire, size_t aStep, std::vector<RawUnit>& aUnits, uint32_t aMax = 1 << 20) {
    CRtRlbTcpUnitReader reader(aMax);
    for (size_t at = 0; at < aWire.size(); at += aStep) {
        Feed(reader, aWire.substr(at, aStep));
        RawUnit u;
        RtResult rv;
        while ((rv = NextUnit(reader, u)) == RT_OK)
            aUnits.push_back(u);
        if (rv != RT_ERROR_PARTIAL_DATA)
            return rv;
    }
    return RT_OK;
}

// Builders of the golden cases.
std::string RequestHeader() {
    CRtRlbTcpPdu a = Pdu('A', 0x0506);
    a.connTypeHigh = 0x001E;
    a.channel = 0x0304;
    a.ticket = 0x0708090A;
    return Header(a);
}
std::string ResponseHeader() {
    CRtRlbTcpPdu b = Pdu('B');
    b.result = 20027;
    b.channel = 7;
    b.ticket = 0xFFFFFFFE;
    return Header(b);
}
// 'G' units are kept from their encoding until acknowledged, 'E' and 'F'
// go once encoded; an ack beyond what was sent, or the same again, frees
// nothing.
std::string QueuedThenAcknowledged() {
    CRtConnRlbTcpSendBuffer buf(0);
    ScriptedTransport lower;
    buf.Queue('G', Chain("g1"));
    buf.Queue('E', Chain("e"));
    buf.Queue('F', Chain("fff"));
    buf.Queue('G', Chain("g2g2"));
    EXPECT_EQ(10u, buf.GetCurrentSize());
    EXPECT_TRUE(buf.EncodeQueued(7));
    EXPECT_FALSE(buf.HasQueued());
    EXPECT_EQ(2u, buf.GetKeptCount());
    EXPECT_EQ(6u, buf.GetCurrentSize());
    EXPECT_EQ(RT_OK, buf.Write(lower));
    EXPECT_EQ(0u, buf.GetEncodedSize());
    buf.Queue('E', Chain("x"));
    EXPECT_FALSE(buf.EncodeQueued(9));  // 'E' alone carries no ack
    const struct {
        uint16_t ack;
        RtResult result;
        uint32_t kept, size;
    } acks[] = {{1, RT_OK, 1, 4}, {5, RT_ERROR_NETWORK_INVALID_PDU, 1, 4}, {1, RT_OK, 1, 4}, {2, RT_OK, 0, 0}};
    for (const auto& a : acks) {
        EXPECT_EQ(a.result, buf.ApplyAck(a.ack)) << a.ack;
        EXPECT_EQ(a.kept, buf.GetKeptCount()) << a.ack;
        EXPECT_EQ(a.size, buf.GetCurrentSize()) << a.ack;
    }
    return lower.Sent();
}
// The peer got the first of three units, the old transport a piece of it.
std::string ResentAheadOfNewData() {
    CRtConnRlbTcpSendBuffer buf(0);
    ScriptedTransport old, fresh;
    for (const char* p : {"one", "two", "three"})
        buf.Queue('G', Chain(p));
    buf.EncodeQueued(0);
    old.Limit(5);
    EXPECT_EQ(RT_ERROR_PARTIAL_DATA, buf.Write(old));
    buf.Queue('G', Chain("four"));
    EXPECT_EQ(RT_ERROR_NETWORK_INVALID_PDU, buf.Resend(9, 42));
    EXPECT_EQ(RT_OK, buf.Resend(1, 42));
    EXPECT_EQ(2u, buf.GetKeptCount());
    buf.EncodeQueued(42);
    EXPECT_EQ(RT_OK, buf.Write(fresh));
    return fresh.Sent();
}

}  // namespace

// Little-endian whatever the host; data units are stamped with the ack at
// encoding, and a resend puts the unacknowledged ones, stamped anew, ahead
// of new data.
TEST(RlbTcpWire, GoldenBytes) {
    const struct {
        const char* name;
        std::function<std::string()> build;
        std::string bytes;
    } cases[] = {
        {"data unit header", [] { return Header(Pdu('G', 0x0102, 10)); },
         std::string("\x47\x02\x01\x0A\x00\x00\x00", 7)},
        {"connection request", RequestHeader, std::string("\x41\x1E\x00\x04\x03\x06\x05\x0A\x09\x08\x07", 11)},
        {"connection response", ResponseHeader,
         std::string("\x42\x3B\x4E\x00\x00\x07\x00\x00\x00\xFE\xFF\xFF\xFF", 13)},
        {"queued units encoded with ack 7", QueuedThenAcknowledged,
         std::string("\x47\x07\x00\x02\x00\x00\x00g1\x45\x01\x00\x00\x00", 14) + "e" +
             std::string("\x46\x07\x00\x03\x00\x00\x00", 7) + "fff" +
             std::string("\x47\x07\x00\x04\x00\x00\x00g2g2", 11)},
        {"unacknowledged units resent with ack 42, then new data", ResentAheadOfNewData,
         std::string("\x47\x2A\x00\x03\x00\x00\x00two\x47\x2A\x00\x05\x00\x00\x00three\x47\x2A\x00\x04\x00\x00\x00",
                     29) +
             "four"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.bytes, c.build());
    }
    const size_t sizes[] = {11, 13, 1, 3, 5, 7, 7, 5, 3};
    for (uint8_t t = 'A'; t <= 'I'; ++t)
        EXPECT_EQ(sizes[t - 'A'], RtRlbTcpHeaderSize(t)) << t;
    EXPECT_EQ(0u, RtRlbTcpHeaderSize('@'));
    EXPECT_EQ(0u, RtRlbTcpHeaderSize('J'));
    EXPECT_EQ(0u, Pdu(0x50).Encode(nullptr));
}

// Every unit type, several in one input and split at any byte boundary,
// comes out as the same sequence.
TEST(RlbTcpWire, ReaderGivesTheSameUnitsWhateverThePieces) {
    std::string wire;
    std::vector<RawUnit> sent;
    for (uint8_t t = 'A'; t <= 'I'; ++t) {
        RawUnit u{Pdu(t, static_cast<uint16_t>(t * 3)), ""};
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
    sent.push_back(RawUnit{Pdu('E'), ""});
    wire += Header(sent.back().pdu);

    for (size_t step = 1; step <= wire.size(); ++step) {
        std::vector<RawUnit> got;
        ASSERT_EQ(RT_OK, ReadAll(wire, step, got)) << step;
        ASSERT_EQ(sent.size(), got.size()) << step;
        for (size_t i = 0; i < sent.size(); ++i) {
            EXPECT_EQ(Header(sent[i].pdu), Header(got[i].pdu)) << step << " " << i;
            EXPECT_EQ(sent[i].payload, got[i].payload) << step << " " << i;
        }
    }
}

// Unknown types and overlong payloads are refused at once (the length
// alone condemns a unit: nothing waits for 4 GiB to arrive); a reset
// starts again at a unit boundary.
TEST(RlbTcpWire, ReaderRefusesBadUnitsAtOnceAndResets) {
    std::vector<RawUnit> got;
    EXPECT_EQ(RT_ERROR_NETWORK_INVALID_PDU, ReadAll(Header(Pdu('D')) + "\x50", 64, got));
    EXPECT_EQ(1u, got.size());

    CRtRlbTcpUnitReader reader(1000);
    Feed(reader, Header(Pdu('G', 0, 0xFFFFFFF0)) + "abc");
    CRtRlbTcpPdu pdu;
    CRtMessageBlock* payload = nullptr;
    EXPECT_EQ(RT_ERROR_NETWORK_INVALID_PDU, reader.Next(pdu, payload));
    EXPECT_EQ('G', reader.GetBadType());
    CRtMessageBlock more(1, "x", CRtMessageBlock::DONT_DELETE, 1);
    EXPECT_EQ(RT_ERROR_NETWORK_INVALID_PDU, reader.Append(more));

    // Exactly the maximum is fine.
    got.clear();
    EXPECT_EQ(RT_OK, ReadAll(Header(Pdu('E', 0, 1000)) + std::string(1000, 'x'), 300, got, 1000));
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(1000u, got[0].payload.size());

    CRtRlbTcpUnitReader partial;
    Feed(partial, Header(Pdu('G', 0, 8)) + "1234");
    EXPECT_EQ(RT_ERROR_PARTIAL_DATA, partial.Next(pdu, payload));
    partial.Reset();
    EXPECT_EQ(0u, partial.GetBufferedLength());
    Feed(partial, Header(Pdu('C')));
    ASSERT_EQ(RT_OK, partial.Next(pdu, payload));
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

    ScriptedTransport lower;
    lower.Limit(4);
    EXPECT_EQ(RT_ERROR_PARTIAL_DATA, buf.Write(lower));
    EXPECT_FALSE(buf.IsHeldBack());  // waits for the transport, not a tick
    EXPECT_EQ(24u - 4u, buf.GetEncodedSize());
    lower.Drain(1 << 20);
    EXPECT_EQ(RT_OK, buf.Write(lower));
    EXPECT_EQ(24u, lower.SentSize());
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
    ScriptedTransport lower;
    EXPECT_EQ(RT_ERROR_PARTIAL_DATA, buf.Write(lower));
    EXPECT_TRUE(buf.IsHeldBack());
    EXPECT_EQ(204u, lower.SentSize());
    EXPECT_EQ(RT_ERROR_PARTIAL_DATA, buf.Write(lower));  // same slice: nothing
    EXPECT_EQ(204u, lower.SentSize());
    buf.OnTick(1100);
    buf.Write(lower);
    buf.OnTick(1200);
    EXPECT_EQ(RT_OK, buf.Write(lower));
    EXPECT_FALSE(buf.IsHeldBack());
    EXPECT_EQ(505u, lower.SentSize());
}
