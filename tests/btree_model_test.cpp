// Model-based test of the B+tree: long random sequences of adds and finds on
// roots of every key type, checked after every step against an ordered map,
// with full walks in both directions and the tree checker at the end.
#include <algorithm>
#include <cstdlib>
#include <map>
#include <random>
#include <tuple>

#include "support/keygen.h"
#include "support/testing.h"
#include "support/tree_check.h"

using kxtest::Block;

namespace {

struct ModelKey {
    uint8_t root;
    std::vector<uint8_t> key;
    uint32_t record;
};

struct Config {
    const char* name;
    int byte_order;
    uint32_t buffers;
    uint32_t flush_mode;
};

class BtreeModel : public kxtest::FileTest, public ::testing::WithParamInterface<Config> {
protected:
    // Roots 1..N with these key types share the main tree.
    static constexpr uint8_t kTypes[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 16, 17, 18};
    static constexpr int kRoots = sizeof kTypes;

    struct Less {
        KXCB* cb;
        bool operator()(const ModelKey& a, const ModelKey& b) const {
            if (a.root != b.root) return a.root < b.root;
            const int32_t k = cikeycmp(cb, a.root, cb->root_types[a.root], a.key.data(), b.key.data());
            if (k != 0) return k < 0;
            return static_cast<int32_t>(a.record - b.record) < 0;
        }
    };

    void SetUp() override {
        FileTest::SetUp();
        const Config& c = GetParam();
        ASSERT_EQ(cibufnum(c.buffers), 0);
        for (int i = 0; i < kRoots; ++i)
            roots[i] = {static_cast<uint8_t>(i + 1), kTypes[i], kTypes[i] == 8 ? kxtest::compound_segments() : nullptr};
        roots[kRoots] = {0, 0, nullptr};
        name = file("model.kx");
        ASSERT_EQ(bcreate(b.get(), name.c_str(), 'E', c.byte_order, roots), 0);
        ASSERT_EQ(csetfile(b.get(), c.flush_mode), 0);
        model = std::make_unique<std::map<ModelKey, std::vector<uint8_t>, Less>>(Less{b.get()});
        const char* env = std::getenv("KINDEX_SEED");
        seed = env ? static_cast<uint32_t>(std::strtoul(env, nullptr, 10)) : 20261209u;
        rng.seed(seed);
    }

    void TearDown() override {
        if (b->state == 'O') {
            EXPECT_EQ(mclose(b.get()), 0);
        }
        FileTest::TearDown();
    }

    std::vector<uint8_t> random_payload() {
        const uint32_t pick = rng() % 10;
        size_t len = pick < 3 ? 0 : pick < 8 ? rng() % 120 : rng() % 1500;
        std::vector<uint8_t> p(len);
        for (auto& x : p) x = static_cast<uint8_t>(rng());
        return p;
    }

    // The entries of one root: the model is ordered by root first.
    auto root_begin(uint8_t root) {
        return std::partition_point(model->begin(), model->end(), [&](const auto& e) { return e.first.root < root; });
    }
    auto root_end(uint8_t root) {
        return std::partition_point(model->begin(), model->end(), [&](const auto& e) { return e.first.root <= root; });
    }

    // The model's answer for a find of (root, key, record).
    int32_t expected_find(const ModelKey& k, const ModelKey** found) {
        auto it = model->lower_bound(k);
        *found = nullptr;
        if (it == model->end() || it->first.root != k.root) return -1;
        *found = &it->first;
        const int32_t kc = cikeycmp(b.get(), k.root, b->root_types[k.root], it->first.key.data(), k.key.data());
        if (kc != 0) return 2;
        return it->first.record == k.record ? 0 : 1;
    }

