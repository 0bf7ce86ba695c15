// Keys: length, copy, comparison by type, compound keys, non-key types,
// successor keys and the entry order of trees.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "btree/keys.h"
#include "key_builders.h"
#include "records/keyconv.h"
#include "support/testing.h"

namespace {

using namespace kxtest::keys;

constexpr int32_t I32Max = std::numeric_limits<int32_t>::max();
constexpr int32_t I32Min = std::numeric_limits<int32_t>::min();
const float FloatNaN = std::numeric_limits<float>::quiet_NaN();
const double DoubleNaN = std::numeric_limits<double>::quiet_NaN();
const float FloatInf = std::numeric_limits<float>::infinity();

const uint8_t HostWord[4] = {1, 0, 0, 0};
const uint8_t ForeignWord[4] = {0, 0, 0, 1};

class KeyTest : public ::testing::Test {
protected:
    // The upper 3 bits of a root type byte are not part of the key type;
    // they are set here so that every test sees them masked off.
    void set_root(int root, uint8_t type, const std::vector<KXSEGMENT>* segments = nullptr) {
        block->root_types[root] = static_cast<uint8_t>(type | 0xE0);
        block->segment_lists[root] =
            segments != nullptr ? const_cast<KXSEGMENT*>(segments->data()) : nullptr;
    }
    void set_file_order(uint8_t flag) {
        std::memcpy(block->byte_order, flag == 1 ? HostWord : ForeignWord, 4);
    }
    void arm_error_fields() {
        block->root = 99;
        block->last_result = 123;
        block->deferred_error = 0;
    }
    void expect_error_fields_untouched() {
        EXPECT_EQ(int32_t{block->root}, 99);
        EXPECT_EQ(int32_t{block->last_result}, 123);
        EXPECT_EQ(int32_t{block->deferred_error}, 0);
    }
    int32_t cmp(uint8_t type, const Bytes& a, const Bytes& b, int32_t root = 1) {
        return cikeycmp(block.get(), root, type, a.data(), b.data());
    }
    kxtest::Block block;
};

// Host-order bytes reversed as a foreign-order file stores them; written
// independently of the conversion code.
Bytes reversed(Bytes b) {
    std::reverse(b.begin(), b.end());
    return b;
}

// ---- Length and copy -----------------------------------------------------

struct LengthCase {
    const char* name;
    uint8_t type;
    Bytes key;
    int32_t length;
};

const std::vector<LengthCase>& length_cases() {
    static const std::vector<LengthCase> cases = {
        {"string", 0, str("abc"), 4},
        {"empty string", 0, str(""), 1},
        {"case-blind string", 1, str("AbC"), 4},
        {"counted with a zero inside", 2, counted(std::string("a\0b", 3)), 4},
        {"empty counted", 2, counted(""), 1},
        {"int32 difference", 3, i32(-7), 4},
        {"int16", 4, i16(-2), 2},
        {"int32", 5, i32(9), 4},
        {"float", 6, f32(1.5f), 4},
        {"double", 7, f64(-2.25), 8},
        {"compound by its length byte", 8, Bytes{3, 'A', 0, 7}, 4},
        {"six bytes", 9, Bytes{1, 0, 3, 0, 5, 6}, 6},
        {"uint16", 10, u16(65535), 2},
        {"fields16", 16, fields16(1, 2, 3, 4, 5), 17},
        {"fields16 by its length byte", 16, Bytes{4, 1, 2, 3, 4}, 5},
        {"fields17", 17, fields17(1, 2, 3, 4, 5, -6), 19},
        {"counted 18", 18, counted("xyz"), 4},
        {"counted 19", 19, counted(""), 1},
        {"counted 20", 20, counted(std::string(200, 'q')), 201},
    };
    return cases;
}

TEST_F(KeyTest, KeyLengthAndCopyFollowTheType) {
    for (const LengthCase& c : length_cases()) {
        SCOPED_TRACE(c.name);
        set_root(3, c.type);
        // The key sits in a larger buffer, followed by bytes that must be ignored.
        const Bytes src = cat({c.key, Bytes(8, 0xEE)});
        EXPECT_EQ(cikeylen(block.get(), 3, src.data()), c.length);
        EXPECT_EQ(kx::key_length(c.type, src.data()), c.length);

        Bytes dst(300, 0xAA);
        cikeycpy(block.get(), 3, dst.data(), src.data());
        EXPECT_TRUE(std::equal(c.key.begin(), c.key.begin() + c.length, dst.begin()));
        EXPECT_TRUE(std::all_of(dst.begin() + c.length, dst.end(), [](uint8_t v) { return v == 0xAA; }));

        // A null source copies the zero key: one zero byte for strings and
        // counted types, zero bytes of the width for fixed types.
        const size_t zero_bytes = kx::fixed_width(c.type) > 0 ? kx::fixed_width(c.type) : 1;
        Bytes zero(300, 0xAA);
        cikeycpy(block.get(), 3, zero.data(), nullptr);
        EXPECT_TRUE(std::all_of(zero.begin(), zero.begin() + zero_bytes, [](uint8_t v) { return v == 0; }));
        EXPECT_TRUE(std::all_of(zero.begin() + zero_bytes, zero.end(), [](uint8_t v) { return v == 0xAA; }));
    }
}

TEST_F(KeyTest, KeyLengthIsZeroWithoutAKeyType) {
    const Bytes key = str("abcdef");
    for (int t = 0; t < 32; ++t) {
        const auto type = static_cast<uint8_t>(t);
        if (kx::is_key_type(type)) continue;
        SCOPED_TRACE(t);
        set_root(4, type);
        EXPECT_EQ(cikeylen(block.get(), 4, key.data()), 0);
        Bytes dst(64, 0xAA);
        cikeycpy(block.get(), 4, dst.data(), key.data());
        cikeycpy(block.get(), 4, dst.data(), nullptr);
        EXPECT_TRUE(std::all_of(dst.begin(), dst.end(), [](uint8_t v) { return v == 0xAA; }));
    }
    set_root(4, 0);
    EXPECT_EQ(cikeylen(block.get(), 4, nullptr), 0);
    for (int32_t root : {-1, 52, 1000}) {
        Bytes dst(8, 0xAA);
        EXPECT_EQ(cikeylen(block.get(), root, key.data()), 0) << root;
        cikeycpy(block.get(), root, dst.data(), key.data());
        EXPECT_EQ(dst, Bytes(8, 0xAA)) << root;
    }
    EXPECT_EQ(cikeylen(nullptr, 4, key.data()), 0);
}

// ---- Comparison ------------------------------------------------------------

struct CompareCase {
    const char* name;
    uint8_t type;
    Bytes a;
    Bytes b;
    int32_t expect;
    bool exact;      // expect is the value itself, not just its sign
    bool mirrored;   // swapping the sides negates the sign
};

TEST_F(KeyTest, KeyCompareByType) {
    const std::vector<CompareCase> cases = {
        {"strings equal", 0, str("abc"), str("abc"), 0, true, true},
        {"string shorter first", 0, str("ab"), str("abc"), -1, false, true},
        {"empty string first", 0, str(""), str("a"), -1, false, true},
        {"strings by first difference", 0, str("abd"), str("abcz"), 1, false, true},
        {"string bytes unsigned", 0, str("a\xff"), str("a\x01"), 1, false, true},
        {"string case matters", 0, str("ABC"), str("abc"), -1, false, true},
        {"case-blind equal", 1, str("abc"), str("ABC"), 0, true, true},
        {"case-blind mixed", 1, str("Ab"), str("aB"), 0, true, true},
        {"underscore before small letter", 1, str("_"), str("a"), -1, false, true},
        {"underscore before capital", 1, str("_"), str("A"), -1, false, true},
        {"bracket before capital Z", 1, str("["), str("Z"), -1, false, true},
        {"case-blind shorter first", 1, str("a"), str("AB"), -1, false, true},
        {"counted empty first", 2, counted(""), counted("\x01"), -1, false, true},
        {"counted shorter first", 2, counted("ab"), counted("abc"), -1, false, true},
        {"counted content before length", 2, counted("b"), counted("abc"), 1, false, true},
        {"counted zeros compared", 2, counted(std::string("\0\x01", 2)), counted(std::string("\0\x02", 2)), -1, false, true},
        {"counted equal", 2, counted("xy"), counted("xy"), 0, true, true},
        {"int32 difference as is", 3, i32(5), i32(-3), 8, true, true},
        {"int32 difference negative", 3, i32(-3), i32(5), -8, true, true},
        {"int32 difference wraps", 3, i32(I32Max), i32(-1), I32Min, true, false},
        {"int16 sign-extended", 4, i16(100), i16(-100), 200, true, true},
        {"int16 extremes", 4, i16(-32768), i16(32767), -65535, true, true},
        {"int32 sign only", 5, i32(1000000), i32(1), 1, true, true},
        {"int32 sign of wrapped difference", 5, i32(I32Max), i32(-1), -1, true, false},
        {"int32 equal", 5, i32(-4), i32(-4), 0, true, true},
        {"float greater", 6, f32(1.5f), f32(1.0f), 1, true, true},
        {"float smallest step", 6, f32(std::nextafter(1.0f, 2.0f)), f32(1.0f), 1, true, true},
        {"float zeros equal", 6, f32(-0.0f), f32(0.0f), 0, true, true},
        {"float NaN first", 6, f32(FloatNaN), f32(1.0f), -1, true, false},
        {"float NaN second", 6, f32(1.0f), f32(FloatNaN), -1, true, false},
        {"float infinities differ by NaN", 6, f32(FloatInf), f32(FloatInf), -1, true, false},
        {"double beyond float precision", 7, f64(1.0), f64(1.0 + 1e-12), -1, true, true},
        {"double NaN", 7, f64(DoubleNaN), f64(-5.0), -1, true, false},
        {"double equal", 7, f64(2.5), f64(2.5), 0, true, true},
        {"six bytes by last", 9, Bytes{0, 0, 0, 0, 0, 1}, Bytes{0, 0, 0, 0, 1, 0}, -1, false, true},
        {"six bytes unsigned", 9, Bytes{0xFF, 0, 0, 0, 0, 0}, Bytes{0x01, 9, 9, 9, 9, 9}, 1, false, true},
        {"six bytes equal", 9, Bytes{1, 2, 3, 4, 5, 6}, Bytes{1, 2, 3, 4, 5, 6}, 0, true, true},
        {"uint16 unsigned", 10, u16(65535), u16(1), 1, true, true},
        {"uint16 equal", 10, u16(7), u16(7), 0, true, true},
        {"fields16 f1 decides first", 16, fields16(2, 0, 0, 0, 0), fields16(1, 9, 9, 9, 9), 1, true, true},
        {"fields16 f1 unsigned", 16, fields16(65535, 0, 0, 0, 0), fields16(1, 0, 0, 0, 0), 1, true, true},
        {"fields16 f2 wraps", 16, fields16(1, 0x7FFFFFFF, 0, 0, 0), fields16(1, 0x80000000u, 0, 0, 0), -1, true, true},
        {"fields16 f3", 16, fields16(1, 2, 3, 0, 0), fields16(1, 2, 4, 0, 0), -1, true, true},
        {"fields16 f4", 16, fields16(1, 2, 3, 5, 0), fields16(1, 2, 3, 4, 9), 1, true, true},
        {"fields16 f5 last", 16, fields16(1, 2, 3, 4, 5), fields16(1, 2, 3, 4, 6), -1, true, true},
        {"fields16 length byte ignored", 16,
         [] { Bytes k = fields16(1, 2, 3, 4, 5); k[0] = 200; return k; }(),
         fields16(1, 2, 3, 4, 5), 0, true, true},
        {"fields17 f6 signed", 17, fields17(1, 2, 3, 4, 5, -1), fields17(1, 2, 3, 4, 5, 1), -1, true, true},
        {"fields17 f5 before f6", 17, fields17(1, 2, 3, 4, 6, -9), fields17(1, 2, 3, 4, 5, 9), 1, true, true},
        {"counted 18", 18, counted("ab"), counted("abc"), -1, false, true},
        {"counted 19", 19, counted("b"), counted("abc"), 1, false, true},
        {"counted 20", 20, counted("same"), counted("same"), 0, true, true},
    };
    for (const CompareCase& c : cases) {
        SCOPED_TRACE(c.name);
        arm_error_fields();
        const int32_t r = cmp(c.type, c.a, c.b);
        if (c.exact) {
            EXPECT_EQ(r, c.expect);
        } else {
            EXPECT_EQ(sign(r), c.expect);
        }
        if (c.mirrored) {
            EXPECT_EQ(sign(cmp(c.type, c.b, c.a)), -sign(c.expect));
        }
        expect_error_fields_untouched();
    }
}

TEST_F(KeyTest, KeyCompareMasksTheTypeAndReadsNullAsZeroKey) {
    EXPECT_EQ(cmp(32 + 3, i32(5), i32(-3)), 8);
    EXPECT_EQ(cmp(64 + 5, i32(5), i32(-3)), 1);
    EXPECT_EQ(cikeycmp(block.get(), 1, 0, nullptr, str("").data()), 0);
    EXPECT_LT(cikeycmp(block.get(), 1, 0, nullptr, str("a").data()), 0);
    EXPECT_EQ(cikeycmp(block.get(), 1, 3, nullptr, i32(5).data()), -5);
    EXPECT_GT(cikeycmp(block.get(), 1, 2, counted("x").data(), nullptr), 0);
}

// Model orders for the types whose order is a plain total order.
int model_compare(uint8_t type, const Bytes& a, const Bytes& b) {
    auto text = [](const Bytes& k, size_t from, size_t n) {
        return std::string(reinterpret_cast<const char*>(k.data()) + from, n);
    };
    switch (type) {
    case 0: return sign(text(a, 0, a.size() - 1).compare(text(b, 0, b.size() - 1)));
    case 1: {
        auto lower = [](std::string s) {
            for (char& c : s)
                if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            return s;
        };
        return sign(lower(text(a, 0, a.size() - 1)).compare(lower(text(b, 0, b.size() - 1))));
    }
    case 2: return sign(text(a, 1, a[0]).compare(text(b, 1, b[0])));
    case 4: {
        int16_t x, y;
        std::memcpy(&x, a.data(), 2);
        std::memcpy(&y, b.data(), 2);
        return sign(x < y ? -1 : (x > y ? 1 : 0));
    }
    case 10: {
        uint16_t x, y;
        std::memcpy(&x, a.data(), 2);
        std::memcpy(&y, b.data(), 2);
        return x < y ? -1 : (x > y ? 1 : 0);
    }
    default: return 0;
    }
}

Bytes random_text(std::mt19937& rng, const std::string& alphabet, size_t max_len) {
    std::string s(std::uniform_int_distribution<size_t>(0, max_len)(rng), ' ');
    for (char& c : s) c = alphabet[std::uniform_int_distribution<size_t>(0, alphabet.size() - 1)(rng)];
    return Bytes(s.begin(), s.end());
}

TEST_F(KeyTest, KeyCompareAgreesWithModelOnRandomKeys) {
    const uint32_t seed = test_seed();
    std::printf("KeyCompareAgreesWithModelOnRandomKeys seed %u\n", seed);
    std::mt19937 rng(seed);
    const std::string alphabet = std::string("aAbBzZ_[@\x01\xff", 11);
    auto make = [&](uint8_t type) {
        switch (type) {
        case 0:
        case 1: {
            Bytes k = random_text(rng, alphabet, 4);
            k.push_back(0);
            return k;
        }
        case 2: {
            return with_length_byte(random_text(rng, alphabet + std::string(1, '\0'), 4));
        }
        default: return raw(static_cast<uint16_t>(rng()));
        }
    };
    for (uint8_t type : {0, 1, 2, 4, 10}) {
        for (int i = 0; i < 3000; ++i) {
            const Bytes a = make(type);
            const Bytes b = make(type);
            ASSERT_EQ(sign(cmp(type, a, b)), model_compare(type, a, b))
                << "type " << int(type) << " seed " << seed;
        }
    }
}

// ---- Compound keys -----------------------------------------------------------

struct CompoundCase {
    const char* name;
    std::vector<KXSEGMENT> segments;
    Bytes a;
    Bytes b;
    int expect;
};

TEST_F(KeyTest, KeyCompareCompoundSegmentBySegment) {
    const auto asc_str_desc_int = segment_list({0, 3}, {false, true});
    const std::vector<CompoundCase> cases = {
        {"descending segment inverts", asc_str_desc_int, compound({str("A"), i32(2)}),
         compound({str("A"), i32(1)}), -1},
        {"descending segment with wrapping difference", asc_str_desc_int,
         compound({str("A"), i32(-1)}), compound({str("A"), i32(1)}), 1},
        {"first segment decides", asc_str_desc_int, compound({str("B"), i32(1)}),
         compound({str("A"), i32(9)}), 1},
        {"key ending early equals a longer key", asc_str_desc_int, compound({str("A")}),
         compound({str("A"), i32(5)}), 0},
        {"key ending early still differs in what it has", asc_str_desc_int, compound({str("A")}),
         compound({str("B"), i32(5)}), -1},
        {"empty compound key equals every key", asc_str_desc_int, compound({}),
         compound({str("B"), i32(5)}), 0},
        {"empty segment list", segment_list({}), compound({str("A")}), compound({str("B")}), 0},
        {"equal keys", asc_str_desc_int, compound({str("x"), i32(3)}), compound({str("x"), i32(3)}), 0},
        {"descending counted, ascending int16", segment_list({2, 4}, {true, false}),
         compound({counted("ab"), i16(1)}), compound({counted("abc"), i16(0)}), 1},
        {"third segment decides", segment_list({1, 10, 9}),
         compound({str("q"), u16(1), Bytes{0, 0, 0, 0, 0, 2}}),
         compound({str("Q"), u16(1), Bytes{0, 0, 0, 0, 0, 1}}), 1},
        {"fields segment", segment_list({16, 0}), compound({fields16(1, 2, 3, 4, 5), str("b")}),
         compound({fields16(1, 2, 3, 4, 5), str("a")}), 1},
        {"descending float", segment_list({6}, {true}), compound({f32(1.0f)}), compound({f32(2.0f)}), 1},
        // A string whose terminator lies beyond the length byte ends there.
        {"string cut by the length byte", segment_list({0, 3}),
         Bytes{2, 'a', 'b', 'c', 0}, compound({str("ab"), i32(0)}), 0},
        // A fixed-width value cut by the length byte reads zeros for the rest.
        {"int cut by the length byte", segment_list({0, 3}), Bytes{4, 'a', 0, 0x12, 0x34},
         Bytes{6, 'a', 0, 0x12, 0x34, 0, 0}, 0},
        {"int cut by the length byte differs", segment_list({0, 3}), Bytes{4, 'a', 0, 0x12, 0x34},
         Bytes{6, 'a', 0, 0x12, 0x35, 0, 0}, -1},
    };
    for (const CompoundCase& c : cases) {
        SCOPED_TRACE(c.name);
        set_root(5, 8, &c.segments);
        arm_error_fields();
        EXPECT_EQ(sign(cmp(8, c.a, c.b, 5)), c.expect);
        EXPECT_EQ(sign(cmp(8, c.b, c.a, 5)), -c.expect);
        expect_error_fields_untouched();
    }
}

TEST_F(KeyTest, KeyCompareReportsNonKeyTypes) {
    for (int t = 0; t < 32; ++t) {
        const auto type = static_cast<uint8_t>(t);
        if (kx::is_key_type(type)) continue;
        SCOPED_TRACE(t);
        arm_error_fields();
        EXPECT_EQ(cmp(type, str("a"), str("b"), 7), 0);
        EXPECT_EQ(int32_t{block->root}, 7);
        EXPECT_EQ(int32_t{block->last_result}, -1);
        EXPECT_EQ(int32_t{block->deferred_error}, 1);
    }
    // A segment of a non-key type, or a compound segment, is reported when
    // the comparison reaches it, not before.
    for (uint8_t bad : {12, 8, 25}) {
        SCOPED_TRACE(int(bad));
        const auto segments = segment_list({0, bad});
        set_root(9, 8, &segments);
        arm_error_fields();
        EXPECT_LT(cmp(8, compound({str("A"), i32(1)}), compound({str("B"), i32(1)}), 9), 0);
        expect_error_fields_untouched();
        EXPECT_EQ(cmp(8, compound({str("A"), i32(1)}), compound({str("A"), i32(2)}), 9), 0);
        EXPECT_EQ(int32_t{block->root}, 9);
        EXPECT_EQ(int32_t{block->last_result}, -1);
        EXPECT_EQ(int32_t{block->deferred_error}, 1);
    }
}

TEST_F(KeyTest, KeyCompareCompoundStopsAtTheSegmentLimit) {
    // A segment list without an end mark: the walk compares at most
    // CompoundSegmentLimit segments.
    std::vector<KXSEGMENT> unended(300);
    for (KXSEGMENT& s : unended) s.key_type = 0;
    set_root(6, 8, &unended);
    Bytes empties(256, 0);  // 255 empty strings
    empties[0] = 255;
    Bytes last_compared = empties;
    last_compared[kx::CompoundSegmentLimit] = 'x';  // segment 243 of 243
    Bytes past_limit = empties;
    past_limit[kx::CompoundSegmentLimit + 1] = 'x';  // segment 244
    EXPECT_EQ(cmp(8, empties, empties, 6), 0);
    EXPECT_LT(cmp(8, empties, last_compared, 6), 0);
    EXPECT_EQ(cmp(8, empties, past_limit, 6), 0);
}

// ---- Successor keys ------------------------------------------------------

struct SuccessorCase {
    const char* name;
    uint8_t type;
    std::vector<KXSEGMENT> segments;  // compound keys only
    Bytes key;
    Bytes expect;
};

Bytes padded_string(const std::string& head, size_t total_key_bytes, size_t before) {
    // A string segment of `head` followed by 0xFF bytes up to the point where
    // the whole compound key (length byte included) has total_key_bytes.
    std::string s = head;
    s.append(total_key_bytes - 1 - before - head.size() - 1, '\xff');
    return str(s);
}

TEST_F(KeyTest, KeySuccessorByType) {
    const auto desc_str = segment_list({0}, {true});
    const auto int_then_desc_str = segment_list({3, 0}, {false, true});
    const auto str_then_desc_int = segment_list({0, 3}, {false, true});
    const auto desc_blind = segment_list({1}, {true});
    const auto desc_counted = segment_list({2}, {true});
    const auto desc_fields = segment_list({17}, {true});
    const auto desc_bytes = segment_list({9}, {true});
    Bytes long_string(255, 'a');  // 256 bytes with its terminator: full buffer
    const std::vector<SuccessorCase> cases = {
        {"string grows by 0x01", 0, {}, str("ab"), str("ab\x01")},
        {"empty string", 0, {}, str(""), str("\x01")},
        {"case-blind string", 1, {}, str("Ab"), str("Ab\x01")},
        {"string filling the buffer", 0, {}, str(std::string(255, 'a')), str(std::string(255, 'a'))},
        {"string one short of the buffer", 0, {}, str(std::string(254, 'a')),
         str(std::string(254, 'a') + "\x01")},
        {"counted grows by a zero", 2, {}, counted("ab"), counted(std::string("ab\0", 3))},
        {"empty counted", 2, {}, counted(""), counted(std::string(1, '\0'))},
        {"full counted", 2, {}, counted(std::string(255, 'z')), counted(std::string(255, 'z'))},
        {"counted 18", 18, {}, counted("q"), counted(std::string("q\0", 2))},
        {"counted 20", 20, {}, counted(""), counted(std::string(1, '\0'))},
        {"int32 difference", 3, {}, i32(-1), i32(0)},
        {"int32 difference at its largest", 3, {}, i32(I32Max), i32(I32Max)},
        {"int32", 5, {}, i32(7), i32(8)},
        {"int32 at its largest", 5, {}, i32(I32Max), i32(I32Max)},
        {"int16", 4, {}, i16(-1), i16(0)},
        {"int16 at its largest", 4, {}, i16(32767), i16(32767)},
        {"uint16", 10, {}, u16(7), u16(8)},
        {"uint16 at its largest", 10, {}, u16(65535), u16(65535)},
        {"float", 6, {}, f32(1.5f), f32(2.5f)},
        {"double", 7, {}, f64(-0.5), f64(0.5)},
        {"six bytes carry", 9, {}, Bytes{0, 0, 0, 0, 0, 0xFF}, Bytes{0, 0, 0, 0, 1, 0}},
        {"six bytes at their largest", 9, {}, Bytes(6, 0xFF), Bytes(6, 0xFF)},
        {"fields16 f5", 16, {}, fields16(1, 2, 3, 4, 5), fields16(1, 2, 3, 4, 6)},
        {"fields16 carry into f4", 16, {}, fields16(1, 2, 3, 4, 65535), fields16(1, 2, 3, 5, 0)},
        {"fields16 f4 wraps", 16, {}, fields16(1, 2, 3, 0xFFFFFFFF, 65535), fields16(1, 2, 3, 0, 0)},
        {"fields17 f6", 17, {}, fields17(1, 2, 3, 4, 5, -1), fields17(1, 2, 3, 4, 5, 0)},
        {"fields17 carry into f5", 17, {}, fields17(1, 2, 3, 4, 5, 32767), fields17(1, 2, 3, 4, 6, -32768)},
        {"fields17 carry into f4", 17, {}, fields17(1, 2, 3, 4, 65535, 32767),
         fields17(1, 2, 3, 5, 0, -32768)},
        {"compound descending int goes down", 8, str_then_desc_int, compound({str("A"), i32(5)}),
         compound({str("A"), i32(4)})},
        {"compound descending int at its smallest", 8, str_then_desc_int,
         compound({str("A"), i32(I32Min)}), compound({str("A"), i32(I32Min)})},
        {"compound ending early changes its last segment", 8, str_then_desc_int, compound({str("A")}),
         compound({str("A\x01")})},
        {"compound descending string drops a final 0x01", 8, int_then_desc_str,
         compound({i32(1), str("ab\x01")}), compound({i32(1), str("ab")})},
        {"compound descending string lowers and pads", 8, int_then_desc_str,
         compound({i32(1), str("abc")}), compound({i32(1), padded_string("abb", 242, 4)})},
        {"compound descending empty string", 8, int_then_desc_str, compound({i32(1), str("")}),
         compound({i32(1), str("")})},
        {"compound descending case-blind below '['", 8, desc_blind, compound({str("a[")}),
         compound({padded_string("a@", 242, 0)})},
        {"compound descending case-blind capital", 8, desc_blind, compound({str("aC")}),
         compound({padded_string("ab", 242, 0)})},
        {"compound descending string alone", 8, desc_str, compound({str("b")}),
         compound({padded_string("a", 242, 0)})},
        {"compound descending counted lowers and pads", 8, desc_counted, compound({counted("ab")}),
         compound({counted("aa" + std::string(238, '\xff'))})},
        {"compound descending counted drops a final zero", 8, desc_counted,
         compound({counted(std::string("ab\0", 3))}), compound({counted("ab")})},
        {"compound descending fields borrow", 8, desc_fields, compound({fields17(1, 2, 3, 4, 0, -32768)}),
         compound({fields17(1, 2, 3, 3, 65535, 32767)})},
        {"compound descending six bytes borrow", 8, desc_bytes, compound({Bytes{0, 0, 0, 0, 1, 0}}),
         compound({Bytes{0, 0, 0, 0, 0, 0xFF}})},
        {"compound with no segments", 8, segment_list({}), compound({str("A")}), compound({str("A")})},
        {"compound ascending string at the length limit", 8, segment_list({0}),
         compound({str(std::string(254, 'k'))}), compound({str(std::string(254, 'k'))})},
        {"non-key type", 12, {}, str("abc"), str("abc")},
    };
    for (uint8_t flag : {1, 0}) {
        set_file_order(flag);
        for (const SuccessorCase& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (flag == 1 ? " (host order file)" : " (foreign file)"));
            set_root(12, c.type, c.type == 8 ? &c.segments : nullptr);
            Bytes buf = in_buffer(c.key);
            kx::convkey(block.get(), 12, buf.data(), c.type, 1, flag);
            kx::successor_key(block.get(), 12, c.type, buf.data());
            kx::convkey(block.get(), 12, buf.data(), c.type, flag, 1);
            EXPECT_EQ(Bytes(buf.begin(), buf.begin() + c.expect.size()), c.expect);
        }
    }
}

