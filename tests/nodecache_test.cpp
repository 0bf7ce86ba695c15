// The node buffer pool: replacement order, write-back of dirty victims, the
// flush modes, direct access without a pool, and refusal of damaged images.
#include <cstdio>
#include <cstring>

#include "frame/byteorder.h"
#include "indexfile/freelist.h"
#include "indexfile/header.h"
#include "indexfile/nodecache.h"
#include "support/testing.h"

using kxtest::Block;

namespace {

// A file with nodes 0..count-1 whose node n carries the stamp n + 100 in its
// first entry byte, written straight into the file in the file's order.
class PoolTest : public kxtest::FileTest, public ::testing::WithParamInterface<int> {
protected:
    void make_file(uint32_t nodes, int choice = 1) {
        name = file("pool.kx");
        ASSERT_EQ(bcreate(b.get(), name.c_str(), 'E', choice, nullptr), 0);
        ASSERT_EQ(csetfile(b.get(), 0), 0);
        ASSERT_EQ(strtwrit(b.get()), 0);
        while (b->node_count < nodes) {
            b->next_node = b->node_count;  // make every slot count as used
            ASSERT_EQ(kx::nodespare(b.get()), 0);
        }
        b->next_node = nodes;
        for (uint32_t n = 1; n < nodes; ++n) {
            kx::WorkImage& img = kx::work::split();
            std::memset(img.bytes, 0, sizeof img.bytes);
            kx::store<uint32_t>(img.bytes + 4, 0xFFFFFFFF);
            kx::store<uint32_t>(img.bytes + 8, 0xFFFFFFFF);
            kx::store<int16_t>(img.bytes + 16, 2030);
            img.bytes[18] = static_cast<uint8_t>(n + 100);
            ASSERT_EQ(kx::cacheput(b.get(), img, n), 0);
        }
        ASSERT_EQ(endwrit(b.get()), 0);
        ASSERT_EQ(mclose(b.get()), 0);
    }
    uint8_t stamp_in_file(uint32_t n) { return kxtest::read_file(name).at(1024 + 2048 * n + 18); }
    int32_t get(uint32_t n) { return kx::cacheget(b.get(), kx::work::split(), n); }
    std::vector<uint32_t> order() {
        uint32_t nodes[64];
        const int32_t k = kx::pool_order(b.get(), nodes, 64);
        return std::vector<uint32_t>(nodes, nodes + k);
    }
    Block b;
    std::string name;
};

}  // namespace

TEST_F(PoolTest, LeastRecentlyUsedIsEvictedAndDirtyVictimWrittenFirst) {
    make_file(10);
    ASSERT_EQ(cibufnum(2), 0);
    ASSERT_EQ(copen(b.get(), name.c_str()), 0);
    ASSERT_EQ(csetfile(b.get(), 0), 0);
    ASSERT_EQ(get(5), 0);
    ASSERT_EQ(get(6), 0);
    EXPECT_EQ(order(), (std::vector<uint32_t>{6, 5}));
    // Touching 5 makes 6 the least recently used.
    ASSERT_EQ(get(5), 0);
    EXPECT_EQ(order(), (std::vector<uint32_t>{5, 6}));
    ASSERT_EQ(get(6), 0);
    // Change node 5 (dirty at flush mode 0), then read 7: 5 is evicted and
    // must reach the file before 7 is read.
    kx::WorkImage& img = kx::work::split();
    ASSERT_EQ(get(5), 0);
    img.bytes[18] = 0xAA;
    ASSERT_EQ(kx::cacheput(b.get(), img, 5), 0);
    EXPECT_EQ(stamp_in_file(5), 105) << "flush mode 0 keeps the node in the pool";
    ASSERT_EQ(get(6), 0);
    ASSERT_EQ(get(7), 0);
    EXPECT_EQ(order(), (std::vector<uint32_t>{7, 6}));
    EXPECT_EQ(stamp_in_file(5), 0xAA);
    EXPECT_EQ(img.bytes[18], 107);
    EXPECT_EQ(mclose(b.get()), 0);
}

