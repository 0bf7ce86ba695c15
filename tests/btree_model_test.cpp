// Model-based test of the B+tree: long random sequences of adds and finds on
// roots of every key type, checked after every step against an ordered map,
// with full walks in both directions and the tree checker at the end.
#include <algorithm>
#include <cstdlib>
#include <map>
#include <random>
#include <tuple>

#include "btree/node.h"
#include "indexfile/nodecache.h"
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
    uint32_t merge;
    // Only roots of fixed-width keys, each datum 120 bytes: most leaves hold
    // entries of a single size, which searches may note and reuse.
    bool uniform = false;
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
        b->merge_on_delete = c.merge;
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

    // A root for the next operation (fixed-width key types only in the
    // uniform configurations).
    int pick_root() {
        if (!GetParam().uniform) return static_cast<int>(rng() % kRoots);
        static constexpr int kFixed[] = {3, 4, 5, 6, 7, 9, 10};  // indexes into kTypes
        return kFixed[rng() % (sizeof kFixed / sizeof kFixed[0])];
    }

    std::vector<uint8_t> random_payload() {
        if (GetParam().uniform) {
            std::vector<uint8_t> p(120);
            for (auto& x : p) x = static_cast<uint8_t>(rng());
            return p;
        }
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
        ASSERT_EQ(+b->recval, k.record) << where;
        ASSERT_EQ(+b->datatotal, payload.empty() ? 0 : static_cast<int32_t>(payload.size())) << where;
        ASSERT_EQ(+b->datalen, static_cast<int32_t>(payload.size())) << where;
        ASSERT_TRUE(payload.empty() || std::memcmp(buffer.data(), payload.data(), payload.size()) == 0) << where;
        ASSERT_EQ(0, std::memcmp(b->current_key, k.key.data(), k.key.size())) << where << " current key";
    }

    void op_add(bool unique) {
        const int r = pick_root();
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

    // A random existing entry of the model (or a made-up one when empty).
    ModelKey pick_existing() {
        if (model->empty() || rng() % 8 == 0) {
            const int r = pick_root();
            return ModelKey{static_cast<uint8_t>(r + 1), kxtest::random_key(kTypes[r], rng, 3000),
                            static_cast<uint32_t>(rng() % 5)};
        }
        auto it = model->begin();
        std::advance(it, static_cast<long>(rng() % model->size()));
        return it->first;
    }

    void op_delete() {
        const ModelKey k = pick_existing();
        const bool exists = model->count(k) != 0;
        if (rng() % 2) {
            ASSERT_EQ(cdelete(b.get(), k.root, k.key.data(), k.record), exists ? 0 : -1) << "cdelete step " << step;
        } else {
            // Delete at the cursor after finding the entry.
            const int32_t f = cfind(b.get(), k.root, k.key.data(), k.record, nullptr, 0);
            if (f != 0) {
                ASSERT_FALSE(exists) << "step " << step;
                return;
            }
            ASSERT_EQ(cdelcur(b.get(), k.root), 0) << "cdelcur step " << step;
            ASSERT_EQ(cdelcur(b.get(), k.root), -1) << "the cursor stands in a gap";
            // The cursor stands in the gap: next and previous are the neighbours.
            auto it = model->find(k);
            auto after = std::next(it);
            const bool has_next = after != model->end() && after->first.root == k.root;
            const bool has_prev = it != model->begin() && std::prev(it)->first.root == k.root;
            if (rng() % 2) {
                ASSERT_EQ(cnext(b.get(), k.root, buffer.data(), static_cast<int32_t>(buffer.size())),
                          has_next ? 0 : -1) << "cnext after cdelcur, step " << step;
                if (has_next) check_delivered(after->first, after->second, "cnext after cdelcur");
            } else {
                ASSERT_EQ(cprev(b.get(), k.root, buffer.data(), static_cast<int32_t>(buffer.size())),
                          has_prev ? 0 : -1) << "cprev after cdelcur, step " << step;
                if (has_prev) check_delivered(std::prev(it)->first, std::prev(it)->second, "cprev after cdelcur");
            }
        }
        model->erase(k);
    }

    void op_change() {
        const ModelKey k = pick_existing();
        const bool exists = model->count(k) != 0;
        auto payload = random_payload();
        const int32_t len = static_cast<int32_t>(payload.size());
        switch (rng() % 3) {
            case 0:
                ASSERT_EQ(cchange(b.get(), k.root, k.key.data(), k.record, payload.data(), len), exists ? 0 : -1)
                    << "cchange step " << step;
                if (!exists) return;
                break;
            case 1:
                ASSERT_EQ(csave(b.get(), k.root, k.key.data(), k.record, payload.data(), len), 0) << "csave step " << step;
                break;
            default: {
                const int32_t f = cfind(b.get(), k.root, k.key.data(), k.record, nullptr, 0);
                if (f != 0) {
                    ASSERT_FALSE(exists);
                    return;
                }
                ASSERT_EQ(cchgcur(b.get(), k.root, payload.data(), len), 0) << "cchgcur step " << step;
                ASSERT_EQ(fgetdbyte(b.get(), k.root) & 0x7F, 0) << "the cursor ends on piece 0";
                // The stored key stays as it was.
                (*model)[k] = payload;
                ASSERT_EQ(cgetcur(b.get(), k.root, buffer.data(), static_cast<int32_t>(buffer.size())), 0);
                check_delivered(model->find(k)->first, payload, "cgetcur after cchgcur");
                return;
            }
        }
        // A replaced datum takes the key bytes it was given (a case-blind key
        // may change its case).
        model->erase(k);
        (*model)[k] = payload;
        // The cursor stands on the new datum.
        ASSERT_EQ(cgetcur(b.get(), k.root, buffer.data(), static_cast<int32_t>(buffer.size())), 0);
        check_delivered(k, payload, "cgetcur after a change, step " + std::to_string(step));
    }

    // Deletes a run of neighbouring data, forward or backward, emptying whole
    // leaves and subtrees.
    void op_delete_run() {
        if (model->empty()) return;
        ModelKey k = pick_existing();
        if (!model->count(k)) return;
        const bool forward = rng() % 2;
        const int n = static_cast<int>(rng() % 300);
        for (int i = 0; i < n && model->count(k); ++i) {
            auto it = model->find(k);
            auto next = forward ? std::next(it) : (it == model->begin() ? model->end() : std::prev(it));
            ASSERT_EQ(cdelete(b.get(), k.root, k.key.data(), k.record), 0) << "run step " << step;
            model->erase(it);
            if (next == model->end() || next->first.root != k.root) break;
            k = next->first;
        }
    }

    void op_find() {
        const int r = pick_root();
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
        const uint8_t root = static_cast<uint8_t>(pick_root() + 1);
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
            // First the tree grows; then deletions catch up and, now and
            // then, a run of neighbours goes at once.
            const bool growing = step < steps / 2;
            const uint32_t op = rng() % 1000;
            const uint32_t add_share = growing ? 550 : 250;
            const uint32_t delete_share = growing ? 100 : 350;
            if (op < add_share / 2) {
                op_add(false);
            } else if (op < add_share) {
                op_add(true);
            } else if (op < add_share + 150) {
                op_find();
            } else if (op < add_share + 200) {
                op_first_last();
            } else if (op < add_share + 200 + delete_share) {
                op_delete();
            } else if (!growing && op == 999) {
                op_delete_run();
            } else {
                op_change();
            }
            if (step == steps / 2 && steps >= 12000) {
                EXPECT_GE(+b->main_height, 3u) << "the tree grew interior levels above the leaves' parents";
            }
            if (HasFatalFailure()) return;
            if (step % 250 == 249) {
                ASSERT_EQ(endwrit(b.get()), 0);
                // The checker (and with it bcheck) now and then on the way.
                if (step % 3000 == 2999) {
                    ASSERT_EQ(kxtest::check_trees(b.get()), "") << "step " << step;
                }
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

        // A rebuild of the file holds every entry of it.
        ASSERT_EQ(mclose(b.get()), 0);
        const std::string rebuilt = name + ".rebuilt";
        ASSERT_EQ(cbuild(name.c_str(), rebuilt.c_str(), roots), 0);
        ASSERT_EQ(bopen(b.get(), rebuilt.c_str(), 'E', 2, roots), 0);
        walk_all();
        if (HasFatalFailure()) return;
        ASSERT_EQ(kxtest::check_trees(b.get()), "");
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

TEST_P(BtreeModel, RandomOperationsMatchTheModel) {
    SCOPED_TRACE("seed " + std::to_string(seed) + " (set KINDEX_SEED to repeat)");
    run(steps_from_env(12000));
}

TEST_P(BtreeModel, DeletingEverythingLeavesASoundEmptyTree) {
    SCOPED_TRACE("seed " + std::to_string(seed) + " (set KINDEX_SEED to repeat)");
    buffer.assign(4096, 0);
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(strtwrit(b.get()), 0);
        for (step = 0; step < 4000; ++step) {
            op_add(rng() % 2);
            if (HasFatalFailure()) return;
        }
        ASSERT_EQ(endwrit(b.get()), 0);
        ASSERT_EQ(kxtest::check_trees(b.get()), "");
        const uint32_t high_water = b->next_node;
        // Delete in a random order, through both calls.
        std::vector<ModelKey> keys;
        for (const auto& [k, v] : *model) keys.push_back(k);
        std::shuffle(keys.begin(), keys.end(), rng);
        ASSERT_EQ(strtwrit(b.get()), 0);
        for (const auto& k : keys) {
            ASSERT_EQ(cdelete(b.get(), k.root, k.key.data(), k.record), 0)
                << "root " << int(k.root) << " record " << k.record << " left " << model->size();
            model->erase(k);
        }
        ASSERT_EQ(endwrit(b.get()), 0);
        ASSERT_EQ(kxtest::check_trees(b.get()), "");
        for (int r = 1; r <= kRoots; ++r) ASSERT_EQ(cfirst(b.get(), r, nullptr, 0), -1) << r;
        if (GetParam().merge) {
            // Every node but the root is on the free list, and the tree is a
            // single empty leaf.  Node 0, once released, is the exception:
            // marked free but kept off the list, never reused.
            EXPECT_EQ(+b->main_height, 1u);
            uint32_t free_nodes = 0;
            ASSERT_EQ(strtread(b.get()), 0);
            for (uint32_t n = b->free_head; n != 0xFFFFFFFFu; ++free_nodes) {
                ASSERT_NE(n, 0u);
                ASSERT_EQ(kx::cacheget(b.get(), kx::work::split(), n), 0);
                n = kx::node::right(kx::work::split().bytes);
            }
            const uint32_t parked = b->main_root != 0 ? 1 : 0;
            if (parked) {
                ASSERT_EQ(kx::cacheget(b.get(), kx::work::split(), 0), 0);
                EXPECT_EQ(kx::node::level(kx::work::split().bytes), -1);
            }
            ASSERT_EQ(endread(b.get()), 0);
            EXPECT_EQ(free_nodes + parked, high_water - 1);
        }
        walk_all();
        // The next round reuses the freed nodes: the file does not grow.
        if (round == 1 && GetParam().merge) {
            EXPECT_LE(+b->next_node, high_water + 2);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Configs, BtreeModel,
                         ::testing::Values(Config{"native_big_pool_mode0", 1, 10000, 0, 0},
                                           Config{"native_big_pool_mode0_merge", 1, 10000, 0, 1},
                                           Config{"foreign_big_pool_mode3", 2, 10000, 3, 0},
                                           Config{"foreign_big_pool_mode3_merge", 2, 10000, 3, 1},
                                           Config{"native_tiny_pool_mode3_merge", 1, 3, 3, 1},
                                           Config{"foreign_tiny_pool_mode0", 2, 3, 0, 0},
                                           Config{"foreign_tiny_pool_mode0_merge", 2, 3, 0, 1},
                                           Config{"native_uniform_mode0_merge", 1, 10000, 0, 1, true},
                                           Config{"foreign_uniform_small_pool_mode0", 2, 40, 0, 0, true}),
                         [](const auto& info) { return std::string(info.param.name); });
