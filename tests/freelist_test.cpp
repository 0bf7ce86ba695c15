// Node allocation, the free list, spare slots and header write-back.
#include <algorithm>
#include <cstring>

#include "frame/byteorder.h"
#include "indexfile/freelist.h"
#include "indexfile/header.h"
#include "indexfile/nodecache.h"
#include "support/testing.h"

using kxtest::Block;

class FreeListTest : public kxtest::FileTest, public ::testing::WithParamInterface<int> {
protected:
    void SetUp() override {
        FileTest::SetUp();
        name = file("free.kx");
        ASSERT_EQ(bcreate(b.get(), name.c_str(), 'E', GetParam(), nullptr), 0);
    }
    void TearDown() override {
        if (b->state == 'O') mclose(b.get());
        FileTest::TearDown();
    }
    uint32_t header_word(int off) {
        const auto f = kxtest::read_file(name);
        return b->byte_order[0] == 1 ? kxtest::le32(f, off) : kxtest::be32(f, off);
    }
    Block b;
    std::string name;
};

TEST_P(FreeListTest, SpareSlotsGrowWithTheTree) {
    EXPECT_EQ(+b->node_count, 3u);
    EXPECT_EQ(+b->next_node, 1u);
    ASSERT_EQ(strtwrit(b.get()), 0);
    ASSERT_EQ(kx::nodespare(b.get()), 0);
    EXPECT_EQ(+b->node_count, 3u) << "two spare slots already exist";
    EXPECT_EQ(kx::nodealloc(b.get()), 1u);
    ASSERT_EQ(kx::nodespare(b.get()), 0);
    EXPECT_EQ(+b->node_count, 4u);
    EXPECT_EQ(+b->node_count - b->next_node, 2u);
    ASSERT_EQ(endwrit(b.get()), 0);
    EXPECT_EQ(kxtest::read_file(name).size(), 1024u + 4 * 2048u);
    EXPECT_EQ(header_word(52), 4u) << "flush mode 3 writes the header at once";
    // A record of three keyed fields needs (height + 1) * (keys + 1) spares.
    KXDLIST list[5] = {};
    list[0] = {'L', 5, 'U', 4, 1, nullptr};
    list[1] = {'S', 0, 'D', 20, 2, nullptr};
    list[2] = {'L', 'N', 'N', 4, 0, nullptr};
    list[3] = {'S', 1, 'D', 20, 3, nullptr};
    list[4].type = 'E';
    ASSERT_EQ(strtwrit(b.get()), 0);
    ASSERT_EQ(kx::nodesparen(b.get(), list), 0);
    EXPECT_EQ(+b->node_count - b->next_node, 8u);
    ASSERT_EQ(endwrit(b.get()), 0);
}

TEST_P(FreeListTest, LargerFilesGrowAheadOfNeedInZeroSlots) {
    ASSERT_EQ(csetfile(b.get(), 0), 0);
    ASSERT_EQ(strtwrit(b.get()), 0);
    const uint32_t needed = b->main_height + 1;
    uint32_t growths = 0;
    for (int i = 0; i < 2600; ++i) {
        const uint32_t before = b->node_count;
        const uint32_t spare = before - b->next_node;
        ASSERT_EQ(kx::nodespare(b.get()), 0);
        if (spare >= needed) {
            ASSERT_EQ(+b->node_count, before) << "enough spare slots: no growth";
        } else {
            ++growths;
            // Up to the slots needed, then an eighth of the file more, at
            // most 256 slots; small files grow only as needed.
            const uint32_t ahead = std::min(before / 8, 256u);
            ASSERT_EQ(+b->node_count - b->next_node, needed + ahead) << "growth from " << before;
        }
        ASSERT_NE(kx::nodealloc(b.get()), 0xFFFFFFFFu);
    }
    ASSERT_EQ(endwrit(b.get()), 0);
    EXPECT_LT(growths, 60u) << "the file grew in steps, not a node at a time";
    EXPECT_GE(+b->node_count - b->next_node, needed - 1);
    ASSERT_EQ(cflush(b.get()), 0);

    // The header describes every slot in the file; the slots past the
    // high-water mark are zero.
    const auto f = kxtest::read_file(name);
    ASSERT_EQ(f.size(), 1024u + 2048u * b->node_count);
    EXPECT_EQ(header_word(52), +b->node_count);
    EXPECT_EQ(header_word(36), +b->next_node);
    for (size_t at = 1024u + 2048u * b->next_node; at < f.size(); ++at) ASSERT_EQ(f[at], 0) << "byte " << at;
    ASSERT_EQ(mclose(b.get()), 0);
    ASSERT_EQ(copen(b.get(), name.c_str()), 0);
    EXPECT_EQ(+b->node_count, header_word(52));
}

