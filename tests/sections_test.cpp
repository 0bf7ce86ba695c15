// Read and write sections within one process: what the end of a section
// reports, and how a section start that fails leaves the block and the lock
// bytes.  Sharing with other processes is in multiprocess_test.cpp.
#include "frame/control_block.h"
#include "support/testing.h"
#include "support/worker.h"

using kxtest::Block;
using kxtest::FileTest;
using kxtest::lock_held;
using kxtest::read_file;

namespace {

constexpr int ReadLockBytes = 689;
constexpr int LockSpan = 950 - ReadLockBytes;  // read-lock bytes, gate, queue

class SectionTest : public FileTest {
protected:
    void SetUp() override {
        FileTest::SetUp();
        path = file("sections.kx");
        Block b;
        ASSERT_EQ(ccreate(b.get(), path.c_str()), 0);
        ASSERT_EQ(mclose(b.get()), 0);
    }
    std::string path;
};

}  // namespace

// --- The end of a write section -------------------------------------------

struct Deferred {
    char mode;
    uint32_t flush_mode;
    int depth;  // nested write sections
};

class DeferredError : public SectionTest, public ::testing::WithParamInterface<Deferred> {};

TEST_P(DeferredError, OutermostEndReportsItAndKeepsTheLastResult) {
    const Deferred d = GetParam();
    Block b;
    ASSERT_EQ(bopen(b.get(), path.c_str(), d.mode, 2, nullptr), 0);
    ASSERT_EQ(csetfile(b.get(), d.flush_mode), 0);
    const uint32_t before = kxtest::le32(read_file(path), 0);
    for (int i = 0; i < d.depth; ++i) ASSERT_EQ(strtwrit(b.get()), 0);
    b->deferred_error = KX_E_NOMEM;
    b->last_result = 555;
    for (int i = d.depth; i > 1; --i) {
        EXPECT_EQ(endwrit(b.get()), 0) << "inner end reported the error";
        EXPECT_EQ(int32_t{b->last_result}, 555);
    }
    EXPECT_EQ(endwrit(b.get()), KX_E_NOMEM);
    EXPECT_EQ(int32_t{b->last_result}, 555) << "endwrit changed the last result";
    EXPECT_EQ(+b->write_depth, 0);
    if (d.mode != 'E' || d.flush_mode == 4) {
        // The write-back still happened: the raised change counter is stored.
        EXPECT_EQ(kxtest::le32(read_file(path), 0), before + 1);
    }
    EXPECT_EQ(strtwrit(b.get()), 0) << "a new section starts clean";
    EXPECT_EQ(endwrit(b.get()), 0);
    EXPECT_EQ(mclose(b.get()), 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, DeferredError,
                         ::testing::Values(Deferred{'E', 0, 1}, Deferred{'E', 3, 1}, Deferred{'E', 4, 2},
                                           Deferred{'S', 0, 1}, Deferred{'S', 1, 3}, Deferred{'S', 4, 1}),
                         [](const auto& info) {
                             const Deferred& d = info.param;
                             return std::string(1, d.mode) + "_flush" + std::to_string(d.flush_mode) + "_depth" +
                                    std::to_string(d.depth);
                         });

TEST_F(SectionTest, SharedReadEndReportsTheDeferredError) {
    Block b;
    ASSERT_EQ(bopen(b.get(), path.c_str(), 'S', 2, nullptr), 0);
    ASSERT_EQ(strtread(b.get()), 0);
    ASSERT_EQ(strtread(b.get()), 0);
    b->deferred_error = KX_E_NOMEM;
    EXPECT_EQ(endread(b.get()), 0);
    EXPECT_EQ(endread(b.get()), KX_E_NOMEM);
    EXPECT_FALSE(lock_held(path, ReadLockBytes, LockSpan));
    ASSERT_EQ(strtread(b.get()), 0);
    EXPECT_EQ(int32_t{b->deferred_error}, 0) << "a new outermost section clears it";
    EXPECT_EQ(endread(b.get()), 0);
    EXPECT_EQ(mclose(b.get()), 0);
}

// --- A change counter that reads 0 ----------------------------------------

struct ZeroCounter {
    const char* name;
    int32_t (*call)(KXCB*);
    int32_t expect;
};

class CounterZero : public SectionTest, public ::testing::WithParamInterface<ZeroCounter> {};

TEST_P(CounterZero, SharedSectionStartFailsAndHoldsNothing) {
    const ZeroCounter z = GetParam();
    Block b;
    ASSERT_EQ(bopen(b.get(), path.c_str(), 'S', 2, nullptr), 0);
    kxtest::patch_file(path, 0, {0, 0, 0, 0});
    EXPECT_EQ(z.call(b.get()), z.expect);
    EXPECT_EQ(+b->read_depth, 0);
    EXPECT_EQ(+b->write_depth, 0);
    EXPECT_EQ(+b->gate_state, 'U');
    EXPECT_EQ(+b->read_lock_level, 1);
    EXPECT_FALSE(lock_held(path, ReadLockBytes, LockSpan)) << "a failed start kept a lock";

    // Once the counter reads non-zero again the block works as before.
    kxtest::patch_file(path, 0, {9, 0, 0, 0});
    EXPECT_EQ(cnextrec(b.get()), 0);
    EXPECT_EQ(uint32_t{b->recval}, 1u);
    EXPECT_EQ(mclose(b.get()), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Calls, CounterZero,
    ::testing::Values(ZeroCounter{"strtwrit", [](KXCB* cb) { return strtwrit(cb); }, KX_E_SEEK},
                      ZeroCounter{"strtread", [](KXCB* cb) { return strtread(cb); }, KX_E_SECTION},
                      ZeroCounter{"cnextrec", [](KXCB* cb) { return cnextrec(cb); }, KX_E_SEEK},
                      ZeroCounter{"cgetcnt", [](KXCB* cb) { return cgetcnt(cb); }, KX_E_SECTION},
                      ZeroCounter{"flush4strtwrit",
                                  [](KXCB* cb) {
                                      csetfile(cb, 4);
                                      return strtwrit(cb);
                                  },
                                  KX_E_SEEK}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SectionTest, ExclusiveSectionsIgnoreTheCounter) {
    Block b;
    ASSERT_EQ(bopen(b.get(), path.c_str(), 'E', 2, nullptr), 0);
    kxtest::patch_file(path, 0, {0, 0, 0, 0});
    EXPECT_EQ(strtread(b.get()), 0);
    EXPECT_EQ(+b->read_depth, 0) << "exclusive read sections are not counted";
    EXPECT_EQ(endread(b.get()), 0);
    EXPECT_EQ(strtwrit(b.get()), 0);
    EXPECT_EQ(endwrit(b.get()), 0);
    EXPECT_EQ(mclose(b.get()), 0);
}
