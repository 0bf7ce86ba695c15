// Random data lists, segment lists and stored records thrown at the record
// code.  Every variable, list, record and key buffer is a heap block of
// exactly the size its owner declares, so that under the address sanitizer
// any read or write outside them stops the test.  Each call must answer
// with one of its own codes; a record packed from a list must read back
// with that list; a key built from the variables and one built from their
// stored record must agree whenever both can be built.
//
// The normal run makes 20000 rounds; KINDEX_STRESS=1 goes on for two
// minutes (KINDEX_FUZZ_SECONDS sets another time), and KX_TEST_SEED picks
// another seed.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "btree/keys.h"
#include "frame/result.h"
#include "key_builders.h"
#include "record_builders.h"
#include "records/record.h"

namespace {

using namespace kxtest::records;
using kxtest::keys::test_seed;

constexpr int32_t NormalRounds = 20000;

// Seconds of a stress run; 0 for the normal run of NormalRounds rounds.
int32_t stress_seconds() {
    const char* stress = std::getenv("KINDEX_STRESS");
    if (stress == nullptr || std::strcmp(stress, "1") != 0) return 0;
    const char* seconds = std::getenv("KINDEX_FUZZ_SECONDS");
    return seconds != nullptr ? std::max(1, std::atoi(seconds)) : 120;
}

// A heap block of exactly n bytes (n may be 0: any access is then outside).
struct Block {
    std::unique_ptr<uint8_t[]> bytes;
    size_t size;
    explicit Block(size_t n) : bytes(new uint8_t[n]), size(n) {}
    uint8_t* data() { return bytes.get(); }
};

class Fuzz {
public:
    explicit Fuzz(uint32_t seed) : rng_(seed) {}

    uint32_t pick(uint32_t n) { return rng_() % n; }
    bool chance(uint32_t n) { return pick(n) == 0; }
    uint8_t byte() { return static_cast<uint8_t>(rng_()); }

    // A data list of up to 11 fields with variables of their declared sizes.
    struct List {
        std::vector<std::unique_ptr<Block>> vars;
        std::unique_ptr<KXDLIST[]> entries;
        int32_t count = 0;
        KXDLIST* data() { return entries.get(); }
    };

    List make_list() {
        static const char letters[] = {'B', 'D', 'F', 'H', 'I', 'L', 'M', 'S', 'U', 'X'};
        List list;
        list.count = static_cast<int32_t>(pick(12));
        list.entries.reset(new KXDLIST[static_cast<size_t>(list.count) + 1]);
        for (int32_t i = 0; i < list.count; ++i) {
            char type = chance(12) ? static_cast<char>(byte()) : letters[pick(10)];
            if (type == 'E') type = 'e';  // the list ends only at its last entry
            const uint8_t key_type = chance(2) ? 'N' : pick_key_type();
            const char dups = chance(20) ? static_cast<char>(byte()) : "DUN"[pick(3)];
            int16_t length;
            if (chance(15))
                length = static_cast<int16_t>(rng_());
            else if (chance(8))
                length = static_cast<int16_t>(230 + pick(20));
            else
                length = static_cast<int16_t>(pick(40));
            const uint8_t root = chance(15) ? byte() : static_cast<uint8_t>(pick(12));
            size_t size = static_cast<size_t>(kx::fixed_field_width(type));
            if (type == 'B' || type == 'S') size = length > 0 ? static_cast<size_t>(length) : 0;
            auto var = std::make_unique<Block>(size);
            fill(*var, type);
            void* address = chance(20) ? nullptr : var->data();
            list.vars.push_back(std::move(var));
            list.entries[static_cast<size_t>(i)] = entry(type, key_type, dups, length, root, address);
        }
        list.entries[static_cast<size_t>(list.count)] = end_entry();
        return list;
    }

