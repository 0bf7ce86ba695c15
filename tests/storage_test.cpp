// The file layer: plain files and structured-storage streams behind one set
// of calls, positions, short reads and the system error detail.
#include <cstring>

#include "frame/control_block.h"
#include "kxutil.h"
#include "storage/file.h"
#include "storage/platform.h"
#include "support/testing.h"

using kxtest::Block;

namespace {

class StorageTest : public kxtest::FileTest {
protected:
    void SetUp() override {
        FileTest::SetUp();
        KXStorage_SetContainer(tmp.path("container").c_str());
    }
    void TearDown() override {
        KXStorage_SetStructuredStorage(0);
        KXStorage_SetContainer(nullptr);
        FileTest::TearDown();
    }
};

std::string stream_file(const std::string& name) {
    char buf[512];
    EXPECT_EQ(KXStorage_StreamPath(name.c_str(), buf, sizeof buf), 0);
    return buf;
}

}  // namespace

TEST_F(StorageTest, ExtensionsDecideStreamOrPlainFile) {
    Block b;
    const struct {
        const char* name;
        bool stream;
    } cases[] = {
        {"a.KEL", true},     {"a.kel", true},       {"b.Kil", true},     {"c.VALKIL", true},
        {"d.valkel", true},  {"e.TMPKEL", true},    {"f.hcx", true},     {"a.KEL.BAK", false},
        {"a.KELX", false},   {"noext", false},      {"dir.kel/file", false}, {"a.dat", false},
    };
    KXStorage_SetStructuredStorage(0);
    for (const auto& c : cases) EXPECT_FALSE(kx::storage::names_stream(b.get(), c.name)) << c.name;
    KXStorage_SetStructuredStorage(1);
    for (const auto& c : cases) EXPECT_EQ(kx::storage::names_stream(b.get(), c.name), c.stream) << c.name;
    EXPECT_FALSE(kx::storage::is_stream(0)) << "a null handle is never a stream";
}

TEST_F(StorageTest, IndexFileAsAStream) {
    KXStorage_SetStructuredStorage(1);
    const std::string name = file("data.kel");
    Block b;
    ASSERT_EQ(ccreate(b.get(), name.c_str()), 0);
    EXPECT_TRUE(kx::storage::is_stream(b->handle));
    ASSERT_EQ(csetcnt(b.get(), 42), 0);
    ASSERT_EQ(mclose(b.get()), 0);
    EXPECT_FALSE(std::filesystem::exists(name)) << "no plain file is made for a stream";
    const auto bytes = kxtest::read_file(stream_file(name));
    EXPECT_EQ(bytes.size(), 1024u + 3 * 2048u);
    EXPECT_EQ(kxtest::le32(bytes, 68), 42u);

    ASSERT_EQ(copen(b.get(), name.c_str()), 0);
    EXPECT_EQ(+b->record_count, 42u);
    // The stream is open to one opener only.
    Block other;
    EXPECT_EQ(copen(other.get(), name.c_str()), KX_E_FAIL);
    ASSERT_EQ(mclose(b.get()), 0);
    EXPECT_EQ(ciunlink(name.c_str()), 0) << "ciunlink never deletes a stream";

    // With structured storage off the same name is a plain file.
    KXStorage_SetStructuredStorage(0);
    EXPECT_EQ(copen(b.get(), name.c_str()), KX_E_FAIL);
    EXPECT_EQ(+b->io_error, 2);
}

TEST_F(StorageTest, MissingStreamLeavesDetailTwo) {
    KXStorage_SetStructuredStorage(1);
    Block b;
    EXPECT_EQ(copen(b.get(), file("missing.KEL").c_str()), KX_E_FAIL);
    EXPECT_EQ(+b->io_error, 2);
    EXPECT_EQ(+b->state, 'C');
}

TEST_F(StorageTest, ReadsWritesAndPositions) {
    for (bool stream : {false, true}) {
        KXStorage_SetStructuredStorage(stream ? 1 : 0);
        const std::string name = file(stream ? "raw.kel" : "raw.bin");
        Block b;
        ASSERT_NE(kx::storage::create_file(b.get(), name.c_str()), kx::os::InvalidHandle) << stream;
        EXPECT_EQ(kx::storage::is_stream(b->handle), stream);
        const char text[] = "0123456789";
        ASSERT_EQ(kx::storage::seek(b.get(), 0, 0, 0), 0);
        ASSERT_EQ(kx::storage::write(b.get(), text, 10), 0);
        // number * size + base, or number + base when size is 0.
        ASSERT_EQ(kx::storage::seek(b.get(), 2, 3, 1), 0);
        char c[4] = {};
        ASSERT_EQ(kx::storage::read(b.get(), c, 2), 0);
        EXPECT_EQ(std::string(c, 2), "78");
        ASSERT_EQ(kx::storage::seek(b.get(), 4, 0, 1), 0);
        ASSERT_EQ(kx::storage::read(b.get(), c, 1), 0);
        EXPECT_EQ(c[0], '5');
        // A read that meets the end of the file early is short.
        ASSERT_EQ(kx::storage::seek(b.get(), 8, 0, 0), 0);
        EXPECT_EQ(kx::storage::read(b.get(), c, 4), KX_E_READ);
        // Positions stay below 2 GiB.
        EXPECT_EQ(kx::storage::seek(b.get(), 0x7FFFFFFF, 0, 0), 0);
        EXPECT_EQ(kx::storage::seek(b.get(), 0x80000000u, 0, 0), KX_E_FAIL);
        EXPECT_EQ(kx::storage::seek(b.get(), 0x100000, 2048, 1024), KX_E_FAIL);
        EXPECT_EQ(kx::storage::seek(b.get(), 0x200000, 2048, 1024), KX_E_FAIL) << "no wrap round 4 GiB";
        EXPECT_EQ(kx::storage::flush_checked(b.get()), 0);
        EXPECT_EQ(kx::storage::close_file(b.get()), 0);
    }
}

