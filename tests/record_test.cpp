// Data lists and stored records: the stored layout in both byte orders,
// round trips of every field type, the two checksums, validation codes,
// damaged and cut-short records, and keys built from the caller's variables
// and from stored records.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "btree/keys.h"
#include "frame/result.h"
#include "key_builders.h"
#include "record_builders.h"
#include "records/keyconv.h"
#include "records/record.h"
#include "support/testing.h"

namespace {

using namespace kxtest::keys;
using namespace kxtest::records;
namespace err = kx::err;

constexpr uint8_t Host = 1;
constexpr uint8_t Foreign = 0;

// A fixture run once with a file in host order and once in the other order.
class RecordTest : public ::testing::TestWithParam<uint8_t> {
protected:
    void SetUp() override {
        flag = GetParam();
        if (flag == Host)
            block->byte_order[0] = 1;
        else
            block->byte_order[3] = 1;
        block->check_dlist = 1;
    }
    void set_root(int root, uint8_t type, std::vector<KXSEGMENT>* segments = nullptr) {
        block->root_types[root] = type;
        block->segment_lists[root] = segments != nullptr ? segments->data() : nullptr;
    }
    Bytes pack(const std::vector<KXDLIST>& list, uint8_t tag = 'T') {
        Bytes out(40000);
        const int32_t n =
            kx::packrec(block.get(), out.data(), list.data(), tag, static_cast<int32_t>(out.size()));
        EXPECT_GE(n, kx::EmptyRecordBytes);
        out.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return out;
    }
    // Reads an exact-size copy of the record, so that a read past its end is
    // caught by the address sanitizer.
    int32_t read(const Bytes& rec, std::vector<KXDLIST>& list) {
        Bytes copy(rec);
        return kx::readrec(copy.empty() ? nullptr : copy.data(), list.data(), block.get(),
                           static_cast<int32_t>(copy.size()));
    }
    // The key dsetkey builds for field `index`; empty on failure, with the
    // code in `rc`.
    Bytes variable_key(const std::vector<KXDLIST>& list, int32_t index, int32_t& rc,
                       uint8_t root = 0) {
        Bytes key(kx::KeyOutputBytes, 0xCC);
        rc = dsetkey(block.get(), root, list.data(), index, key.data());
        return rc == 0 ? trimmed(key) : Bytes{};
    }
    Bytes stored_key(const Bytes& rec, const std::vector<KXDLIST>& list, int32_t index, int32_t& rc,
                     bool adding = true) {
        Bytes copy(rec);
        Bytes key(kx::KeyOutputBytes, 0xCC);
        rc = kx::record_field_key(block.get(), copy.data(), static_cast<int32_t>(copy.size()),
                                  list.data(), index, key.data(), adding);
        return rc == 0 ? trimmed(key) : Bytes{};
    }
    // A key buffer cut after the key: keys built here are followed by the
    // 0xCC filler, which must still be there.
    static Bytes trimmed(const Bytes& key) {
        size_t n = key.size();
        while (n > 0 && key[n - 1] == 0xCC) --n;
        return Bytes(key.begin(), key.begin() + static_cast<std::ptrdiff_t>(n));
    }

    kxtest::Block block;
    uint8_t flag = Host;
};

INSTANTIATE_TEST_SUITE_P(RecordOrders, RecordTest, ::testing::Values(Host, Foreign),
                         [](const ::testing::TestParamInfo<uint8_t>& info) {
                             return info.param == Host ? std::string("HostOrder")
                                                       : std::string("ForeignOrder");
                         });

// ---- Stored layout ----------------------------------------------------

TEST_P(RecordTest, RecordStoredLayoutOfEveryFieldType) {
    int32_t l = 0x01020304;
    int16_t h = 0;
    char s[8] = "ab";
    uint8_t b[3] = {9, 8, 7};
    uint8_t m[6] = {1, 2, 3, 4, 5, 6};
    uint16_t u = 0xBEEF;
    double zero = 0.0;
    float f = 1.5f;
    int16_t i = -2;
    double d = -3.5e10;
    const auto list = dlist({plain('L', &l), plain('H', &h), plain('S', s, 8), plain('B', b, 3),
                             plain('M', m), plain('U', &u), plain('X', nullptr), plain('D', &zero),
                             plain('F', &f), plain('I', &i), plain('D', &d)});
    const Bytes rec = pack(list, 0x5A);
    Bytes expected = cat({file16(static_cast<uint16_t>(checkdlist(list.data())), flag),
                          Bytes{0, 0, 0x5A},
                          file16(0, flag), reversed_if(i32(0x01020304), flag),
                          file16(2, flag), str("ab"),
                          file16(3, flag), file16(3, flag), Bytes{9, 8, 7},
                          file16(4, flag), Bytes{1, 2, 3, 4, 5, 6},
                          file16(5, flag), reversed_if(u16(0xBEEF), flag),
                          file16(8, flag), reversed_if(f32(1.5f), flag),
                          file16(9, flag), reversed_if(i16(-2), flag),
                          file16(10, flag), reversed_if(f64(-3.5e10), flag),
                          Bytes{0xFF, 0xFF}});
    reseal(expected, flag);
    EXPECT_EQ(rec, expected);
}

TEST_P(RecordTest, RecordOfEmptyFieldsIsSevenBytes) {
    int32_t l = 0;
    double d = -0.0;  // equals 0.0, so it is left out
    char s[4] = "";
    uint8_t b[4] = {1, 2, 3, 4};
    uint8_t m[6] = {};
    const auto list = dlist({plain('L', &l), plain('D', &d), plain('S', s, 4), plain('B', b, 0),
                             plain('B', b, -5), plain('M', m), plain('X', nullptr)});
    // Tag 0x41 then FF FF: h = 0x82, 0x302, 0x802.
    const Bytes expected = cat({file16(static_cast<uint16_t>(checkdlist(list.data())), flag),
                                file16(0x0802, flag), Bytes{0x41, 0xFF, 0xFF}});
    EXPECT_EQ(pack(list, 0x41), expected);
}

TEST_P(RecordTest, RecordKeyedEmptyFieldsAreStillStored) {
    int32_t l = 0;
    char s[4] = "";
    uint8_t b[2] = {};
    uint8_t m[6] = {};
    const auto list = dlist({keyed('L', 3, 5, &l), keyed('S', 4, 'S', s, 4), keyed('B', 6, 2, b, 0),
                             keyed('X', 7, 8, nullptr), keyed('B', 8, 2, b, -3),
                             keyed('M', 9, 9, m), plain('L', &l)});
    Bytes expected = cat({file16(static_cast<uint16_t>(checkdlist(list.data())), flag),
                          Bytes{0, 0, 'T'},
                          file16(0, flag), Bytes{0, 0, 0, 0},
                          file16(1, flag), Bytes{0},
                          file16(2, flag), Bytes{0, 0},
                          file16(3, flag),
                          file16(4, flag), Bytes{0, 0},
                          file16(5, flag), Bytes(6, 0),
                          Bytes{0xFF, 0xFF}});
    reseal(expected, flag);
    EXPECT_EQ(pack(list), expected);
}

TEST_P(RecordTest, RecordNaNIsKeptAndReadBackBitForBit) {
    double d = std::numeric_limits<double>::quiet_NaN();
    float f = -std::numeric_limits<float>::quiet_NaN();
    const auto list = dlist({plain('D', &d), plain('F', &f)});
    const Bytes rec = pack(list);
    ASSERT_EQ(rec.size(), 7u + 2 + 8 + 2 + 4);
    double d2 = 1;
    float f2 = 1;
    auto back = dlist({plain('D', &d2), plain('F', &f2)});
    ASSERT_EQ(read(rec, back), 0);
    EXPECT_EQ(std::memcmp(&d, &d2, 8), 0);
    EXPECT_EQ(std::memcmp(&f, &f2, 4), 0);
}

// ---- Round trips ------------------------------------------------------

// One variable of every field type.
struct Vars {
    uint8_t b[40];
    double d;
    float f;
    int16_t h;
    int16_t i;
    int32_t l;
    uint8_t m[6];
    char s[32];
    uint16_t u;