// Random keys of one shape for the successor property test.  `last_*`
// describe the value the successor changes, for the saturation oracle.
struct Sample {
    Bytes key;
    uint8_t last_type;
    bool last_descending;
    Bytes last_value;
};

class KeyGen {
public:
    explicit KeyGen(uint32_t seed) : rng_(seed) {}

    Bytes value(uint8_t type) {
        switch (type) {
        case 0:
        case 1: return str(text("\x01\x02@AZ[_abz\xff", 3));
        case 2:
        case 18:
        case 19:
        case 20: return counted(text(std::string("\0\x01\x7f\xfe\xff", 5), 3));
        case 3:
        case 5: return i32(pick<int32_t>({I32Min, I32Min + 1, -2, -1, 0, 1, 2, I32Max - 1, I32Max}));
        case 4: return i16(pick<int16_t>({-32768, -32767, -1, 0, 1, 32766, 32767}));
        case 10: return u16(pick<uint16_t>({0, 1, 2, 65534, 65535}));
        case 9: {
            Bytes b(6);
            for (uint8_t& v : b) v = pick<uint8_t>({0, 1, 0xFE, 0xFF});
            return b;
        }
        case 16:
        case 17: {
            auto f16 = [&] { return pick<uint16_t>({0, 1, 65534, 65535}); };
            auto f32v = [&] { return pick<uint32_t>({0, 1, 0x7FFFFFFF, 0x80000000u, 0xFFFFFFFF}); };
            const uint16_t f1 = f16();
            const uint32_t f2 = f32v(), f3 = f32v(), f4 = f32v();
            const uint16_t f5 = f16();
            if (type == 16) return fields16(f1, f2, f3, f4, f5);
            return fields17(f1, f2, f3, f4, f5, pick<int16_t>({-32768, -1, 0, 1, 32767}));
        }
        default: return {};
        }
    }

