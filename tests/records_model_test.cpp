// Model-based test of data files: random adds, updates, deletes, finds and
// reads of records with unique, duplicate, string, integer, float, counted
// and compound keys, checked against an in-memory set of records.  After
// every batch each key tree must hold exactly the keys of the live records.
#include <strings.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <string>

#include "support/testing.h"
#include "support/tree_check.h"

using kxtest::Block;

namespace {

struct Rec {
    int32_t id = 0;
    std::string name;
    float price = 0;
    std::vector<uint8_t> tag;
    double weight = 0;
    std::string note;
    int16_t qty = 0;
};

struct Config {
    const char* name;
    int byte_order;
    char mode;
    uint32_t reuse;
};

class RecordsModel : public kxtest::FileTest, public ::testing::WithParamInterface<Config> {
protected:
    void SetUp() override {
        FileTest::SetUp();
        segs[0] = {0, 1, 10, 0, {}};  // the name, at most 10 characters
        segs[1] = {5, 0, 0, 1, {}};   // the id, descending
        segs[2].key_type = 31;
        const KXROOTLIST roots[] = {{1, 5, nullptr}, {2, 1, nullptr}, {3, 6, nullptr}, {4, 2, nullptr}, {5, 8, segs}, {0, 0, nullptr}};
        std::memcpy(root_list, roots, sizeof roots);
        const Config& c = GetParam();
        name = file("records.kx");
        recbuf.resize(400);
        ASSERT_EQ(dbcreate(b.get(), name.c_str(), recbuf.data(), 400, c.mode, c.byte_order, root_list), 0);
        b->reuse_records = c.reuse;
        build_list();
        const char* env = std::getenv("KINDEX_SEED");
        seed = env ? static_cast<uint32_t>(std::strtoul(env, nullptr, 10)) : 77u;
        rng.seed(seed);
    }
    void TearDown() override {
        if (b->state == 'O') {
            EXPECT_EQ(cidclose(b.get()), 0);
        }
        FileTest::TearDown();
    }

    void build_list() {
        list[0] = {'L', 5, 'U', 4, 1, &v.id};
        list[1] = {'S', 1, 'D', 32, 2, name_buf};
        list[2] = {'F', 6, 'D', 4, 3, &v.price};
        list[3] = {'B', 2, 'D', 20, 4, tag_buf};
        list[4] = {'X', 8, 'D', 0, 5, nullptr};
        list[5] = {'D', 'N', 'N', 8, 0, &v.weight};
        list[6] = {'S', 'N', 'N', 64, 0, note_buf};
        list[7] = {'I', 'N', 'N', 2, 0, &v.qty};
        list[8] = {};
        list[8].type = 'E';
    }

    // Puts a record into the caller's variables.
    void load(const Rec& r) {
        v = r;
        std::memset(name_buf, 0, sizeof name_buf);
        std::memcpy(name_buf, r.name.c_str(), r.name.size() + 1);
        std::memset(note_buf, 0, sizeof note_buf);
        std::memcpy(note_buf, r.note.c_str(), r.note.size() + 1);
        if (!r.tag.empty()) std::memcpy(tag_buf, r.tag.data(), r.tag.size());
        list[3].length = static_cast<int16_t>(r.tag.size());
    }
    // Reads the variables back into a record.
    Rec fetched() {
        Rec r = v;
        r.name = name_buf;
        r.note = note_buf;
        r.tag.assign(tag_buf, tag_buf + list[3].length);
        return r;
    }
    static void expect_same(const Rec& a, const Rec& e, const std::string& where) {
        EXPECT_EQ(a.id, e.id) << where;
        EXPECT_EQ(a.name, e.name) << where;
        EXPECT_EQ(a.price, e.price) << where;
        EXPECT_EQ(a.tag, e.tag) << where;
        EXPECT_EQ(a.weight, e.weight) << where;
        EXPECT_EQ(a.note, e.note) << where;
        EXPECT_EQ(a.qty, e.qty) << where;
    }

    Rec random_rec() {
        Rec r;
        r.id = static_cast<int32_t>(rng() % 4000) - 2000;
        static const char* names[] = {"ann", "Bob", "carol", "DAVE", "eve", "frank", "Gina", "h", "Ian Long-Name"};
        r.name = names[rng() % 9];
        if (rng() % 3 == 0) r.name += std::to_string(rng() % 50);
        if (rng() % 10 == 0) r.name.clear();
        r.price = static_cast<float>(rng() % 200) / 4.0f;
        r.tag.resize(rng() % 21);
        for (auto& x : r.tag) x = static_cast<uint8_t>(rng() % 4);
        r.weight = rng() % 2 ? 0.0 : static_cast<double>(rng() % 1000) / 7.0;
        if (rng() % 2) r.note = "note " + std::to_string(rng());
        r.qty = static_cast<int16_t>(rng() % 5);
        return r;
    }

