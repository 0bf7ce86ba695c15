// Creating, opening and closing index files: the stored layout, both byte
// orders, and every way an open can be refused.
#include <cstring>

#include "frame/control_block.h"
#include "indexfile/header.h"
#include "support/testing.h"

using kxtest::Block;
using kxtest::FileTest;
using kxtest::read_file;

namespace {

uint32_t word(const std::vector<uint8_t>& f, size_t off, bool big) {
    return big ? kxtest::be32(f, off) : kxtest::le32(f, off);
}

}  // namespace

class CreateLayout : public FileTest, public ::testing::WithParamInterface<int> {};

TEST_P(CreateLayout, MatchesTheHeaderTableByteForByte) {
    const int choice = GetParam();
    const bool big = choice == 2;
    const std::string name = file("new.kx");
    const KXROOTLIST roots[] = {{3, 5, nullptr}, {7, 0, nullptr}, {0, 0, nullptr}};
    Block b;
    ASSERT_EQ(bcreate(b.get(), name.c_str(), 'E', choice, roots), 0);
    EXPECT_EQ(+b->state, 'O');
    EXPECT_EQ(+b->flush_mode, 3);
    EXPECT_EQ(+b->byte_order[0], big ? 0 : 1);
    ASSERT_EQ(mclose(b.get()), 0);

    const auto f = read_file(name);
    ASSERT_EQ(f.size(), 1024u + 3 * 2048u);
    const struct {
        size_t off;
        uint32_t value;
    } words[] = {{0, 0}, {4, 'V'},  {12, 0},  {16, 'A'}, {20, 'L'}, {24, 'I'}, {28, 1},
                 {32, 'D'}, {36, 1}, {40, 'A'}, {44, 1}, {48, 'T'}, {52, 3},  {56, '1'},
                 {60, 0xFFFFFFFF}, {64, 0}, {68, 0}, {72, 0}, {550, 0xFFFFFFFF}, {554, 0xFFFFFFFF}};
    for (const auto& w : words) {
        if (w.off == 0) continue;  // the change counter moves with every write section
        EXPECT_EQ(word(f, w.off, big), w.value) << "header offset " << w.off;
    }
    EXPECT_NE(word(f, 0, big), 0u);
    const uint8_t order[4] = {static_cast<uint8_t>(big ? 0 : 1), 0, 0, static_cast<uint8_t>(big ? 1 : 0)};
    EXPECT_EQ(0, std::memcmp(&f[8], order, 4));
    for (size_t i = 76; i < 192; ++i) EXPECT_EQ(f[i], 0) << i;
    for (size_t r = 0; r < 52; ++r) {
        const uint8_t expect = r == 3 ? 5 : r == 50 ? 2 : 0;
        EXPECT_EQ(f[192 + r], expect) << "root type " << r;
    }
    for (size_t i = 244; i < 550; ++i) EXPECT_EQ(f[i], 0) << i;
    for (size_t i = 558; i < 1024; ++i) EXPECT_EQ(f[i], 0) << "lock region " << i;
    // Node 0: an empty leaf; nodes 1 and 2: zero spare slots.
    const size_t n0 = 1024;
    EXPECT_EQ(word(f, n0 + 0, big), 0u);
    EXPECT_EQ(word(f, n0 + 4, big), 0xFFFFFFFFu);
    EXPECT_EQ(word(f, n0 + 8, big), 0xFFFFFFFFu);
    const uint16_t free_bytes = big ? uint16_t(f[n0 + 16] << 8 | f[n0 + 17]) : uint16_t(f[n0 + 17] << 8 | f[n0 + 16]);
    EXPECT_EQ(free_bytes, 2030);
    EXPECT_EQ(f[n0 + 12] | f[n0 + 13] | f[n0 + 14] | f[n0 + 15], 0);
    for (size_t i = n0 + 18; i < f.size(); ++i) ASSERT_EQ(f[i], 0) << i;

    // It reads back with every word converted.
    Block r;
    ASSERT_EQ(bopen(r.get(), name.c_str(), 'E', 2, roots), 0);
    EXPECT_EQ(+r->node_count, 3u);
    EXPECT_EQ(+r->next_node, 1u);
    EXPECT_EQ(+r->free_head, 0xFFFFFFFFu);
    EXPECT_EQ(+r->main_height, 1u);
    EXPECT_EQ(+r->next_record, 1u);
    EXPECT_EQ(+r->log_head, -1);
    EXPECT_EQ(+r->root_types[3], 5);
    EXPECT_EQ(mclose(r.get()), 0);
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, CreateLayout, ::testing::Values(1, 2, 3));