    // A key of the type; for a compound key, between one segment and all.
    Sample key(uint8_t type, const std::vector<KXSEGMENT>& segments) {
        if (type != 8) {
            Bytes v = value(type);
            return {v, type, false, v};
        }
        const size_t count = segments.size() - 1;
        const size_t present = std::uniform_int_distribution<size_t>(1, count)(rng_);
        Sample s{{}, 0, false, {}};
        Bytes body;
        for (size_t i = 0; i < present; ++i) {
            s.last_value = value(segments[i].key_type);
            s.last_type = segments[i].key_type;
            s.last_descending = segments[i].descending != 0;
            body = cat({body, s.last_value});
        }
        s.key = with_length_byte(body);
        return s;
    }

private:
    std::string text(const std::string& alphabet, size_t max_len) {
        std::string s(std::uniform_int_distribution<size_t>(0, max_len)(rng_), ' ');
        for (char& c : s) c = alphabet[std::uniform_int_distribution<size_t>(0, alphabet.size() - 1)(rng_)];
        return s;
    }
    template <typename T>
    T pick(std::initializer_list<T> values) {
        return *(values.begin() + std::uniform_int_distribution<size_t>(0, values.size() - 1)(rng_));
    }
    std::mt19937 rng_;
};

// True when no key moves one step in the direction asked: the value is
// already at the end of its type's order.
bool at_end_of_order(uint8_t type, bool down, const Bytes& v) {
    auto all = [&](uint8_t x) { return std::all_of(v.begin(), v.end(), [x](uint8_t b) { return b == x; }); };
    int32_t i32v = 0;
    int16_t i16v = 0;
    uint16_t u16v = 0;
    if (v.size() >= 4) std::memcpy(&i32v, v.data(), 4);
    if (v.size() >= 2) std::memcpy(&i16v, v.data(), 2);
    if (v.size() >= 2) std::memcpy(&u16v, v.data(), 2);
    switch (type) {
    case 3:
    case 5: return i32v == (down ? I32Min : I32Max);
    case 4: return i16v == (down ? -32768 : 32767);
    case 10: return u16v == (down ? 0 : 65535);
    case 9: return all(down ? 0x00 : 0xFF);
    case 0:
    case 1: return down && v.size() == 1;
    case 2:
    case 18:
    case 19:
    case 20: return down && v[0] == 0;
    default: return false;
    }
}