TEST_F(StorageTest, ClosedOrMadeUpHandlesAreNoFiles) {
    Block b;
    for (uint64_t h : {uint64_t{0}, ~uint64_t{0}, uint64_t{0x4B58000000000005ull}, uint64_t{12345}}) {
        b->handle = h;
        EXPECT_EQ(kx::storage::seek(b.get(), 0, 0, 0), KX_E_FAIL) << h;
        char c;
        EXPECT_EQ(kx::storage::read(b.get(), &c, 1), KX_E_FAIL) << h;
        EXPECT_EQ(kx::storage::write(b.get(), &c, 1), KX_E_WRITE) << h;
        EXPECT_EQ(kx::storage::flush_checked(b.get()), KX_E_FAIL) << h;
        EXPECT_EQ(kx::storage::flush(b.get()), 0) << h;
        EXPECT_EQ(kx::storage::close_file(b.get()), KX_E_FAIL) << h;
        EXPECT_EQ(kx::storage::lock(b.get(), 559, 1), kx::storage::LockResult::Error) << h;
    }
    // A handle that was closed stays dead even when its slot is reused.
    const std::string name = file("reuse.bin");
    ASSERT_NE(kx::storage::create_file(b.get(), name.c_str()), kx::os::InvalidHandle);
    const uint64_t old = b->handle;
    ASSERT_EQ(kx::storage::close_file(b.get()), 0);
    Block c;
    ASSERT_NE(kx::storage::open_exclusive(c.get(), name.c_str(), 2), kx::os::InvalidHandle);
    EXPECT_NE(+c->handle, old);
    EXPECT_FALSE(kx::os::valid(old));
    EXPECT_EQ(kx::storage::close_file(c.get()), 0);
}

TEST_F(StorageTest, ShareModesFollowTheOpenersRules) {
    const std::string name = file("share.bin");
    kxtest::write_file(name, {0});
    struct Opener {
        const char* what;
        int kind;  // 0 exclusive, 1 shared
        char mode;
        int access;
    };
    const Opener ex_rw{"exclusive rw", 0, 'E', 2}, ex_r{"exclusive r", 0, 'E', 1},
        sh_rw{"shared rw", 1, 'S', 2}, sh_d{"shared D", 1, 'D', 2}, sh_r{"shared r", 1, 'S', 1};
    auto open = [&](Block& b, const Opener& o) {
        b->open_mode = o.mode;
        return (o.kind == 0 ? kx::storage::open_exclusive(b.get(), name.c_str(), o.access)
                            : kx::storage::open_shared(b.get(), name.c_str(), o.access)) != kx::os::InvalidHandle;
    };
    const struct {
        Opener first, second;
        bool second_ok;
    } cases[] = {
        {ex_rw, ex_rw, false}, {ex_rw, sh_rw, false}, {ex_r, sh_r, false}, {sh_rw, ex_r, false},
        {sh_rw, sh_rw, true},  {sh_rw, sh_r, true},   {sh_d, sh_r, true},  {sh_d, sh_rw, false},
        {sh_rw, sh_d, false},  {sh_r, sh_d, true},
    };
    for (const auto& c : cases) {
        Block a, b;
        ASSERT_TRUE(open(a, c.first)) << c.first.what;
        EXPECT_EQ(open(b, c.second), c.second_ok) << c.first.what << " then " << c.second.what;
        if (c.second_ok) kx::storage::close_file(b.get());
        kx::storage::close_file(a.get());
    }
}

TEST_F(StorageTest, UnlinkAndAllocate) {
    const std::string name = file("gone.bin");
    kxtest::write_file(name, {1});
    EXPECT_NE(ciunlink(name.c_str()), 0);
    EXPECT_EQ(ciunlink(name.c_str()), 0);
    EXPECT_EQ(ciunlink(nullptr), 0);
    Block b;
    void* p = kx::storage::allocate(b.get(), 16);
    EXPECT_NE(p, nullptr);
    free(p);
    EXPECT_EQ(+b->deferred_error, 0);
}
