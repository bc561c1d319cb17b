#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "RtByteStream.h"
#include "RtMessageBlock.h"
#include "RtTestSupport.h"

namespace {

// Blocks alive now, from the statistics line.
int LiveBlocks() {
    int created = 0, destroyed = 0;
    std::sscanf(CRtMessageBlock::GetBlockStatics().c_str(), " [msgblock c-%d d-%d]", &created, &destroyed);
    return created - destroyed;
}

// Wraps text that is already there, the usual way.
struct TextBlock {
    explicit TextBlock(const std::string& aText)
        : text(aText),
          mb(static_cast<unsigned long>(text.size()), text.data(), CRtMessageBlock::DONT_DELETE,
             static_cast<unsigned long>(text.size())) {}
    std::string text;
    CRtMessageBlock mb;
};

}  // namespace

TEST(RtDataBlock, RefusesZeroAndOversizeRequests) {
    CRtDataBlock* db = nullptr;
    EXPECT_EQ(RT_ERROR_INVALID_ARG, CRtDataBlock::CreateInstance(db, 0, nullptr));
    EXPECT_EQ(nullptr, db);

    // Sizes that the 32-bit length cannot hold fail like an allocation,
    // with the process's memory line after it.
    size_t before = rttest::ReadProcessLog().size();
    EXPECT_EQ(RT_ERROR_OUT_OF_MEMORY, CRtDataBlock::CreateInstance(db, 0xFFFFFFFFul, nullptr));
    EXPECT_EQ(nullptr, db);
    EXPECT_TRUE(rttest::ProcessLogHasSince(before, "CRtDataBlock::CreateInstance, allocate failed! aSize=4294967295"));
    EXPECT_TRUE(rttest::ProcessLogHasSince(before, "DumpCurrentMemory, mem = "));
    EXPECT_TRUE(rttest::ProcessLogHasSince(before, " KB, virtual mem = "));
    if (sizeof(unsigned long) > 4) {
        unsigned long huge = static_cast<unsigned long>(0x100000010ull);
        EXPECT_EQ(RT_ERROR_OUT_OF_MEMORY, CRtDataBlock::CreateInstance(db, huge, nullptr));
        CRtMessageBlock mb(huge);
        EXPECT_EQ(0u, mb.GetTopLevelSpace());
    }
}

TEST(RtDataBlock, NoMallocCursorsAreIndependentAndBounded) {
    char mem[6] = "abcde";
    CRtDataBlockNoMalloc cursor(mem, 5);
    char out[8] = {};
    unsigned long n = 0;
    EXPECT_EQ(RT_OK, cursor.Write("XY", 2, &n));
    EXPECT_EQ(RT_OK, cursor.Read(out, 3, &n));
    EXPECT_EQ("XYc", std::string(out, n));
    EXPECT_EQ(RT_ERROR_PARTIAL_DATA, cursor.Read(out, 8, &n));
    EXPECT_EQ("de", std::string(out, n));
    EXPECT_EQ(RT_ERROR_PARTIAL_DATA, cursor.Write("123456", 6, &n));
    EXPECT_EQ(3u, n);
    EXPECT_EQ(RT_ERROR_INVALID_ARG, cursor.Read(nullptr, 1, &n));
}

TEST(RtMessageBlock, ConstructionWrapsCopiesOrReserves) {
    auto mem = std::make_unique<char[]>(4);
    std::memcpy(mem.get(), "wxyz", 4);
    CRtMessageBlock view(
        4, mem.get(), CRtMessageBlock::DONT_DELETE | CRtMessageBlock::READ_LOCKED | CRtMessageBlock::WRITE_LOCKED, 4);
    EXPECT_EQ(4u, view.GetTopLevelLength());
    EXPECT_EQ(0u, view.GetFlag() & (CRtMessageBlock::READ_LOCKED | CRtMessageBlock::WRITE_LOCKED));
    CRtMessageBlock* copy = view.DuplicateChained();
    mem.reset();
    ASSERT_NE(nullptr, copy);
    EXPECT_EQ("wxyz", copy->FlattenChained());
    copy->DestroyChained();

    char bytes[16] = "not copied";
    CRtMessageBlock own(16, bytes, CRtMessageBlock::OWN_BUFFER);
    EXPECT_EQ(0u, own.GetTopLevelLength());
    EXPECT_EQ(16u, own.GetTopLevelSpace());
    EXPECT_NE(static_cast<const char*>(bytes), own.GetTopLevelReadPtr());
    EXPECT_EQ(0u, own.GetFlag() & (CRtMessageBlock::OWN_BUFFER | CRtMessageBlock::DONT_DELETE));
}