    std::vector<KXDLIST> list(int16_t b_length) {
        return dlist({plain('B', b, b_length), plain('D', &d), plain('F', &f), plain('H', &h),
                      plain('I', &i), plain('L', &l), plain('M', m), plain('S', s, sizeof s),
                      plain('U', &u)});
    }
};

TEST_P(RecordTest, RecordRoundTripOfRandomValues) {
    const uint32_t seed = test_seed();
    std::printf("RecordRoundTripOfRandomValues seed %u\n", seed);
    std::mt19937 rng(seed);
    auto chance = [&](int n) { return rng() % static_cast<uint32_t>(n) == 0; };
    for (int round = 0; round < 500; ++round) {
        SCOPED_TRACE("seed " + std::to_string(seed) + " round " + std::to_string(round));
        Vars w{};
        const auto b_length = static_cast<int16_t>(chance(3) ? 0 : rng() % 41);
        for (auto& c : w.b) c = static_cast<uint8_t>(rng());
        w.d = chance(3) ? 0.0 : std::ldexp(static_cast<double>(rng()), static_cast<int>(rng() % 80) - 40);
        w.f = chance(3) ? 0.0f : static_cast<float>(static_cast<int32_t>(rng())) / 7.0f;
        w.h = chance(3) ? int16_t{0} : static_cast<int16_t>(rng());
        w.i = chance(3) ? int16_t{0} : static_cast<int16_t>(rng());
        w.l = chance(3) ? 0 : static_cast<int32_t>(rng());
        if (!chance(3))
            for (auto& c : w.m) c = static_cast<uint8_t>(rng());
        const size_t s_length = chance(3) ? 0 : rng() % sizeof w.s;
        for (size_t k = 0; k < s_length; ++k) w.s[k] = static_cast<char>(1 + rng() % 255);
        w.s[s_length] = 0;
        w.u = static_cast<uint16_t>(chance(3) ? 0 : rng());

        const Bytes rec = pack(w.list(b_length));
        Vars r;
        std::memset(&r, 0x5C, sizeof r);
        auto back = r.list(40);
        ASSERT_EQ(read(rec, back), 0);
        if (b_length > 0) {
            EXPECT_EQ(int(back[0].length), b_length);
            EXPECT_EQ(std::memcmp(r.b, w.b, static_cast<size_t>(b_length)), 0);
        } else {
            // Not stored: the variable and its length are left as they were.
            EXPECT_EQ(int(back[0].length), 40);
            EXPECT_EQ(r.b[0], 0x5C);
        }
        EXPECT_EQ(std::memcmp(&r.d, &w.d, 8), 0);
        EXPECT_EQ(std::memcmp(&r.f, &w.f, 4), 0);
        EXPECT_EQ(r.h, w.h);
        EXPECT_EQ(r.i, w.i);
        EXPECT_EQ(r.l, w.l);
        EXPECT_EQ(Bytes(r.m, r.m + 6), Bytes(w.m, w.m + 6));
        EXPECT_STREQ(r.s, w.s);
        EXPECT_EQ(r.u, w.u);
        EXPECT_EQ(block->record_tag, 'T');
    }
}

// ---- Checksums --------------------------------------------------------

TEST(RecordChecksum, RecordDataListChecksumProperties) {
    EXPECT_EQ(checkdlist(nullptr), 0);
    EXPECT_EQ(checkdlist(dlist({}).data()), 0);
    // Worked by hand: ((((0 + 'L') * 2 + 'N') * 2 + 'N') * 2 + 0) * 2.
    EXPECT_EQ(checkdlist(dlist({plain('L', nullptr)}).data()), 2152);
    // Two entries ('X', 255, 'D', 45) reach 64770: a negative 16-bit value.
    const auto x = entry('X', 255, 'D', 0, 45, nullptr);
    EXPECT_EQ(checkdlist(dlist({x, x}).data()), -766);

    int32_t v = 0;
    auto base = dlist({keyed('L', 1, 5, &v, 4), plain('S', nullptr, 10), keyed('B', 2, 2, &v, 3),
                       plain('D', &v), plain('F', &v), keyed('U', 3, 10, &v)});
    const int32_t sum = checkdlist(base.data());
    auto changed = [&](auto change) {
        auto list = base;
        change(list);
        return checkdlist(list.data());
    };
    // Lengths and addresses never count.
    EXPECT_EQ(changed([](auto& l) { l[5].length = 99; }), sum);
    EXPECT_EQ(changed([](auto& l) { l[5].var = nullptr; }), sum);
    // Every counted byte of the last entry does.
    EXPECT_NE(changed([](auto& l) { l[5].root = 4; }), sum);
    EXPECT_NE(changed([](auto& l) { l[5].type = 'H'; }), sum);
    EXPECT_NE(changed([](auto& l) { l[5].key_type = 4; }), sum);
    EXPECT_NE(changed([](auto& l) { l[5].dups = 'U'; }), sum);
    // Four later entries double the sum sixteen times: entries five or more
    // places before the end no longer count; the fourth from the end does.
    EXPECT_EQ(changed([](auto& l) { l[0] = entry('M', 77, 'Z', 1, 200, nullptr); }), sum);
    EXPECT_EQ(changed([](auto& l) { l[1] = entry('Q', 1, 'D', 1, 45, nullptr); }), sum);
    EXPECT_NE(changed([](auto& l) { l[2].root = 9; }), sum);
}

TEST(RecordChecksum, RecordChecksumIsTheDoublingSumOfEveryByte) {
    // The stored record checksum as defined: add each byte, double, keep 16
    // bits, over the whole record.  The library may skip what cannot change
    // the result; every length and value must still agree.
    const auto defined = [](const std::vector<uint8_t>& b) {
        uint32_t h = 0;
        for (uint8_t x : b) h = ((h + x) * 2) & 0xFFFF;
        return static_cast<uint16_t>(h);
    };
    std::mt19937 rng(11);
    for (int len = 0; len <= 80; ++len) {
        for (int fill : {-1, 0x00, 0xFF}) {
            std::vector<uint8_t> b(static_cast<size_t>(len));
            for (auto& x : b) x = static_cast<uint8_t>(fill < 0 ? rng() : static_cast<uint32_t>(fill));
            EXPECT_EQ(kx::record_checksum(b.data(), len), defined(b)) << "length " << len << ", fill " << fill;
        }
    }
}

TEST_P(RecordTest, RecordChecksumChecksOnlyTheLastSevenBytes) {
    char s[64] = "the quick brown fox";
    int16_t h = 0x1234;
    const auto list = dlist({plain('S', s, sizeof s), plain('H', &h)});
    const Bytes rec = pack(list);
    const size_t n = rec.size();
    for (size_t at = 4; at < n; ++at) {
        SCOPED_TRACE("byte " + std::to_string(at));
        Bytes bad = rec;
        bad[at] = static_cast<uint8_t>(bad[at] + 1);
        char s2[64];
        int16_t h2;
        auto back = dlist({plain('S', s2, sizeof s2), plain('H', &h2)});
        const int32_t rc = read(bad, back);
        if (at + 7 >= n) {
            EXPECT_EQ(rc, err::RecordSum);
        } else {
            EXPECT_NE(rc, err::RecordSum);
        }
    }
    // A changed character of the string passes and is delivered.
    Bytes bad = rec;
    bad[7 + 4] = 'Q';
    char s2[64];
    int16_t h2;
    auto back = dlist({plain('S', s2, sizeof s2), plain('H', &h2)});
    ASSERT_EQ(read(bad, back), 0);
    EXPECT_STREQ(s2, "the Quick brown fox");
    // Of the stored checksum only its low 8 bits count.
    const size_t low = flag == Host ? 2 : 3;
    const size_t high = flag == Host ? 3 : 2;
    bad = rec;
    bad[high] ^= 0x5A;
    EXPECT_EQ(read(bad, back), 0);
    bad = rec;
    bad[low] ^= 0x01;
    EXPECT_EQ(read(bad, back), err::RecordSum);
}

TEST_P(RecordTest, RecordDataListChecksumOptionDecidesHowAnotherListReads) {
    int32_t l = 77;
    char s[8] = "abc";
    const Bytes rec = pack(dlist({plain('L', &l), plain('S', s, 8)}));
    int32_t l2 = -1;
    char s2[8] = "zz";
    // Same fields and order, another duplicates byte: another checksum.
    auto other = dlist({entry('L', 'N', 'U', 0, 0, &l2), plain('S', s2, 8)});
    ASSERT_NE(checkdlist(other.data()), checkdlist(dlist({plain('L', &l), plain('S', s, 8)}).data()));

    block->check_dlist = 1;
    EXPECT_EQ(read(rec, other), err::DlistSum);
    EXPECT_EQ(l2, -1);  // nothing was touched
    EXPECT_STREQ(s2, "zz");

    block->check_dlist = 0;
    EXPECT_EQ(read(rec, other), 0);
    EXPECT_EQ(l2, 77);
    EXPECT_STREQ(s2, "abc");

    // Read by index with a shorter list: a stored index beyond it is refused.
    auto shorter = dlist({plain('L', &l2)});
    EXPECT_EQ(read(rec, shorter), err::DlistSum);
}

// ---- Damaged records --------------------------------------------------

struct DamageCase {
    const char* name;
    void (*damage)(Bytes& rec, uint8_t flag);
    bool reseal;
    int32_t expected;
};

// Base record of the damage cases: [0] L, [1] B (2 bytes), [2] H, [3] S.
// Offsets: index 5, L 7; index 11, count 13, bytes 15; index 17, H 19;
// index 21, string 23 "abc" and its zero at 26; end mark 27.
void set_index(Bytes& rec, size_t at, uint16_t index, uint8_t flag) {
    const Bytes b = file16(index, flag);
    rec[at] = b[0];
    rec[at + 1] = b[1];
}

TEST_P(RecordTest, RecordDamagedRecordsGiveTheirCodes) {
    int32_t l = 5;
    uint8_t b[2] = {0xB1, 0xB2};
    int16_t h = 6;
    char s[8] = "abc";
    const Bytes rec = pack(dlist({plain('L', &l), plain('B', b, 2), plain('H', &h), plain('S', s, 8)}));
    ASSERT_EQ(rec.size(), 29u);
    ASSERT_EQ(rec[26], 0);

    const DamageCase cases[] = {
        {"index below the previous", [](Bytes& r, uint8_t f) { set_index(r, 17, 0, f); }, true,
         err::DlistSum},
        {"index repeated", [](Bytes& r, uint8_t f) { set_index(r, 11, 0, f); }, true, err::DlistSum},
        {"index at the field count", [](Bytes& r, uint8_t f) { set_index(r, 21, 4, f); }, true,
         err::DlistSum},
        {"negative index other than the end mark",
         [](Bytes& r, uint8_t f) { set_index(r, 17, 0xFFFE, f); }, true, err::DlistSum},
        {"string without its zero", [](Bytes& r, uint8_t) { r[26] = 'x'; }, true, err::RecordSum},
        {"count running past the end", [](Bytes& r, uint8_t f) { set_index(r, 13, 200, f); }, true,
         err::RecordSum},
        {"count above 32767", [](Bytes& r, uint8_t f) { set_index(r, 13, 0x8001, f); }, true,
         err::RecordSum},
        {"count one past the end", [](Bytes& r, uint8_t f) { set_index(r, 13, 15, f); }, true,
         err::RecordSum},
        {"end mark replaced by a field", [](Bytes& r, uint8_t f) { set_index(r, 27, 3, f); }, true,
         err::DlistSum},
        {"checksum low byte", [](Bytes& r, uint8_t f) { r[f == Host ? 2 : 3] ^= 0x80; }, false,
         err::RecordSum},
        {"bytes after the end mark", [](Bytes& r, uint8_t) { r.insert(r.end(), {1, 2, 3}); }, true,
         0},
        {"count shortened to one", [](Bytes& r, uint8_t f) { set_index(r, 13, 1, f); }, true,
         err::DlistSum},
    };
    for (const DamageCase& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes bad = rec;
        c.damage(bad, flag);
        if (c.reseal) reseal(bad, flag);
        int32_t l2;
        uint8_t b2[40];  // room for any count: a read past the record is the record's fault
        int16_t h2;
        char s2[8];
        auto back = dlist({plain('L', &l2), plain('B', b2, 40), plain('H', &h2), plain('S', s2, 8)});
        EXPECT_EQ(read(bad, back), c.expected);
    }
}

TEST_P(RecordTest, RecordCutShortAtEveryLength) {
    int32_t l = 5;
    uint8_t b[2] = {0xB1, 0xB2};
    int16_t h = 6;
    char s[8] = "abc";
    const Bytes rec = pack(dlist({plain('L', &l), plain('B', b, 2), plain('H', &h), plain('S', s, 8)}));
    for (size_t n = 0; n < rec.size(); ++n) {
        SCOPED_TRACE("length " + std::to_string(n));
        Bytes cut(rec.begin(), rec.begin() + static_cast<std::ptrdiff_t>(n));
        if (n >= 4) reseal(cut, flag);
        int32_t l2;
        uint8_t b2[2];
        int16_t h2;
        char s2[8];
        auto back = dlist({plain('L', &l2), plain('B', b2, 2), plain('H', &h2), plain('S', s2, 8)});
        EXPECT_EQ(read(cut, back), err::RecordSum);
        // A key of the string needs the walk up to the string's zero only.
        back[3].key_type = 0;
        back[3].root = 5;
        Bytes key(kx::KeyOutputBytes);
        EXPECT_EQ(kx::record_field_key(block.get(), cut.empty() ? nullptr : cut.data(),
                                       static_cast<int32_t>(n), back.data(), 3, key.data(), true),
                  n >= 27 ? 0 : err::RecordSum);
    }
}

TEST_P(RecordTest, RecordBytesLargerThanTheEntryDeliverWhatFits) {
    uint8_t b[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    int32_t l = 42;
    const Bytes rec = pack(dlist({plain('B', b, 10), plain('L', &l)}));
    for (int16_t room : {int16_t{4}, int16_t{0}, int16_t{-3}, int16_t{9}}) {
        SCOPED_TRACE(room);
        uint8_t into[16];
        std::memset(into, 0xEE, sizeof into);
        int32_t l2 = 0;
        auto back = dlist({plain('B', into, room), plain('L', &l2)});
        EXPECT_EQ(read(rec, back), err::BufferSmall);
        EXPECT_EQ(int(back[0].length), 10);
        const size_t kept = room > 0 ? static_cast<size_t>(room) : 0;
        EXPECT_EQ(Bytes(into, into + kept), Bytes(b, b + kept));
        EXPECT_EQ(into[kept], 0xEE);
        EXPECT_EQ(l2, 42);  // the fields after it are still read
    }
    uint8_t into[10];
    auto exact = dlist({plain('B', into, 10), plain('L', &l)});
    EXPECT_EQ(read(rec, exact), 0);
}

TEST_P(RecordTest, RecordStringsReadWithinTheirEntry) {
    char s[8] = "hello";
    const Bytes rec = pack(dlist({plain('S', s, 8)}));
    struct Case {
        int16_t length;
        const char* expected;  // null: nothing written
    };
    const Case cases[] = {{10, "hello"}, {6, "hello"}, {5, "hell"}, {2, "h"},
                          {1, ""},       {0, nullptr}, {-4, nullptr}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        char into[12];
        std::memset(into, '#', sizeof into);
        auto back = dlist({plain('S', into, c.length)});
        EXPECT_EQ(read(rec, back), 0);
        if (c.expected == nullptr) {
            EXPECT_EQ(into[0], '#');
        } else {
            EXPECT_STREQ(into, c.expected);
            EXPECT_EQ(into[std::strlen(c.expected) + 1], '#');
        }
    }
}

TEST_P(RecordTest, RecordReadClearsAbsentFieldsButNotBytes) {
    Vars zero{};
    const Bytes rec = pack(zero.list(0), 'z');
    ASSERT_EQ(rec.size(), 7u);
    Vars r;
    std::memset(&r, 0x5C, sizeof r);
    auto back = r.list(17);
    ASSERT_EQ(read(rec, back), 0);
    EXPECT_EQ(int(back[0].length), 17);
    EXPECT_EQ(r.b[0], 0x5C);
    EXPECT_EQ(r.d, 0.0);
    EXPECT_EQ(r.f, 0.0f);
    EXPECT_EQ(r.h, 0);
    EXPECT_EQ(r.i, 0);
    EXPECT_EQ(r.l, 0);
    EXPECT_EQ(Bytes(r.m, r.m + 6), Bytes(6, 0));
    EXPECT_STREQ(r.s, "");
    EXPECT_EQ(r.u, 0);
    EXPECT_EQ(block->record_tag, 'z');
}

// ---- packrec ----------------------------------------------------------

TEST_P(RecordTest, RecordPackRefusesEveryBufferTooSmall) {
    Vars w{};
    w.l = 3;
    std::strcpy(w.s, "text");
    std::memset(w.b, 7, sizeof w.b);
    const auto list = w.list(20);
    const Bytes full = pack(list);
    for (size_t size = 0; size <= full.size(); ++size) {
        SCOPED_TRACE(size);
        Bytes out(size);
        const int32_t n = kx::packrec(block.get(), size ? out.data() : nullptr, list.data(), 'T',
                                      static_cast<int32_t>(size));
        if (size < full.size()) {
            EXPECT_EQ(n, err::Fail);
        } else {
            EXPECT_EQ(n, static_cast<int32_t>(full.size()));
            EXPECT_EQ(out, full);
        }
    }
}

TEST_P(RecordTest, RecordPackRefusesStringsLongerThanTheirEntry) {
    char s[4] = {'a', 'b', 'c', 'd'};  // no zero within 4 bytes
    Bytes out(100);
    for (int16_t length : {int16_t{4}, int16_t{0}, int16_t{-1}}) {
        SCOPED_TRACE(length);
        const auto list = dlist({plain('S', s, length)});
        EXPECT_EQ(kx::packrec(block.get(), out.data(), list.data(), 'T', 100), err::StringLength);
    }
    s[3] = 0;
    const auto list = dlist({plain('S', s, 4)});
    EXPECT_EQ(kx::packrec(block.get(), out.data(), list.data(), 'T', 100), 7 + 2 + 4);
}

// ---- Validation -------------------------------------------------------

struct ListCase {
    const char* name;
    KXDLIST field;
    int32_t light;  // dlcheck
    int32_t full;   // dlcheckw
};

TEST(RecordValidation, RecordValidationCodesByEntry) {
    kxtest::Block block;
    block->root_types[3] = 5;
    block->root_types[4] = 0;
    block->root_types[46] = 7;
    static char unterminated[4] = {'a', 'b', 'c', 'd'};
    static char fits[4] = "abc";
    static int32_t v = 0;
    const ListCase cases[] = {
        {"plain field", plain('L', &v), 0, 0},
        {"key type as the root's", keyed('L', 3, 5, &v), 0, 0},
        {"'S' for a root of type 0", keyed('S', 4, 'S', fits, 4), 0, 0},
        {"key type byte 'E'", keyed('L', 3, 'E', &v), 0, 0},
        {"unknown letter", plain('Q', &v), err::FieldType, err::FieldType},
        {"lower-case letter", plain('l', &v), err::FieldType, err::FieldType},
        {"key type not the root's", keyed('L', 3, 4, &v), err::KeyType, err::KeyType},
        {"'S' for a root of another type", keyed('L', 3, 'S', &v), err::KeyType, err::KeyType},
        {"duplicates byte", entry('L', 'N', 'x', 0, 0, &v), err::DupByte, err::DupByte},
        {"root 46", entry('L', 'N', 'N', 0, 46, &v), err::RootNumber, err::RootNumber},
        {"root 46 keyed as the table says", keyed('D', 46, 7, &v), err::RootNumber, err::RootNumber},
        {"root beyond the table, keyed", keyed('L', 200, 5, &v), err::RootNumber, err::RootNumber},
        {"negative length", plain('B', &v, -1), 0, err::Length},
        {"length 31233", plain('B', &v, 31233), 0, err::Length},
        {"length 31232", plain('B', &v, 31232), 0, 0},
        {"keyed length 243", keyed('B', 3, 5, &v, 243), 0, err::Length},
        {"keyed length 242", keyed('B', 3, 5, &v, 242), 0, 0},
        {"'E' key type length 300", keyed('B', 3, 'E', &v, 300), 0, 0},
        {"string without a zero in its entry", plain('S', unterminated, 4), 0, err::StringLength},
        {"string entry of length 0", plain('S', fits, 0), 0, err::StringLength},
        {"string filling its entry", plain('S', fits, 4), 0, 0},
        // The tests run in a fixed order on each entry.
        {"bad letter and duplicates", entry('Q', 'N', 'x', 0, 99, &v), err::FieldType, err::FieldType},
        {"bad key type and duplicates", entry('L', 4, 'x', 0, 3, &v), err::KeyType, err::KeyType},
        {"bad duplicates and root", entry('L', 'N', 'x', 0, 99, &v), err::DupByte, err::DupByte},
        {"bad length and root", entry('L', 'N', 'N', -1, 99, &v), err::RootNumber, err::Length},
        {"bad string and root", entry('S', 'N', 'N', 4, 99, unterminated), err::RootNumber,
         err::StringLength},
    };
    for (const ListCase& c : cases) {
        SCOPED_TRACE(c.name);
        // The entry is checked wherever it stands in a list.
        for (size_t at : {0u, 2u}) {
            std::vector<KXDLIST> fields{plain('H', &v), plain('U', &v)};
            fields.insert(fields.begin() + static_cast<std::ptrdiff_t>(at), c.field);
            const auto list = dlist(fields);
            EXPECT_EQ(kx::dlcheck(block.get(), list.data()), c.light);
            EXPECT_EQ(kx::dlcheckw(block.get(), list.data()), c.full);
        }
    }
}

TEST(RecordValidation, RecordListsStopAtTheEntryLimit) {
    kxtest::Block block;
    block->check_dlist = 1;
    int32_t v = 1;
    // Exactly as many entries as a list may hold, with nothing after them:
    // a walk past them is a read outside the vector.
    std::vector<KXDLIST> unended(kx::ListEntryLimit, plain('L', &v));
    std::vector<KXDLIST> longest(kx::ListEntryLimit - 1, plain('L', &v));
    longest.push_back(end_entry());

    Bytes out(20000);
    Bytes key(kx::KeyOutputBytes);
    EXPECT_EQ(kx::dlcheck(block.get(), unended.data()), err::FieldType);
    EXPECT_EQ(kx::dlcheckw(block.get(), unended.data()), err::FieldType);
    EXPECT_EQ(kx::packrec(block.get(), out.data(), unended.data(), 'T', 20000), err::FieldType);
    EXPECT_EQ(dsetkey(block.get(), 0, unended.data(), 0, key.data()), err::FieldType);
    block->check_dlist = 0;
    EXPECT_EQ(dsetkey(block.get(), 0, unended.data(), 0, key.data()), err::DlistEnd);
    EXPECT_EQ(kx::record_field_key(block.get(), out.data(), 7, unended.data(), 0, key.data(), true),
              err::FieldType);
    EXPECT_EQ(checkdlist(unended.data()),
              checkdlist(dlist(std::vector<KXDLIST>(kx::ListEntryLimit, plain('L', &v))).data()));

    EXPECT_EQ(kx::dlcheckw(block.get(), longest.data()), 0);
    const int32_t n = kx::packrec(block.get(), out.data(), longest.data(), 'T', 20000);
    ASSERT_EQ(n, 7 + 999 * 6);
    EXPECT_EQ(kx::readrec(out.data(), unended.data(), block.get(), n), err::FieldType);
    EXPECT_EQ(kx::readrec(out.data(), longest.data(), block.get(), n), 0);
}

// ---- Keys from variables ----------------------------------------------

struct VariableKeyCase {
    const char* name;
    KXDLIST field;
    Bytes key;
};

TEST_P(RecordTest, RecordKeyFromVariablesByLetter) {
    static int32_t l = -7;
    static float f = 2.5f;
    static double d = -0.125;
    static int16_t h = -300;
    static int16_t i = 12;
    static uint16_t u = 0xFFFE;
    static uint8_t m[6] = {6, 5, 4, 3, 2, 1};
    static char s[16] = "key";
    static char empty[2] = "";
    static uint8_t b[4] = {0, 1, 0, 2};
    const VariableKeyCase cases[] = {
        {"L", keyed('L', 1, 5, &l), i32(-7)},
        {"F", keyed('F', 1, 6, &f), f32(2.5f)},
        {"D", keyed('D', 1, 7, &d), f64(-0.125)},
        {"H", keyed('H', 1, 4, &h), i16(-300)},
        {"I", keyed('I', 1, 4, &i), i16(12)},
        {"U", keyed('U', 1, 10, &u), u16(0xFFFE)},
        {"M", keyed('M', 1, 9, m), Bytes{6, 5, 4, 3, 2, 1}},
        {"S", keyed('S', 1, 0, s, 16), str("key")},
        {"empty S", keyed('S', 1, 0, empty, 2), str("")},
        {"B", keyed('B', 1, 2, b, 4), Bytes{4, 0, 1, 0, 2}},
        {"empty B", keyed('B', 1, 2, b, 0), Bytes{0}},
        {"B of negative length", keyed('B', 1, 2, b, -2), Bytes{0}},
        {"zero L not keyed", plain('L', nullptr), i32(0)},
    };
    block->check_dlist = 0;
    for (const VariableKeyCase& c : cases) {
        SCOPED_TRACE(c.name);
        const auto list = dlist({plain('H', &h), c.field});
        int32_t rc;
        EXPECT_EQ(variable_key(list, 1, rc), c.key);
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(int32_t{block->last_result}, 0);
    }
}

TEST_P(RecordTest, RecordKeyFromVariablesFindsTheFieldByRoot) {
    int32_t a = 1, b = 2, c = 3;
    const auto list = dlist({keyed('L', 4, 5, &a), keyed('L', 9, 5, &b), keyed('L', 9, 5, &c)});
    block->root_types[4] = 5;
    block->root_types[9] = 5;
    int32_t rc;
    EXPECT_EQ(variable_key(list, -1, rc, 9), i32(2));
    EXPECT_EQ(variable_key(list, -5, rc, 4), i32(1));
    EXPECT_EQ(variable_key(list, 2, rc, 4), i32(3));  // a given index wins
    EXPECT_EQ(variable_key(list, -1, rc, 10), Bytes{});
    EXPECT_EQ(rc, err::DlistEnd);
}

struct KeyErrorCase {
    const char* name;
    std::vector<KXDLIST> list;
    int32_t index;
    uint32_t check;
    int32_t expected;
};

TEST_P(RecordTest, RecordKeyFromVariablesErrors) {
    static int32_t v = 1;
    static char s241[300];
    static char s242[300];
    static char unterminated[8] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};
    static uint8_t bytes[300];
    std::memset(s241, 'a', 241);
    s241[241] = 0;
    std::memset(s242, 'a', 242);
    s242[242] = 0;
    block->root_types[3] = 5;
    const KeyErrorCase cases[] = {
        {"the end entry", dlist({plain('L', &v)}), 1, 1, err::DlistEnd},
        {"an index past the end", dlist({plain('L', &v)}), 7, 1, err::DlistEnd},
        {"unknown letter, check off", dlist({plain('Q', &v)}), 0, 0, err::DlistEnd},
        {"unknown letter, check on", dlist({plain('Q', &v)}), 0, 1, err::FieldType},
        {"list fault elsewhere, check on", dlist({plain('L', &v), keyed('L', 3, 4, &v)}), 0, 1,
         err::KeyType},
        {"duplicates byte, check on", dlist({entry('L', 'N', '?', 0, 0, &v)}), 0, 1, err::DupByte},
        {"root 50, check on", dlist({entry('L', 'N', 'N', 0, 50, &v)}), 0, 1, err::RootNumber},
        {"string of 242 characters", dlist({plain('S', s242, 300)}), 0, 1, err::StringLength},
        {"string without a zero in its entry", dlist({plain('S', unterminated, 8)}), 0, 1,
         err::StringLength},
        {"string entry of length 0", dlist({plain('S', s241, 0)}), 0, 1, err::StringLength},
        {"bytes of length 242", dlist({plain('B', bytes, 242)}), 0, 1, err::StringLength},
        {"string of 241 characters", dlist({plain('S', s241, 300)}), 0, 1, 0},
        {"bytes of length 241", dlist({plain('B', bytes, 241)}), 0, 1, 0},
    };
    for (const KeyErrorCase& c : cases) {
        SCOPED_TRACE(c.name);
        block->check_dlist = c.check;
        Bytes key(kx::KeyOutputBytes, 0xCC);
        EXPECT_EQ(dsetkey(block.get(), 0, c.list.data(), c.index, key.data()), c.expected);
        EXPECT_EQ(int32_t{block->last_result}, c.expected);
        if (c.expected != 0) {
            EXPECT_EQ(key, Bytes(kx::KeyOutputBytes, 0xCC));
        }
    }
    Bytes key(kx::KeyOutputBytes);
    EXPECT_EQ(dsetkey(nullptr, 0, cases[0].list.data(), 0, key.data()), err::Arg);
    EXPECT_EQ(dsetkey(block.get(), 0, nullptr, 0, key.data()), err::Arg);
    EXPECT_EQ(dsetkey(block.get(), 0, cases[0].list.data(), 0, nullptr), err::Arg);
}

// ---- Keys from stored records -----------------------------------------

struct StoredKeyCase {
    const char* name;
    uint8_t root_type;
    KXDLIST field;  // keyed in root 5
};

TEST_P(RecordTest, RecordKeyOfAStoredFieldEqualsTheKeyOfItsVariable) {
    static int32_t l = 0x0A0B0C0D;
    static float f = -1.5f;
    static double d = 6.25e-3;
    static int16_t h = -2;
    static uint16_t u = 0x8001;
    static uint8_t m[6] = {1, 0, 2, 0, 3, 0};
    static char s[16] = "Stored";
    static char empty[4] = "";
    static uint8_t b[5] = {5, 0, 4, 0, 3};
    static int32_t zero = 0;
    static double minus_zero = -0.0;
    const StoredKeyCase cases[] = {
        {"int32 difference", 3, keyed('L', 5, 3, &l)},
        {"int32", 5, keyed('L', 5, 5, &l)},
        {"int32 from a float field", 5, keyed('F', 5, 5, &f)},
        {"float", 6, keyed('F', 5, 6, &f)},
        {"double", 7, keyed('D', 5, 7, &d)},
        {"double minus zero", 7, keyed('D', 5, 7, &minus_zero)},
        {"int16", 4, keyed('H', 5, 4, &h)},
        {"uint16", 10, keyed('U', 5, 10, &u)},
        {"six bytes", 9, keyed('M', 5, 9, m)},
        {"string", 0, keyed('S', 5, 'S', s, 16)},
        {"case-blind string", 1, keyed('S', 5, 1, s, 16)},
        {"empty string", 0, keyed('S', 5, 0, empty, 4)},
        {"counted", 2, keyed('B', 5, 2, b, 5)},
        {"counted 18", 18, keyed('B', 5, 18, b, 3)},
        {"fields 16", 16, keyed('B', 5, 16, b, 5)},
        {"empty counted", 20, keyed('B', 5, 20, b, 0)},
        {"zero int32", 5, keyed('L', 5, 5, &zero)},
    };
    for (const StoredKeyCase& c : cases) {
        SCOPED_TRACE(c.name);
        set_root(5, c.root_type);
        int16_t other = 9;
        const auto list = dlist({plain('H', &other), c.field, plain('L', &l)});
        const Bytes rec = pack(list);
        int32_t rc_var, rc_stored;
        const Bytes from_variable = variable_key(list, 1, rc_var);
        const Bytes from_record = stored_key(rec, list, 1, rc_stored);
        ASSERT_EQ(rc_var, 0);
        ASSERT_EQ(rc_stored, 0);
        EXPECT_EQ(from_record, from_variable);
        // The key is in host order whatever the file's order, so it
        // compares as the variable's value does.
        EXPECT_EQ(kx::key_length(c.root_type, from_record.data()),
                  static_cast<int32_t>(from_record.size()));
    }
}

TEST_P(RecordTest, RecordKeyOfAStoredFieldCountedLimits) {
    set_root(5, 2);
    set_root(6, 0);
    static uint8_t b[300];
    static char s[300];
    for (int k = 0; k < 300; ++k) {
        b[k] = static_cast<uint8_t>(k);
        s[k] = static_cast<char>('a' + k % 26);
    }
    for (int32_t n : {241, 242, 250}) {
        SCOPED_TRACE(n);
        s[n] = 0;
        const auto list = dlist({keyed('B', 5, 2, b, static_cast<int16_t>(n)), keyed('S', 6, 0, s, 300)});
        block->check_dlist = 0;  // the list is too long for keys on purpose
        const Bytes rec = pack(list);
        int32_t rc;
        const Bytes add_counted = stored_key(rec, list, 0, rc, true);
        EXPECT_EQ(rc, n < 242 ? 0 : err::StringLength);
        const Bytes del_counted = stored_key(rec, list, 0, rc, false);
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(del_counted, cat({Bytes{static_cast<uint8_t>(std::min(n, 241))},
                                   Bytes(b, b + std::min(n, 241))}));
        const Bytes add_string = stored_key(rec, list, 1, rc, true);
        EXPECT_EQ(rc, n < 242 ? 0 : err::StringLength);
        const Bytes del_string = stored_key(rec, list, 1, rc, false);
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(del_string, str(std::string(s, static_cast<size_t>(std::min(n, 241)))));
        if (n < 242) {
            EXPECT_EQ(add_counted, del_counted);
            EXPECT_EQ(add_string, del_string);
        }
        s[n] = 'x';
    }
}

TEST_P(RecordTest, RecordKeyOfAStoredFieldErrors) {
    int32_t l = 3;
    int16_t h = 4;
    char s[4] = "ab";
    set_root(5, 5);
    set_root(6, 12);
    set_root(7, 8);
    const auto list = dlist({plain('L', &l), keyed('H', 5, 5, &h), keyed('L', 6, 12, &l),
                             keyed('L', 0, 5, &l), entry('L', 5, 'D', 0, 46, &l),
                             keyed('S', 5, 5, s, 4), keyed('L', 7, 8, &l), keyed('X', 5, 5, nullptr)});
    block->check_dlist = 0;
    const Bytes rec = pack(list);
    struct Case {
        const char* name;
        int32_t index;
        int32_t expected;
    };
    const Case cases[] = {
        {"no key", 0, 1},
        {"int16 field for an int32 root", 1, err::KeyType},
        {"root of a non-key type", 2, err::KeyType},
        {"root 0", 3, err::RootNumber},
        {"root 46", 4, err::RootNumber},
        {"string field for an int32 root", 5, err::KeyType},
        {"int32 field for a compound root", 6, err::KeyType},
        {"compound field for an int32 root", 7, err::KeyType},
        {"the end entry", 8, err::DlistEnd},
        {"negative index", -1, err::DlistEnd},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int32_t rc;
        stored_key(rec, list, c.index, rc);
        EXPECT_EQ(rc, c.expected);
    }
}

// ---- Compound keys ----------------------------------------------------

// Compound key of field `x` both ways: dsetkey from the variables and
// record_field_key from their stored record; both codes must agree, and
// the keys too when built.  reckey gives the stored form in file order.
struct CompoundResult {
    int32_t rc;
    Bytes key;
};

class RecordCompound : public RecordTest {
protected:
    CompoundResult both(const std::vector<KXDLIST>& list, int32_t x) {
        int32_t rc_var, rc_stored;
        const Bytes from_variables = variable_key(list, x, rc_var);
        Bytes out(40000);
        const int32_t n =
            kx::packrec(block.get(), out.data(), list.data(), 'T', static_cast<int32_t>(out.size()));
        EXPECT_GT(n, 0);
        out.resize(static_cast<size_t>(n));
        const Bytes from_record = stored_key(out, list, x, rc_stored);
        EXPECT_EQ(rc_stored, rc_var);
        EXPECT_EQ(from_record, from_variables);
        if (rc_stored == 0) {
            Bytes file_order(kx::KeyOutputBytes);
            EXPECT_EQ(kx::reckey(block.get(), out.data(), n, list.data(), x, file_order.data()), 0);
            file_order.resize(from_record.size());
            kx::convkey(block.get(), list[static_cast<size_t>(x)].root, file_order.data(), 8, flag, 1);
            EXPECT_EQ(file_order, from_record);
        }
        return {rc_var, from_variables};
    }
};

INSTANTIATE_TEST_SUITE_P(RecordOrders, RecordCompound, ::testing::Values(Host, Foreign),
                         [](const ::testing::TestParamInfo<uint8_t>& info) {
                             return info.param == Host ? std::string("HostOrder")
                                                       : std::string("ForeignOrder");
                         });

TEST_P(RecordCompound, RecordCompoundSegmentsByType) {
    char name[16] = "Smith";
    int32_t id = 0x01020304;
    uint8_t blob[6] = {9, 9, 8, 8, 7, 7};
    double price = 2.0;
    uint16_t code = 0;  // left out of the record: zeros in the key
    char none[4] = "";
    auto segs = seglist({seg(0, 0, 3), seg(5, 1), seg(2, 2, 4), seg(7, 3), seg(10, 4), seg(1, 5),
                         seg(18, 2)});
    set_root(7, 8, &segs);
    const auto list = dlist({plain('S', name, 16), plain('L', &id), plain('B', blob, 6),
                             plain('D', &price), plain('U', &code), plain('S', none, 4),
                             keyed('X', 7, 8, nullptr)});
    const Bytes body = cat({str("Smi"), i32(0x01020304), Bytes{4, 9, 9, 8, 8}, f64(2.0), u16(0),
                            Bytes{0}, Bytes{6, 9, 9, 8, 8, 7, 7}});
    const CompoundResult r = both(list, 6);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.key, with_length_byte(body));

