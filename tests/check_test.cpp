// The check calls.  bcheck is shown every reason code on files the library
// wrote and a test then damaged with one targeted change of bytes, and must
// agree with the tests' tree checker on each; ccheck's order repair is held
// to what the salvage file receives and what the examined file keeps, and a
// model of random damage shows that it never loses an entry.  Both byte
// orders throughout; bcheck on a shared file runs beside real processes.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "maint/check.h"
#include "support/testing.h"
#include "support/tree_check.h"
#include "support/worker.h"

using kxtest::Block;

namespace {

constexpr uint32_t None = 0xFFFFFFFFu;
using Bytes = std::vector<uint8_t>;

uint32_t seed_from_env(uint32_t fallback) {
    const char* env = std::getenv("KINDEX_SEED");
    return env ? static_cast<uint32_t>(std::strtoul(env, nullptr, 10)) : fallback;
}

// Root 1: 32-bit integer keys; root 2 (strings) lives in tree slot 5 in the
// fixture files.
const KXROOTLIST kRoots[] = {{1, 5, nullptr}, {0, 0, nullptr}};
constexpr int kSlot = 5;

// An index file as raw bytes, read and changed in its own byte order.
class RawFile {
public:
    explicit RawFile(const std::string& path) : path_(path), b_(kxtest::read_file(path)) {
        big_ = b_.size() > 8 && b_[8] == 0;
    }
    void save() const { kxtest::write_file(path_, b_); }
    const Bytes& bytes() const { return b_; }

    uint32_t word(size_t off) const { return big_ ? kxtest::be32(b_, off) : kxtest::le32(b_, off); }
    int16_t half(size_t off) const {
        const uint16_t v = big_ ? static_cast<uint16_t>(b_.at(off) << 8 | b_.at(off + 1))
                                : static_cast<uint16_t>(b_.at(off) | b_.at(off + 1) << 8);
        return static_cast<int16_t>(v);
    }
    void put_word(size_t off, uint32_t v) {
        for (int i = 0; i < 4; ++i) b_.at(off + static_cast<size_t>(big_ ? 3 - i : i)) = static_cast<uint8_t>(v >> (8 * i));
    }
    void put_half(size_t off, int16_t v) {
        const auto u = static_cast<uint16_t>(v);
        b_.at(off + (big_ ? 1 : 0)) = static_cast<uint8_t>(u);
        b_.at(off + (big_ ? 0 : 1)) = static_cast<uint8_t>(u >> 8);
    }
    uint8_t& byte(size_t off) { return b_.at(off); }

    // Node fields, at their offsets in the node.
    static size_t node(uint32_t n) { return 1024 + 2048 * size_t{n}; }
    uint32_t leftmost(uint32_t n) const { return word(node(n)); }
    uint32_t right(uint32_t n) const { return word(node(n) + 4); }
    uint32_t left(uint32_t n) const { return word(node(n) + 8); }
    int16_t level(uint32_t n) const { return half(node(n) + 12); }
    int16_t count(uint32_t n) const { return half(node(n) + 14); }
    int16_t free(uint32_t n) const { return half(node(n) + 16); }
    // File offset of entry i of node n.
    size_t entry(uint32_t n, int i) const {
        size_t at = node(n) + 18;
        for (int j = 0; j < i; ++j) at += b_.at(at) + 1u;
        return at;
    }
    Bytes entry_bytes(uint32_t n, int i) const {
        const size_t at = entry(n, i);
        return Bytes(b_.begin() + static_cast<long>(at), b_.begin() + static_cast<long>(at + b_.at(at) + 1));
    }
    // An interior entry's child (key of 4 bytes: the last word of the entry).
    uint32_t child(uint32_t n, int i) const {
        const size_t at = entry(n, i);
        return word(at + b_.at(at) - 3);
    }

    // Header fields.
    uint32_t main_root() const { return word(12); }
    uint32_t main_height() const { return word(28); }
    uint32_t next_node() const { return word(36); }
    uint32_t free_head() const { return word(60); }
    uint32_t slot_root(int s) const { return word(350 + 4 * size_t(s - 1)); }
    uint32_t slot_height(int s) const { return b_.at(300 + size_t(s - 1)); }

