// Key byte-order conversion: what each key type turns, when a key is turned,
// compound keys under their length byte, and the key parameter.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "btree/keys.h"
#include "key_builders.h"
#include "records/keyconv.h"
#include "support/testing.h"

namespace {

using namespace kxtest::keys;

const uint8_t HostWord[4] = {1, 0, 0, 0};
const uint8_t ForeignWord[4] = {0, 0, 0, 1};
constexpr uint8_t Host = 1;
constexpr uint8_t Foreign = 0;

Bytes reversed(Bytes b) {
    std::reverse(b.begin(), b.end());
    return b;
}

// Bytes that follow every key in these tests; conversion must not touch them.
const Bytes Trailer(6, 0xEE);

class KeyConversion : public ::testing::Test {
protected:
    void set_root(int root, uint8_t type, const std::vector<KXSEGMENT>* segments = nullptr) {
        block->root_types[root] = static_cast<uint8_t>(type | 0xE0);
        block->segment_lists[root] =
            segments != nullptr ? const_cast<KXSEGMENT*>(segments->data()) : nullptr;
    }
    // Turns a copy of key (followed by Trailer) and returns the key part,
    // after checking the trailer survived.
    Bytes turned(int32_t root, uint8_t type, const Bytes& key, uint8_t from, uint8_t to) {
        Bytes buf = cat({key, Trailer});
        kx::convkey(block.get(), root, buf.data(), type, from, to);
        EXPECT_TRUE(std::equal(Trailer.begin(), Trailer.end(), buf.end() - static_cast<std::ptrdiff_t>(Trailer.size())));
        return Bytes(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(key.size()));
    }
    kxtest::Block block;
};

struct TurnCase {
    const char* name;
    uint8_t type;
    Bytes host;
    Bytes foreign;
};

TEST_F(KeyConversion, KeyConversionByType) {
    const Bytes six{1, 2, 3, 4, 5, 6};
    const std::vector<TurnCase> cases = {
        {"string", 0, str("ab\x01\x02"), str("ab\x01\x02")},
        {"case-blind string", 1, str("Xy"), str("Xy")},
        {"counted", 2, counted("\x01\x02\x03\x04"), counted("\x01\x02\x03\x04")},
        {"int32 difference", 3, i32(0x01020304), reversed(i32(0x01020304))},
        {"int16", 4, i16(0x0102), reversed(i16(0x0102))},
        {"int32", 5, i32(-2), reversed(i32(-2))},
        {"float", 6, f32(1.25f), reversed(f32(1.25f))},
        {"double", 7, f64(-3.5e10), reversed(f64(-3.5e10))},
        {"six bytes never turned", 9, six, six},
        {"uint16", 10, u16(0xA0B0), reversed(u16(0xA0B0))},
        {"type 11", 11, six, six},
        {"type 15", 15, six, six},
        {"fields16 never turned", 16, fields16(1, 2, 3, 4, 5), fields16(1, 2, 3, 4, 5)},
        {"fields17 never turned", 17, fields17(1, 2, 3, 4, 5, 6), fields17(1, 2, 3, 4, 5, 6)},
        {"counted 18", 18, counted("\x01\x02"), counted("\x01\x02")},
        {"counted 19", 19, counted("\x01\x02"), counted("\x01\x02")},
        {"counted 20", 20, counted("\x01\x02"), counted("\x01\x02")},
        {"type 31", 31, six, six},
        {"upper type bits ignored", 0x40 | 3, i32(7), reversed(i32(7))},
    };
    for (const TurnCase& c : cases) {
        SCOPED_TRACE(c.name);
        set_root(2, c.type);
        EXPECT_EQ(turned(2, c.type, c.host, Host, Foreign), c.foreign);
        EXPECT_EQ(turned(2, c.type, c.foreign, Foreign, Host), c.host);
        // A file in host order: nothing is turned in either direction.
        EXPECT_EQ(turned(2, c.type, c.host, Host, Host), c.host);
    }
}

TEST_F(KeyConversion, KeyConversionTurnsOnlyWhenExactlyOneSideIsHostOrder) {
    struct Case {
        uint8_t from, to;
        bool turns;
    };
    const Case cases[] = {
        {1, 1, false}, {0, 0, false}, {2, 0, false}, {0, 2, false},
        {1, 0, true},  {0, 1, true},  {1, 2, true},  {2, 1, true},
    };
    set_root(2, 5);
    const Bytes key = i32(0x11223344);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.from) + " -> " + std::to_string(c.to));
        EXPECT_EQ(turned(2, 5, key, c.from, c.to), c.turns ? reversed(key) : key);
    }
    // The word forms read the first byte of a byte-order word.
    Bytes buf = key;
    kx::convkey(block.get(), 2, buf.data(), 5, HostWord, ForeignWord);
    EXPECT_EQ(buf, reversed(key));
    kx::convkey(block.get(), 2, buf.data(), 5, ForeignWord, ForeignWord);
    EXPECT_EQ(buf, reversed(key));
    kx::convkey(block.get(), 2, buf.data(), 5, ForeignWord, HostWord);
    EXPECT_EQ(buf, key);
}