struct SuccessorShape {
    const char* name;
    uint8_t type;
    std::vector<KXSEGMENT> segments;
};

TEST_F(KeyTest, KeySuccessorIsTheNextKeyAmongRandomKeys) {
    const uint32_t seed = test_seed();
    std::printf("KeySuccessorIsTheNextKeyAmongRandomKeys seed %u\n", seed);
    KeyGen gen(seed);
    std::vector<SuccessorShape> shapes;
    for (uint8_t t : {0, 1, 2, 3, 4, 5, 9, 10, 16, 17, 18, 19, 20}) shapes.push_back({"plain", t, {}});
    shapes.push_back({"string, descending int", 8, segment_list({0, 3}, {false, true})});
    shapes.push_back({"int, descending string", 8, segment_list({5, 0}, {false, true})});
    shapes.push_back({"descending case-blind", 8, segment_list({1}, {true})});
    shapes.push_back({"descending counted, int16", 8, segment_list({2, 4}, {true, false})});
    shapes.push_back({"uint16, descending uint16", 8, segment_list({10, 10}, {false, true})});
    shapes.push_back({"descending six bytes", 8, segment_list({9}, {true})});
    shapes.push_back({"descending fields16", 8, segment_list({16}, {true})});
    shapes.push_back({"fields17, counted 19", 8, segment_list({17, 19})});
    shapes.push_back({"counted 18, descending int32", 8, segment_list({18, 5}, {false, true})});

    for (const SuccessorShape& shape : shapes) {
        SCOPED_TRACE(std::string(shape.name) + " type " + std::to_string(shape.type));
        set_root(20, shape.type, shape.type == 8 ? &shape.segments : nullptr);
        std::vector<Bytes> others;
        for (int i = 0; i < 600; ++i) others.push_back(gen.key(shape.type, shape.segments).key);
        for (int i = 0; i < 150; ++i) {
            const Sample k = gen.key(shape.type, shape.segments);
            // The successor, computed in a host-order file and in a foreign one.
            Bytes results[2];
            for (uint8_t flag : {1, 0}) {
                set_file_order(flag);
                Bytes buf = in_buffer(k.key);
                kx::convkey(block.get(), 20, buf.data(), shape.type, 1, flag);
                kx::successor_key(block.get(), 20, shape.type, buf.data());
                kx::convkey(block.get(), 20, buf.data(), shape.type, flag, 1);
                results[flag] = buf;
            }
            ASSERT_EQ(results[0], results[1]) << "seed " << seed;
            const Bytes& s = results[1];
            const int32_t up = cikeycmp(block.get(), 20, shape.type, s.data(), k.key.data());
            if (up == 0) {
                ASSERT_TRUE(at_end_of_order(k.last_type, k.last_descending, k.last_value))
                    << "successor equals a key that has a next one; seed " << seed;
                continue;
            }
            ASSERT_GT(up, 0) << "seed " << seed;
            for (const Bytes& x : others) {
                const bool above_k = cikeycmp(block.get(), 20, shape.type, x.data(), k.key.data()) > 0;
                const bool below_s = cikeycmp(block.get(), 20, shape.type, x.data(), s.data()) < 0;
                ASSERT_FALSE(above_k && below_s) << "a key lies between k and its successor; seed " << seed;
            }
        }
    }
}

