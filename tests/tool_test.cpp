// End-to-end tests of the kindex program, run as a separate process: the
// demo, dump | load round trips over every key type in both byte orders,
// the key forms of a dump, stat figures against the tree checker, stat's
// view of the transaction log (laid by hand, damaged chains included),
// recover on files left by a crash, check, salvage, rebuild and convert on
// damaged, compound and older-format files, and the messages and exit codes of
// failures.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <random>
#include <sstream>

#include "support/oldformat.h"
#include "support/testing.h"
#include "support/tree_check.h"

extern char** environ;

namespace {

using kxtest::Block;

// Closes a block that is still open when a test ends early, so that the
// next test finds the node cache free.
struct Closer {
    KXCB* cb;
    ~Closer() {
        if (cb->state == 'O') mclose(cb);
    }
};

struct Outcome {
    int code = -1;
    std::string out, err;
};

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void spill(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// Runs the kindex program with stdin from the given text; stdout and stderr
// go to files (never a terminal).
Outcome kindex(const kxtest::TempDir& tmp, const std::vector<std::string>& args, const std::string& input = "") {
    const std::string in = tmp.path("run.in"), out = tmp.path("run.out"), err = tmp.path("run.err");
    spill(in, input);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, in.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> all{KX_TOOL};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    Outcome r;
    if (posix_spawn(&pid, KX_TOOL, &fa, nullptr, argv.data(), environ) == 0) {
        int status = 0;
        waitpid(pid, &status, 0);
        r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    posix_spawn_file_actions_destroy(&fa);
    r.out = slurp(out);
    r.err = slurp(err);
    return r;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> v;
    std::istringstream s(text);
    for (std::string l; std::getline(s, l);) v.push_back(l);
    return v;
}

std::vector<std::string> fields_of(const std::string& line) {
    std::vector<std::string> v;
    std::istringstream s(line);
    for (std::string w; s >> w;) v.push_back(w);
    return v;
}

// ---- A file with a root of every key type --------------------------------

const uint8_t kEveryType[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 16, 17, 18, 19, 20};
constexpr int CompoundRoot = 9;  // the root of key type 8 above
const char* const kCompoundSpec = "1,7d,2";

template <typename T>
void put(std::vector<uint8_t>& k, T v) {
    const size_t at = k.size();
    k.resize(at + sizeof v);
    std::memcpy(k.data() + at, &v, sizeof v);
}

std::vector<uint8_t> counted(const std::vector<uint8_t>& body) {
    std::vector<uint8_t> k(body.size() + 1);
    k[0] = static_cast<uint8_t>(body.size());
    std::copy(body.begin(), body.end(), k.begin() + 1);
    return k;
}

// Key number i of a root of the given type, host order.  Numbers stay in
// ranges where the type's order is a total order (32-bit keys compare by
// the sign of their wrapping difference, so they keep within +-10^9; no
// NaN and no infinity, which never equals itself), so any insertion order
// gives the same tree order and every key is found again.
std::vector<uint8_t> make_key(uint8_t type, int i, std::mt19937& rng) {
    static const char* const words[] = {"Ada", "ada", "b\"q\"", "back\\slash", "sp ace", "", "\x01\x7f", "\xe9t\xe9",
                                        "zz"};
    std::vector<uint8_t> k;
    auto text = [&] {
        std::string s = words[static_cast<size_t>(i) % 9];
        if (i >= 9) s += std::to_string(rng() % 100);
        return std::vector<uint8_t>(s.begin(), s.end());
    };
    auto bytes = [&](size_t n) {
        std::vector<uint8_t> b(n);
        for (auto& x : b) x = static_cast<uint8_t>(rng() % 4 == 0 ? 0 : rng());
        return b;
    };
    switch (type) {
    case 0:
    case 1: {
        k = text();
        k.push_back(0);
        break;
    }
    case 2:
    case 18:
    case 19:
    case 20: k = counted(bytes(rng() % 9)); break;
    case 3: put(k, static_cast<int32_t>(rng() % 2000000000u) - 1000000000); break;
    case 4: put(k, static_cast<int16_t>(static_cast<int32_t>(rng() % 65536) - 32768)); break;
    case 5: put(k, i == 0 ? -1000000000 : i == 1 ? 1000000000 : static_cast<int32_t>(rng() % 2000000000u) - 1000000000); break;
    case 6: {
        const float special[] = {-0.0f, 0.1f, 3.4e38f, 1e-45f, -3.4e38f};
        put(k, i < 5 ? special[i] : static_cast<float>(static_cast<int32_t>(rng())) / 977.0f);
        break;
    }
    case 7: {
        const double special[] = {-0.0, 0.1, -1.7e308, 4.9e-324, 1.7e308};
        put(k, i < 5 ? special[i] : static_cast<double>(static_cast<int32_t>(rng())) / 977.0);
        break;
    }
    case 8: {
        k.push_back(0);
        std::vector<uint8_t> s = text();
        k.insert(k.end(), s.begin(), s.end());
        k.push_back(0);
        put(k, static_cast<double>(rng() % 5) / 4.0);
        const std::vector<uint8_t> c = counted(bytes(rng() % 5));
        k.insert(k.end(), c.begin(), c.end());
        k[0] = static_cast<uint8_t>(k.size() - 1);
        break;
    }
    case 9: k = bytes(6); break;
    case 10: put(k, static_cast<uint16_t>(rng())); break;
    case 16:
    case 17:
        k.push_back(type == 16 ? 16 : 18);
        put(k, static_cast<uint16_t>(rng() % 3));
        put(k, static_cast<uint32_t>(rng() % 3));
        put(k, static_cast<uint32_t>(rng() % 1000));
        put(k, static_cast<uint32_t>(rng() % 1000));
        put(k, static_cast<uint16_t>(rng()));
        if (type == 17) put(k, static_cast<int16_t>(rng()));
        break;
    }
    return k;
}

struct Segments {
    KXSEGMENT s[4];
    Segments() {
        std::memset(s, 0, sizeof s);
        s[0].key_type = 1;
        s[1].key_type = 7;
        s[1].descending = 1;
        s[2].key_type = 2;
        s[3].key_type = 31;
    }
};

std::vector<KXROOTLIST> every_type_roots(Segments& segs) {
    std::vector<KXROOTLIST> roots;
    for (size_t i = 0; i < sizeof kEveryType; ++i)
        roots.push_back({static_cast<uint8_t>(i + 1), kEveryType[i], kEveryType[i] == 8 ? segs.s : nullptr});
    roots.push_back({0, 0, nullptr});
    return roots;
}

// Builds a file with 60 data in each of the 16 roots: duplicates, empty
// payloads and a multi-piece datum of 1500 bytes in every root, custom data
// and counters.
void build_every_type(const std::string& path, int byte_order) {
    Segments segs;
    const std::vector<KXROOTLIST> roots = every_type_roots(segs);
    Block b;
    Closer close_b{b.get()};
    ASSERT_EQ(bcreate(b.get(), path.c_str(), 'E', byte_order, roots.data()), 0);
    ASSERT_EQ(csetfile(b.get(), 0), 0);
    std::mt19937 rng(7);
    for (size_t r = 0; r < sizeof kEveryType; ++r) {
        std::vector<uint8_t> last;
        for (int i = 0; i < 60; ++i) {
            // Every fifth key repeats the one before with another record value.
            std::vector<uint8_t> key = (i % 5 == 4) ? last : make_key(kEveryType[r], i, rng);
            last = key;
            std::vector<uint8_t> payload(i == 3 ? 1500 : (i % 3 == 0 ? 0 : rng() % 40));
            for (auto& x : payload) x = static_cast<uint8_t>(rng());
            const int32_t rc = cdupadd(b.get(), static_cast<int32_t>(r + 1), key.data(), 1000u + static_cast<uint32_t>(i),
                                       payload.empty() ? nullptr : payload.data(), static_cast<int32_t>(payload.size()));
            // A generated key may repeat an earlier one with the same record
            // value only by the rule above, which changes the value.
            ASSERT_EQ(rc, 0) << "root " << r + 1 << " datum " << i;
        }
    }
    ASSERT_EQ(csetcust(b.get(), "cat\x00\x01", 5), 0);
    ASSERT_EQ(csetrec(b.get(), 4242), 0);
    ASSERT_EQ(csetcnt(b.get(), 17), 0);
    ASSERT_EQ(mclose(b.get()), 0);
}

std::string without_byte_order(const std::string& dump) {
    std::string s;
    for (const std::string& l : lines_of(dump))
        if (l.rfind("byte-order ", 0) != 0) s += l + "\n";
    return s;
}

class ToolTest : public kxtest::FileTest {};

// ---- The demo ------------------------------------------------------------

TEST_F(ToolTest, DemoBuildsUsesAndDescribesACatalogue) {
    const Outcome r = kindex(tmp, {"demo", tmp.path("demo"), "--records", "3000"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    // Every step reports, and the figures follow from what the demo did.
    for (const char* step : {"1. dadd: 3000 records", "2. cidfind", "root 1, mode 1", "root 2, mode 3",
                             "root 3, mode 5", "3. dseq", "every record in name order (dseq on root 2, cidread each): 3000 records",
                             "4. dupdate", "found again by (category, new price): yes",
                             "dgetcnt: 3000 -> 2999 records; cidfind now: KX_E_FAIL", "6. The structure"})
        EXPECT_NE(r.out.find(step), std::string::npos) << step << "\n" << r.out;
    // The file it leaves is a sound data file with 2999 records in each key.
    const std::string file = tmp.path("demo") + "/catalogue.kx";
    const Outcome st = kindex(tmp, {"stat", file});
    ASSERT_EQ(st.code, 0) << st.err;
    std::map<std::string, std::vector<std::string>> roots;
    for (const std::string& l : lines_of(st.out)) {
        const auto f = fields_of(l);
        if (f.size() > 8 && (f[0] == "1" || f[0] == "2" || f[0] == "3" || f[0] == "49")) roots[f[0]] = f;
    }
    ASSERT_EQ(roots.size(), 4u) << st.out;
    for (const auto& [root, f] : roots) EXPECT_EQ(f[f.size() - 2], "2999") << "data of root " << root;

    // A second run into the same folder replaces the demo's own file.
    EXPECT_EQ(kindex(tmp, {"demo", tmp.path("demo"), "--records", "10"}).code, 0);
}

// ---- dump | load ---------------------------------------------------------

struct Order {
    int byte_order;
    const char* name;
    const char* other;
};

void PrintTo(const Order& o, std::ostream* os) { *os << o.name; }

class ToolRoundTrip : public ToolTest, public ::testing::WithParamInterface<Order> {};

TEST_P(ToolRoundTrip, DumpLoadDumpIsByteIdenticalInEitherByteOrder) {
    const Order o = GetParam();
    const std::string a = file("a.kx");
    build_every_type(a, o.byte_order);
    if (HasFatalFailure()) return;
    const Outcome dump_a = kindex(tmp, {"dump", a, "--segments", kCompoundSpec});
    ASSERT_EQ(dump_a.code, 0) << dump_a.err;
    EXPECT_EQ(dump_a.err, "");
    ASSERT_NE(dump_a.out.find(std::string("byte-order ") + o.name + "\n"), std::string::npos);

    // The same byte order: a copy.
    const Outcome load_b = kindex(tmp, {"load", file("b.kx")}, dump_a.out);
    ASSERT_EQ(load_b.code, 0) << load_b.err;
    EXPECT_EQ(load_b.err, "");
    const Outcome dump_b = kindex(tmp, {"dump", file("b.kx"), "--segments", kCompoundSpec});
    ASSERT_EQ(dump_b.code, 0) << dump_b.err;
    EXPECT_EQ(dump_b.out, dump_a.out);

    // The other byte order: keys turned, the text the same but for its
    // byte-order line; and back again, byte for byte.
    const Outcome load_c = kindex(tmp, {"load", file("c.kx"), "--byte-order", o.other}, dump_a.out);
    ASSERT_EQ(load_c.code, 0) << load_c.err;
    const Outcome dump_c = kindex(tmp, {"dump", file("c.kx"), "--segments", kCompoundSpec});
    ASSERT_EQ(dump_c.code, 0) << dump_c.err;
    EXPECT_NE(dump_c.out.find(std::string("byte-order ") + o.other + "\n"), std::string::npos);
    EXPECT_EQ(without_byte_order(dump_c.out), without_byte_order(dump_a.out));
    const std::vector<uint8_t> c_bytes = kxtest::read_file(file("c.kx"));
    ASSERT_GT(c_bytes.size(), 12u);
    EXPECT_EQ(c_bytes[8], o.byte_order == 1 ? 0 : 1) << "c.kx is not in the other byte order";

    const Outcome load_d = kindex(tmp, {"load", file("d.kx")}, dump_c.out);
    ASSERT_EQ(load_d.code, 0) << load_d.err;
    const std::vector<uint8_t> d_bytes = kxtest::read_file(file("d.kx"));
    EXPECT_EQ(d_bytes.at(8), c_bytes[8]) << "load keeps the dump's byte order";
    const Outcome back = kindex(tmp, {"load", file("e.kx"), "--byte-order", o.name}, dump_c.out);
    ASSERT_EQ(back.code, 0) << back.err;
    EXPECT_EQ(kindex(tmp, {"dump", file("e.kx"), "--segments", kCompoundSpec}).out, dump_a.out);

    // The library finds every datum of the turned file by its host-order key,
    // with its whole payload.
    Segments segs;
    const std::vector<KXROOTLIST> roots = every_type_roots(segs);
    Block c;
    Closer close_c{c.get()};
    ASSERT_EQ(bopen(c.get(), file("c.kx").c_str(), 'E', 1, roots.data()), 0);
    Block src;
    Closer close_src{src.get()};
    ASSERT_EQ(bopen(src.get(), a.c_str(), 'E', 1, roots.data()), 0);
    std::vector<uint8_t> want(32768), got(32768);
    int data = 0;
    for (int r = 1; r <= 16; ++r) {
        for (int32_t rc = cfirst(src.get(), r, want.data(), 32768); rc == 0; rc = cnext(src.get(), r, want.data(), 32768)) {
            uint8_t key[256];
            std::memcpy(key, src->current_key, sizeof key);
            const uint32_t rec = src->recval;
            const int32_t len = src->datalen;
            ASSERT_EQ(cfind(c.get(), r, key, rec, got.data(), 32768), 0) << "root " << r << " record " << rec;
            const int32_t got_len = c->datalen;
            ASSERT_EQ(got_len, len);
            EXPECT_EQ(std::memcmp(got.data(), want.data(), static_cast<size_t>(len)), 0);
            ++data;
        }
    }
    EXPECT_EQ(data, 16 * 60);
    EXPECT_EQ(kxtest::check_trees(c.get()), "");
    EXPECT_EQ(mclose(src.get()), 0);
    EXPECT_EQ(mclose(c.get()), 0);
}

INSTANTIATE_TEST_SUITE_P(Tool, ToolRoundTrip,
                         ::testing::Values(Order{1, "little", "big"}, Order{2, "big", "little"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ToolTest, DataFileRecordsRoundTripInTheirByteOrderAndAreRefusedInTheOther) {
    ASSERT_EQ(kindex(tmp, {"demo", tmp.path("demo"), "--records", "400"}).code, 0);
    const std::string src = tmp.path("demo") + "/catalogue.kx";
    const Outcome d = kindex(tmp, {"dump", src, "--segments", "0,5d"});
    ASSERT_EQ(d.code, 0) << d.err;
    ASSERT_NE(d.out.find("\nroot 3 8 0,5d\n"), std::string::npos);
    ASSERT_NE(d.out.find("\nfree-records 1\n"), std::string::npos);
    ASSERT_EQ(kindex(tmp, {"load", file("copy.kx")}, d.out).code, 0);
    EXPECT_EQ(kindex(tmp, {"dump", file("copy.kx"), "--segments", "0,5d"}).out, d.out);

    // The copy is a working data file: the freed record number comes back
    // first, and the keys find the records.
    struct {
        int32_t id;
        char name[40], category[16];
        int32_t price;
        int16_t stock;
    } p{};
    KXSEGMENT segs[3] = {};
    segs[0] = {0, 2, 15, 0, {}};
    segs[1] = {5, 3, 0, 1, {}};
    segs[2].key_type = 31;
    const KXROOTLIST roots[] = {{1, 5, nullptr}, {2, 1, nullptr}, {3, 8, segs}, {0, 0, nullptr}};
    KXDLIST list[] = {{'L', 5, 'U', 4, 1, &p.id},          {'S', 1, 'D', 40, 2, p.name},
                      {'S', 'N', 'N', 16, 0, p.category}, {'L', 'N', 'N', 4, 0, &p.price},
                      {'I', 'N', 'N', 2, 0, &p.stock},    {'X', 8, 'D', 0, 3, nullptr},
                      {'E', 0, 0, 0, 0, nullptr}};
    uint8_t recbuf[256];
    Block b;
    Closer close_b{b.get()};
    ASSERT_EQ(dbopen(b.get(), file("copy.kx").c_str(), recbuf, sizeof recbuf, 'E', 2, roots), 0);
    int32_t id = 7;
    ASSERT_EQ(cidfind(b.get(), 1, &id, 5, 1), 0);
    ASSERT_EQ(cidread(b.get(), list), 0);
    EXPECT_EQ(p.id, 7);
    p.id = 5000;
    ASSERT_EQ(dadd(b.get(), list), 0);
    const int32_t reused = b->current_record;
    const int32_t deleted_id = 400 * 47 / 100;  // the record the demo deleted
    EXPECT_EQ(reused, deleted_id);
    EXPECT_EQ(dgetcnt(b.get()), 0);
    const uint32_t count = b->recval;
    EXPECT_EQ(count, 400u);
    ASSERT_EQ(cidclose(b.get()), 0);

    const Outcome other = kindex(tmp, {"load", file("turned.kx"), "--byte-order", "big"}, d.out);
    EXPECT_EQ(other.code, 1);
    EXPECT_NE(other.err.find("root 49"), std::string::npos) << other.err;
    EXPECT_FALSE(std::filesystem::exists(file("turned.kx"))) << "a failed load leaves no new file";
}

// ---- The key forms of a dump ---------------------------------------------

struct KeyForm {
    const char* name;
    uint8_t type;
    std::vector<uint8_t> key;
    std::string text;
};

std::vector<uint8_t> bytes_of(std::initializer_list<int> v) {
    std::vector<uint8_t> b;
    for (int x : v) b.push_back(static_cast<uint8_t>(x));
    return b;
}

template <typename T>
std::vector<uint8_t> host(T v) {
    std::vector<uint8_t> b(sizeof v);
    std::memcpy(b.data(), &v, sizeof v);
    return b;
}

std::vector<uint8_t> nan_float(uint32_t bits) { return host(bits); }

std::vector<KeyForm> key_forms() {
    std::vector<uint8_t> compound{0, 'A', 'b', 0};
    put(compound, -2.5);
    compound.push_back(2);
    compound.push_back('x');
    compound.push_back(0);
    compound[0] = static_cast<uint8_t>(compound.size() - 1);
    std::vector<uint8_t> rec16{16};
    for (uint32_t v : {1u, 2u, 3u, 4u, 5u}) {
        if (v == 1 || v == 5) put(rec16, static_cast<uint16_t>(v)); else put(rec16, v);
    }
    std::vector<uint8_t> rec17 = rec16;
    rec17[0] = 18;
    put(rec17, static_cast<int16_t>(-6));
    return {
        {"plain_string", 0, bytes_of({'h', 'i', ' ', 't', 'o', 0}), "\"hi to\""},
        {"string_escapes", 0, bytes_of({'"', '\\', 1, 0x7f, 0xe9, 0}), "\"\\\"\\\\\\x01\\x7f\\xe9\""},
        {"case_blind_kept_as_is", 1, bytes_of({'M', 'i', 'X', 0}), "\"MiX\""},
        {"empty_string", 0, bytes_of({0}), "\"\""},
        {"counted_with_zero", 2, bytes_of({3, 'a', 0, 'b'}), "\"a\\x00b\""},
        {"counted_18", 18, bytes_of({0}), "\"\""},
        {"int32_wrapping", 3, host(int32_t{-5}), "-5"},
        {"int16_lowest", 4, host(int16_t{-32768}), "-32768"},
        {"int32_highest", 5, host(int32_t{2147483647}), "2147483647"},
        {"float_exact", 6, host(0.1f), "0.100000001"},
        {"float_negative_zero", 6, host(-0.0f), "-0"},
        {"float_infinity", 6, host(std::numeric_limits<float>::infinity()), "inf"},
        {"float_nan_bits", 6, nan_float(0x7fc00001u), "nan:7fc00001"},
        {"double_exact", 7, host(0.1), "0.10000000000000001"},
        {"double_smallest", 7, host(4.9406564584124654e-324), "4.9406564584124654e-324"},
        {"six_bytes", 9, bytes_of({1, 2, 3, 0xff, 0xfe, 0}), "010203fffe00"},
        {"uint16_highest", 10, host(uint16_t{65535}), "65535"},
        {"numeric_record_16", 16, rec16, "{1,2,3,4,5}"},
        {"numeric_record_17", 17, rec17, "{1,2,3,4,5,-6}"},
        {"numeric_record_other_length", 16, bytes_of({2, 7, 8}), "x:020708"},
        {"compound_by_segments", 8, compound, "(\"Ab\",-2.5,\"x\\x00\")"},
    };
}

void PrintTo(const KeyForm& f, std::ostream* os) { *os << f.name; }

class ToolKeyForm : public ToolTest, public ::testing::WithParamInterface<KeyForm> {};

TEST_P(ToolKeyForm, DumpWritesTheKeyInItsTypesFormAndLoadReadsItBack) {
    const KeyForm& f = GetParam();
    KXSEGMENT segs[4] = {};
    segs[0].key_type = 0;
    segs[1].key_type = 7;
    segs[2].key_type = 2;
    segs[3].key_type = 31;
    const KXROOTLIST roots[] = {{5, f.type, f.type == 8 ? segs : nullptr}, {0, 0, nullptr}};
    Block b;
    Closer close_b{b.get()};
    const std::string a = file("a.kx");
    ASSERT_EQ(bcreate(b.get(), a.c_str(), 'E', 2, roots), 0);
    ASSERT_EQ(cdupadd(b.get(), 5, f.key.data(), 77, "\x01\xab", 2), 0);
    ASSERT_EQ(mclose(b.get()), 0);

    const Outcome d = kindex(tmp, {"dump", a, "--segments", "0,7,2"});
    ASSERT_EQ(d.code, 0) << d.err;
    const std::string line = "5 " + f.text + " 77 01ab";
    EXPECT_NE(d.out.find("\n" + line + "\nend 1\n"), std::string::npos) << d.out;
    // Typed roots are listed in the header; key type 0 needs no line.
    EXPECT_EQ(d.out.find("\nroot 5 " + std::to_string(f.type) + (f.type == 8 ? " 0,7,2" : "") + "\n") !=
                  std::string::npos,
              f.type != 0)
        << d.out;

    // Loaded again, the key has the same bytes.
    ASSERT_EQ(kindex(tmp, {"load", file("b.kx")}, d.out).code, 0);
    ASSERT_EQ(bopen(b.get(), file("b.kx").c_str(), 'E', 1, roots), 0);
    uint8_t data[8];
    ASSERT_EQ(cfirst(b.get(), 5, data, sizeof data), 0);
    EXPECT_EQ(std::vector<uint8_t>(b->current_key, b->current_key + f.key.size()), f.key);
    const uint32_t record = b->recval;
    EXPECT_EQ(record, 77u);
    EXPECT_EQ(mclose(b.get()), 0);
}

INSTANTIATE_TEST_SUITE_P(Tool, ToolKeyForm, ::testing::ValuesIn(key_forms()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ToolTest, CompoundKeysWithoutASegmentListAreRawBytesThatLoadRefusesToOrder) {
    KXSEGMENT segs[2] = {};
    segs[0].key_type = 5;
    segs[1].key_type = 31;
    const KXROOTLIST roots[] = {{3, 8, segs}, {0, 0, nullptr}};
    Block b;
    Closer close_b{b.get()};
    ASSERT_EQ(bcreate(b.get(), file("a.kx").c_str(), 'E', 1, roots), 0);
    std::vector<uint8_t> key{4};
    put(key, int32_t{258});
    ASSERT_EQ(cdupadd(b.get(), 3, key.data(), 1, nullptr, 0), 0);
    ASSERT_EQ(mclose(b.get()), 0);
    const Outcome d = kindex(tmp, {"dump", file("a.kx")});
    ASSERT_EQ(d.code, 0) << d.err;
    EXPECT_NE(d.out.find("\nroot 3 8\n"), std::string::npos);
    EXPECT_NE(d.out.find("\n3 x:0402010000 1 -\n"), std::string::npos) << d.out;
    const Outcome refused = kindex(tmp, {"load", file("b.kx")}, d.out);
    EXPECT_EQ(refused.code, 1);
    EXPECT_NE(refused.err.find("segment list"), std::string::npos) << refused.err;
    // Given the list, load orders them; the dump then shows the segments.
    ASSERT_EQ(kindex(tmp, {"load", file("b.kx"), "--segments", "3=5"}, d.out).code, 0);
    EXPECT_NE(kindex(tmp, {"dump", file("b.kx"), "--segments", "5"}).out.find("\n3 (258) 1 -\n"), std::string::npos);
}

// ---- stat ----------------------------------------------------------------

TEST_F(ToolTest, StatFiguresAgreeWithTheTreeChecker) {
    const KXROOTLIST roots[] = {{1, 5, nullptr}, {2, 0, nullptr}, {4, 7, nullptr}, {0, 0, nullptr}};
    Block b;
    Closer close_b{b.get()};
    const std::string a = file("a.kx");
    ASSERT_EQ(bcreate(b.get(), a.c_str(), 'E', 2, roots), 0);
    ASSERT_EQ(csetfile(b.get(), 0), 0);
    b->merge_on_delete = 1;
    std::vector<uint8_t> payload(20, 0x5a), big(3000, 0x33);
    for (int32_t k = 0; k < 3000; ++k) ASSERT_EQ(cdupadd(b.get(), 1, &k, 1, payload.data(), 20), 0);
    for (int32_t k = 0; k < 3000; k += 2) ASSERT_EQ(cdelete(b.get(), 1, &k, 1), 0);
    for (int i = 0; i < 500; ++i) {
        const std::string s = "name " + std::to_string(i * 7919 % 500);
        ASSERT_EQ(cdupadd(b.get(), 2, s.c_str(), 1, nullptr, 0), 0);
    }
    ASSERT_EQ(cdupadd(b.get(), 3, "long", 1, big.data(), 3000), 0);  // 13 pieces of 239 bytes
    ASSERT_EQ(csetcust(b.get(), "v1", 2), 0);
    ASSERT_EQ(mclose(b.get()), 0);

    ASSERT_EQ(bopen(b.get(), a.c_str(), 'E', 1, roots), 0);
    kxtest::TreeStats want;
    ASSERT_EQ(kxtest::check_trees(b.get(), &want), "");
    const uint32_t records = b->record_count, next_node = b->next_node, nodes = b->node_count;
    ASSERT_EQ(mclose(b.get()), 0);

    const Outcome st = kindex(tmp, {"stat", a});
    ASSERT_EQ(st.code, 0) << st.err;
    EXPECT_EQ(st.err, "");
    std::map<std::string, std::vector<std::string>> rows;
    for (const std::string& l : lines_of(st.out)) {
        const auto f = fields_of(l);
        if (!f.empty()) rows[f[0]] = f;
    }
    EXPECT_EQ(rows["byte"], (std::vector<std::string>{"byte", "order", "big-endian"}));
    ASSERT_GE(rows["nodes"].size(), 5u);
    EXPECT_EQ(rows["nodes"][1], std::to_string(nodes));
    EXPECT_EQ(rows["nodes"][4], std::to_string(next_node) + ",");
    EXPECT_EQ(rows["records"][1], std::to_string(records));
    EXPECT_NE(st.out.find("custom data         2 bytes: \"v1\""), std::string::npos);
    EXPECT_NE(st.out.find("write in progress   no"), std::string::npos);

    // The main tree: the checker's figures.
    const auto& m = rows["main"];
    ASSERT_EQ(m.size(), 7u) << st.out;
    EXPECT_EQ(m[2], std::to_string(want.height));
    EXPECT_EQ(m[3], std::to_string(want.leaves));
    EXPECT_EQ(m[4], std::to_string(want.interior));
    EXPECT_EQ(m[5], std::to_string(want.entries));
    char fill[32];
    std::snprintf(fill, sizeof fill, "%.1f%%", 100.0 * want.leaf_fill / 2030.0);
    EXPECT_EQ(m[6], fill);

    // Roots: key type, height, entries (pieces count) and data.
    struct Expect {
        const char* root;
        const char* type;
        int entries, data;
    } expect[] = {{"1", "5", 1500, 1500}, {"3", "0", 13, 1}, {"4", "7", 0, 0}};
    int64_t leaf_entries = 0;
    for (const auto& e : expect) {
        const auto& f = rows[e.root];
        ASSERT_GE(f.size(), 9u) << "root " << e.root << "\n" << st.out;
        EXPECT_EQ(f[1], e.type) << "root " << e.root;
        EXPECT_EQ(f[f.size() - 3], std::to_string(e.entries)) << "root " << e.root;
        EXPECT_EQ(f[f.size() - 2], std::to_string(e.data)) << "root " << e.root;
        EXPECT_EQ(f[f.size() - 6], std::to_string(want.height)) << "root " << e.root;
        leaf_entries += e.entries;
    }
    // Root 2 (type 0, not in the type table) shows because it holds entries.
    const auto& r2 = rows["2"];
    ASSERT_GE(r2.size(), 9u) << st.out;
    EXPECT_EQ(r2[r2.size() - 2], "500");
    EXPECT_EQ(leaf_entries + 500, want.entries);
}

TEST_F(ToolTest, StatReportsADamagedTreeAndASetWriteMarker) {
    const KXROOTLIST roots[] = {{1, 5, nullptr}, {0, 0, nullptr}};
    Block b;
    Closer close_b{b.get()};
    const std::string a = file("a.kx");
    ASSERT_EQ(bcreate(b.get(), a.c_str(), 'E', 1, roots), 0);
    for (int32_t k = 0; k < 10; ++k) ASSERT_EQ(cdupadd(b.get(), 1, &k, 1, nullptr, 0), 0);
    const uint32_t leaf = b->main_root;
    ASSERT_EQ(mclose(b.get()), 0);
    const std::vector<uint8_t> sound = kxtest::read_file(a);

    // A leaf whose level says 3.
    kxtest::patch_file(a, 1024 + 2048 * static_cast<size_t>(leaf) + 12, {3, 0});
    Outcome r = kindex(tmp, {"stat", a});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("damaged: node " + std::to_string(leaf) + " has level 3 where 0 belongs"), std::string::npos)
        << r.out;
    EXPECT_NE(r.err.find(a + ": the file is damaged"), std::string::npos) << r.err;

    // A file left in the middle of a write section: the header is shown,
    // the library refuses the rest.
    kxtest::write_file(a, sound);
    kxtest::patch_file(a, 1010, {0xBD, 0x33});
    r = kindex(tmp, {"stat", a});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("write in progress   yes"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("KX_E_MARKER (-40)"), std::string::npos) << r.err;
}

// ---- The transaction log in stat ------------------------------------------

// A number in a file's byte order at b[at].
void put_ordered(std::vector<uint8_t>& b, size_t at, uint64_t v, int bytes, bool little) {
    for (int i = 0; i < bytes; ++i) b.at(at + static_cast<size_t>(little ? i : bytes - 1 - i)) = static_cast<uint8_t>(v >> (8 * i));
}

// A sound index file in the given byte order with spare zero nodes beyond
// its high-water mark, where the log cases below lay their log nodes.
struct SpareFile {
    std::vector<uint8_t> bytes;
    uint32_t first_spare = 0, spare = 0;
};

SpareFile build_spare_file(const std::string& path, int byte_order) {
    SpareFile f;
    const KXROOTLIST roots[] = {{1, 5, nullptr}, {0, 0, nullptr}};
    Block b;
    Closer close_b{b.get()};
    EXPECT_EQ(bcreate(b.get(), path.c_str(), 'E', byte_order, roots), 0);
    EXPECT_EQ(csetfile(b.get(), 0), 0);
    const std::vector<uint8_t> payload(20, 0x41);
    for (int32_t k = 0; k < 6000; ++k) EXPECT_EQ(cdupadd(b.get(), 1, &k, 1, payload.data(), 20), 0);
    EXPECT_EQ(mclose(b.get()), 0);
    EXPECT_EQ(bopen(b.get(), path.c_str(), 'E', 1, roots), 0);
    f.first_spare = b->next_node;
    f.spare = b->node_count - b->next_node;
    EXPECT_EQ(mclose(b.get()), 0);
    f.bytes = kxtest::read_file(path);
    return f;
}

// A log node laid in spare node `slot`.  link and next name slots; link
// kNoLink writes ~0 (a head node that ends the released list or is not on
// it), kZeroLink writes 0 (a continuation node); next -1 ends the chain.
constexpr int kNoLink = -1, kZeroLink = -2;
struct LogNodeSpec {
    int slot, link, next;
    uint32_t owner;
    int16_t kind;
    int records;         // records of type 1 with a 9-byte body (21 bytes each)
    int free_skew = 0;   // added to the node's free bytes field
};

struct LogCase {
    const char* name;
    int log_head;        // slot of the log head, -1 none
    int released_head;   // slot of the first released chain, -1 none
    std::vector<LogNodeSpec> nodes;
    std::vector<std::string> shown;  // lines of stat; {S} stands for the node number of slot S
    int code;
};

std::vector<LogCase> log_cases() {
    const std::string pending = "pending: a transaction to roll back (kindex recover)";
    const std::string kept = "not pending (emptied, kept for the next transaction)";
    return {
        {"no_log", -1, -1, {}, {"  log head            none", "  released logs       none"}, 0},
        {"pending_over_two_nodes", 0, -1,
         {{0, kNoLink, 1, 3, -2, 2}, {1, kZeroLink, -1, 3, -3, 3}},
         {"  log head            node {0}", "  transaction log     2 nodes, 5 records, owner user slot 3; " + pending,
          "  released logs       none"},
         0},
        // Pending is told by the head node alone.
        {"records_in_the_head_only_count_for_pending", 0, -1,
         {{0, kNoLink, 1, 129, -2, 0}, {1, kZeroLink, -1, 129, -3, 4}},
         {"  transaction log     2 nodes, 4 records, owner user slot 129; " + kept}, 0},
        {"emptied_log_of_an_exclusive_opener", 0, -1, {{0, kNoLink, -1, 0xFFFFFFFFu, -2, 0}},
         {"  transaction log     1 node, 0 records, owner: no user slot (an exclusive opener); " + kept}, 0},
        {"released_chains", -1, 0,
         {{0, 2, 1, 0, -2, 1}, {1, kZeroLink, -1, 0, -3, 2}, {2, kNoLink, -1, 5, -2, 0}},
         {"  log head            none", "  released logs       2 chains: node {0} (2 nodes, 3 records), node {2} (1 node, 0 records)"},
         0},
        {"log_and_released_chain", 1, 0, {{0, kNoLink, -1, 0, -2, 1}, {1, kNoLink, -1, 2, -2, 4}},
         {"  log head            node {1}", "  transaction log     1 node, 4 records, owner user slot 2; " + pending,
          "  released logs       1 chain: node {0} (1 node, 1 record)"},
         0},
        {"log_chain_in_a_circle", 0, -1, {{0, kNoLink, 1, 0, -2, 1}, {1, kZeroLink, 0, 0, -3, 1}},
         {"damaged: the log: log node {0} is reached twice"}, 1},
        {"released_list_in_a_circle", -1, 0, {{0, 1, -1, 0, -2, 1}, {1, 0, -1, 0, -2, 1}},
         {"  released logs       2 chains: node {0} (1 node, 1 record), node {1} (1 node, 1 record)",
          "damaged: released log 3: log node {0} is reached twice"},
         1},
        {"released_chain_sharing_the_log", 0, 0, {{0, kNoLink, -1, 0, -2, 1}},
         {"damaged: released log 1: log node {0} is reached twice"}, 1},
        {"log_head_beyond_the_node_count", 400, -1, {}, {"damaged: the log: node {400} lies beyond the node count"}, 1},
        {"head_not_marked_as_a_log_node", 0, -1, {{0, kNoLink, -1, 0, 0, 0}},
         {"damaged: the log: log node {0} has kind 0 where -2 (a head node) belongs"}, 1},
        {"continuation_marked_as_a_head", 0, -1, {{0, kNoLink, 1, 0, -2, 1}, {1, kZeroLink, -1, 0, -2, 1}},
         {"damaged: the log: log node {1} has kind -2 where -3 (a continuation node) belongs"}, 1},
        {"records_disagree_with_the_free_bytes", 0, -1, {{0, kNoLink, -1, 0, -2, 2, 4}},
         {"damaged: the log: log node {0}: its 2 records take 42 bytes, its header says 38"}, 1},
    };
}

void PrintTo(const LogCase& c, std::ostream* os) { *os << c.name; }

// "{S}" in text becomes the node number of spare slot S.
std::string with_nodes(std::string text, uint32_t first) {
    for (size_t at = text.find('{'); at != std::string::npos; at = text.find('{', at)) {
        const size_t end = text.find('}', at);
        const uint32_t slot = static_cast<uint32_t>(std::stoul(text.substr(at + 1, end - at - 1)));
        text.replace(at, end - at + 1, std::to_string(first + slot));
    }
    return text;
}

class ToolStatLog : public ToolTest, public ::testing::WithParamInterface<LogCase> {};

TEST_P(ToolStatLog, StatWalksTheLogAndTheReleasedChainsInEitherByteOrder) {
    const LogCase& c = GetParam();
    for (const int order : {1, 2}) {
        SCOPED_TRACE(order == 1 ? "little-endian" : "big-endian");
        const bool le = order == 1;
        const std::string a = file(le ? "le.kx" : "be.kx");
        SpareFile f = build_spare_file(a, order);
        if (HasFailure()) return;
        ASSERT_GE(f.spare, 3u) << "the file has too few spare nodes for the log nodes";
        auto node_of = [&](int slot) { return f.first_spare + static_cast<uint32_t>(slot); };
        std::vector<uint8_t> bytes = f.bytes;
        for (const LogNodeSpec& n : c.nodes) {
            const size_t at = 1024 + 2048 * size_t{node_of(n.slot)};
            const uint64_t link = n.link == kNoLink ? 0xFFFFFFFFu : n.link == kZeroLink ? 0 : node_of(n.link);
            put_ordered(bytes, at + 0, link, 4, le);
            put_ordered(bytes, at + 4, n.next < 0 ? 0 : node_of(n.next), 4, le);
            put_ordered(bytes, at + 8, n.owner, 4, le);
            put_ordered(bytes, at + 12, static_cast<uint16_t>(n.kind), 2, le);
            put_ordered(bytes, at + 14, static_cast<uint16_t>(n.records), 2, le);
            put_ordered(bytes, at + 16, static_cast<uint16_t>(2030 - 21 * n.records + n.free_skew), 2, le);
            size_t r = at + 18;
            for (int i = 0; i < n.records; ++i, r += 21) {
                put_ordered(bytes, r, 7, 4, le);                                // transaction serial
                put_ordered(bytes, r + 4, static_cast<uint64_t>(i), 2, le);     // sequence
                put_ordered(bytes, r + 6, 99, 4, le);                           // change counter
                bytes[r + 10] = 1;                                              // entry added
                bytes[r + 11] = 9;                                              // body length
            }
        }
        put_ordered(bytes, 550, c.log_head < 0 ? 0xFFFFFFFFu : node_of(c.log_head), 4, le);
        put_ordered(bytes, 554, c.released_head < 0 ? 0xFFFFFFFFu : node_of(c.released_head), 4, le);
        kxtest::write_file(a, bytes);

        const Outcome st = kindex(tmp, {"stat", a});
        EXPECT_EQ(st.code, c.code) << st.err;
        const std::vector<std::string> lines = lines_of(st.out);
        for (const std::string& want : c.shown) {
            const std::string line = with_nodes(want, f.first_spare);
            const bool found = std::any_of(lines.begin(), lines.end(), [&](const std::string& l) {
                return l == line || (line.rfind("damaged: ", 0) == 0 && l.size() > line.size() &&
                                     l.compare(l.size() - line.size(), line.size(), line) == 0 &&
                                     l.find_first_not_of(' ') == l.size() - line.size());
            });
            EXPECT_TRUE(found) << "wanted: " << line << "\n" << st.out;
        }
        // The log lines stand among the header facts, before the tables;
        // a file without a log has no line for it.
        const bool log_damaged = std::any_of(c.shown.begin(), c.shown.end(), [](const std::string& s) {
            return s.rfind("damaged: the log:", 0) == 0;
        });
        const size_t log_line = st.out.find("  transaction log ");
        EXPECT_EQ(log_line != std::string::npos, c.log_head >= 0 && !log_damaged) << st.out;
        if (log_line != std::string::npos) {
            EXPECT_LT(log_line, st.out.find("  write in progress")) << st.out;
        }
        if (c.code == 0) {
            EXPECT_EQ(st.err, "");
            EXPECT_NE(st.out.find("\nTrees\n"), std::string::npos) << st.out;
        } else {
            EXPECT_NE(st.err.find(a + ": the file is damaged"), std::string::npos) << st.err;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Tool, ToolStatLog, ::testing::ValuesIn(log_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ToolTest, StatReadsTheWriteMarkerInTheFilesByteOrder) {
    struct {
        int byte_order;
        std::vector<uint8_t> marker;
        bool set;
    } cases[] = {{1, {0xBD, 0x33}, true}, {1, {0x33, 0xBD}, false}, {2, {0x33, 0xBD}, true}, {2, {0xBD, 0x33}, false}};
    const KXROOTLIST roots[] = {{1, 5, nullptr}, {0, 0, nullptr}};
    for (const auto& c : cases) {
        SCOPED_TRACE("byte order " + std::to_string(c.byte_order) + ", first marker byte " + std::to_string(c.marker[0]));
        const std::string a = file("m.kx");
        std::filesystem::remove(a);
        Block b;
        Closer close_b{b.get()};
        ASSERT_EQ(bcreate(b.get(), a.c_str(), 'E', c.byte_order, roots), 0);
        const int32_t k = 5;
        ASSERT_EQ(cdupadd(b.get(), 1, &k, 1, nullptr, 0), 0);
        ASSERT_EQ(mclose(b.get()), 0);
        kxtest::patch_file(a, 1010, c.marker);
        // The library and stat agree on what the bytes mean.
        const int32_t rc = bopen(b.get(), a.c_str(), 'E', 1, roots);
        EXPECT_EQ(rc, c.set ? KX_E_MARKER : KX_OK);
        if (rc == KX_OK) {
            EXPECT_EQ(mclose(b.get()), 0);
        }
        const Outcome st = kindex(tmp, {"stat", a});
        EXPECT_EQ(st.code, c.set ? 1 : 0) << st.err;
        EXPECT_NE(st.out.find(c.set ? "write in progress   yes" : "write in progress   no"), std::string::npos)
            << st.out;
    }
}

// ---- recover ----------------------------------------------------------------

// Keys 0..count-1 of root 1 (int32) with the payload "v<key>".
void add_numbered(KXCB* cb, int32_t from, int32_t count, int payload_bytes = 0) {
    for (int32_t k = from; k < from + count; ++k) {
        std::string p = "v" + std::to_string(k);
        p.resize(std::max<size_t>(p.size(), static_cast<size_t>(payload_bytes)), '.');
        ASSERT_EQ(cdupadd(cb, 1, &k, 1, p.data(), static_cast<int32_t>(p.size())), 0) << "key " << k;
    }
}

// Every key of root 1 with its payload, in order; "" when the walk fails.
std::string keys_and_payloads(const std::string& path) {
    const KXROOTLIST roots[] = {{1, 5, nullptr}, {0, 0, nullptr}};
    Block b;
    Closer close_b{b.get()};
    if (bopen(b.get(), path.c_str(), 'E', 1, roots) != 0) return "cannot open";
    std::string all;
    char buf[256];
    int32_t rc = cfirst(b.get(), 1, buf, sizeof buf);
    for (; rc == 0; rc = cnext(b.get(), 1, buf, sizeof buf)) {
        int32_t k = 0;
        std::memcpy(&k, b->current_key, sizeof k);
        all += std::to_string(k) + "=" + std::string(buf, static_cast<size_t>(b->datalen)) + "\n";
    }
    const std::string trees = kxtest::check_trees(b.get());
    mclose(b.get());
    if (rc != KX_E_FAIL) return "walk failed: " + std::to_string(rc);
    return trees.empty() ? all : "damaged: " + trees;
}

// The records count stat shows for the transaction log, -1 when none.
long stat_log_records(const kxtest::TempDir& tmp, const std::string& path, bool* pending) {
    const Outcome st = kindex(tmp, {"stat", path});
    for (const std::string& l : lines_of(st.out)) {
        if (l.rfind("  transaction log     ", 0) != 0) continue;
        const auto f = fields_of(l);  // transaction log N nodes, M records, ...
        *pending = l.find("; pending:") != std::string::npos;
        return f.size() > 4 ? std::stol(f[4]) : -1;
    }
    *pending = false;
    return -1;
}

TEST_F(ToolTest, RecoverFindsNothingToDoInACleanFile) {
    const KXROOTLIST roots[] = {{1, 5, nullptr}, {0, 0, nullptr}};
    for (const int order : {1, 2}) {
        SCOPED_TRACE(order == 1 ? "little-endian" : "big-endian");
        const std::string a = file(order == 1 ? "le.kx" : "be.kx");
        Block b;
        Closer close_b{b.get()};
        ASSERT_EQ(bcreate(b.get(), a.c_str(), 'E', order, roots), 0);
        add_numbered(b.get(), 0, 300);
        ASSERT_EQ(mclose(b.get()), 0);
        const std::string before = keys_and_payloads(a);
        const Outcome r = kindex(tmp, {"recover", a});
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(r.out, a + ": nothing to recover: the file is clean\n");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(keys_and_payloads(a), before);
    }
}

// A transaction left open: the file as it stood on disk after a write
// section of the transaction ended, copied before transend.
TEST_F(ToolTest, RecoverRollsBackAPendingTransaction) {
    const KXROOTLIST roots[] = {{1, 5, nullptr}, {0, 0, nullptr}};
    for (const int order : {1, 2}) {
        SCOPED_TRACE(order == 1 ? "little-endian" : "big-endian");
        const std::string a = file(order == 1 ? "le.kx" : "be.kx"), left = file("left.kx");
        Block b;
        Closer close_b{b.get()};
        ASSERT_EQ(bcreate(b.get(), a.c_str(), 'E', order, roots), 0);
        add_numbered(b.get(), 0, 200, 30);
        ASSERT_EQ(csetfile(b.get(), 4), 0);
        ASSERT_EQ(mclose(b.get()), 0);
        const std::string before = keys_and_payloads(a);
        ASSERT_NE(before.find("199=v199."), std::string::npos) << before;

        ASSERT_EQ(bopen(b.get(), a.c_str(), 'E', 2, roots), 0);
        ASSERT_EQ(csetfile(b.get(), 4), 0);
        ASSERT_EQ(transbeg(b.get(), 3, nullptr), 0);
        ASSERT_EQ(strtwrit(b.get()), 0);
        add_numbered(b.get(), 1000, 400, 30);                                         // added
        for (int32_t k = 0; k < 200; k += 3) ASSERT_EQ(cdelete(b.get(), 1, &k, 1), 0);  // removed
        const int32_t five = 5;
        ASSERT_EQ(cchange(b.get(), 1, &five, 1, "changed", 7), 0);                     // changed
        ASSERT_EQ(endwrit(b.get()), 0);
        kxtest::write_file(left, kxtest::read_file(a));
        ASSERT_EQ(transend(b.get(), 1), 0);
        ASSERT_EQ(mclose(b.get()), 0);

        bool pending = false;
        const long records = stat_log_records(tmp, left, &pending);
        EXPECT_TRUE(pending);
        ASSERT_GE(records, 400 + 67) << "every add and removal is logged";
        EXPECT_NE(keys_and_payloads(left), before);

        const Outcome r = kindex(tmp, {"recover", left});
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(r.out, left + ": pending transaction: rolled back " + std::to_string(records) + " log records\n" +
                             left + ": the file is clean\n");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(keys_and_payloads(left), before);
        EXPECT_LE(stat_log_records(tmp, left, &pending), 0) << "the log is gone or emptied";
        EXPECT_FALSE(pending);
        const Outcome again = kindex(tmp, {"recover", left});
        EXPECT_EQ(again.code, 0) << again.err;
        EXPECT_EQ(again.out, left + ": nothing to recover: the file is clean\n");
    }
}

// A write section at flush mode 4 that stopped half way: the file and its
// image file as they stood on disk once the section had written nodes.
TEST_F(ToolTest, RecoverPutsBackAFileLeftMidWriteOnlyFromItsImage) {
    const KXROOTLIST roots[] = {{1, 5, nullptr}, {0, 0, nullptr}};
    ASSERT_EQ(cibufnum(8), 0);  // a small pool writes nodes long before the section ends
    for (const int order : {1, 2}) {
        SCOPED_TRACE(order == 1 ? "little-endian" : "big-endian");
        const std::string o = order == 1 ? "le" : "be";
        const std::string a = file(o + ".kx"), img_path = file(o + ".img");
        const std::string torn = file(o + "-torn.kx"), torn_img = file(o + "-torn.img");
        Block b, img;
        Closer close_b{b.get()}, close_img{img.get()};
        ASSERT_EQ(bcreate(b.get(), a.c_str(), 'E', order, roots), 0);
        ASSERT_EQ(csetfile(b.get(), 0), 0);
        add_numbered(b.get(), 0, 2000, 40);
        ASSERT_EQ(mclose(b.get()), 0);
        const std::string before = keys_and_payloads(a);

        ASSERT_EQ(ccreate(img.get(), img_path.c_str()), 0);
        ASSERT_EQ(mclose(img.get()), 0);
        ASSERT_EQ(imgopen(img.get(), img_path.c_str(), 'E', 2), 0);
        const std::vector<uint8_t> pre = kxtest::read_file(a);
        ASSERT_EQ(bopen(b.get(), a.c_str(), 'E', 2, roots), 0);
        const uint32_t pre_nodes = b->next_node;
        ASSERT_EQ(csetfile(b.get(), 4), 0);
        ASSERT_EQ(imageback(b.get(), img.get()), 0);
        ASSERT_EQ(strtwrit(b.get()), 0);
        bool marked = false;
        for (int32_t k = 0; k < 2000 && !marked; k += 7) {
            const std::string p = "new " + std::to_string(k);
            ASSERT_EQ(cchange(b.get(), 1, &k, 1, p.data(), static_cast<int32_t>(p.size())), 0);
            const std::vector<uint8_t> now = kxtest::read_file(a);
            marked = k > 700 && now.at(1010) == (order == 1 ? 0xBD : 0x33) && now.at(1011) == (order == 1 ? 0x33 : 0xBD);
            if (marked) {
                kxtest::write_file(torn, now);
                kxtest::write_file(torn_img, kxtest::read_file(img_path));
            }
        }
        ASSERT_TRUE(marked) << "the section never marked the file";
        ASSERT_EQ(endwrit(b.get()), 0);
        ASSERT_EQ(mclose(b.get()), 0);
        ASSERT_EQ(imgclose(img.get()), 0);
        const std::vector<uint8_t> torn_bytes = kxtest::read_file(torn);
        ASSERT_NE(keys_and_payloads(torn), before);

        // Without the image file nothing can be done: the file stays refused
        // and untouched.
        Outcome r = kindex(tmp, {"recover", torn});
        EXPECT_EQ(r.code, 1);
        EXPECT_EQ(r.out, torn + ": write in progress: the file was left in the middle of a write section.\n"
                                "It cannot be put back without the image file of that section (--image IMAGE);\n"
                                "until then the library refuses to open it (KX_E_MARKER).\n");
        EXPECT_EQ(kxtest::read_file(torn), torn_bytes);
        EXPECT_EQ(bopen(b.get(), torn.c_str(), 'E', 1, roots), KX_E_MARKER);

        // With it, the file is as it was before the section.  Every node the
        // section had already overwritten on disk is among those restored.
        size_t overwritten = 0;
        for (size_t n = 0; n < pre_nodes; ++n) {
            const size_t at = 1024 + 2048 * n;
            overwritten += !std::equal(pre.begin() + static_cast<std::ptrdiff_t>(at),
                                       pre.begin() + static_cast<std::ptrdiff_t>(at + 2048),
                                       torn_bytes.begin() + static_cast<std::ptrdiff_t>(at));
        }
        ASSERT_GE(overwritten, 1u);
        r = kindex(tmp, {"recover", torn, "--image", torn_img});
        EXPECT_EQ(r.code, 0) << r.err;
        const std::string said = torn + ": write in progress: restored ";
        ASSERT_EQ(r.out.rfind(said, 0), 0u) << r.out;
        const size_t restored = std::stoul(r.out.substr(said.size()));
        EXPECT_GE(restored, overwritten);
        EXPECT_LE(restored, pre_nodes);
        EXPECT_EQ(r.out, said + std::to_string(restored) + " nodes and the header from " + torn_img + "\n" + torn +
                             ": the file is clean\n");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(keys_and_payloads(torn), before);
        r = kindex(tmp, {"recover", torn});
        EXPECT_EQ(r.out, torn + ": nothing to recover: the file is clean\n");
    }
}

// ---- Failures: messages and exit codes -----------------------------------

// ---- check, salvage, rebuild, convert ------------------------------------

// A height-1 file of root 1 (int32 keys) whose only leaf is the root node;
// its node number.
uint32_t small_file(const std::string& path, int order, int32_t count) {
    const KXROOTLIST roots[] = {{1, 5, nullptr}, {0, 0, nullptr}};
    Block b;
    Closer close_b{b.get()};
    EXPECT_EQ(bcreate(b.get(), path.c_str(), 'E', order, roots), 0);
    add_numbered(b.get(), 0, count);
    EXPECT_EQ(+b->main_height, 1u);
    const uint32_t leaf = b->main_root;
    EXPECT_EQ(mclose(b.get()), 0);
    return leaf;
}

size_t node_at(uint32_t n) { return 1024 + 2048 * static_cast<size_t>(n); }

TEST_F(ToolTest, CheckSaysSoundOrNamesTheFaultAndItsNode) {
    for (const int order : {1, 2}) {
        SCOPED_TRACE(order == 1 ? "little-endian" : "big-endian");
        const std::string a = file(order == 1 ? "le.kx" : "be.kx");
        const uint32_t leaf = small_file(a, order, 20);
        Outcome r = kindex(tmp, {"check", a});
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(r.out, a + ": sound\n");
        EXPECT_EQ(r.err, "");

        // Free bytes (node offset 16) far outside 0..2030.
        const uint8_t big = 0x7F;
        kxtest::patch_file(a, node_at(leaf) + 16, order == 1 ? std::vector<uint8_t>{0x00, big}
                                                             : std::vector<uint8_t>{big, 0x00});
        r = kindex(tmp, {"check", a});
        EXPECT_EQ(r.code, 1);
        EXPECT_EQ(r.out, a + ": damaged at node " + std::to_string(leaf) +
                             ": a node's free byte count is out of range or does not match its entries (reason -202)\n");
    }
    const Outcome none = kindex(tmp, {"check", file("missing.kx")});
    EXPECT_EQ(none.code, 1);
    EXPECT_NE(none.err.find("kindex check: " + file("missing.kx") + ": cannot open"), std::string::npos) << none.err;
    EXPECT_EQ(kindex(tmp, {"check"}).code, 2);
}

// Two neighbouring entries of one leaf swapped: salvage takes the one that
// stands second (it sorts below the first) into the salvage file, and the
// file is sound afterwards.
TEST_F(ToolTest, SalvageMovesAnOutOfOrderEntryOutAndLeavesASoundFile) {
    for (const int order : {1, 2}) {
        SCOPED_TRACE(order == 1 ? "little-endian" : "big-endian");
        const std::string a = file(order == 1 ? "le.kx" : "be.kx"), salvage = file(order == 1 ? "le.salv" : "be.salv");
        const uint32_t leaf = small_file(a, order, 20);
        std::vector<uint8_t> bytes = kxtest::read_file(a);
        // Entries start at node offset 18, each N + 1 bytes; keys 0..9 have
        // payloads "vK" of one length, so entries 3 and 4 are the same size.
        size_t at = node_at(leaf) + 18;
        for (int i = 0; i < 3; ++i) at += bytes[at] + 1u;
        const size_t len = bytes[at] + 1u;
        ASSERT_EQ(bytes[at + len] + 1u, len);
        std::vector<uint8_t> first(bytes.begin() + static_cast<long>(at), bytes.begin() + static_cast<long>(at + len));
        std::copy(bytes.begin() + static_cast<long>(at + len), bytes.begin() + static_cast<long>(at + 2 * len),
                  bytes.begin() + static_cast<long>(at));
        std::copy(first.begin(), first.end(), bytes.begin() + static_cast<long>(at + len));
        kxtest::write_file(a, bytes);
        EXPECT_EQ(kindex(tmp, {"check", a}).code, 1);

        Outcome r = kindex(tmp, {"salvage", a, salvage});
        EXPECT_EQ(r.code, 0) << r.out << r.err;
        EXPECT_EQ(r.out, a + ": moved 1 datum to " + salvage + "\n" + a + ": sound\n");
        EXPECT_EQ(keys_and_payloads(salvage), "3=v3\n");
        std::string expect;
        for (int k = 0; k < 20; ++k)
            if (k != 3) expect += std::to_string(k) + "=v" + std::to_string(k) + "\n";
        EXPECT_EQ(keys_and_payloads(a), expect);

        std::filesystem::remove(salvage);
        r = kindex(tmp, {"salvage", a, salvage});
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(r.out, a + ": nothing out of order; " + salvage + " was created empty\n");
    }
}

// Every interior node zeroed: the tree cannot be walked, the rebuild reads
// the leaves as they lie and brings every entry back.
TEST_F(ToolTest, RebuildBringsBackEveryEntryOfAFileWithoutInteriorNodes) {
    const KXROOTLIST roots[] = {{1, 5, nullptr}, {0, 0, nullptr}};
    for (const int order : {1, 2}) {
        SCOPED_TRACE(order == 1 ? "little-endian" : "big-endian");
        const std::string a = file(order == 1 ? "le.kx" : "be.kx");
        const std::string copy = file(order == 1 ? "le.new" : "be.new");
        const std::string other = file(order == 1 ? "le.big" : "be.little");
        Block b;
        Closer close_b{b.get()};
        ASSERT_EQ(bcreate(b.get(), a.c_str(), 'E', order, roots), 0);
        add_numbered(b.get(), 0, 3000, 40);
        ASSERT_GE(+b->main_height, 2u);
        ASSERT_EQ(mclose(b.get()), 0);
        const std::string before = keys_and_payloads(a);

        std::vector<uint8_t> bytes = kxtest::read_file(a);
        int zeroed = 0;
        for (size_t n = 0; node_at(static_cast<uint32_t>(n + 1)) <= bytes.size(); ++n) {
            const size_t at = node_at(static_cast<uint32_t>(n)) + 12;
            const int level = order == 1 ? bytes[at] | bytes[at + 1] << 8 : bytes[at] << 8 | bytes[at + 1];
            if (level <= 0 || level > 20) continue;
            std::fill(bytes.begin() + static_cast<long>(node_at(static_cast<uint32_t>(n))),
                      bytes.begin() + static_cast<long>(node_at(static_cast<uint32_t>(n + 1))), 0);
            ++zeroed;
        }
        ASSERT_GT(zeroed, 0);
        kxtest::write_file(a, bytes);
        EXPECT_EQ(kindex(tmp, {"check", a}).code, 1);

        Outcome r = kindex(tmp, {"rebuild", a, copy});
        EXPECT_EQ(r.code, 0) << r.out << r.err;
        EXPECT_EQ(r.out, a + ": rebuilt into " + copy + ": 3000 data in 1 root\n" + copy + ": sound\n");
        EXPECT_EQ(keys_and_payloads(copy), before);

        // Into the other byte order.
        r = kindex(tmp, {"rebuild", a, other, "--byte-order", order == 1 ? "big" : "little"});
        EXPECT_EQ(r.code, 0) << r.out << r.err;
        EXPECT_EQ(keys_and_payloads(other), before);
        EXPECT_NE(kindex(tmp, {"stat", other}).out.find(order == 1 ? "big-endian" : "little-endian"),
                  std::string::npos);

        // A target that exists is refused, and left alone.
        const auto kept = kxtest::read_file(copy);
        r = kindex(tmp, {"rebuild", a, copy});
        EXPECT_EQ(r.code, 1);
        EXPECT_NE(r.err.find("exists already"), std::string::npos) << r.err;
        EXPECT_EQ(kxtest::read_file(copy), kept);
    }
}

// A pending transaction in the source is carried over, so recover can still
// take it back in the rebuilt file.
TEST_F(ToolTest, RebuildCarriesAPendingTransactionOverForRecover) {
    const KXROOTLIST roots[] = {{1, 5, nullptr}, {0, 0, nullptr}};
    const std::string a = file("a.kx"), left = file("left.kx"), copy = file("copy.kx");
    Block b;
    Closer close_b{b.get()};
    ASSERT_EQ(bcreate(b.get(), a.c_str(), 'E', 1, roots), 0);
    add_numbered(b.get(), 0, 300, 30);
    ASSERT_EQ(csetfile(b.get(), 4), 0);
    ASSERT_EQ(mclose(b.get()), 0);
    const std::string before = keys_and_payloads(a);

    ASSERT_EQ(bopen(b.get(), a.c_str(), 'E', 2, roots), 0);
    ASSERT_EQ(csetfile(b.get(), 4), 0);
    ASSERT_EQ(transbeg(b.get(), 3, nullptr), 0);
    ASSERT_EQ(strtwrit(b.get()), 0);
    add_numbered(b.get(), 1000, 300, 30);
    for (int32_t k = 0; k < 300; k += 7) ASSERT_EQ(cdelete(b.get(), 1, &k, 1), 0);
    ASSERT_EQ(endwrit(b.get()), 0);
    kxtest::write_file(left, kxtest::read_file(a));
    ASSERT_EQ(transend(b.get(), 1), 0);
    ASSERT_EQ(mclose(b.get()), 0);

    Outcome r = kindex(tmp, {"rebuild", left, copy});
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("the pending transaction was carried over"), std::string::npos) << r.out;
    bool pending = false;
    EXPECT_GT(stat_log_records(tmp, copy, &pending), 300);
    EXPECT_TRUE(pending);
    r = kindex(tmp, {"recover", copy});
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_EQ(keys_and_payloads(copy), before);
}

// A compound root's keys can be ordered only with its segment list: check,
// salvage and rebuild refuse to guess, and with the list the demo's file (a
// data file with a compound root) checks sound and rebuilds sound, but not
// into the other byte order (its records keep theirs).
TEST_F(ToolTest, CompoundRootsAreCheckedAndRebuiltWithTheirSegmentLists) {
    ASSERT_EQ(kindex(tmp, {"demo", tmp.path("demo"), "--records", "500"}).code, 0);
    const std::string a = tmp.path("demo") + "/catalogue.kx", copy = file("copy.kx");
    for (const char* command : {"check", "salvage", "rebuild"}) {
        std::vector<std::string> args{command, a};
        if (std::string(command) != "check") args.push_back(copy);
        const Outcome r = kindex(tmp, args);
        EXPECT_EQ(r.code, 2) << command;
        EXPECT_NE(r.err.find("root 3 has compound keys: its segment list is needed"), std::string::npos) << r.err;
    }
    EXPECT_FALSE(std::filesystem::exists(copy));
    Outcome r = kindex(tmp, {"check", a, "--segments", "3=0,5d"});
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    r = kindex(tmp, {"rebuild", a, copy, "--segments", "3=0,5d"});
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    // 499 records under four roots, one free record number.
    EXPECT_EQ(r.out, a + ": rebuilt into " + copy + ": 1997 data in 5 roots\n" + copy + ": sound\n");
    r = kindex(tmp, {"rebuild", a, file("other.kx"), "--segments", "3=0,5d", "--byte-order", "big"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("holds the records of a data file"), std::string::npos) << r.err;
}

TEST_F(ToolTest, ConvertTurnsAnOlderFormatFileIntoANewOne) {
    namespace old = kxtest::oldformat;
    std::vector<old::Entry> entries;
    for (int i = 0; i < 2; ++i) entries.push_back({1, "key" + std::to_string(i), static_cast<uint32_t>(10 + i), 0x80, "p"});
    const std::string o = file("old.dat"), n = file("new.kx");
    kxtest::write_file(o, old::file(4711, {old::leaf(entries)}));
    Outcome r = kindex(tmp, {"convert", o, n});
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_EQ(r.out, o + ": converted into " + n + ": 2 data in 1 root\n");
    EXPECT_NE(kindex(tmp, {"stat", n}).out.find("next record number 4711"), std::string::npos);
    r = kindex(tmp, {"convert", o, n});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("exists already"), std::string::npos) << r.err;
    r = kindex(tmp, {"convert", file("none.dat"), file("none.kx")});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("KX_E_BUILDSRC (-10)"), std::string::npos) << r.err;
}

TEST_F(ToolTest, StatNamesTheRootsWithTreesOfTheirOwn) {
    const std::string a = file("a.kx");
    small_file(a, 1, 5);
    EXPECT_NE(kindex(tmp, {"stat", a}).out.find("trees of their own  none: every root lives in the main tree"),
              std::string::npos);
    Block b;
    Closer close_b{b.get()};
    const KXROOTLIST roots[] = {{1, 5, nullptr}, {0, 0, nullptr}};
    ASSERT_EQ(bopen(b.get(), a.c_str(), 'E', 2, roots), 0);
    ASSERT_EQ(addroot(b.get(), 46, 46), 0);
    ASSERT_EQ(addroot(b.get(), 47, 46), 0);
    ASSERT_EQ(mclose(b.get()), 0);
    const Outcome r = kindex(tmp, {"stat", a});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("trees of their own  root 46 in slot 46, root 47 in slot 46"), std::string::npos) << r.out;
}

struct Failure {
    const char* name;
    std::vector<std::string> args;  // @F stands for the prepared file
    const char* setup;              // none, text, index, readonly, truncated
    std::string input;
    int code;
    std::vector<std::string> said;  // parts of the one-line message
};

const std::string kSmallDump =
    "kindex-dump 1\nbyte-order little\nnext-record 1\nrecord-count 0\nfree-records 0\nroot 1 5\ndata\n1 7 1 -\n";

std::vector<Failure> failures() {
    return {
        {"stat_missing_file", {"stat", "@F"}, "none", "", 1, {"@F: cannot open", "KX_E_FAIL (-1)", "no such file"}},
        {"stat_not_an_index_file", {"stat", "@F"}, "text", "", 1, {"@F: cannot open", "KX_E_NOTINDEX (-5)"}},
        {"dump_cut_short_file", {"dump", "@F"}, "truncated", "", 1, {"@F: cannot open", "KX_E_"}},
        {"load_read_only_file", {"load", "@F"}, "readonly", kSmallDump, 1, {"@F: cannot load into a read-only file",
                                                                                "KX_E_READONLY (-33)"}},
        {"load_not_a_dump", {"load", "@F"}, "none", "hello\n", 1, {"@F: stdin: the input is not a kindex dump"}},
        {"load_cut_short", {"load", "@F"}, "none", kSmallDump, 1, {"@F: stdin line 8", "without its end line"}},
        {"load_bad_key", {"load", "@F"}, "none", kSmallDump.substr(0, kSmallDump.size() - 8) + "1 seven 1 -\nend 1\n",
         1, {"@F: stdin line 8: key: 'seven' is not a number"}},
        {"load_key_out_of_range", {"load", "@F"}, "none",
         kSmallDump.substr(0, kSmallDump.size() - 8) + "1 2147483648 1 -\nend 1\n", 1, {"stdin line 8: key:"}},
        {"load_entry_present", {"load", "@F"}, "none", kSmallDump + "1 7 1 -\nend 2\n", 1,
         {"@F: stdin line 9: cannot add the entry: KX_E_FAIL (-1)"}},
        {"load_wrong_end_count", {"load", "@F"}, "none", kSmallDump + "end 5\n", 1, {"end line counts"}},
        {"load_unknown_header", {"load", "@F"}, "none", "kindex-dump 1\ncolour blue\n", 1,
         {"stdin: line 2: not a header line"}},
        {"load_other_types_than_the_file", {"load", "@F"}, "index",
         "kindex-dump 1\nbyte-order little\nroot 1 7\ndata\nend 0\n", 1, {"@F: cannot open: root 1 has key type 5 in the file and 7 in the dump", "KX_E_ROOTLIST (-35)"}},
        {"load_byte_order_of_existing_file", {"load", "@F", "--byte-order", "big"}, "index", kSmallDump + "end 1\n", 1,
         {"--byte-order applies only when load creates the file"}},
        {"no_command", {}, "none", "", 2, {"usage: kindex COMMAND"}},
        {"unknown_command", {"frob"}, "none", "", 2, {"no command 'frob'"}},
        {"stat_without_file", {"stat"}, "none", "", 2, {"usage: kindex stat FILE"}},
        {"dump_bad_root", {"dump", "@F", "--root", "51"}, "index", "", 2, {"--root needs a root number 1..50"}},
        {"dump_segments_for_a_plain_root", {"dump", "@F", "--segments", "1=0"}, "index", "", 2,
         {"root 1 does not hold compound keys"}},
        {"bad_segment_list", {"dump", "@F", "--segments", "0,8"}, "index", "", 2, {"segment '8' is not a key type"}},
        {"load_bad_byte_order", {"load", "@F", "--byte-order", "middle"}, "none", "", 2,
         {"--byte-order takes big or little"}},
        {"help_for_no_command", {"help", "frob"}, "none", "", 2, {"no command 'frob'"}},
        {"recover_missing_file", {"recover", "@F"}, "none", "", 1, {"@F: cannot open", "no such file"}},
        {"recover_not_an_index_file", {"recover", "@F"}, "text", "", 1, {"@F: cannot open", "KX_E_NOTINDEX (-5)"}},
        {"recover_without_file", {"recover"}, "none", "", 2, {"usage: kindex recover FILE"}},
        {"recover_image_without_name", {"recover", "@F", "--image"}, "index", "", 2, {"usage: kindex recover FILE"}},
    };
}

void PrintTo(const Failure& f, std::ostream* os) { *os << f.name; }

class ToolFailure : public ToolTest, public ::testing::WithParamInterface<Failure> {};

TEST_P(ToolFailure, OneLineNamingTheFileAndTheResult) {
    const Failure& f = GetParam();
    const std::string path = file("target.kx");
    const std::string setup = f.setup;
    if (setup == "text") kxtest::write_file(path, std::vector<uint8_t>(4096, 'x'));
    if (setup == "index" || setup == "readonly" || setup == "truncated") {
        const KXROOTLIST roots[] = {{1, 5, nullptr}, {0, 0, nullptr}};
        Block b;
        Closer close_b{b.get()};
        ASSERT_EQ(bcreate(b.get(), path.c_str(), 'E', 1, roots), 0);
        ASSERT_EQ(mclose(b.get()), 0);
    }
    if (setup == "truncated") {
        std::vector<uint8_t> bytes = kxtest::read_file(path);
        bytes.resize(300);
        kxtest::write_file(path, bytes);
    }
    if (setup == "readonly") {
        ASSERT_EQ(chmod(path.c_str(), 0444), 0);
    }
    const std::vector<uint8_t> before = kxtest::read_file(path);

    std::vector<std::string> args;
    for (const std::string& a : f.args) args.push_back(a == "@F" ? path : a);
    const Outcome r = kindex(tmp, args, f.input);
    EXPECT_EQ(r.code, f.code) << r.err;
    const std::string command = f.args.empty() ? "" : f.args[0];
    if (f.code == 1) {
        // One line on stderr; stat alone may have shown the header before.
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        if (command != "stat") {
            EXPECT_EQ(r.out, "");
        }
    }
    for (std::string part : f.said) {
        const size_t at = part.find("@F");
        if (at != std::string::npos) part.replace(at, 2, path);
        EXPECT_NE(r.err.find(part), std::string::npos) << "wanted: " << part << "\ngot: " << r.err;
    }
    // A failed load leaves an existing file as it was and creates none.
    if (command == "load") {
        if (setup == "none") {
            EXPECT_FALSE(std::filesystem::exists(path));
        } else {
            EXPECT_EQ(kxtest::read_file(path), before);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Tool, ToolFailure, ::testing::ValuesIn(failures()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ToolTest, HelpNamesEveryCommandAndExplainsEach) {
    const Outcome all = kindex(tmp, {"--help"});
    EXPECT_EQ(all.code, 0);
    for (const char* c : {"demo", "stat", "dump", "load", "recover", "check", "salvage", "rebuild", "convert", "help"})
        EXPECT_NE(all.out.find(std::string("  ") + c + " "), std::string::npos) << c;
    struct {
        const char* command;
        const char* mentions;
    } each[] = {{"demo", "cidfind modes 1, 3 and 5"},
                {"stat", "write-in-progress marker"},
                {"dump", "--segments"},
                {"load", "--byte-order"},
                {"recover", "--image IMAGE"},
                {"check", "free list"},
                {"salvage", "SALVAGE"},
                {"rebuild", "pending transaction"},
                {"convert", "older format"}};
    for (const auto& e : each) {
        const Outcome h = kindex(tmp, {"help", e.command});
        EXPECT_EQ(h.code, 0);
        EXPECT_EQ(h.out.rfind(std::string("usage: kindex ") + e.command, 0), 0u) << h.out;
        EXPECT_NE(h.out.find(e.mentions), std::string::npos) << e.command;
        EXPECT_EQ(kindex(tmp, {e.command, "--help"}).out, h.out);
    }
}

}  // namespace