    bool id_taken(int32_t id, uint32_t except) const {
        for (const auto& [n, r] : model)
            if (r.id == id && n != except) return true;
        return false;
    }

    // Makes the record with this number current (finding it by its id).
    void make_current(uint32_t recno) {
        int32_t id = model.at(recno).id;
        ASSERT_EQ(cidfind(b.get(), 1, &id, 5, 1), 0);
        ASSERT_EQ(static_cast<uint32_t>(b->current_record), recno);
        if (b->open_mode != 'E') {
            ASSERT_EQ(msetrec(b.get()), 0);
        }
    }

    uint32_t pick() {
        auto it = model.begin();
        std::advance(it, static_cast<long>(rng() % model.size()));
        return it->first;
    }

    void op_add() {
        Rec r = random_rec();
        load(r);
        const bool fails = id_taken(r.id, 0);
        uint32_t expect_no = free_numbers.empty() || !GetParam().reuse ? +b->next_record : *free_numbers.begin();
        if (rng() % 20 == 0) {
            // A preset number nobody uses.
            expect_no = 100000 + static_cast<uint32_t>(rng() % 1000);
            if (model.count(expect_no)) return;
            b->preset_record = static_cast<int32_t>(expect_no);
        }
        const bool preset = b->preset_record != -1;
        const int32_t rc = dadd(b.get(), list);
        if (fails) {
            ASSERT_EQ(rc, KX_E_FAIL) << "a unique key that exists, step " << step;
            // The number goes back for the next add (a preset number does not).
            if (GetParam().reuse && !preset) free_numbers.insert(expect_no);
            return;
        }
        ASSERT_EQ(rc, 0) << "dadd step " << step;
        ASSERT_EQ(static_cast<uint32_t>(b->current_record), expect_no) << "record number, step " << step;
        EXPECT_EQ(+b->preset_record, -1);
        model[expect_no] = r;
        free_numbers.erase(expect_no);
    }

    void op_update() {
        if (model.empty()) return;
        const uint32_t recno = pick();
        make_current(recno);
        Rec r = model[recno];
        const uint32_t what = rng() % 4;
        if (what == 0) r.id = static_cast<int32_t>(rng() % 4000) - 2000;
        if (what <= 1) r.name = random_rec().name;
        if (what == 2) r.tag = random_rec().tag;
        r.note = random_rec().note;
        r.price = random_rec().price;
        load(r);
        const int32_t rc = dupdate(b.get(), list);
        if (id_taken(r.id, recno)) {
            ASSERT_EQ(rc, KX_E_FAIL) << "update to a unique key that exists, step " << step;
            return;
        }
        ASSERT_EQ(rc, 0) << "dupdate step " << step;
        model[recno] = r;
    }

    void op_delete() {
        if (model.empty()) return;
        const uint32_t recno = pick();
        make_current(recno);
        ASSERT_EQ(ddelete(b.get(), list), 0) << "ddelete step " << step;
        EXPECT_EQ(+b->current_record, -1);
        model.erase(recno);
        if (GetParam().reuse) free_numbers.insert(recno);
    }

    void op_find() {
        if (model.empty()) return;
        const Rec& want = model[pick()];
        // By name (case-blind, duplicates): mode 1 gives the lowest record
        // number of that name.
        uint32_t lowest = 0xFFFFFFFF;
        for (const auto& [n, r] : model)
            if (strcasecmp(r.name.c_str(), want.name.c_str()) == 0 && n < lowest) lowest = n;
        ASSERT_EQ(cidfind(b.get(), 2, want.name.c_str(), 1, 1), 0);
        ASSERT_EQ(static_cast<uint32_t>(b->current_record), lowest) << "step " << step;
        Rec got;
        load(got);
        list[3].length = 20;
        ASSERT_EQ(cidread(b.get(), list), 0);
        expect_same(fetched(), model[lowest], "cidread after cidfind");
        // By price, equal or greater, then less.
        const float p = want.price + 0.1f;
        float best = INFINITY, below = -INFINITY;
        for (const auto& [n, r] : model) {
            if (r.price >= p && r.price < best) best = r.price;
            if (r.price < p && r.price > below) below = r.price;
        }
        const int32_t r3 = cidfind(b.get(), 3, &p, 6, 3);
        ASSERT_EQ(r3, std::isinf(best) ? KX_E_FAIL : KX_GREATER);
        if (r3 == KX_GREATER) {
            ASSERT_EQ(model.at(static_cast<uint32_t>(b->current_record)).price, best);
        }
        const int32_t r4 = cidfind(b.get(), 3, &p, 6, 4);
        ASSERT_EQ(r4, std::isinf(below) ? KX_E_FAIL : 0);
        if (r4 == 0) {
            ASSERT_EQ(model.at(static_cast<uint32_t>(b->current_record)).price, below);
        }
    }