// ---- Entry order ---------------------------------------------------------

struct Entry {
    uint8_t root;
    Bytes key;  // host order
    uint32_t rec;
    uint8_t piece;
};

// The key in the file's order for a flag, turned here by hand for the roots
// of the entry tests: root 46 strings, root 48 int32, root 30 compound
// (string, descending int32).
Bytes file_order_key(const Entry& e, uint8_t flag) {
    if (flag == 1 || e.root == 46) return e.key;
    if (e.root == 48) return reversed(e.key);
    Bytes k = e.key;
    const size_t int_at = k.size() - 4;
    std::reverse(k.begin() + static_cast<std::ptrdiff_t>(int_at), k.end());
    return k;
}

class KeyEntryOrder : public KeyTest {
protected:
    void SetUp() override {
        set_root(46, 0);
        set_root(48, 5);
        set_root(30, 8, &segments_);
    }
    int order(const Entry& a, const Entry& b, uint8_t flag) {
        set_file_order(flag);
        const Bytes ka = in_buffer(file_order_key(a, flag), 0xCC);
        const Bytes kb = in_buffer(file_order_key(b, flag), 0xCC);
        return kx::entry_compare(block.get(), a.root, ka.data(), a.rec, a.piece, b.root, kb.data(),
                                 b.rec, b.piece, true);
    }
    std::vector<KXSEGMENT> segments_ = segment_list({0, 5}, {false, true});
};