    void check_delivered(const ModelKey& k, const std::vector<uint8_t>& payload, const std::string& where) {
        ASSERT_EQ(b->recval, k.record) << where;
        ASSERT_EQ(b->datatotal, payload.empty() ? 0 : static_cast<int32_t>(payload.size())) << where;
        ASSERT_EQ(b->datalen, static_cast<int32_t>(payload.size())) << where;
        ASSERT_EQ(0, std::memcmp(buffer.data(), payload.data(), payload.size())) << where;
        ASSERT_EQ(0, std::memcmp(b->current_key, k.key.data(), k.key.size())) << where << " current key";
    }

    void op_add(bool unique) {
        const int r = static_cast<int>(rng() % kRoots);
        ModelKey k{static_cast<uint8_t>(r + 1), kxtest::random_key(kTypes[r], rng, 3000), static_cast<uint32_t>(rng() % 5)};
        auto payload = random_payload();
        int32_t expect = 0;
        if (unique) {
            ModelKey probe = k;
            probe.record = 0;
            const ModelKey* f = nullptr;
            const int32_t e = expected_find(probe, &f);
            if (e == 0 || e == 1) expect = -1;
        } else if (model->count(k)) {
            expect = -1;
        }
        const int32_t rc = unique ? cunqadd(b.get(), k.root, k.key.data(), k.record, payload.data(),
                                            static_cast<int32_t>(payload.size()))
                                  : cdupadd(b.get(), k.root, k.key.data(), k.record, payload.data(),
                                            static_cast<int32_t>(payload.size()));
        ASSERT_EQ(rc, expect) << (unique ? "cunqadd" : "cdupadd") << " root " << int(k.root) << " step " << step;
        if (rc == 0) (*model)[k] = payload;
    }

    void op_find() {
        const int r = static_cast<int>(rng() % kRoots);
        ModelKey k{static_cast<uint8_t>(r + 1), kxtest::random_key(kTypes[r], rng, 3000), static_cast<uint32_t>(rng() % 6)};
        const ModelKey* f = nullptr;
        const int32_t expect = expected_find(k, &f);
        const int32_t rc = cfind(b.get(), k.root, k.key.data(), k.record, buffer.data(),
                                 static_cast<int32_t>(buffer.size()));
        ASSERT_EQ(rc, expect) << "cfind root " << int(k.root) << " step " << step;
        if (f) check_delivered(*f, model->at(*f), "cfind step " + std::to_string(step));
        // The cursor stands there: cgetcur re-reads the same datum.
        if (f) {
            ASSERT_EQ(cgetcur(b.get(), k.root, buffer.data(), static_cast<int32_t>(buffer.size())), 0);
            check_delivered(*f, model->at(*f), "cgetcur");
        }
    }

    void op_first_last() {
        const uint8_t root = static_cast<uint8_t>(rng() % kRoots + 1);
        auto lo = root_begin(root);
        const bool first = rng() % 2;
        const int32_t rc = first ? cfirst(b.get(), root, buffer.data(), static_cast<int32_t>(buffer.size()))
                                 : clast(b.get(), root, buffer.data(), static_cast<int32_t>(buffer.size()));
        const bool empty = lo == model->end() || lo->first.root != root;
        ASSERT_EQ(rc, empty ? -1 : 0) << (first ? "cfirst" : "clast") << " root " << int(root);
        if (empty) return;
        auto it = lo;
        if (!first) {
            it = std::prev(root_end(root));
        }
        check_delivered(it->first, it->second,
                        std::string(first ? "cfirst" : "clast") + " root " + std::to_string(root) + " step " +
                            std::to_string(step));
    }