    // Every key tree holds exactly the keys of the live records.
    void verify_all() {
        ASSERT_EQ(dgetcnt(b.get()), 0);
        ASSERT_EQ(+b->recval, model.size()) << "record count, step " << step;
        ASSERT_EQ(kxtest::check_trees(b.get(), nullptr, false), "");
        for (int32_t root = 1; root <= 5; ++root) {
            std::multiset<uint32_t> seen;
            for (int32_t rc = cfirst(b.get(), root, nullptr, 0); rc == 0; rc = cnext(b.get(), root, nullptr, 0)) {
                const uint32_t recno = b->recval;
                ASSERT_TRUE(model.count(recno)) << "root " << root << " holds a key of a dead record " << recno;
                // The key equals the one built from the model's record.
                load(model[recno]);
                uint8_t key[256] = {};
                ASSERT_EQ(dsetkey(b.get(), static_cast<uint8_t>(root), list, -1, key), 0);
                const int32_t len = cikeylen(b.get(), root, key);
                ASSERT_EQ(0, std::memcmp(b->current_key, key, static_cast<size_t>(len)))
                    << "root " << root << " record " << recno << " step " << step;
                seen.insert(recno);
            }
            ASSERT_EQ(seen.size(), model.size()) << "root " << root << " step " << step;
        }
        // Reading every record by a walk of the record tree.
        size_t n = 0;
        for (int32_t rc = dseq(b.get(), 49, 3); rc == 0; rc = dseq(b.get(), 49, 1)) {
            list[3].length = 20;
            ASSERT_EQ(cidread(b.get(), list), 0);
            expect_same(fetched(), model.at(static_cast<uint32_t>(b->current_record)), "walk");
            ++n;
        }
        ASSERT_EQ(n, model.size());
        EXPECT_EQ(+b->current_record, -1) << "a step past the last record leaves none current";
        list[3].length = 20;
        EXPECT_EQ(cidread(b.get(), list), KX_E_NOCURRENT);
    }

    Block b;
    KXSEGMENT segs[3] = {};
    KXROOTLIST root_list[6];
    KXDLIST list[9];
    Rec v;
    char name_buf[32];
    char note_buf[64];
    uint8_t tag_buf[20];
    std::vector<uint8_t> recbuf;
    std::string name;
    std::map<uint32_t, Rec> model;
    std::set<uint32_t> free_numbers;
    std::mt19937 rng;
    uint32_t seed = 0;
    int step = 0;
};

}  // namespace

TEST_P(RecordsModel, RandomChangesKeepKeysAndRecordsInStep) {
    SCOPED_TRACE("seed " + std::to_string(seed) + " (set KINDEX_SEED to repeat)");
    const char* env = std::getenv("KINDEX_MODEL_STEPS");
    const int steps = env ? std::atoi(env) / 4 : 3000;
    for (step = 0; step < steps; ++step) {
        const uint32_t op = rng() % 10;
        if (op < 4 || model.size() < 10) {
            op_add();
        } else if (op < 6) {
            op_update();
        } else if (op < 8) {
            op_delete();
        } else {
            op_find();
        }
        if (HasFatalFailure()) return;
        if (step % 500 == 499) {
            verify_all();
            if (HasFatalFailure()) return;
        }
    }
    verify_all();
    if (HasFatalFailure()) return;
    ASSERT_EQ(cidclose(b.get()), 0);
    ASSERT_EQ(dbopen(b.get(), name.c_str(), recbuf.data(), 400, GetParam().mode, 2, root_list), 0);
    b->reuse_records = GetParam().reuse;
    verify_all();
}

INSTANTIATE_TEST_SUITE_P(Configs, RecordsModel,
                         ::testing::Values(Config{"native_exclusive_reuse", 1, 'E', 1},
                                           Config{"foreign_exclusive_no_reuse", 2, 'E', 0},
                                           Config{"native_shared_no_reuse", 1, 'S', 0},
                                           Config{"foreign_shared_reuse", 2, 'S', 1}),
                         [](const auto& info) { return std::string(info.param.name); });