TEST_F(CreateLayout, RefusesBadChoicesAndExistingFiles) {
    Block b;
    EXPECT_EQ(bcreate(b.get(), file("x.kx").c_str(), 'E', 4, nullptr), KX_E_BYTEORDER);
    EXPECT_EQ(bcreate(b.get(), file("x.kx").c_str(), 'E', 0, nullptr), KX_E_BYTEORDER);
    EXPECT_EQ(bcreate(b.get(), nullptr, 'E', 1, nullptr), KX_E_ARG);
    EXPECT_EQ(+b->last_result, KX_E_ARG);
    EXPECT_EQ(bcreate(b.get(), "", 'E', 1, nullptr), KX_E_ARG);

    const std::string name = file("exists.kx");
    kxtest::write_file(name, {1, 2, 3});
    EXPECT_EQ(ccreate(b.get(), name.c_str()), KX_E_EXISTS);
    EXPECT_EQ(read_file(name), (std::vector<uint8_t>{1, 2, 3})) << "an existing file is left untouched";
    EXPECT_EQ(+b->state, 'C');

    const KXROOTLIST high[] = {{46, 0, nullptr}, {0, 0, nullptr}};
    EXPECT_EQ(bcreate(b.get(), file("r46.kx").c_str(), 'E', 1, high), KX_E_ROOTNUM);
    EXPECT_FALSE(std::filesystem::exists(file("r46.kx"))) << "a failed create deletes its file";
    const KXROOTLIST badtype[] = {{4, 21, nullptr}, {0, 0, nullptr}};
    EXPECT_EQ(bcreate(b.get(), file("t21.kx").c_str(), 'E', 1, badtype), KX_E_ROOTLIST);
    EXPECT_FALSE(std::filesystem::exists(file("t21.kx")));
    EXPECT_EQ(+b->state, 'C');
}

TEST_F(FileTest, FileNameIsKeptWithABoundOf100Bytes) {
    Block b;
    std::string base = tmp.dir().string() + "/";
    std::string name = base + std::string(100 - base.size(), 'n');
    ASSERT_EQ(name.size(), 100u);
    ASSERT_EQ(ccreate(b.get(), name.c_str()), 0);
    EXPECT_EQ(0, std::memcmp(b->file_name, name.data(), 100));
    EXPECT_EQ(+b->flush_mode, 3);
    EXPECT_EQ(mclose(b.get()), 0);
}

TEST_F(FileTest, CloseAndReopenKeepTheBlockUsable) {
    Block b;
    const std::string name = file("a.kx");
    ASSERT_EQ(ccreate(b.get(), name.c_str()), 0);
    EXPECT_EQ(mclose(b.get()), 0);
    EXPECT_EQ(+b->state, 'C');
    EXPECT_EQ(mclose(b.get()), KX_E_NOTOPEN);
    EXPECT_EQ(imgclose(b.get()), KX_E_NOTOPEN);
    EXPECT_EQ(cflush(b.get()), KX_E_NOTOPEN);
    EXPECT_EQ(csetfile(b.get(), 1), KX_E_NOTOPEN);
    ASSERT_EQ(copen(b.get(), name.c_str()), 0);
    EXPECT_EQ(+b->state, 'O');
    EXPECT_EQ(+b->check_dlist, 1u);
    EXPECT_EQ(+b->reuse_records, 1u);
    EXPECT_EQ(+b->preset_record, -1);
    EXPECT_EQ(+b->lazy_marker, 1u);
    EXPECT_EQ(+b->native_callback_keys, 1u);
    EXPECT_EQ(mclose(b.get()), 0);
    EXPECT_EQ(+b->lazy_marker, 0u);
}

TEST_F(FileTest, MissingFileLeavesTheSystemErrorNumber) {
    Block b;
    EXPECT_EQ(copen(b.get(), file("missing.kx").c_str()), KX_E_FAIL);
    EXPECT_EQ(+b->io_error, 2);
    EXPECT_EQ(+b->state, 'C');
    EXPECT_EQ(bopen(b.get(), file("missing.kx").c_str(), 'S', 2, nullptr), KX_E_FAIL);
    EXPECT_EQ(+b->io_error, 2);
    EXPECT_EQ(copen(b.get(), nullptr), KX_E_ARG);
}