TEST_F(PoolTest, WorkingLeafHitNeedsNoFileAccess) {
    make_file(8);
    ASSERT_EQ(copen(b.get(), name.c_str()), 0);
    kx::WorkImage& leaf = kx::work::leaf();
    ASSERT_EQ(kx::cacheget(b.get(), leaf, 5), 0);
    EXPECT_EQ(leaf.bytes[18], 105);
    // Scribble on the file behind the library's back: a second read of the
    // working leaf must not touch the file, so it still sees the old byte.
    kxtest::patch_file(name, 1024 + 2048 * 5 + 18, {0x55});
    leaf.bytes[19] = 0x77;
    ASSERT_EQ(kx::cacheget(b.get(), leaf, 5), 0);
    EXPECT_EQ(leaf.bytes[19], 0x77) << "the image was not reloaded";
    EXPECT_EQ(mclose(b.get()), 0);
}

TEST_P(PoolTest, FlushModesDecideWhatReachesTheFile) {
    const int mode = GetParam();
    make_file(6);
    ASSERT_EQ(copen(b.get(), name.c_str()), 0);
    ASSERT_EQ(csetfile(b.get(), static_cast<uint32_t>(mode)), 0);
    ASSERT_EQ(strtwrit(b.get()), 0);
    kx::WorkImage& img = kx::work::split();
    // Node 2 as a leaf, node 3 as an interior node.
    ASSERT_EQ(get(2), 0);
    img.bytes[18] = 0x11;
    ASSERT_EQ(kx::cacheput(b.get(), img, 2), 0);
    ASSERT_EQ(get(3), 0);
    kx::store<int16_t>(img.bytes + 12, 1);
    img.bytes[18] = 0x22;
    ASSERT_EQ(kx::cacheput(b.get(), img, 3), 0);
    const bool leaf_now = mode == 2 || mode == 3;
    const bool interior_now = mode == 3;
    EXPECT_EQ(stamp_in_file(2), leaf_now ? 0x11 : 102) << "mode " << mode;
    EXPECT_EQ(stamp_in_file(3), interior_now ? 0x22 : 103) << "mode " << mode;
    ASSERT_EQ(endwrit(b.get()), 0);
    // In exclusive mode only mode 4 writes nodes back at the end of the
    // section (the others flush the file); cflush and close write everything.
    const bool after_section = mode == 4;
    EXPECT_EQ(stamp_in_file(2), after_section || leaf_now ? 0x11 : 102) << "mode " << mode;
    if (mode == 4) {
        EXPECT_EQ(stamp_in_file(3), 0x22);
    }
    ASSERT_EQ(cflush(b.get()), 0);
    EXPECT_EQ(stamp_in_file(2), 0x11);
    EXPECT_EQ(stamp_in_file(3), 0x22);
    EXPECT_EQ(mclose(b.get()), 0);
    const auto f = kxtest::read_file(name);
    EXPECT_EQ(f[1010] | f[1011], 0) << "no marker left after a clean close";
}

INSTANTIATE_TEST_SUITE_P(Modes, PoolTest, ::testing::Values(0, 1, 2, 3, 4));

TEST_F(PoolTest, NoPoolReadsAndWritesDirectly) {
    make_file(6, 2);
    ASSERT_EQ(cibufnum(0), 0);
    ASSERT_EQ(copen(b.get(), name.c_str()), 0);
    ASSERT_EQ(csetfile(b.get(), 0), 0);
    ASSERT_EQ(get(4), 0);
    EXPECT_EQ(kx::load<uint32_t>(kx::work::split().bytes + 4), 0xFFFFFFFFu);
    EXPECT_EQ(kx::load<int16_t>(kx::work::split().bytes + 16), 2030) << "node header converted to host order";
    kx::work::split().bytes[18] = 0x42;
    ASSERT_EQ(kx::cacheput(b.get(), kx::work::split(), 4), 0);
    EXPECT_EQ(stamp_in_file(4), 0x42) << "without a pool a put is a write";
    EXPECT_EQ(kx::pool_stats().buffers, 0);
    EXPECT_EQ(mclose(b.get()), 0);
}