    void walk_all() {
        for (int r = 1; r <= kRoots; ++r) {
            const uint8_t root = static_cast<uint8_t>(r);
            std::vector<const ModelKey*> expect;
            for (auto it = root_begin(root); it != model->end() && it->first.root == root; ++it)
                expect.push_back(&it->first);
            // Forward with cnext from a fresh cursor (cfirst), backward with
            // cprev from clast.
            size_t i = 0;
            int32_t rc = cfirst(b.get(), root, buffer.data(), static_cast<int32_t>(buffer.size()));
            while (rc == 0) {
                ASSERT_LT(i, expect.size()) << "walk forward past the model, root " << r;
                check_delivered(*expect[i], model->at(*expect[i]), "cnext root " + std::to_string(r));
                ++i;
                rc = cnext(b.get(), root, buffer.data(), static_cast<int32_t>(buffer.size()));
            }
            ASSERT_EQ(rc, -1);
            ASSERT_EQ(i, expect.size()) << "forward walk of root " << r;
            rc = clast(b.get(), root, buffer.data(), static_cast<int32_t>(buffer.size()));
            while (rc == 0) {
                ASSERT_GT(i, 0u) << "walk backward past the model, root " << r;
                --i;
                check_delivered(*expect[i], model->at(*expect[i]), "cprev root " + std::to_string(r));
                rc = cprev(b.get(), root, buffer.data(), static_cast<int32_t>(buffer.size()));
            }
            ASSERT_EQ(rc, -1);
            ASSERT_EQ(i, 0u) << "backward walk of root " << r;
            // After the start, cnext begins again at the first datum.
            if (!expect.empty()) {
                ASSERT_EQ(cnext(b.get(), root, buffer.data(), static_cast<int32_t>(buffer.size())), 0);
                check_delivered(*expect[0], model->at(*expect[0]), "cnext after the start");
            }
        }
    }

    void run(int steps) {
        buffer.assign(4096, 0);
        for (step = 0; step < steps; ++step) {
            if (step % 250 == 0) {
                ASSERT_EQ(strtwrit(b.get()), 0);  // batches of changes
            }
            const uint32_t op = rng() % 10;
            if (op < 4)
                op_add(false);
            else if (op < 7)
                op_add(true);
            else if (op < 9)
                op_find();
            else
                op_first_last();
            if (HasFatalFailure()) return;
            if (step % 250 == 249) {
                ASSERT_EQ(endwrit(b.get()), 0);
            }
        }
        if (steps % 250 != 0) {
            ASSERT_EQ(endwrit(b.get()), 0);
        }
        walk_all();
        if (HasFatalFailure()) return;
        kxtest::TreeStats stats;
        ASSERT_EQ(kxtest::check_trees(b.get(), &stats), "");
        ASSERT_EQ(stats.entries >= static_cast<int64_t>(model->size()), true);
        // Everything survives a close and a reopen.
        ASSERT_EQ(mclose(b.get()), 0);
        ASSERT_EQ(bopen(b.get(), name.c_str(), 'E', 2, roots), 0);
        walk_all();
        if (HasFatalFailure()) return;
        ASSERT_EQ(kxtest::check_trees(b.get()), "");
        // Enough entries that the tree has interior levels above the leaves'
        // parents: splits of interior nodes and root growth were exercised.
        if (steps >= 12000) {
            EXPECT_GE(stats.height, 3u);
        }
    }

    Block b;
    std::string name;
    KXROOTLIST roots[kRoots + 1];
    std::unique_ptr<std::map<ModelKey, std::vector<uint8_t>, Less>> model;
    std::mt19937 rng;  // 32-bit values
    uint32_t seed = 0;
    int step = 0;
    std::vector<uint8_t> buffer;
};

int steps_from_env(int fallback) {
    const char* s = std::getenv("KINDEX_MODEL_STEPS");
    return s ? std::atoi(s) : fallback;
}

}  // namespace

TEST_P(BtreeModel, AddsAndFindsMatchTheModel) {
    SCOPED_TRACE("seed " + std::to_string(seed) + " (set KINDEX_SEED to repeat)");
    run(steps_from_env(12000));
}

INSTANTIATE_TEST_SUITE_P(Configs, BtreeModel,
                         ::testing::Values(Config{"native_big_pool_mode0", 1, 10000, 0},
                                           Config{"foreign_big_pool_mode3", 2, 10000, 3},
                                           Config{"native_tiny_pool_mode3", 1, 3, 3},
                                           Config{"foreign_tiny_pool_mode0", 2, 3, 0}),
                         [](const auto& info) { return std::string(info.param.name); });