    // The same fields with fresh variables: 'B' and 'S' of random room.
    List reader_for(List& source) {
        List list;
        list.count = source.count;
        list.entries.reset(new KXDLIST[static_cast<size_t>(list.count) + 1]);
        for (int32_t i = 0; i <= list.count; ++i) {
            KXDLIST e = source.entries[static_cast<size_t>(i)];
            if (i < list.count) {
                size_t size = static_cast<size_t>(kx::fixed_field_width(e.type));
                if (e.type == 'B' || e.type == 'S') {
                    e.length = static_cast<int16_t>(chance(6) ? -1 - static_cast<int>(pick(3)) : pick(60));
                    size = e.length > 0 ? static_cast<size_t>(e.length) : 0;
                }
                auto var = std::make_unique<Block>(size);
                std::memset(var->data(), 0x5C, size);
                e.var = var->data();
                list.vars.push_back(std::move(var));
            }
            list.entries[static_cast<size_t>(i)] = e;
        }
        return list;
    }

    // A key type that a field of this letter can give, or a random one.
    uint8_t type_for(char letter) {
        static const char letters[] = "BDFHILMSUX";
        static const uint8_t types[][4] = {{2, 16, 18, 20}, {7, 7, 7, 7}, {6, 3, 5, 6},
                                           {4, 10, 4, 4},   {4, 10, 4, 10}, {3, 5, 6, 5},
                                           {9, 9, 9, 9},    {0, 1, 0, 1},  {10, 4, 10, 10},
                                           {8, 8, 8, 8}};
        const char* at = std::strchr(letters, letter);
        if (letter == 0 || at == nullptr || chance(8)) return pick_key_type();
        return types[at - letters][pick(4)];
    }

    // The control block: byte order, check option, root types (mostly ones
    // the list's keyed fields can give) and segment lists (mostly of
    // segments the list's fields can give).
    void setup_block(KXCB& cb, std::vector<std::vector<KXSEGMENT>>& segment_lists, List& list) {
        std::memset(&cb, 0, sizeof cb);
        if (chance(2))
            cb.byte_order[0] = 1;
        else
            cb.byte_order[3] = 1;
        cb.check_dlist = chance(2) ? 1 : 0;
        for (int r = 0; r < 52; ++r)
            cb.root_types[r] = chance(3) ? uint8_t{8} : pick_key_type();
        for (int32_t i = 0; i < list.count; ++i) {
            KXDLIST& e = list.entries[static_cast<size_t>(i)];
            if (e.key_type == 'N' || e.root >= 52 || chance(4)) continue;
            cb.root_types[e.root] = type_for(e.type);
            if (!chance(5)) e.key_type = cb.root_types[e.root];
        }
        segment_lists.clear();
        segment_lists.resize(52);
        for (int r = 0; r < 52; ++r) {
            if (chance(4)) continue;  // no list
            auto& segs = segment_lists[static_cast<size_t>(r)];
            const uint32_t n = chance(10) ? 60 + pick(200) : pick(6);
            for (uint32_t k = 0; k < n; ++k) {
                const int32_t index = chance(15) ? static_cast<int32_t>(rng_())
                                                 : static_cast<int32_t>(pick(static_cast<uint32_t>(list.count) + 1));
                const char letter = index >= 0 && index < list.count ? list.entries[static_cast<size_t>(index)].type : 0;
                uint8_t type = chance(20) ? byte() : type_for(letter);
                if (type == 31) type = 0;
                segs.push_back(seg(type, index, chance(3) ? 0 : byte()));
            }
            segs = seglist(segs);
            cb.segment_lists[r] = segs.data();
        }
    }

    std::mt19937 rng_;

private:
    uint8_t pick_key_type() {
        switch (pick(4)) {
        case 0: return 'S';
        case 1: return byte();
        default: return static_cast<uint8_t>(pick(21));
        }
    }

