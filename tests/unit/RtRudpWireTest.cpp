// The reliable UDP wire against bytes worked out by hand from the format:
// compressed values, range lists, every packet form, a split fragment and
// the connection request; and the reader against truncated and hostile
// input.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "DS_RangeList.h"
#include "RtCnRudp.h"

namespace {

std::string Hex(const CRtRudpBitStream& aBs) {
    std::string out;
    char b[4];
    for (size_t i = 0; i < aBs.GetNumberOfBytesUsed(); ++i) {
        snprintf(b, sizeof b, "%s%02X", i ? " " : "", aBs.GetData()[i]);
        out += b;
    }
    return out;
}

// A datagram of one packet, behind an acknowledgement of aAck if not -1.
std::string Datagram(const CRtRudpPacket& aPacket, int aAck = -1) {
    CRtRudpBitStream bs;
    bs.WriteBit(aAck >= 0);
    DS_RangeList<uint16_t> acks;
    acks.Insert(static_cast<uint16_t>(aAck));
    if (aAck >= 0)
        acks.Serialize(bs, 1000, true);
    aPacket.Write(bs);
    return Hex(bs);
}

CRtRudpPacket Make(uint8_t aType, uint8_t aRel, const std::string& aData) {
    CRtRudpPacket p;
    p.pduType = aType;
    p.reliability = aRel;
    p.channelID = 3;
    p.orderingID = 0x0102;
    p.packetNo = 0x0304;
    p.data = aData;
    return p;
}

TEST(RudpWire, CompressedValuesMatchTheFormatAndReadBack) {
    const struct {
        uint16_t value;
        const char* hex;
    } cases[] = {{0, "C0"}, {15, "FC"}, {16, "84 00"}, {255, "BF C0"}, {256, "00 00 80"}, {65535, "7F FF 80"}};
    for (const auto& c : cases) {
        CRtRudpBitStream bs;
        bs.WriteCompressed16(c.value);
        EXPECT_EQ(Hex(bs), c.hex) << c.value;
        EXPECT_EQ(bs.GetNumberOfBitsUsed(), CRtRudpBitStream::CompressedBits(c.value));
        CRtRudpBitStream in(bs.GetData(), bs.GetNumberOfBytesUsed());
        uint16_t back = 1;
        ASSERT_TRUE(in.ReadCompressed16(back));
        EXPECT_EQ(back, c.value);
    }
}

TEST(RudpWire, RangeListsMergeSerializeAndRespectTheBudget) {
    DS_RangeList<uint16_t> list;
    for (uint16_t n : {9, 5, 7, 8})
        list.Insert(n);
    ASSERT_EQ(list.Size(), 2u);
    CRtRudpBitStream bs;
    EXPECT_EQ(list.Serialize(bs, 1000, false), 2u);
    EXPECT_EQ(Hex(bs), "CA 0A 00 07 00 09 00");

    // Numbers on both sides of the wrap stay two ranges, in numeric order.
    DS_RangeList<uint16_t> wrap;
    for (int n = 65530; n <= 65535 + 3; ++n)
        wrap.Insert(static_cast<uint16_t>(n));
    ASSERT_EQ(wrap.Size(), 2u);
    CRtRudpBitStream w;
    wrap.Serialize(w, 1000, false);
    EXPECT_EQ(Hex(w), "C8 00 00 04 00 FA FF FF FF");

    // A budget for one range writes one and keeps the other for later.
    CRtRudpBitStream small;
    EXPECT_EQ(list.Serialize(small, 6 + 17, true), 1u);
    ASSERT_EQ(list.Size(), 1u);
    EXPECT_EQ(list.ranges[0].minIndex, 7);
    CRtRudpBitStream none;
    EXPECT_EQ(list.Serialize(none, 20, true), 0u);
    EXPECT_EQ(none.GetNumberOfBitsUsed(), 0u);

    DS_RangeList<uint16_t> back;
    CRtRudpBitStream in(bs.GetData(), bs.GetNumberOfBytesUsed());
    ASSERT_TRUE(back.Deserialize(in));
    ASSERT_EQ(back.Size(), 2u);
    EXPECT_EQ(back.ranges[1].minIndex, 7);
    EXPECT_EQ(back.ranges[1].maxIndex, 9);
    // A count the datagram cannot hold is refused before anything is kept.
    const std::string lie("\x00\xff\xff\x00", 4);
    CRtRudpBitStream liar(reinterpret_cast<const uint8_t*>(lie.data()), lie.size());
    EXPECT_FALSE(back.Deserialize(liar));
}

TEST(RudpWire, EveryPacketFormWritesItsFieldsAndReadsBack) {
    const char* golden[] = {"03 86 60 61 62 63", "03 91 81 00 B3 61 62 63", "03 A0 40 36 60 61 62 63",
                            "03 B1 81 00 82 01 B3 61 62 63", "03 C1 81 00 82 01 B3 61 62 63"};
    for (uint8_t rel = 0; rel <= 4; ++rel) {
        CRtRudpBitStream bs;
        bs.WriteBit(false);  // no acknowledgements
        CRtRudpPacket p = Make(7, rel, "abc");
        p.Write(bs);
        EXPECT_EQ(Hex(bs), golden[rel]) << "reliability " << int(rel);
        EXPECT_LE(bs.GetNumberOfBitsUsed(), 1 + p.BitsOnWire());
        CRtRudpBitStream in(bs.GetData(), bs.GetNumberOfBytesUsed());
        bool acks = true;
        ASSERT_TRUE(in.ReadBit(acks));
        CRtRudpPacket back;
        ASSERT_TRUE(CreateInternalPacketFromBitStream(in, back));
        EXPECT_EQ(back.reliability, rel);
        EXPECT_EQ(back.data, "abc");
        EXPECT_EQ(back.packetNo, rel >= 2 ? 0x0304 : 0);
        EXPECT_EQ(back.orderingID, (rel == 1 || rel >= 3) ? 0x0102 : 0);
    }

    CRtRudpPacket split = Make(7, 4, "xy");
    split.channelID = 0;
    split.orderingID = 5;
    split.packetNo = 6;
    split.isSplitPacket = true;
    split.splitPacketID = 0x0A0B;
    split.splitPacketIndex = 2;
    split.splitPacketCount = 3;
    EXPECT_EQ(Datagram(split), "03 C0 02 80 03 00 42 C2 B2 CF 20 78 79");
    CRtRudpPacket keepAlive = Make(4, 2, "");
    keepAlive.packetNo = 9;
    EXPECT_EQ(Datagram(keepAlive), "02 20 90 06 00");

    // The connection request, behind an acknowledgement.
    CRtRudpBitStream req;
    req.Write8(1);
    req.Write32(0x12345678);
    for (uint8_t b : {127, 0, 0, 1})
        req.Write8(b);
    req.Write16(8080);
    EXPECT_EQ(Hex(req), "01 78 56 34 12 7F 00 00 01 90 1F");
    CRtRudpPacket request;
    request.pduType = 1;
    request.reliability = 2;
    request.data.assign(reinterpret_cast<const char*>(req.GetData()), req.GetNumberOfBytesUsed());
    EXPECT_EQ(Datagram(request, 5), "E3 05 00 01 40 00 0E C0 01 78 56 34 12 7F 00 00 01 90 1F");
}

TEST(RudpWire, TruncatedOrOversizedPacketsAreRefusedAtEveryField) {
    CRtRudpBitStream bs;
    CRtRudpPacket split = Make(7, 4, std::string(40, 'q'));
    split.isSplitPacket = true;
    split.splitPacketCount = 300;
    split.splitPacketIndex = 299;
    split.Write(bs);
    const std::string whole(reinterpret_cast<const char*>(bs.GetData()), bs.GetNumberOfBytesUsed());
    // Every cut short of the whole fails without reading past the end.
    for (size_t cut = 0; cut < whole.size(); ++cut) {
        std::string part = whole.substr(0, cut);
        CRtRudpBitStream in(reinterpret_cast<const uint8_t*>(part.data()), part.size());
        CRtRudpPacket p;
        EXPECT_FALSE(CreateInternalPacketFromBitStream(in, p)) << cut;
    }
    // byteLength 1500 is refused even when the bytes are there.
    CRtRudpBitStream big;
    big.Write8(7);
    big.WriteBits(0, 3);
    big.WriteBit(false);
    big.WriteCompressed16(1500);
    std::string payload(1500, 'z');
    big.WriteAlignedBytes(payload.data(), payload.size());
    CRtRudpBitStream in(big.GetData(), big.GetNumberOfBytesUsed());
    CRtRudpPacket p;
    EXPECT_FALSE(CreateInternalPacketFromBitStream(in, p));
    // The dump is bounded by 1024 input bytes, whatever the datagram.
    std::string huge(5000, '\xff');
    EXPECT_EQ(RtRudpHexDump(reinterpret_cast<const uint8_t*>(huge.data()), huge.size()).size(), 1024u * 3);
}

}  // namespace