TEST_F(KeyConversion, KeyConversionOnlyForRootsOneToFifty) {
    const Bytes key = i32(0x0A0B0C0D);
    for (int32_t root : {-1, 0, 51, 1000}) {
        SCOPED_TRACE(root);
        if (root >= 0 && root < 52) set_root(root, 3);
        EXPECT_EQ(turned(root, 3, key, Host, Foreign), key);
    }
    for (int32_t root : {1, 50}) {
        SCOPED_TRACE(root);
        set_root(root, 3);
        EXPECT_EQ(turned(root, 3, key, Host, Foreign), reversed(key));
    }
}

struct CompoundTurnCase {
    const char* name;
    std::vector<KXSEGMENT> segments;
    Bytes host;
    Bytes foreign;
};

TEST_F(KeyConversion, KeyConversionOfCompoundKeys) {
    const auto mixed = segment_list({3, 0, 4, 7, 10, 9, 2, 6});
    const Bytes six{1, 2, 3, 4, 5, 6};
    const Bytes full_host =
        compound({i32(0x01020304), str("ab"), i16(0x0506), f64(2.5), u16(0x0708), six, counted("xy"), f32(-1.0f)});
    const Bytes full_foreign = compound({reversed(i32(0x01020304)), str("ab"), reversed(i16(0x0506)),
                                         reversed(f64(2.5)), reversed(u16(0x0708)), six, counted("xy"),
                                         reversed(f32(-1.0f))});
    // Only the first segment is covered: the rest of the bytes stay as they are.
    Bytes first_only_host = full_host;
    first_only_host[0] = 4;
    Bytes first_only_foreign = first_only_host;
    std::reverse(first_only_foreign.begin() + 1, first_only_foreign.begin() + 5);
    // Covered up to the middle of the int16: the int16 does not fit and the
    // walk ends before it.
    Bytes cut_host = full_host;
    cut_host[0] = 4 + 3 + 1;
    Bytes cut_foreign = cut_host;
    std::reverse(cut_foreign.begin() + 1, cut_foreign.begin() + 5);
    // A segment of a non-key type ends the walk.
    const auto with_bad = segment_list({5, 13, 5});
    const Bytes bad_host = compound({i32(1), i32(2), i32(3)});
    const Bytes bad_foreign = compound({reversed(i32(1)), i32(2), i32(3)});

    const std::vector<CompoundTurnCase> cases = {
        {"every segment under its type", mixed, full_host, full_foreign},
        {"length byte covers the first segment", mixed, first_only_host, first_only_foreign},
        {"segment cut by the length byte", mixed, cut_host, cut_foreign},
        {"empty segment list", segment_list({}), full_host, full_host},
        {"empty compound key", mixed, Bytes{0, 1, 2, 3, 4}, Bytes{0, 1, 2, 3, 4}},
        {"non-key segment type", with_bad, bad_host, bad_foreign},
        {"compound segment type", segment_list({5, 8, 5}), bad_host, bad_foreign},
    };
    for (const CompoundTurnCase& c : cases) {
        SCOPED_TRACE(c.name);
        set_root(7, 8, &c.segments);
        EXPECT_EQ(turned(7, 8, c.host, Host, Foreign), c.foreign);
        EXPECT_EQ(turned(7, 8, c.foreign, Foreign, Host), c.host);
    }
    // A root given no segment list turns nothing.
    set_root(7, 8, nullptr);
    EXPECT_EQ(turned(7, 8, full_host, Host, Foreign), full_host);
}