// Files that are not index files, each giving a code and a closed block.
TEST_F(FileTest, DamagedHeadersAreRefused) {
    Block good;
    const std::string model = file("model.kx");
    ASSERT_EQ(ccreate(good.get(), model.c_str()), 0);
    ASSERT_EQ(mclose(good.get()), 0);
    const auto bytes = read_file(model);

    struct Case {
        const char* what;
        std::vector<uint8_t> content;
        int32_t expect;
    };
    std::vector<Case> cases;
    cases.push_back({"empty", {}, KX_E_READ});
    cases.push_back({"truncated header", std::vector<uint8_t>(bytes.begin(), bytes.begin() + 300), KX_E_READ});
    std::vector<uint8_t> noise(8192);
    for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<uint8_t>(i * 2654435761u >> 13);
    cases.push_back({"random bytes", noise, KX_E_NOTINDEX});
    for (int off : {4, 16, 20, 24, 32, 40, 48, 56}) {
        auto c = bytes;
        c[off] ^= 0x20;
        cases.push_back({"signature letter", c, KX_E_NOTINDEX});
    }
    auto marker = bytes;
    marker[1010] = 0xBD;
    marker[1011] = 0x33;
    cases.push_back({"write-in-progress marker", marker, KX_E_MARKER});

    for (const auto& c : cases) {
        for (char mode : {'E', 'S'}) {
            const std::string name = file("case.kx");
            kxtest::write_file(name, c.content);
            Block b;
            EXPECT_EQ(bopen(b.get(), name.c_str(), mode, 2, nullptr), c.expect) << c.what << " mode " << mode;
            EXPECT_EQ(+b->state, 'C') << c.what;
            EXPECT_EQ(+b->last_result, c.expect) << c.what;
            // The file was closed: it can be removed and recreated.
            EXPECT_NE(ciunlink(name.c_str()), 0);
        }
    }
}

TEST_F(FileTest, RootListIsCheckedAgainstTheFile) {
    const std::string name = file("roots.kx");
    KXSEGMENT segs[245];
    std::memset(segs, 0, sizeof segs);
    const KXROOTLIST create_list[] = {{3, 4, nullptr}, {5, 8, nullptr}, {0, 0, nullptr}};
    Block b;
    ASSERT_EQ(bcreate(b.get(), name.c_str(), 'E', 1, create_list), 0);
    ASSERT_EQ(mclose(b.get()), 0);

    auto with_segments = [&](int n, uint8_t type) {
        for (int i = 0; i < n; ++i) segs[i].key_type = type;
        segs[n].key_type = 31;
        return segs;
    };
    struct Case {
        const char* what;
        std::vector<KXROOTLIST> list;
        bool null_list;
        int32_t expect;
    };
    const std::vector<Case> cases = {
        {"no list on a typed file", {}, true, KX_E_ROOTLIST},
        {"empty list", {{0, 0, nullptr}}, false, 0},
        {"matching list", {{3, 4, nullptr}, {5, 8, nullptr}, {0, 0, nullptr}}, false, 0},
        {"root 46", {{46, 0, nullptr}, {0, 0, nullptr}}, false, KX_E_ROOTNUM},
        {"type differs", {{3, 5, nullptr}, {0, 0, nullptr}}, false, KX_E_ROOTLIST},
        {"type 21", {{3, 21, nullptr}, {0, 0, nullptr}}, false, KX_E_ROOTLIST},
    };
    for (const auto& c : cases) {
        Block o;
        EXPECT_EQ(bopen(o.get(), name.c_str(), 'E', 2, c.null_list ? nullptr : c.list.data()), c.expect) << c.what;
        EXPECT_EQ(+o->state, c.expect == 0 ? 'O' : 'C') << c.what;
        if (c.expect == 0) {
            EXPECT_EQ(mclose(o.get()), 0);
        }
    }
    const struct {
        int count;
        uint8_t type;
        int32_t expect;
    } seglists[] = {{243, 0, 0}, {244, 0, KX_E_SEGLIST}, {0, 0, KX_E_SEGLIST}, {2, 21, KX_E_SEGLIST}, {1, 3, 0}};
    for (const auto& s : seglists) {
        const KXROOTLIST list[] = {{5, 8, with_segments(s.count, s.type)}, {0, 0, nullptr}};
        Block o;
        EXPECT_EQ(bopen(o.get(), name.c_str(), 'E', 2, list), s.expect) << s.count << " segments";
        if (s.expect == 0) {
            EXPECT_EQ(+o->segment_lists[5], segs);
            EXPECT_EQ(mclose(o.get()), 0);
        }
    }
}