    // The nodes of each level of an intact tree, by their links; index 0 the
    // leaves.
    std::vector<std::vector<uint32_t>> levels(uint32_t top, uint32_t height) const {
        std::vector<std::vector<uint32_t>> out(height);
        uint32_t first = top;
        for (int level = static_cast<int>(height) - 1; level >= 0; --level) {
            for (uint32_t n = first, k = 0; n != None && k < 100000; n = right(n), ++k) out[level].push_back(n);
            first = leftmost(first);
        }
        return out;
    }
    struct Entry {
        uint32_t leaf;
        int index;
        Bytes bytes;
    };
    // Every leaf entry of a tree in the order of the leaf level, walked by
    // the links (bounded, so that a damaged file ends the walk).
    std::vector<Entry> leaf_entries(uint32_t top, uint32_t height) const {
        std::vector<Entry> out;
        uint32_t n = top;
        for (uint32_t k = 1; k < height && n < next_node(); ++k) n = leftmost(n);
        for (uint32_t k = 0; n != None && n < next_node() && k < 100000; n = right(n), ++k)
            for (int i = 0; i < count(n) && i < 290; ++i) out.push_back(Entry{n, i, entry_bytes(n, i)});
        return out;
    }
    // The entries of every tree of the file (the main tree, slot trees).
    std::vector<Bytes> all_entries() const {
        std::vector<Bytes> out;
        for (const auto& e : leaf_entries(main_root(), main_height())) out.push_back(e.bytes);
        for (int s = 1; s <= 50; ++s)
            if (slot_root(s) != 0)
                for (const auto& e : leaf_entries(slot_root(s), slot_height(s))) out.push_back(e.bytes);
        std::sort(out.begin(), out.end());
        return out;
    }
    std::vector<uint32_t> free_list() const {
        std::vector<uint32_t> out;
        for (uint32_t n = free_head(), k = 0; n != None && k < 100000; n = right(n), ++k) out.push_back(n);
        return out;
    }
    // Entry fields of root 1 (integer keys).
    int32_t key_at(size_t at) const { return static_cast<int32_t>(word(at + 7)); }

private:
    std::string path_;
    Bytes b_;
    bool big_ = false;
};

Bytes node_area(const std::string& path) {
    const Bytes f = kxtest::read_file(path);
    return Bytes(f.begin() + std::min<long>(1024, static_cast<long>(f.size())), f.end());
}

std::vector<Bytes> sorted(std::vector<Bytes> v) {
    std::sort(v.begin(), v.end());
    return v;
}

// Payload of entry k: its bytes follow from k.
std::string payload_of(uint32_t k, size_t len) {
    std::string p(len, 0);
    for (size_t i = 0; i < len; ++i) p[i] = static_cast<char>('a' + (7 * k + i) % 26);
    return p;
}

// The fixture file: root 1 with 10001 integer keys in ascending order
// (record value = key), payloads of 20 bytes except a datum of three pieces
// at every key 500 + 1000 i and at the last key 10000; keys 3000..3199 taken
// out again with merge-on-delete on, so that the free list holds the
// emptied leaves; root 2 in tree slot 5 with 300 string keys.  Built once per
// byte order.
const Bytes& base_file(int order, const std::string& dir) {
    static std::map<int, Bytes> built;
    auto it = built.find(order);
    if (it != built.end()) return it->second;
    const std::string path = dir + "/base-" + std::to_string(order) + ".kx";
    ciunlink(path.c_str());
    Block b;
    EXPECT_EQ(bcreate(b.get(), path.c_str(), 'E', order, kRoots), 0);
    EXPECT_EQ(csetfile(b.get(), 0), 0);
    EXPECT_EQ(addroot(b.get(), 2, kSlot), 0);
    for (int32_t k = 0; k <= 10000; ++k) {
        const size_t len = k == 10000 ? 600 : (k % 1000 == 500 ? 500 : 20);
        const std::string p = payload_of(static_cast<uint32_t>(k), len);
        EXPECT_EQ(cdupadd(b.get(), 1, &k, static_cast<uint32_t>(k), p.data(), static_cast<int32_t>(len)), 0);
    }
    for (uint32_t i = 0; i < 300; ++i) {
        char key[16];
        std::snprintf(key, sizeof key, "s%05u", i);
        const std::string p = payload_of(i, 30);
        EXPECT_EQ(cdupadd(b.get(), 2, key, i, p.data(), 30), 0);
    }
    b->merge_on_delete = 1;
    for (int32_t k = 3000; k < 3200; ++k) EXPECT_EQ(cdelete(b.get(), 1, &k, static_cast<uint32_t>(k)), 0);
    EXPECT_EQ(kxtest::check_trees(b.get()), "");
    EXPECT_EQ(mclose(b.get()), 0);
    built[order] = kxtest::read_file(path);
    return built[order];
}

// What the tests know of the fixture file before it is damaged.
struct Facts {
    uint32_t top = 0, height = 0, next_node = 0;
    std::vector<std::vector<uint32_t>> levels;
    std::vector<RawFile::Entry> entries;
    uint32_t slot_top = 0;
    std::vector<std::vector<uint32_t>> slot_levels;
    std::vector<uint32_t> free;
    // A leaf in the middle whose entries are all one-piece data of one size,
    // with a byte to spare, and the leaves before and after it.
    uint32_t L = None, P = None, S = None;
    // The interior nodes of level 1, A first.
    uint32_t A = None, B = None;
    // Indexes into `entries`: the pieces of the datum of key 1500, the entry
    // after it, the pieces of the last datum.
    std::vector<size_t> datum, last_datum;
    size_t after_datum = 0;
    // An entry of A whose key is the last entry's key of the leaf left of it.
    int separator = -1;
    uint32_t separator_leaf = None;
};

Facts facts_of(const RawFile& f) {
    Facts x;
    x.top = f.main_root();
    x.height = f.main_height();
    x.next_node = f.next_node();
    x.levels = f.levels(x.top, x.height);
    x.entries = f.leaf_entries(x.top, x.height);
    x.slot_top = f.slot_root(kSlot);
    x.slot_levels = f.levels(x.slot_top, f.slot_height(kSlot));
    x.free = f.free_list();
    const auto& leaves = x.levels[0];
    auto plain = [&](uint32_t n) {
        if (f.count(n) < 4) return false;
        for (int i = 0; i < f.count(n); ++i) {
            const size_t at = f.entry(n, i);
            if (f.bytes()[at] != 30 || f.bytes()[at + 2] != 0x80) return false;
        }
        return true;
    };
    for (size_t i = leaves.size() / 2; i + 1 < leaves.size(); ++i)
        if (plain(leaves[i]) && plain(leaves[i + 1]) && f.count(leaves[i - 1]) > 0 && f.free(leaves[i]) > 0) {
            x.P = leaves[i - 1];
            x.L = leaves[i];
            x.S = leaves[i + 1];
            break;
        }
    if (x.height >= 3) {
        x.A = x.levels[1][0];
        x.B = x.levels[1].size() > 1 ? x.levels[1][1] : None;
    }
    for (size_t i = 0; i < x.entries.size(); ++i) {
        const int32_t k = f.key_at(f.entry(x.entries[i].leaf, x.entries[i].index));
        if (k == 1500) x.datum.push_back(i);
        if (k == 1501 && x.after_datum == 0) x.after_datum = i;
        if (k == 10000) x.last_datum.push_back(i);
    }
    // A separator in the middle of A that repeats the last entry of the leaf
    // left of it (the leaf under the entry before).
    for (int j = f.count(x.A) / 2; x.A != None && j < f.count(x.A) - 1; ++j) {
        const uint32_t leaf = f.child(x.A, j - 1);
        if (f.count(leaf) == 0) continue;
        const Bytes last = f.entry_bytes(leaf, f.count(leaf) - 1);
        const Bytes sep = f.entry_bytes(x.A, j);
        if (std::equal(last.begin() + 1, last.begin() + 11, sep.begin() + 1)) {
            x.separator = j;
            x.separator_leaf = leaf;
            break;
        }
    }
    return x;
}

void swap_entries(RawFile& f, size_t a, size_t b) {
    const size_t n = f.bytes()[a] + 1u;
    for (size_t i = 0; i < n; ++i) std::swap(f.byte(a + i), f.byte(b + i));
}

// What ccheck does to a damaged fixture.
enum class Salvage {
    Repairs,     // -13, moves the entries named, a second ccheck finds nothing
    CannotWalk,  // -13, moves nothing, changes no node; the same again
    Untouched,   // 0: the fault lies outside what ccheck examines
};

struct DamageCase {
    const char* name;
    std::function<void(RawFile&, const Facts&)> damage;
    int32_t reason;
    std::function<int64_t(const Facts&)> node;  // -1: none
    Salvage salvage;
    // The entries (bytes in the damaged file) ccheck moves, for Repairs.
    std::function<std::vector<Bytes>(const RawFile&, const Facts&)> moved = nullptr;
};

int64_t none(const Facts&) { return -1; }

std::vector<Bytes> pieces(const RawFile& f, const Facts& x, const std::vector<size_t>& which) {
    std::vector<Bytes> out;
    for (size_t i : which) out.push_back(f.entry_bytes(x.entries[i].leaf, x.entries[i].index));
    return out;
}

const std::vector<DamageCase>& damage_cases() {
    static const std::vector<DamageCase> cases = {
        {"the main tree's height is one too high",
         [](RawFile& f, const Facts& x) { f.put_word(28, x.height + 1); }, -201,
         [](const Facts& x) { return int64_t{x.top}; }, Salvage::CannotWalk},
        {"a tree slot's root is the main tree's root",
         [](RawFile& f, const Facts& x) { f.put_word(350 + 4 * (kSlot - 1), x.top); }, -201,
         [](const Facts& x) { return int64_t{x.top}; }, Salvage::CannotWalk},
        {"a tree slot names the main tree's root and height",
         [](RawFile& f, const Facts& x) {
             f.put_word(350 + 4 * (kSlot - 1), x.top);
             f.byte(300 + kSlot - 1) = static_cast<uint8_t>(x.height);
         },
         -201, [](const Facts& x) { return int64_t{x.top}; }, Salvage::CannotWalk},
        {"a tree slot's height is one too low",
         [](RawFile& f, const Facts&) { f.byte(300 + kSlot - 1) = 1; }, -201,
         [](const Facts& x) { return int64_t{x.slot_top}; }, Salvage::CannotWalk},
        {"a leaf's free bytes above 2030",
         [](RawFile& f, const Facts& x) { f.put_half(RawFile::node(x.L) + 16, 2031); }, -202,
         [](const Facts& x) { return int64_t{x.L}; }, Salvage::CannotWalk},
        {"a leaf's free bytes do not match its entries",
         [](RawFile& f, const Facts& x) { f.put_half(RawFile::node(x.L) + 16, static_cast<int16_t>(f.free(x.L) - 1)); },
         -202, [](const Facts& x) { return int64_t{x.L}; }, Salvage::CannotWalk},
        {"a leaf's entry count above 290",
         [](RawFile& f, const Facts& x) { f.put_half(RawFile::node(x.L) + 14, 291); }, -203,
         [](const Facts& x) { return int64_t{x.L}; }, Salvage::CannotWalk},
        {"a leaf's last entry runs past the end of the node",
         [](RawFile& f, const Facts& x) { f.byte(f.entry(x.L, f.count(x.L) - 1)) = 250; }, -203,
         [](const Facts& x) { return int64_t{x.L}; }, Salvage::CannotWalk},
        {"a byte after a leaf's last entry is not zero",
         [](RawFile& f, const Facts& x) { f.byte(RawFile::node(x.L) + 2048 - static_cast<size_t>(f.free(x.L))) = 0x5A; },
         -203, [](const Facts& x) { return int64_t{x.L}; }, Salvage::Untouched},
        {"a leaf's next link equals its previous link",
         [](RawFile& f, const Facts& x) { f.put_word(RawFile::node(x.L) + 4, x.P); }, -204,
         [](const Facts& x) { return int64_t{x.L}; }, Salvage::CannotWalk},
        {"a leaf's next link names the leaf itself",
         [](RawFile& f, const Facts& x) { f.put_word(RawFile::node(x.L) + 4, x.L); }, -204,
         [](const Facts& x) { return int64_t{x.L}; }, Salvage::CannotWalk},
        {"a leaf's next link below -1",
         [](RawFile& f, const Facts& x) { f.put_word(RawFile::node(x.L) + 4, 0xFFFFFFF0u); }, -205,
         [](const Facts& x) { return int64_t{x.L}; }, Salvage::CannotWalk},
        {"a leaf's next link leads back to an earlier leaf",
         [](RawFile& f, const Facts& x) { f.put_word(RawFile::node(x.L) + 4, x.levels[0][1]); }, -205,
         [](const Facts& x) { return int64_t{x.L}; }, Salvage::CannotWalk},
        {"a leaf's previous link below -1",
         [](RawFile& f, const Facts& x) { f.put_word(RawFile::node(x.L) + 8, 0xFFFFFFF0u); }, -206,
         [](const Facts& x) { return int64_t{x.L}; }, Salvage::CannotWalk},
        {"a leaf's previous link names another leaf",
         [](RawFile& f, const Facts& x) { f.put_word(RawFile::node(x.L) + 8, x.levels[0][0]); }, -206,
         [](const Facts& x) { return int64_t{x.L}; }, Salvage::CannotWalk},
        {"an interior node named by the root is not on its level's chain",
         [](RawFile& f, const Facts& x) {
             f.put_word(RawFile::node(x.A) + 4, None);
             f.put_word(RawFile::node(x.B) + 8, None);
         },
         -206, [](const Facts& x) { return int64_t{x.B}; }, Salvage::Untouched},
        {"a leaf entry shorter than its key and record value",
         [](RawFile& f, const Facts& x) { f.byte(f.entry(x.L, f.count(x.L) - 1)) = 9; }, -207,
         [](const Facts& x) { return int64_t{x.L}; }, Salvage::CannotWalk},
        {"an interior entry one byte longer than its key and child",
         [](RawFile& f, const Facts& x) { f.byte(f.entry(x.A, f.count(x.A) - 1)) = 15; }, -207,
         [](const Facts& x) { return int64_t{x.A}; }, Salvage::Untouched},
        {"an interior entry names a child beyond the next new node",
         [](RawFile& f, const Facts& x) {
             const size_t at = f.entry(x.A, 3);
             f.put_word(at + f.bytes()[at] - 3, x.next_node + 7);
         },
         -208, [](const Facts& x) { return int64_t{x.A}; }, Salvage::Untouched},
        {"an interior node does not end with its right neighbour's leftmost child",
         [](RawFile& f, const Facts& x) {
             const size_t at = f.entry(x.A, f.count(x.A) - 1);
             f.put_word(at + f.bytes()[at] - 3, x.levels[0][5]);
         },
         -208, [](const Facts& x) { return int64_t{x.A}; }, Salvage::Untouched},
        {"a leaf in the chain has level 1",
         [](RawFile& f, const Facts& x) { f.put_half(RawFile::node(x.L) + 12, 1); }, -209,
         [](const Facts& x) { return int64_t{x.L}; }, Salvage::CannotWalk},
        {"the first node of level 1 has level 2",
         [](RawFile& f, const Facts& x) { f.put_half(RawFile::node(x.A) + 12, 2); }, -209,
         [](const Facts& x) { return int64_t{x.A}; }, Salvage::CannotWalk},
        {"a leaf entry of root number 0",
         [](RawFile& f, const Facts& x) { f.byte(f.entry(x.L, 2) + 1) = 0; }, -210,
         [](const Facts& x) { return int64_t{x.L}; }, Salvage::CannotWalk},
        {"an entry of root 1 in the tree of root 2",
         [](RawFile& f, const Facts& x) { f.byte(f.entry(x.slot_levels[0][2], 3) + 1) = 1; }, -210,
         [](const Facts& x) { return int64_t{x.slot_levels[0][2]}; }, Salvage::Repairs,
         [](const RawFile& f, const Facts& x) { return std::vector<Bytes>{f.entry_bytes(x.slot_levels[0][2], 3)}; }},
        {"a separator below the last entry of the leaf it bounds",
         [](RawFile& f, const Facts& x) {
             const size_t at = f.entry(x.A, x.separator);
             f.put_word(at + 7, f.word(at + 7) - 1);
         },
         -210, [](const Facts& x) { return int64_t{x.separator_leaf}; }, Salvage::Untouched},
        {"a leaf's next link names a node not in use",
         [](RawFile& f, const Facts& x) { f.put_word(RawFile::node(x.L) + 4, x.next_node + 3); }, -211,
         [](const Facts& x) { return int64_t{x.next_node + 3}; }, Salvage::CannotWalk},
        {"the free-list head names a node not in use",
         [](RawFile& f, const Facts& x) { f.put_word(60, x.next_node + 1); }, -211,
         [](const Facts& x) { return int64_t{x.next_node + 1}; }, Salvage::Untouched},
        {"a free-list node that is not marked free",
         [](RawFile& f, const Facts& x) { f.put_half(RawFile::node(x.free[0]) + 12, 0); }, -212,
         [](const Facts& x) { return int64_t{x.free[0]}; }, Salvage::Untouched},
        {"the free list starts at a leaf of a tree",
         [](RawFile& f, const Facts& x) { f.put_word(60, x.L); }, -212,
         [](const Facts& x) { return int64_t{x.L}; }, Salvage::Untouched},
        {"the free list loops",
         [](RawFile& f, const Facts& x) { f.put_word(RawFile::node(x.free[1]) + 4, x.free[0]); }, -212,
         [](const Facts& x) { return int64_t{x.free[0]}; }, Salvage::Untouched},
        {"the node count below the next new node",
         [](RawFile& f, const Facts& x) { f.put_word(52, x.next_node - 1); }, -213, none, Salvage::Untouched},
        {"a root mapped to a tree slot without a tree",
         [](RawFile& f, const Facts&) { f.byte(248 + 2) = 7; }, -213, none, Salvage::Untouched},
        {"the main tree's height is 20",
         [](RawFile& f, const Facts&) { f.put_word(28, 20); }, -213, none, Salvage::CannotWalk},
        {"two neighbouring entries of a leaf swapped",
         [](RawFile& f, const Facts& x) { swap_entries(f, f.entry(x.L, 2), f.entry(x.L, 3)); }, -214,
         [](const Facts& x) { return int64_t{x.L}; }, Salvage::Repairs,
         [](const RawFile& f, const Facts& x) { return std::vector<Bytes>{f.entry_bytes(x.L, 3)}; }},
        {"a leaf's first entry below the previous leaf's last",
         [](RawFile& f, const Facts& x) {
             const int32_t last = f.key_at(f.entry(x.L, f.count(x.L) - 1));
             f.put_word(f.entry(x.S, 0) + 7, static_cast<uint32_t>(last - 1));
         },
         -214, [](const Facts& x) { return int64_t{x.S}; }, Salvage::Repairs,
         [](const RawFile& f, const Facts& x) { return std::vector<Bytes>{f.entry_bytes(x.S, 0)}; }},
        {"a datum's middle piece renumbered",
         [](RawFile& f, const Facts& x) {
             const auto& e = x.entries[x.datum[1]];
             f.byte(f.entry(e.leaf, e.index) + 2) = 3;
         },
         -214, [](const Facts& x) { return int64_t{x.entries[x.datum[1]].leaf}; }, Salvage::Repairs,
         [](const RawFile& f, const Facts& x) { return pieces(f, x, x.datum); }},
        {"a datum in the middle of the tree lacks its last piece",
         [](RawFile& f, const Facts& x) {
             const auto& e = x.entries[x.datum[2]];
             f.byte(f.entry(e.leaf, e.index) + 2) = 2;
         },
         -214, [](const Facts& x) { return int64_t{x.entries[x.after_datum].leaf}; }, Salvage::Repairs,
         [](const RawFile& f, const Facts& x) { return pieces(f, x, x.datum); }},
        {"the tree ends inside a datum",
         [](RawFile& f, const Facts& x) {
             const auto& e = x.entries[x.last_datum[2]];
             f.byte(f.entry(e.leaf, e.index) + 2) = 2;
         },
         -214, [](const Facts& x) { return int64_t{x.entries[x.last_datum[2]].leaf}; }, Salvage::Repairs,
         [](const RawFile& f, const Facts& x) { return pieces(f, x, x.last_datum); }},
        {"two entries of an interior node swapped",
         [](RawFile& f, const Facts& x) { swap_entries(f, f.entry(x.A, 4), f.entry(x.A, 5)); }, -214,
         [](const Facts& x) { return int64_t{x.A}; }, Salvage::Untouched},
        {"an interior node's first entry below its left neighbour's last",
         [](RawFile& f, const Facts& x) {
             const int32_t last = f.key_at(f.entry(x.A, f.count(x.A) - 1));
             f.put_word(f.entry(x.B, 0) + 7, static_cast<uint32_t>(last - 1));
         },
         -214, [](const Facts& x) { return int64_t{x.B}; }, Salvage::Untouched},
    };
    return cases;
}

class CheckFile : public kxtest::FileTest, public ::testing::WithParamInterface<int> {
protected:
    int order() const { return GetParam(); }
    // The fixture file written to `path`.
    Facts fixture(const std::string& path) {
        kxtest::write_file(path, base_file(order(), tmp.dir().string()));
        return facts_of(RawFile(path));
    }
    // bcheck on a file opened read-only: its result, reason and position.
    struct Finding {
        int32_t rc = 0, reason = 0, position = 0;
        std::string trees;
    };
    Finding check(const std::string& path, char mode = 'E', int32_t access = 1) {
        Finding f;
        Block b;
        EXPECT_EQ(bopen(b.get(), path.c_str(), mode, access, kRoots), 0);
        f.rc = bcheck(b.get());
        f.reason = b->check_reason;
        f.position = b->check_position;
        f.trees = kxtest::check_trees(b.get());
        EXPECT_EQ(mclose(b.get()), 0);
        return f;
    }
};

INSTANTIATE_TEST_SUITE_P(ByteOrder, CheckFile, ::testing::Values(1, 2),
                         [](const auto& i) { return i.param == 1 ? "little" : "big"; });

TEST_P(CheckFile, FixtureHasTheShapeTheCasesNeed) {
    const Facts x = fixture(file("f.kx"));
    EXPECT_EQ(x.height, 3u);
    EXPECT_GE(x.levels[1].size(), 2u);
    EXPECT_GE(x.levels[0].size(), 100u);
    EXPECT_EQ(x.slot_levels.size(), 2u);
    EXPECT_GE(x.free.size(), 2u);
    EXPECT_NE(x.L, None);
    EXPECT_EQ(x.datum.size(), 3u);
    EXPECT_EQ(x.last_datum.size(), 3u);
    EXPECT_GE(x.separator, 1);
}

TEST_P(CheckFile, SoundFileIsSoundToBothChecksAndStaysAsItIs) {
    const std::string path = file("sound.kx");
    fixture(path);
    for (const auto& [mode, access] : std::vector<std::pair<char, int32_t>>{{'E', 1}, {'E', 2}, {'S', 1}, {'S', 2}}) {
        SCOPED_TRACE(std::string("mode ") + mode + " access " + std::to_string(access));
        const Bytes before = kxtest::read_file(path);
        Block b;
        ASSERT_EQ(bopen(b.get(), path.c_str(), mode, access, kRoots), 0);
        b->check_reason = -999;
        b->check_position = 12345;
        EXPECT_EQ(bcheck(b.get()), 0);
        EXPECT_EQ(+b->check_reason, 0);
        EXPECT_EQ(+b->check_position, -1);
        EXPECT_EQ(+b->last_result, 0);
        EXPECT_EQ(kxtest::check_trees(b.get()), "");
        if (access == 1) {
            EXPECT_EQ(mclose(b.get()), 0);
            EXPECT_EQ(kxtest::read_file(path), before) << "a read-only check changed the file";
        } else {
            // The check itself writes nothing; only the close of a writer does.
            EXPECT_EQ(node_area(path), Bytes(before.begin() + 1024, before.end()));
            EXPECT_EQ(mclose(b.get()), 0);
        }
    }
    const std::string salvage = file("sound.salvage");
    const Bytes before = kxtest::read_file(path);
    EXPECT_EQ(ccheck(path.c_str(), salvage.c_str()), 0);
    EXPECT_EQ(node_area(path), Bytes(before.begin() + 1024, before.end()));
    // The salvage file exists, empty, in the examined file's byte order and
    // with its root types.
    const RawFile s(salvage);
    EXPECT_TRUE(s.all_entries().empty());
    EXPECT_TRUE(std::equal(before.begin() + 8, before.begin() + 12, s.bytes().begin() + 8));
    EXPECT_EQ(s.bytes().at(192 + 1), 5);
    Block c;
    ASSERT_EQ(bopen(c.get(), salvage.c_str(), 'E', 1, kRoots), 0);
    EXPECT_EQ(bcheck(c.get()), 0);
    char buf[8];
    EXPECT_EQ(cfirst(c.get(), 1, buf, sizeof buf), KX_E_FAIL);
    EXPECT_EQ(mclose(c.get()), 0);
}

TEST_P(CheckFile, EveryReasonOnItsDamagedFixture) {
    const std::string path = file("d.kx");
    int i = 0;
    for (const DamageCase& c : damage_cases()) {
        SCOPED_TRACE(c.name);
        const std::string salvage = file("d" + std::to_string(i) + ".salvage");
        const std::string salvage2 = file("d" + std::to_string(i) + ".salvage2");
        ++i;
        const Facts x = fixture(path);
        {
            RawFile f(path);
            c.damage(f, x);
            f.save();
        }
        const RawFile damaged(path);
        const Bytes before = damaged.bytes();

        const Finding found = check(path);
        EXPECT_EQ(found.rc, KX_E_FAIL);
        EXPECT_EQ(found.reason, c.reason);
        EXPECT_EQ(found.position, c.node(x));
        EXPECT_NE(found.trees, "") << "the tree checker finds no fault";
        EXPECT_EQ(found.trees.find("disagrees"), std::string::npos) << found.trees;
        EXPECT_EQ(kxtest::read_file(path), before) << "bcheck changed the file";

        const int32_t rc = ccheck(path.c_str(), salvage.c_str());
        const RawFile s(salvage);
        switch (c.salvage) {
            case Salvage::Repairs: {
                EXPECT_EQ(rc, KX_E_WALK);
                const std::vector<Bytes> moved = sorted(c.moved(damaged, x));
                EXPECT_EQ(s.all_entries(), moved) << "the salvage file holds other entries";
                // The examined file kept everything else, byte for byte.
                std::vector<Bytes> kept = damaged.all_entries();
                for (const Bytes& m : moved) kept.erase(std::find(kept.begin(), kept.end(), m));
                EXPECT_EQ(RawFile(path).all_entries(), kept);
                EXPECT_EQ(ccheck(path.c_str(), salvage2.c_str()), 0) << "a second ccheck finds more";
                EXPECT_TRUE(RawFile(salvage2).all_entries().empty());
                const Finding after = check(path);
                EXPECT_EQ(after.rc, 0) << "reason " << after.reason << " at node " << after.position;
                EXPECT_EQ(after.trees, "");
                break;
            }
            case Salvage::CannotWalk:
                EXPECT_EQ(rc, KX_E_WALK);
                EXPECT_TRUE(s.all_entries().empty());
                EXPECT_EQ(node_area(path), Bytes(before.begin() + 1024, before.end()));
                EXPECT_EQ(ccheck(path.c_str(), salvage2.c_str()), KX_E_WALK);
                EXPECT_EQ(node_area(path), Bytes(before.begin() + 1024, before.end()));
                break;
            case Salvage::Untouched:
                EXPECT_EQ(rc, 0);
                EXPECT_TRUE(s.all_entries().empty());
                EXPECT_EQ(node_area(path), Bytes(before.begin() + 1024, before.end()));
                break;
        }
        ciunlink(salvage.c_str());
        ciunlink(salvage2.c_str());
        if (HasFatalFailure()) return;
    }
}

// ---- Callbacks -------------------------------------------------------------

// What the progress callback saw, and when it stops the check.
struct Progress {
    std::vector<int32_t> counters;
    size_t stop_at = 0;  // the call that stops (1 = the first), 0 never
    uint32_t stop_value = 5;
};
Progress g_progress;

int32_t on_progress(KXCB* cb, int32_t counter) {
    g_progress.counters.push_back(counter);
    if (g_progress.counters.size() == g_progress.stop_at) cb->check_status = g_progress.stop_value;
    return 0;
}

bool counts_up(const std::vector<int32_t>& v) {
    for (size_t i = 0; i < v.size(); ++i)
        if (v[i] != static_cast<int32_t>(i) + 1) return false;
    return !v.empty();
}

TEST_P(CheckFile, CallbackFollowsBothChecksAndItsStopValueEndsThem) {
    const std::string path = file("cb.kx");
    const Facts x = fixture(path);
    {
        // bcheck calls back before each further leaf and free-list node.
        g_progress = Progress{};
        Block b;
        ASSERT_EQ(bopen(b.get(), path.c_str(), 'E', 1, kRoots), 0);
        EXPECT_EQ(z_bcheck(b.get(), on_progress), 0);
        EXPECT_TRUE(counts_up(g_progress.counters));
        EXPECT_EQ(g_progress.counters.size(), x.levels[0].size() - 1 + x.slot_levels[0].size() - 1 + x.free.size());
        // The third call stops it: the stop value is the result, no fault.
        g_progress = Progress{};
        g_progress.stop_at = 3;
        EXPECT_EQ(z_bcheck(b.get(), on_progress), 5);
        EXPECT_EQ(g_progress.counters.size(), 3u);
        EXPECT_EQ(+b->check_reason, 0);
        EXPECT_EQ(+b->check_position, -1);
        EXPECT_EQ(+b->last_result, 5);
        // The next check starts with the stop field cleared.
        g_progress = Progress{};
        EXPECT_EQ(z_bcheck(b.get(), on_progress), 0);
        EXPECT_EQ(mclose(b.get()), 0);
    }
    // A damaged leaf in the middle: ccheck stopped on its third call (before
    // the first leaf) moves nothing; stopped on its last call it has made
    // the repair and still answers the stop value.
    {
        RawFile f(path);
        swap_entries(f, f.entry(x.L, 2), f.entry(x.L, 3));
        f.save();
    }
    const Bytes damaged = kxtest::read_file(path);
    const std::vector<Bytes> moved{RawFile(path).entry_bytes(x.L, 3)};
    g_progress = Progress{};
    g_progress.stop_at = 3;
    EXPECT_EQ(z_ccheck(path.c_str(), file("s1").c_str(), nullptr, on_progress), 5);
    EXPECT_EQ(g_progress.counters.size(), 3u);
    EXPECT_TRUE(RawFile(file("s1")).all_entries().empty());
    EXPECT_EQ(node_area(path), Bytes(damaged.begin() + 1024, damaged.end()));

    g_progress = Progress{};
    kxtest::write_file(file("copy.kx"), damaged);
    EXPECT_EQ(z_ccheck(file("copy.kx").c_str(), file("s2").c_str(), nullptr, on_progress), KX_E_WALK);
    EXPECT_TRUE(counts_up(g_progress.counters));
    EXPECT_EQ(RawFile(file("s2")).all_entries(), moved);
    const size_t calls = g_progress.counters.size();
    g_progress = Progress{};
    g_progress.stop_at = calls;
    EXPECT_EQ(z_ccheck(path.c_str(), file("s3").c_str(), nullptr, on_progress), 5);
    EXPECT_EQ(RawFile(file("s3")).all_entries(), moved);
    EXPECT_EQ(ccheck(path.c_str(), file("s4").c_str()), 0);
}

// ---- Arguments and refusals ----------------------------------------------

TEST_P(CheckFile, MissingNamesClosedBlocksAndRefusedOpensChangeNothing) {
    const std::string path = file("a.kx");
    const Facts x = fixture(path);
    const std::string s = file("a.salvage");
    EXPECT_EQ(ccheck(nullptr, s.c_str()), KX_E_ARG);
    EXPECT_EQ(ccheck(path.c_str(), nullptr), KX_E_ARG);
    EXPECT_EQ(ccheck("", s.c_str()), KX_E_ARG);
    EXPECT_EQ(ccheck(path.c_str(), ""), KX_E_ARG);
    EXPECT_EQ(z_ccheck(nullptr, s.c_str(), nullptr, nullptr), KX_E_ARG);
    EXPECT_EQ(bcheck(nullptr), KX_E_NOTOPEN);
    EXPECT_EQ(z_bcheck(nullptr, on_progress), KX_E_NOTOPEN);
    {
        Block b;
        EXPECT_EQ(bcheck(b.get()), KX_E_NOTOPEN);
        ASSERT_EQ(bopen(b.get(), path.c_str(), 'E', 1, kRoots), 0);
        ASSERT_EQ(mclose(b.get()), 0);
        EXPECT_EQ(bcheck(b.get()), KX_E_NOTOPEN);
    }
    // A file that does not exist: the open's result, no salvage file.
    EXPECT_NE(ccheck(file("none.kx").c_str(), s.c_str()), 0);
    EXPECT_FALSE(std::filesystem::exists(s));

    const Bytes before = kxtest::read_file(path);
    // A salvage file that exists already is never overwritten.
    kxtest::write_file(s, Bytes{1, 2, 3});
    EXPECT_EQ(ccheck(path.c_str(), s.c_str()), KX_E_EXISTS);
    EXPECT_EQ(kxtest::read_file(s), (Bytes{1, 2, 3}));
    EXPECT_EQ(node_area(path), Bytes(before.begin() + 1024, before.end()));
    ciunlink(s.c_str());
    // A root list that does not describe the file.
    const KXROOTLIST wrong[] = {{1, 0, nullptr}, {0, 0, nullptr}};
    EXPECT_EQ(z_ccheck(path.c_str(), s.c_str(), wrong, nullptr), KX_E_ROOTLIST);
    EXPECT_FALSE(std::filesystem::exists(s));
    // A file a write section stopped in (the write-in-progress marker set)
    // is left for the image restore: ccheck refuses it as an open does.
    {
        RawFile f(path);
        swap_entries(f, f.entry(x.L, 2), f.entry(x.L, 3));
        f.put_half(1010, 13245);
        f.save();
    }
    const Bytes marked = kxtest::read_file(path);
    EXPECT_EQ(ccheck(path.c_str(), s.c_str()), KX_E_MARKER);
    EXPECT_EQ(kxtest::read_file(path), marked);
    EXPECT_FALSE(std::filesystem::exists(s));
}

// The header values bcheck tests come from the block's copy of the header.
TEST_P(CheckFile, HeaderValuesOutOfRangeInTheBlock) {
    const std::string path = file("h.kx");
    fixture(path);
    Block b;
    ASSERT_EQ(bopen(b.get(), path.c_str(), 'E', 1, kRoots), 0);
    const KXCB sound = b.cb;
    const std::vector<std::pair<const char*, std::function<void(KXCB*)>>> cases = {
        {"custom data length 101", [](KXCB* cb) { cb->custom_length = 101; }},
        {"custom data length -1", [](KXCB* cb) { cb->custom_length = -1; }},
        {"free-list head below -1", [](KXCB* cb) { cb->free_head = 0xFFFFFFF0u; }},
        {"main tree height 20", [](KXCB* cb) { cb->main_height = 20; }},
        {"main root at the next new node", [](KXCB* cb) { cb->main_root = cb->next_node; }},
        {"next new node above the node count", [](KXCB* cb) { cb->next_node = cb->node_count + 1; }},
        {"a root mapped beyond slot 50", [](KXCB* cb) { cb->slot_map[3] = 51; }},
        {"a slot of height 0 in the map", [](KXCB* cb) { cb->slot_heights[kSlot - 1] = 0; }},
        {"a slot of height 20 in the map", [](KXCB* cb) { cb->slot_heights[kSlot - 1] = 20; }},
        {"an entry of the map past root 50", [](KXCB* cb) { cb->slot_map[51] = kSlot; cb->slot_roots[kSlot - 1] = 0; }},
    };
    for (const auto& [name, damage] : cases) {
        SCOPED_TRACE(name);
        damage(b.get());
        EXPECT_EQ(bcheck(b.get()), KX_E_FAIL);
        EXPECT_EQ(+b->check_reason, -213);
        EXPECT_EQ(+b->check_position, -1);
        std::memcpy(b.get(), &sound, sizeof sound);
        EXPECT_EQ(bcheck(b.get()), 0);
    }
    EXPECT_EQ(mclose(b.get()), 0);
}

// ---- What ccheck does beyond the table -------------------------------------

TEST_P(CheckFile, WithoutASalvageFileTheEntriesAreDropped) {
    const std::string path = file("n.kx");
    const Facts x = fixture(path);
    {
        RawFile f(path);
        swap_entries(f, f.entry(x.L, 2), f.entry(x.L, 3));
        f.save();
    }
    const RawFile damaged(path);
    std::vector<Bytes> kept = damaged.all_entries();
    kept.erase(std::find(kept.begin(), kept.end(), damaged.entry_bytes(x.L, 3)));
    EXPECT_EQ(z_ccheck(path.c_str(), nullptr, nullptr, nullptr), KX_E_WALK);
    EXPECT_EQ(RawFile(path).all_entries(), kept);
    EXPECT_EQ(z_ccheck(path.c_str(), nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(check(path).rc, 0);
}

// Two entries that agree in root, key, record value and piece number but not
// in their bytes cannot both be kept by the salvage file: the second stays
// in the examined file until a later ccheck moves it into a salvage file of
// its own.  Nothing is lost on the way.
TEST_P(CheckFile, EntriesOfOneIdentityAreNeverLost) {
    const std::string path = file("i.kx");
    const Facts x = fixture(path);
    {
        RawFile f(path);
        const auto& e = x.entries[x.datum[1]];
        f.byte(f.entry(e.leaf, e.index) + 2) = 2;  // pieces 0, 2, 2 + last
        f.save();
    }
    const std::vector<Bytes> damaged = RawFile(path).all_entries();
    std::vector<Bytes> seen;
    int32_t rc = KX_E_WALK;
    int runs = 0;
    for (; rc == KX_E_WALK && runs < 5; ++runs) {
        const std::string s = file("i" + std::to_string(runs) + ".salvage");
        rc = ccheck(path.c_str(), s.c_str());
        for (const Bytes& e : RawFile(s).all_entries()) seen.push_back(e);
    }
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(runs, 3) << "the entry that found its place taken moves on the second run";
    for (const Bytes& e : RawFile(path).all_entries()) seen.push_back(e);
    EXPECT_EQ(sorted(seen), damaged);
    EXPECT_EQ(check(path).rc, 0);
}

// A compound root given no segment list has no key order the block knows:
// ccheck then moves nothing for the order of its keys (it would otherwise
// take out every entry whose record value is not above the one before).
TEST_P(CheckFile, CompoundKeysWithoutTheirSegmentListAreNotJudgedByOrder) {
    KXSEGMENT segs[3] = {};
    segs[0].key_type = 0;                 // a name, ascending
    segs[1].key_type = 5;                 // a number, descending
    segs[1].descending = 1;
    segs[2].key_type = 31;
    const KXROOTLIST roots[] = {{3, 8, segs}, {0, 0, nullptr}};
    const std::string path = file("c.kx");
    Block b;
    ASSERT_EQ(bcreate(b.get(), path.c_str(), 'E', order(), roots), 0);
    for (uint32_t i = 0; i < 400; ++i) {
        uint8_t key[16] = {};
        char name[8];
        std::snprintf(name, sizeof name, "n%03u", i / 4);
        std::memcpy(key + 1, name, 5);
        const int32_t number = static_cast<int32_t>(i % 4);
        std::memcpy(key + 6, &number, 4);
        key[0] = 9;
        // Record values fall as the keys rise.
        ASSERT_EQ(cdupadd(b.get(), 3, key, 1000 - i, "payload", 7), 0);
    }
    EXPECT_EQ(bcheck(b.get()), 0);
    EXPECT_EQ(kxtest::check_trees(b.get()), "");
    ASSERT_EQ(mclose(b.get()), 0);
    const Bytes before = kxtest::read_file(path);
    EXPECT_EQ(ccheck(path.c_str(), file("c1").c_str()), 0);
    EXPECT_TRUE(RawFile(file("c1")).all_entries().empty());
    EXPECT_EQ(node_area(path), Bytes(before.begin() + 1024, before.end()));
    EXPECT_EQ(z_ccheck(path.c_str(), file("c2").c_str(), roots, nullptr), 0);

    // Two neighbours swapped: found with the segment list.
    RawFile f(path);
    const uint32_t leaf = f.levels(f.main_root(), f.main_height())[0][1];
    swap_entries(f, f.entry(leaf, 4), f.entry(leaf, 5));
    f.save();
    const Bytes moved = RawFile(path).entry_bytes(leaf, 5);
    ASSERT_EQ(bopen(b.get(), path.c_str(), 'E', 1, roots), 0);
    EXPECT_EQ(bcheck(b.get()), KX_E_FAIL);
    EXPECT_EQ(+b->check_reason, -214);
    EXPECT_EQ(+b->check_position, static_cast<int32_t>(leaf));
    ASSERT_EQ(mclose(b.get()), 0);
    EXPECT_EQ(z_ccheck(path.c_str(), file("c3").c_str(), roots, nullptr), KX_E_WALK);
    EXPECT_EQ(RawFile(file("c3")).all_entries(), std::vector<Bytes>{moved});
    ASSERT_EQ(bopen(b.get(), path.c_str(), 'E', 1, roots), 0);
    EXPECT_EQ(bcheck(b.get()), 0);
    ASSERT_EQ(mclose(b.get()), 0);
}

// ---- bcheck writes nothing -------------------------------------------------

// bcheck inside the caller's own write section sees the changes not yet
// written back; with a transaction open and an image file attached it adds
// nothing to the log and gives the image file no new section.
TEST_P(CheckFile, WritesNeitherLogNorImageNorHeader) {
    const std::string path = file("t.kx"), ipath = file("t.img");
    fixture(path);
    {
        Block c;
        ASSERT_EQ(bcreate(c.get(), ipath.c_str(), 'E', order(), nullptr), 0);
        ASSERT_EQ(mclose(c.get()), 0);
    }
    Block b, img;
    ASSERT_EQ(bopen(b.get(), path.c_str(), 'E', 2, kRoots), 0);
    ASSERT_EQ(csetfile(b.get(), 4), 0);
    ASSERT_EQ(imgopen(img.get(), ipath.c_str(), 'E', 2), 0);
    ASSERT_EQ(imageback(b.get(), img.get()), 0);
    ASSERT_EQ(transbeg(b.get(), 3, nullptr), 0);
    for (int32_t k = 20000; k < 20300; ++k) ASSERT_EQ(cdupadd(b.get(), 1, &k, 1, "tx", 2), 0);
    ASSERT_EQ(strtwrit(b.get()), 0);
    for (int32_t k = 30000; k < 30300; ++k) ASSERT_EQ(cdupadd(b.get(), 1, &k, 1, "mid", 3), 0);
    EXPECT_EQ(bcheck(b.get()), 0);
    EXPECT_EQ(kxtest::check_trees(b.get()), "");
    ASSERT_EQ(endwrit(b.get()), 0);
    const Bytes file_before = kxtest::read_file(path), image_before = kxtest::read_file(ipath);
    const uint32_t counter = b->change_counter;
    EXPECT_EQ(bcheck(b.get()), 0);
    EXPECT_EQ(+b->change_counter, counter);
    EXPECT_EQ(kxtest::read_file(path), file_before);
    EXPECT_EQ(kxtest::read_file(ipath), image_before);
    EXPECT_EQ(transend(b.get(), 1), 0);
    EXPECT_EQ(mclose(b.get()), 0);
    EXPECT_EQ(imgclose(img.get()), 0);
}

// ---- Random damage --------------------------------------------------------

// A random file of roots 1 (integers) and 2 (strings) in the main tree.
void build_random(const std::string& path, int order, std::mt19937& rng) {
    const KXROOTLIST roots[] = {{1, 5, nullptr}, {0, 0, nullptr}};
    Block b;
    ciunlink(path.c_str());
    ASSERT_EQ(bcreate(b.get(), path.c_str(), 'E', order, roots), 0);
    ASSERT_EQ(csetfile(b.get(), 0), 0);
    const int n = 600 + static_cast<int>(rng() % 900);
    for (int i = 0; i < n; ++i) {
        const size_t len = rng() % 10 == 0 ? 250 + rng() % 700 : rng() % 40;
        const std::string p = payload_of(rng(), len);
        const auto rec = static_cast<uint32_t>(rng() % 4);
        if (rng() % 3 != 0) {
            const auto k = static_cast<int32_t>(rng() % 4000);
            cdupadd(b.get(), 1, &k, rec, p.data(), static_cast<int32_t>(len));
        } else {
            char key[16];
            std::snprintf(key, sizeof key, "k%04u", static_cast<unsigned>(rng() % 2000));
            cdupadd(b.get(), 2, key, rec, p.data(), static_cast<int32_t>(len));
        }
    }
    b->merge_on_delete = rng() % 2;
    for (int i = 0; i < n / 5; ++i) {
        const auto k = static_cast<int32_t>(rng() % 4000);
        cdelete(b.get(), 1, &k, static_cast<uint32_t>(rng() % 4));
    }
    ASSERT_EQ(kxtest::check_trees(b.get()), "");
    ASSERT_EQ(mclose(b.get()), 0);
}

// Changes that keep every leaf's layout: entries swapped inside a leaf or
// across two neighbouring leaves, piece bytes changed, keys overwritten, an
// entry of root 2 turned into one of root 1.
void damage_randomly(RawFile& f, std::mt19937& rng) {
    const auto leaves = f.levels(f.main_root(), f.main_height())[0];
    const int changes = 1 + static_cast<int>(rng() % 4);
    for (int c = 0; c < changes; ++c) {
        const size_t li = rng() % leaves.size();
        const uint32_t n = leaves[li];
        if (f.count(n) < 2) continue;
        const int i = static_cast<int>(rng() % static_cast<uint32_t>(f.count(n) - 1));
        const size_t at = f.entry(n, i), next = f.entry(n, i + 1);
        switch (rng() % 6) {
            case 0:
                if (f.bytes()[at] == f.bytes()[next]) swap_entries(f, at, next);
                break;
            case 1:
                if (li + 1 < leaves.size() && f.count(leaves[li + 1]) > 0) {
                    const size_t last = f.entry(n, f.count(n) - 1), first = f.entry(leaves[li + 1], 0);
                    if (f.bytes()[last] == f.bytes()[first]) swap_entries(f, last, first);
                }
                break;
            case 2: f.byte(at + 2) ^= 0x80; break;
            case 3: f.byte(at + 2) = static_cast<uint8_t>((f.bytes()[at + 2] & 0x80) | rng() % 4); break;
            case 4:
                if (f.bytes()[at + 1] == 1) f.put_word(at + 7, rng() % 4000);
                break;
            case 5:
                if (f.bytes()[at + 1] == 2) f.byte(at + 1) = 1;
                break;
        }
    }
}

// ccheck never loses an entry: what the examined file keeps and what the
// salvage files receive are, together, the entries of the damaged file; the
// repair is done within a few runs, and what is left is in entry order.
// KINDEX_CHECK_LONG=1 runs many more files.
TEST_P(CheckFile, RandomDamageLosesNoEntry) {
    const bool long_run = std::getenv("KINDEX_CHECK_LONG") != nullptr;
    const uint32_t seed = seed_from_env(7100u + static_cast<uint32_t>(order()));
    SCOPED_TRACE("seed " + std::to_string(seed) + " (KINDEX_SEED repeats it)");
    std::mt19937 rng(seed);
    const int files = long_run ? 400 : 6;
    const std::string path = file("r.kx");
    for (int round = 0; round < files; ++round) {
        SCOPED_TRACE("file " + std::to_string(round));
        build_random(path, order(), rng);
        if (HasFatalFailure()) return;
        for (int d = 0; d < 4; ++d) {
            SCOPED_TRACE("damage " + std::to_string(d));
            const Bytes sound = kxtest::read_file(path);
            {
                RawFile f(path);
                damage_randomly(f, rng);
                f.save();
            }
            const std::vector<Bytes> damaged = RawFile(path).all_entries();
            {
                // Whatever the damage, the two checks agree.
                const Finding found = check(path);
                EXPECT_EQ(found.trees.find("disagrees"), std::string::npos) << found.trees;
            }
            std::vector<Bytes> seen;
            int32_t rc = KX_E_WALK;
            int runs = 0;
            for (; rc == KX_E_WALK && runs < 4; ++runs) {
                const std::string s = file("r" + std::to_string(runs) + ".salvage");
                ciunlink(s.c_str());
                rc = ccheck(path.c_str(), s.c_str());
                for (const Bytes& e : RawFile(s).all_entries()) seen.push_back(e);
                ciunlink(s.c_str());
            }
            ASSERT_EQ(rc, 0) << "ccheck does not finish its repair";
            const std::vector<Bytes> kept = RawFile(path).all_entries();
            for (const Bytes& e : kept) seen.push_back(e);
            // Entries of equal bytes count once: the salvage file keeps one.
            std::vector<Bytes> unique = sorted(seen);
            unique.erase(std::unique(unique.begin(), unique.end()), unique.end());
            std::vector<Bytes> want = damaged;
            want.erase(std::unique(want.begin(), want.end()), want.end());
            ASSERT_EQ(unique, want) << "entries lost or made up";
            const Finding after = check(path);
            EXPECT_TRUE(after.rc == 0 || (after.rc == KX_E_FAIL && after.reason == -210))
                << "reason " << after.reason << " at node " << after.position;
            if (after.rc != 0 || HasFatalFailure()) kxtest::write_file(path, sound);
        }
    }
}

// A byte anywhere in the nodes in use takes a random value: the two checks
// agree on the file whatever it became, and ccheck ends.
// KINDEX_CHECK_LONG=1 runs many more.
TEST_P(CheckFile, AnyDamagedByteKeepsBothChecksAgreed) {
    const bool long_run = std::getenv("KINDEX_CHECK_LONG") != nullptr;
    const uint32_t seed = seed_from_env(9300u + static_cast<uint32_t>(order()));
    SCOPED_TRACE("seed " + std::to_string(seed) + " (KINDEX_SEED repeats it)");
    std::mt19937 rng(seed);
    const std::string path = file("z.kx"), sound = file("z.sound");
    build_random(sound, order(), rng);
    if (HasFatalFailure()) return;
    const Bytes base = kxtest::read_file(sound);
    const uint32_t nodes = RawFile(sound).next_node();
    const int rounds = long_run ? 20000 : 200;
    for (int round = 0; round < rounds; ++round) {
        Bytes b = base;
        const size_t at = 1024 + 2048 * size_t(rng() % nodes) + rng() % 2048;
        const auto value = static_cast<uint8_t>(rng());
        if (b[at] == value) continue;
        b[at] = value;
        kxtest::write_file(path, b);
        SCOPED_TRACE("byte " + std::to_string(at) + " = " + std::to_string(value));
        const Finding found = check(path);
        ASSERT_EQ(found.trees.find("disagrees"), std::string::npos) << found.trees;
        ASSERT_EQ(found.trees.find("bcheck failed"), std::string::npos) << found.trees;
        const std::string s = file("z.salvage");
        ciunlink(s.c_str());
        const int32_t rc = ccheck(path.c_str(), s.c_str());
        ASSERT_TRUE(rc == 0 || rc == KX_E_WALK) << rc;
        ciunlink(s.c_str());
    }
}

// ---- Beside other processes ------------------------------------------------

const KXROOTLIST kSharedRoots[] = {{1, 5, nullptr}, {2, 0, nullptr}, {0, 0, nullptr}};

struct Beside {
    kxtest::Worker* writer = nullptr;
    kxtest::Worker* reader = nullptr;
    bool asked = false;
    bool writer_waited = false;
    int32_t reader_rc = -999;
};
Beside g_beside;

// On bcheck's first call back: another process's read goes on beside the
// check, another's write must wait for it.
int32_t ask_beside(KXCB*, int32_t) {
    if (g_beside.asked) return 0;
    g_beside.asked = true;
    // The reader first: a writer waiting for the check holds the gate, which
    // keeps later readers waiting too.
    const kxtest::Reply r = g_beside.reader->run("cfind 1 5 5");
    g_beside.reader_rc = r.rc;
    g_beside.writer->send("cdupadd 1 999999 7 late");
    g_beside.writer_waited = g_beside.writer->quiet(300);
    return 0;
}

uint32_t counter_of(const std::string& path, int order) {
    const Bytes h = kxtest::read_file(path);
    return order == 2 ? kxtest::be32(h, 0) : kxtest::le32(h, 0);
}

class CheckShared : public ::testing::TestWithParam<int> {
protected:
    void TearDown() override {
        if (b->state == 'O') mclose(b.get());
    }
    kxtest::MemoryDir dir;
    Block b;
};

INSTANTIATE_TEST_SUITE_P(ByteOrder, CheckShared, ::testing::Values(1, 2),
                         [](const auto& i) { return i.param == 1 ? "little" : "big"; });

TEST_P(CheckShared, CheckKeepsWritersOutLetsReadersInAndWritesNothing) {
    const std::string path = dir.path("shared.kx");
    const int order = GetParam();
    {
        kxtest::Worker w({"dbcreate " + path + " E " + std::to_string(order), "addrange 1 0 3000 2 20", "close"});
        ASSERT_EQ(w.wait(), 0);
    }
    ASSERT_EQ(bopen(b.get(), path.c_str(), 'S', 2, kSharedRoots), 0);
    ASSERT_NE(b->open_mode, 'E');
    kxtest::Worker writer, reader;
    ASSERT_EQ(writer.run("dbopen " + path + " S 2").rc, 0);
    ASSERT_EQ(reader.run("dbopen " + path + " S 2").rc, 0);

    // This process holds nodes of the file in its pool; another then splits
    // leaves all over the tree.  The check reads the file as it is now.
    char buf[32];
    const int32_t k = 1500;
    ASSERT_EQ(cfind(b.get(), 1, &k, 1500, buf, sizeof buf), 0);
    ASSERT_EQ(writer.run("addrange 1 1 3000 2 30").rc, 0);
    EXPECT_EQ(bcheck(b.get()), 0) << "reason " << b->check_reason << " at node " << b->check_position;
    EXPECT_EQ(kxtest::check_trees(b.get()), "");

    // While the check runs, a writer waits and a reader goes on; the check
    // itself leaves the change counter as it was (the writer's section, once
    // in, raises it by one).
    const uint32_t counter = counter_of(path, order);
    g_beside = Beside{&writer, &reader};
    EXPECT_EQ(z_bcheck(b.get(), ask_beside), 0);
    EXPECT_TRUE(g_beside.asked);
    EXPECT_TRUE(g_beside.writer_waited) << "another process wrote while the check ran";
    EXPECT_EQ(g_beside.reader_rc, 0) << "a reader was kept out by the check";
    const kxtest::Reply late = writer.reply();
    EXPECT_TRUE(late.ok);
    EXPECT_EQ(late.rc, 0);
    EXPECT_EQ(counter_of(path, order), counter + 1);

    // A read-only shared open checks the same way.
    Block ro;
    ASSERT_EQ(bopen(ro.get(), path.c_str(), 'S', 1, kSharedRoots), 0);
    EXPECT_EQ(bcheck(ro.get()), 0);
    EXPECT_EQ(mclose(ro.get()), 0);

    // ccheck needs the file to itself: while others have it open it is
    // refused, and nothing is created or changed.
    const std::string salvage = dir.path("held.salvage");
    const Bytes nodes = node_area(path);
    EXPECT_NE(ccheck(path.c_str(), salvage.c_str()), 0);
    EXPECT_NE(ccheck(path.c_str(), salvage.c_str()), KX_E_WALK);
    EXPECT_FALSE(std::filesystem::exists(salvage));
    EXPECT_EQ(node_area(path), nodes);
    EXPECT_EQ(writer.run("close").rc, 0);
    EXPECT_EQ(reader.run("close").rc, 0);
}

}  // namespace
