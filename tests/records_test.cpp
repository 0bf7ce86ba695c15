// Data files at the edges: failed adds and updates leave no trace, record
// numbers (preset, reused, new), the find modes, reading with another data
// list, and the record lock rule of shared mode.
#include <cstring>

#include "support/testing.h"
#include "support/tree_check.h"

using kxtest::Block;

namespace {

// A record of three keyed fields (two duplicates, one unique code) and one
// plain field.
struct Fields {
    int32_t group = 0;
    char name[24] = {};
    int32_t code = 0;
    int32_t plain = 0;
};

class Records : public kxtest::FileTest, public ::testing::WithParamInterface<int> {
protected:
    void SetUp() override {
        FileTest::SetUp();
        name = file("data.kx");
        ASSERT_EQ(dbcreate(b.get(), name.c_str(), buffer, sizeof buffer, 'E', GetParam(), roots), 0);
        set_list(list, f);
    }
    void TearDown() override {
        if (b->state == 'O') {
            EXPECT_EQ(cidclose(b.get()), 0);
        }
        FileTest::TearDown();
    }
    static void set_list(KXDLIST* l, Fields& v) {
        l[0] = {'L', 5, 'D', 4, 1, &v.group};
        l[1] = {'S', 0, 'D', 24, 2, v.name};
        l[2] = {'L', 5, 'U', 4, 3, &v.code};
        l[3] = {'L', 'N', 'N', 4, 0, &v.plain};
        l[4] = {};
        l[4].type = 'E';
    }
    int32_t add(int32_t group, const char* n, int32_t code, int32_t plain = 0) {
        f.group = group;
        std::snprintf(f.name, sizeof f.name, "%s", n);
        f.code = code;
        f.plain = plain;
        return dadd(b.get(), list);
    }
    // The record values of every entry of a root.
    std::vector<std::pair<int32_t, uint32_t>> entries(int32_t root) {
        std::vector<std::pair<int32_t, uint32_t>> out;
        for (int32_t rc = cfirst(b.get(), root, nullptr, 0); rc == 0; rc = cnext(b.get(), root, nullptr, 0)) {
            int32_t k = 0;
            std::memcpy(&k, b->current_key, 4);
            out.emplace_back(root == 2 ? b->current_key[0] : k, +b->recval);
        }
        return out;
    }
    int32_t count() {
        EXPECT_EQ(dgetcnt(b.get()), 0);
        return static_cast<int32_t>(b->recval);
    }
    static constexpr KXROOTLIST roots[] = {{1, 5, nullptr}, {2, 0, nullptr}, {3, 5, nullptr}, {0, 0, nullptr}};
    Block b;
    std::string name;
    uint8_t buffer[200];
    Fields f;
    KXDLIST list[5];
};

}  // namespace

TEST_P(Records, FailedAddLeavesNoTrace) {
    ASSERT_EQ(add(1, "first", 10), 0);
    EXPECT_EQ(+b->current_record, 1);
    const auto keys1 = entries(1), keys2 = entries(2), keys3 = entries(3);
    // The third field's unique key exists: the first two keys went in and
    // must come out again.
    EXPECT_EQ(add(2, "second", 10), KX_E_FAIL);
    EXPECT_EQ(entries(1), keys1);
    EXPECT_EQ(entries(2), keys2);
    EXPECT_EQ(entries(3), keys3);
    EXPECT_EQ(entries(49).size(), 1u);
    EXPECT_EQ(count(), 1);
    // With reuse on the number goes back and is handed out next.
    ASSERT_EQ(add(3, "third", 30), 0);
    EXPECT_EQ(+b->current_record, 2);
    ASSERT_EQ(kxtest::check_trees(b.get()), "");
}