    // The empty forms of fields not stored.
    name[0] = 0;
    id = 0;
    const auto empty_blob = dlist({plain('S', name, 16), plain('L', &id), plain('B', blob, 0),
                                   plain('D', &price), plain('U', &code), plain('S', none, 4),
                                   keyed('X', 7, 8, nullptr)});
    EXPECT_EQ(both(empty_blob, 6).key,
              with_length_byte(cat({Bytes{0}, i32(0), Bytes{0}, f64(2.0), u16(0), Bytes{0}, Bytes{0}})));

    // An empty segment list gives an empty compound key.
    auto no_segments = seglist({});
    set_root(7, 8, &no_segments);
    EXPECT_EQ(both(list, 6).key, Bytes{0});
    set_root(7, 8, nullptr);
    EXPECT_EQ(both(list, 6).key, Bytes{0});
}

TEST_P(RecordCompound, RecordCompoundOf241BytesIsTheLongest) {
    static char s[300];
    double d = 1.0;
    auto segs = seglist({seg(7, 0), seg(0, 1)});
    set_root(7, 8, &segs);
    // 8 bytes of double, then a string and its zero: 241 bytes with 232
    // characters.
    for (int chars : {231, 232, 233}) {
        SCOPED_TRACE(chars);
        std::memset(s, 'k', sizeof s);
        s[chars] = 0;
        const auto list = dlist({plain('D', &d), plain('S', s, 300), keyed('X', 7, 8, nullptr)});
        const CompoundResult r = both(list, 2);
        if (chars <= 232) {
            EXPECT_EQ(r.rc, 0);
            EXPECT_EQ(static_cast<int>(r.key.size()), 1 + 8 + chars + 1);
            EXPECT_EQ(r.key[0], 8 + chars + 1);
        } else {
            EXPECT_EQ(r.rc, err::StringLength);
        }
    }
    // Counted segments reach the limit the same way.
    static uint8_t b[300] = {};
    auto counted_segs = seglist({seg(2, 0), seg(2, 1, 0)});
    set_root(7, 8, &counted_segs);
    for (int n : {0, 1}) {
        SCOPED_TRACE(n);
        const auto list = dlist({plain('B', b, 200), plain('B', b, static_cast<int16_t>(39 + n)),
                                 keyed('X', 7, 8, nullptr)});
        const CompoundResult r = both(list, 2);
        EXPECT_EQ(r.rc, n == 0 ? 0 : err::StringLength);
    }
}