TEST_F(KeyConversion, KeyConversionRoundTripsRandomCompoundKeys) {
    const uint32_t seed = test_seed();
    std::printf("KeyConversionRoundTripsRandomCompoundKeys seed %u\n", seed);
    std::mt19937 rng(seed);
    const uint8_t types[] = {0, 1, 2, 3, 4, 5, 6, 7, 9, 10, 16, 17, 18, 19, 20};
    for (int round = 0; round < 500; ++round) {
        const size_t n = std::uniform_int_distribution<size_t>(1, 6)(rng);
        std::vector<KXSEGMENT> segments;
        Bytes body;
        int numeric = 0;
        for (size_t i = 0; i < n; ++i) {
            KXSEGMENT s{};
            s.key_type = types[std::uniform_int_distribution<size_t>(0, std::size(types) - 1)(rng)];
            segments.push_back(s);
            Bytes v;
            switch (s.key_type) {
            case 0:
            case 1: v = str(std::string(rng() % 4, 'a')); break;
            case 16: v = fields16(1, 2, 3, 4, 5); break;
            case 17: v = fields17(1, 2, 3, 4, 5, 6); break;
            case 2:
            case 18:
            case 19:
            case 20: v = counted(std::string(rng() % 4, '\x01')); break;
            default: {
                v.resize(static_cast<size_t>(kx::fixed_width(s.key_type)));
                for (uint8_t& b : v) b = static_cast<uint8_t>(rng());
                if (s.key_type != 9) ++numeric;
            }
            }
            body = cat({body, v});
        }
        segments.push_back(KXSEGMENT{31, 0, 0, 0, {}});
        body = with_length_byte(body);
        set_root(11, 8, &segments);
        const Bytes there = turned(11, 8, body, Host, Foreign);
        ASSERT_EQ(turned(11, 8, there, Foreign, Host), body) << "seed " << seed;
        // A key with a number in it changes on the way; one without does not.
        if (numeric == 0) {
            ASSERT_EQ(there, body) << "seed " << seed;
        }
    }
}

TEST_F(KeyConversion, KeyConversionOfTheKeyParameter) {
    set_root(9, 5);
    Bytes key = i32(0x01020304);
    block->root = 9;
    block->key = key.data();
    block->key_byte_order = 1;
    std::memcpy(block->byte_order, ForeignWord, 4);

    kx::convparm(block.get(), block->byte_order);  // to the file's order
    EXPECT_EQ(key, reversed(i32(0x01020304)));
    EXPECT_EQ(uint32_t{block->key_byte_order}, 0u);
    kx::convparm(block.get(), block->byte_order);  // already there
    EXPECT_EQ(key, reversed(i32(0x01020304)));
    kx::convparm(block.get(), uint8_t{1});  // back to host order
    EXPECT_EQ(key, i32(0x01020304));
    EXPECT_EQ(uint32_t{block->key_byte_order}, 1u);

    // In a file in host order the key stays as it is.
    std::memcpy(block->byte_order, HostWord, 4);
    kx::convparm(block.get(), block->byte_order);
    EXPECT_EQ(key, i32(0x01020304));
    EXPECT_EQ(uint32_t{block->key_byte_order}, 1u);

    // A root outside 1..50 records the order but turns nothing.
    block->root = 0;
    kx::convparm(block.get(), ForeignWord);
    EXPECT_EQ(key, i32(0x01020304));
    EXPECT_EQ(uint32_t{block->key_byte_order}, 0u);
}

}  // namespace