TEST_P(Records, FailedUpdateLeavesEveryKeyAsItWas) {
    ASSERT_EQ(add(1, "a", 10), 0);
    ASSERT_EQ(add(2, "b", 20), 0);
    const auto keys1 = entries(1), keys2 = entries(2), keys3 = entries(3);
    // Make record 2 current and change all three keys, the third into a
    // code that exists.
    int32_t code = 20;
    ASSERT_EQ(cidfind(b.get(), 3, &code, 5, 1), 0);
    f = {7, "z", 10, 5};
    EXPECT_EQ(dupdate(b.get(), list), KX_E_FAIL);
    EXPECT_EQ(entries(1), keys1);
    EXPECT_EQ(entries(2), keys2);
    EXPECT_EQ(entries(3), keys3);
    Fields got;
    KXDLIST read_list[5];
    set_list(read_list, got);
    ASSERT_EQ(cidread(b.get(), read_list), 0);
    EXPECT_EQ(got.group, 2) << "the stored record is the old one";
    EXPECT_STREQ(got.name, "b");
    // A record too large for the record buffer is refused before any key
    // changes.
    KXDLIST big[3] = {};
    std::vector<char> text(300, 'x');
    text.back() = 0;
    big[0] = {'L', 5, 'D', 4, 1, &f.group};
    big[1] = {'S', 'N', 'N', 300, 0, text.data()};
    big[2].type = 'E';
    b->check_dlist = 0;
    f.group = 99;
    EXPECT_EQ(dupdate(b.get(), big), KX_E_BUFSMALL);
    EXPECT_EQ(entries(1), keys1);
}

TEST_P(Records, RecordNumbers) {
    b->preset_record = 17;
    ASSERT_EQ(add(1, "p", 1), 0);
    EXPECT_EQ(+b->current_record, 17);
    EXPECT_EQ(+b->preset_record, -1);
    for (int32_t i = 2; i <= 5; ++i) ASSERT_EQ(add(i, "n", i), 0);
    EXPECT_EQ(+b->current_record, 4) << "new numbers continue from the counter";
    // Deleting 3 and 2 frees them; the lowest comes back first.
    for (int32_t code : {4, 3}) {
        ASSERT_EQ(cidfind(b.get(), 3, &code, 5, 1), 0);
        ASSERT_EQ(ddelete(b.get(), list), 0);
        EXPECT_EQ(+b->current_record, -1);
    }
    ASSERT_EQ(add(6, "r", 6), 0);
    EXPECT_EQ(+b->current_record, 2);
    ASSERT_EQ(add(7, "r", 7), 0);
    EXPECT_EQ(+b->current_record, 3);
    ASSERT_EQ(add(8, "r", 8), 0);
    EXPECT_EQ(+b->current_record, 5);
    // Without reuse a freed number is never handed out again.
    b->reuse_records = 0;
    int32_t code = 8;
    ASSERT_EQ(cidfind(b.get(), 3, &code, 5, 1), 0);
    ASSERT_EQ(ddelete(b.get(), list), 0);
    ASSERT_EQ(add(9, "r", 9), 0);
    EXPECT_EQ(+b->current_record, 6);
    EXPECT_EQ(count(), 6);
    ASSERT_EQ(kxtest::check_trees(b.get()), "");
}

// A preset number that was freed earlier leaves the free-number tree when a
// record takes it, so that it is not handed out again while in use.
TEST_P(Records, PresetNumberLeavesTheFreeNumbers) {
    for (int32_t i = 1; i <= 4; ++i) ASSERT_EQ(add(i, "n", i), 0);
    for (int32_t code : {2, 3}) {
        ASSERT_EQ(cidfind(b.get(), 3, &code, 5, 1), 0);
        ASSERT_EQ(ddelete(b.get(), list), 0);
    }
    ASSERT_EQ(+b->free_records, 2u);
    b->preset_record = 2;
    ASSERT_EQ(add(5, "p", 5), 0);
    EXPECT_EQ(+b->current_record, 2);
    EXPECT_EQ(+b->free_records, 1u);
    ASSERT_EQ(add(6, "r", 6), 0);
    EXPECT_EQ(+b->current_record, 3) << "the number still free";
    ASSERT_EQ(add(7, "r", 7), 0);
    EXPECT_EQ(+b->current_record, 5) << "then new numbers; 2 is not handed out twice";
    EXPECT_EQ(+b->free_records, 0u);
    // A preset number that was never freed leaves the free numbers alone.
    int32_t code = 7;
    ASSERT_EQ(cidfind(b.get(), 3, &code, 5, 1), 0);
    ASSERT_EQ(ddelete(b.get(), list), 0);
    b->preset_record = 40;
    ASSERT_EQ(add(8, "p", 8), 0);
    EXPECT_EQ(+b->current_record, 40);
    EXPECT_EQ(+b->free_records, 1u);
    ASSERT_EQ(add(9, "r", 9), 0);
    EXPECT_EQ(+b->current_record, 5);
    EXPECT_EQ(count(), 6);
    ASSERT_EQ(kxtest::check_trees(b.get()), "");
}