TEST(RtMessageBlock, HugeCountsAndStepsCannotWrapTheChecks) {
    TextBlock b("0123456789");
    char dst[16];
    std::memset(dst, '#', sizeof dst);
    unsigned long n = 0;
    EXPECT_EQ(RT_ERROR_PARTIAL_DATA, b.mb.Peek(dst, 0xFFFFFFFFul, 1, &n));
    EXPECT_EQ(9u, n);  // only the bytes that are there
    EXPECT_EQ("123456789#", std::string(dst, 10));
    EXPECT_EQ(RT_ERROR_NOT_AVAILABLE, b.mb.AdvanceTopLevelReadPtr(ULONG_MAX));
    EXPECT_EQ(RT_ERROR_NOT_AVAILABLE, b.mb.AdvanceTopLevelWritePtr(ULONG_MAX));
    EXPECT_EQ(10u, b.mb.GetTopLevelLength());
    EXPECT_EQ(RT_ERROR_PARTIAL_DATA, b.mb.Peek(dst, 1, ULONG_MAX, &n));
}

TEST(RtMessageBlock, ShortReadsPeeksAndWrites) {
    TextBlock a("abc"), b("def");
    a.mb.Append(&b.mb);
    char dst[10] = {};
    unsigned long n = 0;
    EXPECT_EQ(RT_OK, a.mb.Peek(dst, 4, 1, &n));  // across the boundary
    EXPECT_EQ("bcde", std::string(dst, n));
    EXPECT_EQ(6u, a.mb.GetChainedLength());
    n = 77;
    EXPECT_EQ(RT_ERROR_PARTIAL_DATA, a.mb.Peek(dst, 1, 6, &n));
    EXPECT_EQ(77u, n);
    EXPECT_EQ(RT_ERROR_PARTIAL_DATA, a.mb.Read(dst, 10, &n));
    EXPECT_EQ("abcdef", std::string(dst, n));
    EXPECT_EQ(0u, a.mb.GetChainedLength());

    CRtMessageBlock room(4);
    EXPECT_EQ(RT_ERROR_PARTIAL_DATA, room.Write("0123456789", 10, &n));
    EXPECT_EQ(4u, n);
    EXPECT_EQ("0123", room.FlattenChained());
}

TEST(RtMessageBlock, DisjointSplitsWithoutCopyingOwnedData) {
    CRtMessageBlock head(8);
    head.Write("abcdefgh", 8);
    TextBlock next("ij");
    head.Append(&next.mb);

    EXPECT_EQ(nullptr, head.Disjoint(10));  // at the end: nothing moves
    EXPECT_EQ("abcdefghij", head.FlattenChained());

    CRtMessageBlock* tail = head.Disjoint(3);
    ASSERT_NE(nullptr, tail);
    EXPECT_EQ("abc", head.FlattenChained());
    EXPECT_EQ("defghij", tail->FlattenChained());
    EXPECT_EQ(head.GetTopLevelReadPtr() + 3, tail->GetTopLevelReadPtr());  // same data block
    for (CRtMessageBlock* p = tail; p; p = p->GetNext())
        EXPECT_TRUE(RT_BIT_ENABLED(p->GetFlag(), CRtMessageBlock::DUPLICATED));

    CRtMessageBlock* all = head.Disjoint(0);
    ASSERT_NE(nullptr, all);
    EXPECT_EQ(0u, head.GetChainedLength());
    EXPECT_EQ("abc", all->FlattenChained());
    all->DestroyChained();
    tail->DestroyChained();
}