TEST_F(PoolTest, DamagedImagesAndNodeNumbersAreRefused) {
    make_file(4);
    ASSERT_EQ(copen(b.get(), name.c_str()), 0);
    kx::WorkImage& img = kx::work::split();
    ASSERT_EQ(get(2), 0);
    auto nodes = [&] {
        const auto f = kxtest::read_file(name);
        return std::vector<uint8_t>(f.begin() + 1024, f.end());
    };
    const auto before = nodes();
    for (int field : {14, 16}) {
        ASSERT_EQ(get(2), 0);
        kx::store<int16_t>(img.bytes + field, -1);
        EXPECT_EQ(kx::cacheput(b.get(), img, 2), KX_E_DAMAGED) << "field " << field;
    }
    ASSERT_EQ(get(2), 0);
    EXPECT_EQ(kx::load<int16_t>(img.bytes + 16), 2030) << "the pool kept the good image";
    EXPECT_EQ(kx::cacheput(b.get(), img, +b->node_count), KX_E_DAMAGED) << "node beyond the node count";
    EXPECT_EQ(kx::cacheget(b.get(), img, 0x80000001u), KX_E_NEGNODE);
    EXPECT_EQ(kx::cacheget(b.get(), img, 50), KX_E_READ) << "node beyond the end of the file";
    EXPECT_EQ(kx::cacheget(b.get(), img, 0x00200000u), KX_E_SEEK) << "position beyond 2 GiB";
    EXPECT_EQ(mclose(b.get()), 0);
    EXPECT_EQ(nodes(), before);
}

TEST_F(PoolTest, BufferCountChangesOnlyWhenNoFileOwnsBuffers) {
    make_file(4);
    ASSERT_EQ(cibufnum(7), 0);
    EXPECT_EQ(kx::pool_stats().buffers, 7);
    ASSERT_EQ(copen(b.get(), name.c_str()), 0);
    ASSERT_EQ(get(1), 0);
    EXPECT_EQ(cibufnum(20), KX_E_FAIL);
    EXPECT_EQ(KINDEX_Shutdown(), KX_E_FAIL);
    EXPECT_EQ(kx::pool_stats().buffers, 7) << "the old count stays in force";
    ASSERT_EQ(mclose(b.get()), 0);
    EXPECT_EQ(kx::pool_stats().owned, 0) << "close frees the file's buffers";
    EXPECT_EQ(cibufnum(20), 0);
    EXPECT_EQ(kx::pool_stats().buffers, 20);
    EXPECT_EQ(cibufnum(0x80000000u), KX_E_ARG);
    EXPECT_EQ(kx::pool_stats().buffers, 20);
    EXPECT_EQ(KINDEX_Shutdown(), 0);
    EXPECT_EQ(kx::pool_stats().buffers, 0);
    EXPECT_EQ(KINDEX_Init(), 0);
    EXPECT_EQ(kx::pool_stats().buffers, 20);
}

TEST_F(PoolTest, LargePoolFindsEveryNode) {
    make_file(300);
    ASSERT_EQ(cibufnum(100000), 0);
    ASSERT_EQ(copen(b.get(), name.c_str()), 0);
    for (int pass = 0; pass < 2; ++pass)
        for (uint32_t n = 1; n < 300; ++n) {
            ASSERT_EQ(get(n), 0);
            ASSERT_EQ(kx::work::split().bytes[18], static_cast<uint8_t>(n + 100)) << n;
        }
    EXPECT_EQ(kx::pool_stats().owned, 299);
    EXPECT_EQ(mclose(b.get()), 0);
}