TEST_P(FreeListTest, FreedNodesComeBackLastFreedFirst) {
    ASSERT_EQ(csetfile(b.get(), 0), 0);
    ASSERT_EQ(strtwrit(b.get()), 0);
    for (int i = 0; i < 8; ++i) {
        ASSERT_EQ(kx::nodespare(b.get()), 0);
        ASSERT_NE(kx::nodealloc(b.get()), 0xFFFFFFFFu);
    }
    EXPECT_EQ(+b->next_node, 9u);
    kx::WorkImage& img = kx::work::split();
    for (uint32_t n : {5u, 7u}) {
        ASSERT_EQ(kx::cacheget(b.get(), img, n), 0);
        ASSERT_EQ(kx::nodefree(b.get(), img, n), 0);
        ASSERT_EQ(kx::cacheput(b.get(), img, n), 0);
    }
    EXPECT_EQ(+b->free_head, 7u);
    ASSERT_EQ(endwrit(b.get()), 0);
    ASSERT_EQ(mclose(b.get()), 0);

    // The free list survives close and reopen, in the file's byte order.
    ASSERT_EQ(copen(b.get(), name.c_str()), 0);
    EXPECT_EQ(+b->free_head, 7u);
    ASSERT_EQ(kx::cacheget(b.get(), img, 7), 0);
    EXPECT_EQ(kx::load<int16_t>(img.bytes + 12), -1);
    EXPECT_EQ(kx::load<uint32_t>(img.bytes + 4), 5u);
    EXPECT_EQ(kx::load<uint32_t>(img.bytes + 0), 0xFFFFFFFFu);
    EXPECT_EQ(kx::load<uint32_t>(img.bytes + 8), 0xFFFFFFFFu);
    ASSERT_EQ(strtwrit(b.get()), 0);
    EXPECT_EQ(kx::nodealloc(b.get()), 7u);
    EXPECT_EQ(kx::nodealloc(b.get()), 5u);
    EXPECT_EQ(+b->free_head, 0xFFFFFFFFu);
    EXPECT_EQ(kx::nodealloc(b.get()), 9u);
    ASSERT_EQ(endwrit(b.get()), 0);
    EXPECT_EQ(header_word(60), 0xFFFFFFFFu);
    EXPECT_EQ(header_word(36), 10u);
}

TEST_P(FreeListTest, HeaderWritesFollowTheFlushMode) {
    const uint8_t data[3] = {'a', 'b', 'c'};
    struct Case {
        uint32_t mode;
        bool at_once;
    } cases[] = {{0, false}, {1, true}, {2, true}, {3, true}, {4, false}};
    uint32_t value = 10;
    for (const auto& c : cases) {
        ASSERT_EQ(csetfile(b.get(), c.mode), 0);
        ASSERT_EQ(strtwrit(b.get()), 0);
        ASSERT_EQ(csetcnt(b.get(), ++value), 0);
        EXPECT_EQ(header_word(68) == value, c.at_once) << "mode " << c.mode;
        ASSERT_EQ(endwrit(b.get()), 0);
        // Mode 4 writes the header back at the end of the section.
        if (c.mode == 4) {
            EXPECT_EQ(header_word(68), value);
        }
    }
    ASSERT_EQ(csetfile(b.get(), 0), 0);
    ASSERT_EQ(csetcust(b.get(), data, 3), 0);
    ASSERT_EQ(cflush(b.get()), 0);
    EXPECT_EQ(header_word(72), 3u);
    EXPECT_EQ(kxtest::read_file(name)[92], 'a');
}