TEST(RtMessageBlock, DestroyChainedFreesOnlyDuplicatesAndUnlinksTheRest) {
    int live = LiveBlocks();
    TextBlock head("x");
    head.mb.Append(head.mb.DuplicateTopLevel());
    head.mb.Append(CRtMessageBlock(3).DuplicateTopLevel());
    EXPECT_EQ(live + 3, LiveBlocks());
    EXPECT_EQ(RT_OK, head.mb.DestroyChained());
    EXPECT_EQ(live + 1, LiveBlocks());
    EXPECT_EQ(nullptr, head.mb.GetNext());
    EXPECT_EQ("x", head.mb.FlattenChained());
}

TEST(RtMessageBlock, FillIovStopsAtTheLimitAndSkipsEmptyBlocks) {
    std::vector<std::unique_ptr<CRtMessageBlock>> blocks;
    char byte = 'a';
    for (int i = 0; i < 70; ++i) {
        blocks.push_back(std::make_unique<CRtMessageBlock>(1, &byte, CRtMessageBlock::DONT_DELETE, 1));
        blocks.push_back(std::make_unique<CRtMessageBlock>(0));  // takes no entry
    }
    for (size_t i = 1; i < blocks.size(); ++i)
        blocks[0]->Append(blocks[i].get());
    iovec iov[64];
    unsigned long filled = 0;
    const CRtMessageBlock* rest = nullptr;
    EXPECT_EQ(64u, blocks[0]->FillIov(iov, 64, filled, rest));
    EXPECT_EQ(64u, filled);
    // The first block not examined: the empty one behind the 64th entry,
    // followed by the 65th non-empty block.
    EXPECT_EQ(blocks[127].get(), rest);
    EXPECT_EQ(6u, rest->GetChainedLength());
}

TEST(RtMessageBlock, ChainFaultsAreReportedNotFollowed) {
    size_t before = rttest::ReadProcessLog().size();
    CRtMessageBlock rx(4);
    rx.Write("ab", 2);
    rx.AdvanceTopLevelReadPtr(1);
    unsigned long n = 9;
    EXPECT_EQ(RT_ERROR_PARTIAL_DATA, rx.AdvanceChainedWritePtr(2, &n));
    EXPECT_EQ(0u, n);
    EXPECT_TRUE(
        rttest::ProcessLogHasSince(before, "CRtMessageBlock::AdvanceChainedWritePtr, can't advance. m_pBeginPtr=0x"));

    TextBlock a("a"), b("b");
    a.mb.Append(&b.mb);
    a.mb.Append(&b.mb);  // would make a ring
    EXPECT_EQ(2u, a.mb.GetChainedLength());
    EXPECT_TRUE(rttest::ProcessLogHasSince(before, "Assert failed: aMb != pMbMove"));

    rx.RewindChained(false);
    EXPECT_EQ(0u, rx.GetTopLevelLength());
    EXPECT_EQ(4u, rx.GetTopLevelSpace());
}

TEST(RtByteStream, ValuesRoundTripAndFailureSticks) {
    CRtMessageBlock mb(7);
    CRtByteStreamT<CRtMessageBlock> out(mb);
    out << static_cast<uint8_t>(0x11) << static_cast<uint16_t>(0x2233) << static_cast<uint32_t>(0x44556677);
    EXPECT_TRUE(out.IsGood());
    EXPECT_EQ(std::string("\x11\x33\x22\x77\x66\x55\x44", 7), mb.FlattenChained());  // host order

    CRtByteStreamT<CRtMessageBlock> in(mb);
    uint8_t u8 = 0;
    uint16_t u16 = 0;
    uint32_t u32 = 0;
    in >> u8 >> u32;
    EXPECT_EQ(0x11, u8);
    EXPECT_EQ(0x66772233u, u32);
    in >> u32;  // only 2 bytes left
    EXPECT_EQ(RT_ERROR_PARTIAL_DATA, in.GetResultRead());
    EXPECT_EQ(2u, mb.GetChainedLength());  // the short value was not consumed

    size_t before = rttest::ReadProcessLog().size();
    in >> u16;
    EXPECT_EQ(0u, u16);
    EXPECT_EQ(2u, mb.GetChainedLength());
    EXPECT_TRUE(
        rttest::ProcessLogHasSince(before, "CRtByteStreamT::Read, can't read. m_ResultRead=10013, Read=0 this=0x"));
}