TEST_F(PoolTest, TwoFilesShareThePoolWithoutMixingNodes) {
    make_file(5);
    const std::string first = name;
    Block other;
    const std::string second = file("other.kx");
    ASSERT_EQ(ccreate(other.get(), second.c_str()), 0);
    ASSERT_EQ(copen(b.get(), first.c_str()), 0);
    ASSERT_EQ(get(0), 0);
    ASSERT_EQ(cibufnum(3), KX_E_FAIL);
    EXPECT_EQ(kx::load<int16_t>(kx::work::split().bytes + 16), 2030);
    ASSERT_EQ(get(1), 0);
    EXPECT_EQ(kx::work::split().bytes[18], 101);
    ASSERT_EQ(kx::cacheget(other.get(), kx::work::split(), 1), 0);
    EXPECT_EQ(kx::work::split().bytes[18], 0) << "node 1 of the other file is its own";
    EXPECT_EQ(mclose(other.get()), 0);
    EXPECT_EQ(mclose(b.get()), 0);
}

// A flush writes the flushing file's dirty buffers and only those; buffers
// dirtied again after a flush, or written early as victims, are written
// once more at the next flush and never lost.
TEST_F(PoolTest, FlushWritesOnlyTheFlushingFilesDirtyBuffers) {
    make_file(12);
    const std::string first = file("first.kx");
    ASSERT_EQ(std::rename(name.c_str(), first.c_str()), 0);
    make_file(12);
    const std::string second = name;
    ASSERT_EQ(cibufnum(8), 0);
    Block other;
    ASSERT_EQ(copen(b.get(), first.c_str()), 0);
    ASSERT_EQ(copen(other.get(), second.c_str()), 0);
    ASSERT_EQ(csetfile(b.get(), 0), 0);
    ASSERT_EQ(csetfile(other.get(), 0), 0);
    auto put = [](KXCB* cb, uint32_t n, uint8_t value) {
        kx::WorkImage& img = kx::work::split();
        ASSERT_EQ(kx::cacheget(cb, img, n), 0);
        img.bytes[18] = value;
        ASSERT_EQ(kx::cacheput(cb, img, n), 0);
    };
    auto in_file = [](const std::string& f, uint32_t n) { return kxtest::read_file(f).at(1024 + 2048 * n + 18); };
    ASSERT_EQ(strtwrit(b.get()), 0);
    ASSERT_EQ(strtwrit(other.get()), 0);
    for (uint32_t round = 0; round < 3; ++round) {
        const uint8_t v = static_cast<uint8_t>(200 + round);
        for (uint32_t n : {9u, 2u, 5u}) put(b.get(), n, v);
        for (uint32_t n : {3u, 4u}) put(other.get(), n, v);
        EXPECT_EQ(kx::pool_stats().dirty, 5) << round;
        ASSERT_EQ(kx::cacheflush(b.get()), 0);
        EXPECT_EQ(kx::pool_stats().dirty, 2) << "the other file's buffers stay dirty";
        for (uint32_t n : {9u, 2u, 5u}) EXPECT_EQ(in_file(first, n), v) << round << " node " << n;
        EXPECT_EQ(in_file(second, 3), round == 0 ? 103 : v - 1) << "not written by the first file's flush";
        ASSERT_EQ(kx::cacheflush(other.get()), 0);
        EXPECT_EQ(kx::pool_stats().dirty, 0);
        EXPECT_EQ(in_file(second, 3), v);
    }
    // More dirty nodes than buffers: victims are written as they leave, the
    // rest at the flush.
    for (uint32_t n = 1; n < 12; ++n) put(b.get(), n, static_cast<uint8_t>(n + 50));
    ASSERT_EQ(kx::cacheflush(b.get()), 0);
    for (uint32_t n = 1; n < 12; ++n) EXPECT_EQ(in_file(first, n), n + 50) << n;
    ASSERT_EQ(endwrit(other.get()), 0);
    ASSERT_EQ(endwrit(b.get()), 0);
    EXPECT_EQ(mclose(other.get()), 0);
    EXPECT_EQ(mclose(b.get()), 0);
}