    void fill(Block& var, char type) {
        if (chance(3)) {
            std::memset(var.data(), 0, var.size);
            return;
        }
        for (size_t k = 0; k < var.size; ++k) var.data()[k] = byte();
        // Most strings end within their buffer.
        if (type == 'S' && var.size > 0 && !chance(5)) var.data()[pick(static_cast<uint32_t>(var.size))] = 0;
    }
};

void expect_code(int32_t rc, std::initializer_list<int32_t> allowed, const char* call) {
    const std::set<int32_t> codes(allowed);
    EXPECT_TRUE(codes.count(rc) == 1) << call << " returned " << rc;
}

namespace err = kx::err;

TEST(RecordFuzz, RecordFuzzRandomListsAndRecords) {
    const uint32_t seed = test_seed();
    const int32_t seconds = stress_seconds();
    std::printf("RecordFuzzRandomListsAndRecords seed %u, %s\n", seed,
                seconds > 0 ? (std::to_string(seconds) + " seconds").c_str()
                            : (std::to_string(NormalRounds) + " rounds").c_str());
    const auto start = std::chrono::steady_clock::now();
    auto more_rounds = [&](int32_t done) {
        if (seconds == 0) return done < NormalRounds;
        if (done % 1000 != 0) return true;
        return std::chrono::steady_clock::now() - start < std::chrono::seconds(seconds);
    };
    Fuzz fuzz(seed);
    KXCB cb;
    std::vector<std::vector<KXSEGMENT>> segment_lists;
    int packed = 0, read_back = 0, keys_compared = 0, compound_compared = 0;
    int32_t total = 0;
    for (int32_t round = 0; more_rounds(round); ++round, ++total) {
        SCOPED_TRACE("seed " + std::to_string(seed) + " round " + std::to_string(round));
        Fuzz::List list = fuzz.make_list();
        fuzz.setup_block(cb, segment_lists, list);
        const uint8_t flag = cb.byte_order[0] == 1 ? 1 : 0;

        expect_code(kx::dlcheck(&cb, list.data()), {0, -22, -23, -24, -27}, "dlcheck");
        expect_code(kx::dlcheckw(&cb, list.data()), {0, -22, -23, -24, -25, -26, -27}, "dlcheckw");

        // Keys from the variables, one per field and one by root.
        std::vector<std::unique_ptr<Block>> variable_keys;
        std::vector<int32_t> variable_codes;
        for (int32_t i = 0; i <= list.count; ++i) {
            auto key = std::make_unique<Block>(kx::KeyOutputBytes);
            const int32_t rc = dsetkey(&cb, 0, list.data(), i, key->data());
            expect_code(rc, {0, -14, -22, -23, -24, -26, -27, -37}, "dsetkey");
            variable_codes.push_back(rc);
            variable_keys.push_back(std::move(key));
        }
        Block by_root(kx::KeyOutputBytes);
        expect_code(dsetkey(&cb, fuzz.byte(), list.data(), -1, by_root.data()),
                    {0, -14, -22, -23, -24, -26, -27, -37}, "dsetkey by root");

        // The stored record, in a buffer of random size.
        const size_t size = fuzz.chance(4) ? fuzz.pick(16) : 16 + fuzz.pick(2000);
        Block out(size);
        const int32_t n = kx::packrec(&cb, size ? out.data() : nullptr, list.data(), fuzz.byte(),
                                      static_cast<int32_t>(size));
        if (n < 0) {
            expect_code(n, {-1, -22, -26}, "packrec");
        } else {
            ++packed;
            ASSERT_GE(n, kx::EmptyRecordBytes);
            ASSERT_LE(static_cast<size_t>(n), size);
            Block rec(static_cast<size_t>(n));
            std::memcpy(rec.data(), out.data(), rec.size);

            // Keys of every field from the stored record.
            for (int32_t i = 0; i <= list.count; ++i) {
                Block key(kx::KeyOutputBytes);
                const int32_t rc =
                    kx::record_field_key(&cb, rec.data(), n, list.data(), i, key.data(), true);
                expect_code(rc, {0, 1, -14, -23, -26, -27, -37}, "record_field_key");
                if (rc == 0 && variable_codes[static_cast<size_t>(i)] == 0) {
                    // Both built: the same bytes, as far as the longer reaches.
                    ++keys_compared;
                    const uint8_t* a = key.data();
                    const uint8_t* b = variable_keys[static_cast<size_t>(i)]->data();
                    const uint8_t type = cb.root_types[list.data()[i].root] & 31;
                    const int32_t la = kx::key_length(type, a);
                    ASSERT_EQ(la, kx::key_length(type, b)) << "field " << i;
                    ASSERT_EQ(std::memcmp(a, b, static_cast<size_t>(la)), 0) << "field " << i;
                    if (type == 8 && la > 1) ++compound_compared;
                }
                Block file_key(kx::KeyOutputBytes);
                expect_code(kx::reckey(&cb, rec.data(), n, list.data(), i, file_key.data()),
                            {0, -14, -26, -37}, "reckey");
                expect_code(kx::record_field_key(&cb, rec.data(), n, list.data(), i, key.data(), false),
                            {0, 1, -14, -23, -26, -27, -37}, "record_field_key (delete)");
            }

            // The record reads back with the list it was written with.
            Fuzz::List reader = fuzz.reader_for(list);
            const int32_t rc = kx::readrec(rec.data(), reader.data(), &cb, n);
            expect_code(rc, {0, -28}, "readrec of a packed record");
            ++read_back;

            // Damaged copies: flipped bytes, cut short, sealed again or not.
            const size_t cut = fuzz.chance(3) ? fuzz.pick(static_cast<uint32_t>(n) + 1) : static_cast<size_t>(n);
            Block bad(cut);
            std::memcpy(bad.data(), rec.data(), cut);
            for (int flips = static_cast<int>(fuzz.pick(4)); flips > 0 && cut > 0; --flips)
                bad.data()[fuzz.pick(static_cast<uint32_t>(cut))] = fuzz.byte();
            if (cut >= 4 && fuzz.chance(2)) {
                Bytes tmp(bad.data(), bad.data() + cut);
                reseal(tmp, flag);
                std::memcpy(bad.data(), tmp.data(), cut);
            }
            Fuzz::List damaged_reader = fuzz.reader_for(list);
            expect_code(kx::readrec(cut ? bad.data() : nullptr, damaged_reader.data(), &cb,
                                    static_cast<int32_t>(cut)),
                        {0, -20, -21, -28}, "readrec of a damaged record");
            for (int32_t i = 0; i < list.count; ++i) {
                Block key(kx::KeyOutputBytes);
                expect_code(kx::record_field_key(&cb, cut ? bad.data() : nullptr, static_cast<int32_t>(cut),
                                                 list.data(), i, key.data(), fuzz.chance(2)),
                            {0, 1, -20, -21, -23, -26, -27, -37}, "record_field_key of a damaged record");
            }
        }

        // Random bytes as a stored record, often with a matching checksum
        // and data list checksum so that the field walk is reached.
        const size_t length = fuzz.pick(4) == 0 ? fuzz.pick(8) : fuzz.pick(300);
        Bytes noise(length);
        for (auto& c : noise) c = fuzz.byte();
        if (length >= 5 && fuzz.chance(2)) {
            const Bytes sum = file16(static_cast<uint16_t>(checkdlist(list.data())), flag);
            noise[0] = sum[0];
            noise[1] = sum[1];
            // Field indexes that the list has, in order, now and then.
            for (size_t at = 5, index = 0; at + 1 < length && fuzz.chance(3) == false; at += 2 + fuzz.pick(6)) {
                const Bytes ix = file16(static_cast<uint16_t>(index++), flag);
                noise[at] = ix[0];
                noise[at + 1] = ix[1];
            }
            reseal(noise, flag);
        }
        Block random_record(length);
        if (length > 0) std::memcpy(random_record.data(), noise.data(), length);
        Fuzz::List reader = fuzz.reader_for(list);
        expect_code(kx::readrec(length ? random_record.data() : nullptr, reader.data(), &cb,
                                static_cast<int32_t>(length)),
                    {0, -20, -21, -28}, "readrec of random bytes");
        for (int32_t i = 0; i < list.count; ++i) {
            Block key(kx::KeyOutputBytes);
            expect_code(kx::record_field_key(&cb, length ? random_record.data() : nullptr,
                                             static_cast<int32_t>(length), list.data(), i, key.data(),
                                             fuzz.chance(2)),
                        {0, 1, -20, -21, -23, -26, -27, -37}, "record_field_key of random bytes");
        }
        if (HasFailure()) break;
    }
    std::printf("%d rounds: packed %d, read back %d, keys compared %d (compound %d)\n", total,
                packed, read_back, keys_compared, compound_compared);
    // The generator must reach the interesting paths, not only the errors.
    EXPECT_GT(packed, total / 4);
    EXPECT_GT(keys_compared, total / 20);
    EXPECT_GT(compound_compared, total / 400);
}

}  // namespace