TEST_F(FileTest, ExclusiveOpenersExcludeEachOther) {
    const std::string name = file("ex.kx");
    Block a, b, c;
    ASSERT_EQ(ccreate(a.get(), name.c_str()), 0);
    EXPECT_EQ(copen(b.get(), name.c_str()), KX_E_FAIL);
    EXPECT_EQ(+b->io_error, 32) << "sharing violation";
    // A shared opener falls back to exclusive, which fails too.
    EXPECT_EQ(bopen(c.get(), name.c_str(), 'S', 2, nullptr), KX_E_FAIL);
    EXPECT_EQ(mclose(a.get()), 0);
    EXPECT_EQ(copen(b.get(), name.c_str()), 0);
    EXPECT_EQ(mclose(b.get()), 0);
}

TEST_F(FileTest, ReadOnlyOpenRefusesNothingButWrites) {
    const std::string name = file("ro.kx");
    Block a;
    ASSERT_EQ(ccreate(a.get(), name.c_str()), 0);
    ASSERT_EQ(mclose(a.get()), 0);
    ASSERT_EQ(bopen(a.get(), name.c_str(), 'E', 1, nullptr), 0);
    EXPECT_EQ(+a->access, 1);
    EXPECT_EQ(csetcnt(a.get(), 5), KX_E_READONLY);
    EXPECT_EQ(cnextrec(a.get()), KX_E_READONLY);
    EXPECT_EQ(cgetcnt(a.get()), 0);
    EXPECT_EQ(mclose(a.get()), 0);
}

TEST_F(FileTest, RefusedOpenLeavesTheFileUntouched) {
    const std::string name = file("typed.kx");
    const KXROOTLIST roots[] = {{3, 5, nullptr}, {0, 0, nullptr}};
    Block b;
    ASSERT_EQ(bcreate(b.get(), name.c_str(), 'E', 1, roots), 0);
    ASSERT_EQ(mclose(b.get()), 0);
    const auto before = kxtest::read_file(name);
    for (char mode : {'E', 'S'}) {
        EXPECT_EQ(bopen(b.get(), name.c_str(), mode, 2, nullptr), KX_E_ROOTLIST);
        EXPECT_EQ(b->state, 'C');
        EXPECT_EQ(kxtest::read_file(name), before) << "mode " << mode;
    }
}

// A shared read/write open sweeps the lock tree for entries a former holder
// of its user slot left.  When that tree cannot be walked (its interior
// node destroyed), the open fails as a whole: the block is closed, holds no
// buffers, user slot or cursors, and a read-only open (which does not
// sweep) still reads the file.
TEST_F(FileTest, SharedOpenWhoseLockTreeCannotBeSweptFailsWhole) {
    const KXROOTLIST roots[] = {{1, 5, nullptr}, {0, 0, nullptr}};
    const std::string a = file("a.kx");
    Block b;
    ASSERT_EQ(bcreate(b.get(), a.c_str(), 'E', 1, roots), 0);
    for (int32_t k = 0; k < 3000; ++k) ASSERT_EQ(cdupadd(b.get(), 1, &k, 1, "payload of forty bytes, more or less.", 38), 0);
    ASSERT_EQ(+b->main_height, 2u);
    const uint32_t root = b->main_root;
    ASSERT_EQ(mclose(b.get()), 0);
    kxtest::patch_file(a, 1024 + 2048 * static_cast<size_t>(root), std::vector<uint8_t>(2048, 0));

    Block s;
    EXPECT_NE(bopen(s.get(), a.c_str(), 'S', 2, roots), 0);
    EXPECT_EQ(s->state, 'C');
    EXPECT_EQ(cibufnum(50), 0) << "no buffer is left owned by the failed open";
    Block r;
    ASSERT_EQ(bopen(r.get(), a.c_str(), 'S', 1, roots), 0);
    EXPECT_EQ(mclose(r.get()), 0);
}