TEST_F(KeyEntryOrder, KeyEntryOrderFieldsInTurn) {
    struct Case {
        const char* name;
        Entry a, b;
        int expect;
    };
    const std::vector<Case> cases = {
        {"root first, whatever the keys", {46, str("zzz"), 9, 9}, {48, i32(I32Min), 0, 0}, -1},
        {"key before record value", {48, i32(1), 100, 0}, {48, i32(256), 1, 0}, -1},
        {"key byte order matters", {48, i32(65536), 0, 0}, {48, i32(256), 0, 0}, 1},
        {"record value", {46, str("k"), 1, 5}, {46, str("k"), 2, 0}, -1},
        {"record value by wrapping difference", {46, str("k"), 0x7FFFFFFF, 0}, {46, str("k"), 0x80000000u, 0}, -1},
        {"record value -1 before 0", {46, str("k"), 0xFFFFFFFF, 0}, {46, str("k"), 0, 0}, -1},
        {"piece number", {46, str("k"), 3, 1}, {46, str("k"), 3, 2}, -1},
        {"piece bit 7 ignored", {46, str("k"), 3, 0x81}, {46, str("k"), 3, 0x01}, 0},
        {"piece 127 after 0x80", {46, str("k"), 3, 0x7F}, {46, str("k"), 3, 0x80}, 1},
        {"compound key in file order", {30, compound({str("a"), i32(256)}), 0, 0},
         {30, compound({str("a"), i32(1)}), 0, 0}, -1},
        {"same entry", {30, compound({str("a"), i32(7)}), 4, 2}, {30, compound({str("a"), i32(7)}), 4, 0x82}, 0},
    };
    for (uint8_t flag : {1, 0}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (flag == 1 ? " (host order file)" : " (foreign file)"));
            EXPECT_EQ(sign(order(c.a, c.b, flag)), c.expect);
            EXPECT_EQ(sign(order(c.b, c.a, flag)), -c.expect);
        }
    }
}