TEST_P(FreeListTest, CustomLengthOutsideTheRangeIsWrittenAsNothing) {
    for (int32_t bad : {0, 101, -5}) {
        ASSERT_EQ(strtwrit(b.get()), 0);
        b->custom_length = bad;
        std::memset(b->custom, 'x', 100);
        ASSERT_EQ(kx::hdrwrite(b.get()), 0);
        ASSERT_EQ(endwrit(b.get()), 0);
        const auto f = kxtest::read_file(name);
        EXPECT_EQ(header_word(72), 0u) << bad;
        for (int i = 92; i < 192; ++i) ASSERT_EQ(f[i], 0) << bad;
    }
}

TEST_P(FreeListTest, CsetfileAndCflush) {
    EXPECT_EQ(csetfile(b.get(), 5), KX_E_FAIL);
    EXPECT_EQ(+b->flush_mode, 3);
    EXPECT_EQ(csetfile(b.get(), 2), 0);
    EXPECT_EQ(+b->flush_mode, 2);
    ASSERT_EQ(mclose(b.get()), 0);
    ASSERT_EQ(bopen(b.get(), name.c_str(), 'S', 2, nullptr), 0);
    EXPECT_EQ(+b->open_mode, 'S');
    EXPECT_EQ(+b->flush_mode, 1);
    EXPECT_EQ(csetfile(b.get(), 3), 0);
    EXPECT_EQ(+b->flush_mode, 1) << "shared files use mode 1 for modes 2 and 3";
    EXPECT_EQ(csetfile(b.get(), 4), 0);
    EXPECT_EQ(+b->flush_mode, 4);
    const auto before = kxtest::read_file(name);
    EXPECT_EQ(cflush(b.get()), 0);
    EXPECT_EQ(kxtest::read_file(name), before) << "cflush on a shared block touches nothing";
}

TEST_P(FreeListTest, CountersAndCustomData) {
    ASSERT_EQ(cnextrec(b.get()), 0);
    EXPECT_EQ(+b->recval, 1u);
    ASSERT_EQ(cnextrec(b.get()), 0);
    EXPECT_EQ(+b->recval, 2u);
    ASSERT_EQ(csetrec(b.get(), 100), 0);
    ASSERT_EQ(cnextrec(b.get()), 0);
    EXPECT_EQ(+b->recval, 100u);
    ASSERT_EQ(csetcnt(b.get(), 77), 0);
    ASSERT_EQ(cgetcnt(b.get()), 0);
    EXPECT_EQ(+b->recval, 77u);

    uint8_t forty[40];
    for (int i = 0; i < 40; ++i) forty[i] = static_cast<uint8_t>(i + 1);
    ASSERT_EQ(csetcust(b.get(), forty, 40), 0);
    uint8_t out[100] = {};
    EXPECT_EQ(cgetcust(b.get(), out, 10), KX_E_BUFSMALL);
    EXPECT_EQ(+b->datalen, 40);
    EXPECT_EQ(+b->datatotal, 10);
    EXPECT_EQ(0, std::memcmp(out, forty, 10));
    EXPECT_EQ(out[10], 0);
    uint8_t big[101] = {};
    EXPECT_EQ(csetcust(b.get(), big, 101), KX_E_ARG);
    EXPECT_EQ(csetcust(b.get(), big, -1), KX_E_ARG);
    EXPECT_EQ(cgetcust(b.get(), out, 100), 0);
    EXPECT_EQ(+b->datatotal, 40) << "a refused csetcust changes nothing";
    ASSERT_EQ(strtwrit(b.get()), 0);
    ASSERT_EQ(endwrit(b.get()), 0);
    ASSERT_EQ(csetcust(b.get(), nullptr, 0), 0);
    EXPECT_EQ(cgetcust(b.get(), out, 100), 0);
    EXPECT_EQ(+b->datatotal, 0);

    // Everything is in the file after a reopen, in either byte order.
    ASSERT_EQ(csetcust(b.get(), forty, 40), 0);
    ASSERT_EQ(mclose(b.get()), 0);
    ASSERT_EQ(copen(b.get(), name.c_str()), 0);
    EXPECT_EQ(+b->next_record, 101u);
    EXPECT_EQ(+b->record_count, 77u);
    EXPECT_EQ(+b->custom_length, 40);
    EXPECT_EQ(0, std::memcmp(b->custom, forty, 40));
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, FreeListTest, ::testing::Values(1, 2));