TEST_P(Records, FindModes) {
    // Groups 10 (three records), 20 and 30.
    ASSERT_EQ(add(10, "x", 1), 0);
    ASSERT_EQ(add(20, "x", 2), 0);
    ASSERT_EQ(add(10, "x", 3), 0);
    ASSERT_EQ(add(30, "x", 4), 0);
    ASSERT_EQ(add(10, "x", 5), 0);
    struct Case {
        int32_t key, how, result, current;
    } cases[] = {
        {10, 1, 0, 1},  {15, 1, -1, -1},                  // equal: the lowest number
        {10, 2, 0, 2},  {15, 2, 0, 2},   {30, 2, -1, -1}, // greater: skips every equal key
        {10, 3, 0, 1},  {15, 3, 2, 2},   {31, 3, -1, -1}, // equal or greater
        {20, 4, 0, 5},  {10, 4, -1, -1},                  // less: the last below
        {20, 5, 0, 2},  {25, 5, 3, 2},   {5, 5, -1, -1},  // equal or less
    };
    for (const auto& c : cases) {
        int32_t key = c.key;
        EXPECT_EQ(cidfind(b.get(), 1, &key, 5, c.how), c.result) << "key " << c.key << " how " << c.how;
        EXPECT_EQ(+b->current_record, c.current) << "key " << c.key << " how " << c.how;
    }
    int32_t key = 10;
    EXPECT_EQ(cidfind(b.get(), 1, &key, 6, 1), KX_E_KEYTYPE);
    EXPECT_EQ(+b->current_record, -1);
    EXPECT_EQ(cidfind(b.get(), 2, "x", 'S', 1), 0) << "'S' names a string key";
    // Steps: past the last record there is none current.
    EXPECT_EQ(dseq(b.get(), 3, 4), 0);
    EXPECT_EQ(+b->current_record, 5);
    EXPECT_EQ(dseq(b.get(), 3, 1), KX_E_FAIL);
    EXPECT_EQ(+b->current_record, -1);
    EXPECT_EQ(cidread(b.get(), list), KX_E_NOCURRENT);
    EXPECT_EQ(dseq(b.get(), 3, 9), KX_E_ARG);
    // dgetid reads only the record's tag and leaves the variables alone.
    ASSERT_EQ(dseq(b.get(), 3, 3), 0);
    f.group = -5;
    EXPECT_EQ(dgetid(b.get()), 0);
    EXPECT_EQ(f.group, -5);
}

TEST_P(Records, ReadingWithAnotherDataList) {
    ASSERT_EQ(add(1, "one", 11, 77), 0);
    // The same fields with the plain field's root byte changed: another
    // checksum.
    Fields g;
    KXDLIST other[5];
    set_list(other, g);
    other[3].dups = 'D';
    EXPECT_EQ(cidread(b.get(), other), KX_E_DLISTSUM);
    b->check_dlist = 0;
    EXPECT_EQ(cidread(b.get(), other), 0) << "without the check the fields are read by index";
    EXPECT_EQ(g.plain, 77);
    EXPECT_STREQ(g.name, "one");
    // A record whose key entries are gone can still be deleted.
    b->check_dlist = 1;
    int32_t group = 1;
    ASSERT_EQ(cdelete(b.get(), 1, &group, 1), 0);
    ASSERT_EQ(cidfind(b.get(), 3, &(group = 11), 5, 1), 0);
    EXPECT_EQ(ddelete(b.get(), list), 0);
    EXPECT_EQ(count(), 0);
    EXPECT_TRUE(entries(2).empty());
}