TEST_P(RecordCompound, RecordCompoundSegmentErrors) {
    char s[8] = "abc";
    int16_t h = 5;
    int32_t l = 6;
    uint8_t b[2] = {1, 2};
    char unterminated[2] = {'a', 'b'};
    struct Case {
        const char* name;
        std::vector<KXSEGMENT> segments;
        int32_t expected;
    };
    // Fields: 0 'S', 1 'H', 2 'L', 3 'B', 4 'X' (the key), 5 'S' without a zero.
    const Case cases[] = {
        {"compound segment", seglist({seg(8, 2)}), err::SegmentList},
        {"type 11", seglist({seg(11, 2)}), err::SegmentList},
        {"type 15", seglist({seg(15, 2)}), err::SegmentList},
        {"type 21", seglist({seg(21, 2)}), err::SegmentList},
        {"type 200", seglist({seg(200, 2)}), err::SegmentList},
        {"negative field index", seglist({seg(5, -1)}), err::SegmentList},
        {"field index at the end entry", seglist({seg(5, 6)}), err::SegmentList},
        {"field index far beyond", seglist({seg(5, 100000)}), err::SegmentList},
        {"string from an integer", seglist({seg(0, 2)}), err::SegmentList},
        {"int32 from an int16", seglist({seg(5, 1)}), err::SegmentList},
        {"int16 from an int32", seglist({seg(4, 2)}), err::SegmentList},
        {"counted from a string", seglist({seg(2, 0)}), err::SegmentList},
        {"string from bytes", seglist({seg(1, 3)}), err::SegmentList},
        {"from the compound field", seglist({seg(5, 4)}), err::SegmentList},
        {"bad segment after good ones", seglist({seg(0, 0), seg(4, 1), seg(13, 2)}), err::SegmentList},
        {"string without a zero", seglist({seg(0, 5)}), err::StringLength},
        {"all good", seglist({seg(0, 0), seg(4, 1), seg(3, 2), seg(17, 3)}), 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto segs = c.segments;
        set_root(7, 8, &segs);
        const auto list = dlist({plain('S', s, 8), plain('H', &h), plain('L', &l), plain('B', b, 2),
                                 keyed('X', 7, 8, nullptr), plain('S', unterminated, 2)});
        int32_t rc;
        variable_key(list, 4, rc);
        EXPECT_EQ(rc, c.expected);
        if (c.expected != err::StringLength) {
            // The stored record of the list cannot hold the bad string.
            const auto storable = dlist({plain('S', s, 8), plain('H', &h), plain('L', &l),
                                         plain('B', b, 2), keyed('X', 7, 8, nullptr)});
            both(storable, 4);
        }
    }
}

// Random lists, segment lists and values: the key from the variables and
// the key from their stored record agree byte for byte.
TEST_P(RecordCompound, RecordCompoundFromVariablesAndRecordsAgree) {
    const uint32_t seed = test_seed() + flag;
    std::printf("RecordCompoundFromVariablesAndRecordsAgree seed %u\n", seed);
    std::mt19937 rng(seed);
    auto pick = [&](uint32_t n) { return static_cast<int32_t>(rng() % n); };
    const char letters[] = {'B', 'D', 'F', 'H', 'I', 'L', 'M', 'S', 'U'};
    const uint8_t types_for[][4] = {
        {2, 16, 18, 20}, {7, 7, 7, 7}, {6, 3, 5, 6}, {4, 10, 4, 4}, {4, 10, 4, 10},
        {3, 5, 6, 5},    {9, 9, 9, 9}, {0, 1, 0, 1}, {10, 4, 10, 10}};
    int built = 0;
    for (int round = 0; round < 400; ++round) {
        SCOPED_TRACE("seed " + std::to_string(seed) + " round " + std::to_string(round));
        const int32_t fields = 1 + pick(8);
        std::vector<std::vector<uint8_t>> storage(static_cast<size_t>(fields));
        std::vector<KXDLIST> list;
        std::vector<KXSEGMENT> segs;
        for (int32_t k = 0; k < fields; ++k) {
            const int which = pick(9);
            const char letter = letters[which];
            auto& var = storage[static_cast<size_t>(k)];
            int16_t length = 0;
            if (letter == 'B' || letter == 'S') {
                // A string entry always has room for its zero.
                length = static_cast<int16_t>(letter == 'B' && pick(4) == 0 ? 0 : 1 + pick(120));
                var.assign(static_cast<size_t>(length), 0);
                const int32_t used = letter == 'S' ? (length > 0 ? pick(static_cast<uint32_t>(length)) : 0)
                                                   : length;
                for (int32_t j = 0; j < used; ++j) var[static_cast<size_t>(j)] = static_cast<uint8_t>(1 + pick(255));
            } else {
                var.assign(static_cast<size_t>(kx::fixed_field_width(letter)), 0);
                if (pick(3) != 0)
                    for (auto& c : var) c = static_cast<uint8_t>(rng());
                if (letter == 'D' && pick(6) == 0) {
                    const double minus_zero = -0.0;
                    std::memcpy(var.data(), &minus_zero, 8);
                }
            }
            const bool is_keyed = pick(4) == 0;
            list.push_back(is_keyed ? keyed(letter, 3, 0, var.data(), length)
                                    : plain(letter, var.data(), length));
            const int32_t segments_here = pick(3);
            for (int32_t j = 0; j < segments_here; ++j)
                segs.push_back(seg(types_for[which][pick(4)], k, static_cast<uint8_t>(pick(3) == 0 ? 0 : pick(80))));
        }
        std::shuffle(segs.begin(), segs.end(), rng);
        if (pick(10) == 0 && !segs.empty()) segs[0].field_index = fields + pick(3);  // -37
        segs = seglist(segs);
        list.push_back(keyed('X', 7, 8, nullptr));
        list = dlist(list);
        set_root(7, 8, &segs);
        set_root(3, 0);
        block->check_dlist = 0;
        const CompoundResult r = both(list, fields);
        if (r.rc == 0) ++built;
        if (HasFailure()) break;
    }
    EXPECT_GT(built, 100);
}

}  // namespace