TEST_F(KeyEntryOrder, KeyEntryOrderAgreesWithModel) {
    const uint32_t seed = test_seed();
    std::printf("KeyEntryOrderAgreesWithModel seed %u\n", seed);
    std::mt19937 rng(seed);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    auto random_entry = [&]() {
        Entry e{};
        const int which = pick(0, 2);
        e.root = which == 0 ? 46 : (which == 1 ? 48 : 30);
        std::string s(static_cast<size_t>(pick(0, 2)), 'a');
        for (char& c : s) c = static_cast<char>('a' + pick(0, 2));
        const int32_t v = pick(-3, 3) * 300;  // several byte positions in use
        if (e.root == 46) e.key = str(s);
        else if (e.root == 48) e.key = i32(v);
        else e.key = compound({str(s), i32(v)});
        e.rec = static_cast<uint32_t>(pick(0, 3));
        e.piece = static_cast<uint8_t>(pick(0, 3) | (pick(0, 1) << 7));
        return e;
    };
    // The model: a tuple of plain values, the descending int negated.
    auto model = [](const Entry& e) {
        std::string s;
        int64_t v = 0;
        if (e.root == 46) s = std::string(e.key.begin(), e.key.end() - 1);
        int32_t i = 0;
        if (e.root == 48) {
            std::memcpy(&i, e.key.data(), 4);
            v = i;
        }
        if (e.root == 30) {
            s = std::string(e.key.begin() + 1, e.key.end() - 5);
            std::memcpy(&i, e.key.data() + e.key.size() - 4, 4);
            v = -static_cast<int64_t>(i);
        }
        return std::make_tuple(e.root, s, v, e.rec, e.piece & 0x7F);
    };
    for (int i = 0; i < 20000; ++i) {
        const Entry a = random_entry();
        const Entry b = random_entry();
        const auto ma = model(a);
        const auto mb = model(b);
        const int expect = ma < mb ? -1 : (mb < ma ? 1 : 0);
        for (uint8_t flag : {1, 0})
            ASSERT_EQ(sign(order(a, b, flag)), expect) << "flag " << int(flag) << " seed " << seed;
    }
}

TEST_F(KeyEntryOrder, KeyEntryOrderComparesHostKeysInPlace) {
    // Keys not in file order are compared as they are, whatever the file.
    set_file_order(0);
    const Bytes a = i32(65536), b = i32(256);
    EXPECT_GT(kx::entry_compare(block.get(), 48, a.data(), 0, 0, 48, b.data(), 0, 0, false), 0);
    EXPECT_GT(kx::root_key_compare(block.get(), 48, a.data(), b.data(), false), 0);
    EXPECT_LT(kx::root_key_compare(block.get(), 48, a.data(), b.data(), true), 0);
}

}  // namespace