TEST_P(Records, SharedChangesNeedTheRecordLock) {
    ASSERT_EQ(add(1, "a", 1), 0);
    ASSERT_EQ(cidclose(b.get()), 0);
    ASSERT_EQ(dbopen(b.get(), name.c_str(), buffer, sizeof buffer, 'S', 2, roots), 0);
    int32_t code = 1;
    ASSERT_EQ(cidfind(b.get(), 3, &code, 5, 1), 0);
    f = {1, "b", 1, 0};
    EXPECT_EQ(dupdate(b.get(), list), KX_E_NOLOCK);
    EXPECT_EQ(ddelete(b.get(), list), KX_E_NOLOCK);
    EXPECT_EQ(mtstrec(b.get()), KX_E_NOTHELD);
    // Another user holds the record: even with the bypass option a delete
    // is refused before it touches the record's keys.
    {
        Block o;
        uint8_t other_buffer[200];
        ASSERT_EQ(dbopen(o.get(), name.c_str(), other_buffer, sizeof other_buffer, 'S', 2, roots), 0);
        ASSERT_EQ(cidfind(o.get(), 3, &code, 5, 1), 0);
        ASSERT_EQ(msetrec(o.get()), 0);
        const auto keys = entries(1);
        b->lock_bypass = 1;
        EXPECT_EQ(ddelete(b.get(), list), KX_E_LOCKED);
        b->lock_bypass = 0;
        EXPECT_EQ(entries(1), keys);
        EXPECT_EQ(count(), 1);
        ASSERT_EQ(cidclose(o.get()), 0);
        ASSERT_EQ(cidfind(b.get(), 3, &code, 5, 1), 0);
    }
    ASSERT_EQ(msetrec(b.get()), 0);
    EXPECT_EQ(mtstrec(b.get()), KX_E_HELDBYME);
    EXPECT_EQ(dupdate(b.get(), list), 0);
    EXPECT_EQ(mtstrec(b.get()), KX_E_HELDBYME) << "an update keeps the lock";
    EXPECT_EQ(ddelete(b.get(), list), 0);
    EXPECT_EQ(+b->locked_record, -1);
    EXPECT_EQ(count(), 0);
    EXPECT_TRUE(entries(50).empty()) << "the delete gave the lock up";
}

TEST_P(Records, ReadOnlyAndBadLists) {
    KXDLIST bad[2] = {};
    bad[0] = {'Q', 'N', 'N', 4, 0, &f.plain};
    bad[1].type = 'E';
    EXPECT_EQ(dadd(b.get(), bad), KX_E_FIELDTYPE);
    bad[0] = {'L', 6, 'U', 4, 1, &f.plain};
    EXPECT_EQ(dadd(b.get(), bad), KX_E_KEYTYPE);
    bad[0] = {'L', 0, 'U', 4, 46, &f.plain};
    EXPECT_EQ(dadd(b.get(), bad), KX_E_ROOTNUM);
    EXPECT_EQ(dadd(b.get(), nullptr), KX_E_FIELDTYPE);
    EXPECT_EQ(count(), 0);
    EXPECT_TRUE(entries(1).empty());
    ASSERT_EQ(cidclose(b.get()), 0);
    ASSERT_EQ(dbopen(b.get(), name.c_str(), buffer, sizeof buffer, 'E', 1, roots), 0);
    EXPECT_EQ(add(1, "a", 1), KX_E_READONLY);
    EXPECT_EQ(dupdate(b.get(), list), KX_E_READONLY);
    EXPECT_EQ(ddelete(b.get(), list), KX_E_READONLY);
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, Records, ::testing::Values(1, 2));
