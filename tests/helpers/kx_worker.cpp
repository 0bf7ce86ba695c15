// kx_worker: a separate process for the multi-process tests.
//
// It runs a script of operations on one or more control blocks and prints one
// reply line per operation.  The script comes from the command line (each
// argument is one operation with its words separated by spaces) or, when
// there are no arguments, from standard input one line at a time, so that a
// test can drive it step by step and read each reply before the next step.
//
// Reply line:   <op> <rc> <t0> <t1> [values...]
//   rc      the result code of the operation (0 when it has none)
//   t0, t1  CLOCK_MONOTONIC in nanoseconds just before and just after the
//           library call; the clock is system-wide, so replies of different
//           processes can be put in order
//   values  what the operation reports (record numbers, state fields, ...)
// Standard output is flushed after every reply, so a reply that has been
// read is a step that has happened.
//
// Operations (the current block is block 0 until `block K` picks another):
//   block K                        make block K current (created zeroed)
//   create PATH MODE               bcreate, little-endian, no root list
//   open PATH MODE ACCESS          bopen without a root list
//   rawopen PATH MODE ACCESS       _bopen (no marker check)
//   openmany N PATH MODE ACCESS    bopen N new blocks (appended after the
//                                  existing ones); values: the number opened,
//                                  the index of the first new block, then the
//                                  user slots; rc is the first failure (the
//                                  failing block stays closed and the rest
//                                  are not tried)
//   close                          mclose
//   fill BYTE                      fill the current block with BYTE: a block
//                                  that was never opened
//   closemany                      mclose every block opened by openmany
//   flush M                        csetfile
//   set FIELD V                    set a field of the block the host may set:
//                                  lazy (lazy-marker option), queued
//                                  (queued-gate option), queuestart (queue
//                                  start position)
//   strtread endread strtwrit endwrit clrwrit cflush
//   nextrec N                      cnextrec N times; values: the numbers
//                                  (stops at the first failure)
//   setcust TEXT                   csetcust with the text's bytes
//   getcust                        cgetcust; value: the text, or "-" if empty
//   setcnt V, getcnt               csetcnt, cgetcnt (value: the count)
//   state                          values: change counter, read depth, write
//                                  depth, gate state, read-lock level, user
//                                  slot (-1 none), flush mode, last result,
//                                  marker-present flag, state byte, queue
//                                  start position, queue position
//   tstslot S                      the internal slot test on the current block
//   probe PATH OFFSET LENGTH       value 1 when some process holds a lock in
//                                  the range, else 0 (a separate open of the
//                                  file asks the system)
//   asuser UID                     drop root: set group and user id to UID
//   sleep MS
//   echo WORD                      prints WORD back (a sequence marker)
//   kill                           SIGKILL to itself: dies inside whatever
//                                  section it is in, nothing cleaned up
//   exit                           _exit(0): no close, no library clean-up
//   quit                           end the script normally
//
// Keys, entries and locks.  Files made with dbcreate/dbopen carry the root
// list of the shared-file tests: root 1 holds 32-bit integer keys (key type
// 5), root 2 strings (key type 0).  A KEY word is read by the key type of its
// root: a number for integer roots, the text for string roots ("-" is the
// empty string), the text as a counted key for counted roots such as the
// lock tree, root 50.  A PAYLOAD word is stored as its text ("-": none).
// Positioning operations report the entry found: key (host order), record
// value and payload.  A payload is printed as "-" when empty, as hex when it
// has at most 16 bytes, else as n<length>h<FNV-1a 32-bit hash, hex>; counted
// keys are printed as the hex of the bytes after their count byte.
//   dbcreate PATH MODE ORDER       dbcreate with the test root list (ORDER 1
//                                  little-endian, 2 big-endian)
//   dbopen PATH MODE ACCESS        dbopen with the test root list
//   cdupadd R KEY REC [PAYLOAD]    cdupadd, key in host order
//   cunqadd R KEY REC [PAYLOAD]    cunqadd
//   addrange R FIRST COUNT STEP LEN   cdupadd COUNT integer keys FIRST,
//                                  FIRST+STEP, ..., record value = key,
//                                  payload pattern(key, LEN) (below); stops
//                                  at the first failure; value: the number
//                                  added
//   delrange R FIRST COUNT STEP    cdelete of those (key, record value = key);
//                                  stops at the first failure
//   cfind R KEY REC, cfirst R, clast R, cnext R, cprev R, cgetcur R
//                                  values: key, record value, payload
//   cdelete R KEY REC, cdelcur R, cchange R KEY REC PAYLOAD, cchgcur R PAYLOAD
//   walk R                         cfirst, then cnext until a call fails; rc:
//                                  the failing call's result (-1 at the end);
//                                  values: one key/record/payload per datum
//   walkback R                     the same backwards (clast, cprev)
//   msetlock R, mtstlock R, mclrlock R
//                                  value: the root lock table entry ('L'/'U')
//   msetsema NAME VALUE [OWNER], mtstsema ..., mclrsema ...
//                                  NAME a counted key made of the text; OWNER
//                                  defaults to the block's user slot
//   msetrec, mtstrec, mclrrec      values: locked record, current record
//   dadd ID NAME VALUE, dupdate ID NAME VALUE, ddelete
//                                  the data list of the tests: 'L' ID unique
//                                  key of root 1, 'S' NAME duplicate key of
//                                  root 2, 'L' VALUE no key; value: the
//                                  current record
//   cidfind R KEY HOW, dseq R HOW  value: the current record
//   cidread                        values: id, name ("-" empty), value,
//                                  current record
//   set bypass V, set merge V      record-lock bypass and merge-on-delete
//   addroot R S, droproot R        give root R tree slot S, drop root R's tree
//
// pattern(key, LEN): byte i is 'a' + (7 * key + i) mod 26, key taken as an
// unsigned 32-bit number.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "kindex.h"
#include "multiuser/sections.h"
#include "records/keyconv.h"
#include "support/lock_probe.h"

namespace {

int64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

struct Reply {
    std::string op;
    int32_t rc = 0;
    int64_t t0 = 0;
    int64_t t1 = 0;
    std::vector<std::string> values;

    void print() const {
        std::string line = op + " " + std::to_string(rc) + " " + std::to_string(t0) + " " + std::to_string(t1);
        for (const auto& v : values) line += " " + v;
        line += "\n";
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fflush(stdout);
    }
};

// The caller's side of a data file: the record buffer and the variables the
// data list points at.  Kept per block, at a fixed address.
struct DataVars {
    int32_t id = 0;
    char name[32] = {};
    int32_t value = 0;
    std::array<uint8_t, 512> record{};
    KXDLIST list[4] = {};

    DataVars() {
        list[0] = {'L', 5, 'U', 4, 1, &id};
        list[1] = {'S', 'S', 'D', static_cast<int16_t>(sizeof name), 2, name};
        list[2] = {'L', 'N', 'N', 4, 0, &value};
        list[3] = {};
        list[3].type = 'E';
    }
};

// Root list of files made by dbcreate and dbopen.
const KXROOTLIST kTestRoots[] = {{1, 5, nullptr}, {2, 0, nullptr}, {0, 0, nullptr}};

// std::deque keeps the blocks where they are when more are added: the
// library remembers control block addresses (node buffers name their owner).
struct Worker {
    std::deque<KXCB> blocks;
    std::deque<DataVars> data;
    size_t current = 0;
    size_t many_first = 0;
    size_t many_count = 0;

    KXCB& block(size_t k) {
        while (blocks.size() <= k) {
            blocks.emplace_back();
            std::memset(&blocks.back(), 0, sizeof(KXCB));
            data.emplace_back();
        }
        return blocks[k];
    }
    KXCB* cb() { return &block(current); }
    DataVars& vars() {
        block(current);
        return data[current];
    }
};

uint8_t key_type_of(const KXCB* cb, int32_t root) {
    return root >= 1 && root <= 50 ? static_cast<uint8_t>(cb->root_types[root] & 31) : uint8_t{31};
}

bool is_string_type(uint8_t t) { return t == 0 || t == 1; }
bool is_counted_type(uint8_t t) { return t == 2 || (t >= 18 && t <= 20); }
bool is_int32_type(uint8_t t) { return t == 3 || t == 5; }
bool is_int16_type(uint8_t t) { return t == 4 || t == 10; }

// A key word in host order by the root's key type; false for a type the
// worker does not know.
bool parse_key(const KXCB* cb, int32_t root, const std::string& w, uint8_t* key) {
    std::memset(key, 0, 256);
    const uint8_t t = key_type_of(cb, root);
    const std::string text = w == "-" ? std::string() : w;
    if (is_string_type(t)) {
        if (text.size() > 241) return false;
        std::memcpy(key, text.data(), text.size());
    } else if (is_counted_type(t)) {
        if (text.size() > 241) return false;
        key[0] = static_cast<uint8_t>(text.size());
        std::memcpy(key + 1, text.data(), text.size());
    } else if (is_int32_type(t)) {
        const auto v = static_cast<int32_t>(std::strtoll(w.c_str(), nullptr, 0));
        std::memcpy(key, &v, sizeof v);
    } else if (is_int16_type(t)) {
        const auto v = static_cast<int16_t>(std::strtoll(w.c_str(), nullptr, 0));
        std::memcpy(key, &v, sizeof v);
    } else {
        return false;
    }
    return true;
}

std::string hex(const uint8_t* p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s.push_back(digits[p[i] >> 4]);
        s.push_back(digits[p[i] & 15]);
    }
    return s;
}

// The current key of the block as the tests read it.  The current-key
// buffer is in the order the key byte order field names when the key
// parameter points at it (host order after a call), else in the file's.
std::string show_key(KXCB* cb, int32_t root) {
    uint8_t k[256];
    std::memcpy(k, cb->current_key, sizeof k);
    const uint8_t t = key_type_of(cb, root);
    const auto from = cb->key == static_cast<void*>(cb->current_key) ? static_cast<uint8_t>(cb->key_byte_order)
                                                                     : cb->byte_order[0];
    kx::convkey(cb, root, k, t, from, uint8_t{1});
    if (is_string_type(t)) {
        k[255] = 0;
        const std::string s(reinterpret_cast<const char*>(k));
        return s.empty() ? "-" : s;
    }
    if (is_counted_type(t)) return hex(k + 1, k[0]);
    if (is_int32_type(t)) {
        int32_t v = 0;
        std::memcpy(&v, k, sizeof v);
        return std::to_string(v);
    }
    if (is_int16_type(t)) {
        int16_t v = 0;
        std::memcpy(&v, k, sizeof v);
        return std::to_string(v);
    }
    return hex(k, 8);
}

std::string show_payload(const uint8_t* p, int32_t n) {
    if (n <= 0) return "-";
    if (n <= 16) return hex(p, static_cast<size_t>(n));
    uint32_t h = 2166136261u;
    for (int32_t i = 0; i < n; ++i) h = (h ^ p[i]) * 16777619u;
    char buf[32];
    std::snprintf(buf, sizeof buf, "n%dh%08x", n, h);
    return buf;
}

std::vector<uint8_t> pattern(uint32_t key, int32_t n) {
    std::vector<uint8_t> p(static_cast<size_t>(n > 0 ? n : 0));
    for (size_t i = 0; i < p.size(); ++i) p[i] = static_cast<uint8_t>('a' + (7u * key + i) % 26u);
    return p;
}

// A payload buffer large enough for any datum of the tests.
constexpr int32_t PayloadRoom = 40000;


[[noreturn]] void bad_script(const std::string& line) {
    std::fprintf(stderr, "kx_worker: cannot run '%s'\n", line.c_str());
    std::fflush(stderr);
    std::_Exit(2);
}

// Runs one operation; false when the script is to end.
bool run(Worker& w, const std::string& line) {
    std::istringstream in(line);
    Reply r;
    if (!(in >> r.op)) return true;
    const std::string& op = r.op;
    auto word = [&]() {
        std::string s;
        if (!(in >> s)) bad_script(line);
        return s;
    };
    auto number = [&]() { return std::strtoll(word().c_str(), nullptr, 0); };
    // The next word when there is one.
    auto optional_word = [&](std::string& s) { return static_cast<bool>(in >> s); };
    auto call = [&](auto&& f) {
        r.t0 = now_ns();
        r.rc = f();
        r.t1 = now_ns();
    };

    if (op == "block") {
        w.current = static_cast<size_t>(number());
        w.block(w.current);
    } else if (op == "create") {
        const std::string path = word();
        const char mode = word()[0];
        call([&] { return bcreate(w.cb(), path.c_str(), mode, 1, nullptr); });
    } else if (op == "open" || op == "rawopen") {
        const std::string path = word();
        const char mode = word()[0];
        const auto access = static_cast<int32_t>(number());
        call([&] {
            return op == "open" ? bopen(w.cb(), path.c_str(), mode, access, nullptr)
                                : _bopen(w.cb(), path.c_str(), mode, access);
        });
    } else if (op == "openmany") {
        const auto n = static_cast<size_t>(number());
        const std::string path = word();
        const char mode = word()[0];
        const auto access = static_cast<int32_t>(number());
        w.many_first = w.blocks.size();
        w.many_count = 0;
        std::vector<std::string> slots;
        call([&] {
            for (size_t i = 0; i < n; ++i) {
                KXCB& b = w.block(w.many_first + i);
                const int32_t rc = bopen(&b, path.c_str(), mode, access, nullptr);
                if (rc != 0) return rc;
                ++w.many_count;
                slots.push_back(std::to_string(static_cast<int32_t>(b.user_slot)));
            }
            return 0;
        });
        r.values.push_back(std::to_string(w.many_count));
        r.values.push_back(std::to_string(w.many_first));
        r.values.insert(r.values.end(), slots.begin(), slots.end());
    } else if (op == "closemany") {
        call([&] {
            int32_t first = 0;
            for (size_t i = 0; i < w.many_count; ++i) {
                const int32_t rc = mclose(&w.block(w.many_first + i));
                if (first == 0) first = rc;
            }
            w.many_count = 0;
            return first;
        });
    } else if (op == "close") {
        call([&] { return mclose(w.cb()); });
    } else if (op == "fill") {
        std::memset(w.cb(), static_cast<int>(number()), sizeof(KXCB));
    } else if (op == "flush") {
        const auto m = static_cast<uint32_t>(number());
        call([&] { return csetfile(w.cb(), m); });
    } else if (op == "set") {
        const std::string field = word();
        const auto v = static_cast<uint32_t>(number());
        if (field == "lazy") {
            w.cb()->lazy_marker = v;
        } else if (field == "queued") {
            w.cb()->queued_gate = v;
        } else if (field == "queuestart") {
            w.cb()->queue_start = v;
        } else if (field == "bypass") {
            w.cb()->lock_bypass = v;
        } else if (field == "merge") {
            w.cb()->merge_on_delete = v;
        } else {
            bad_script(line);
        }
    } else if (op == "strtread") {
        call([&] { return strtread(w.cb()); });
    } else if (op == "endread") {
        call([&] { return endread(w.cb()); });
    } else if (op == "strtwrit") {
        call([&] { return strtwrit(w.cb()); });
    } else if (op == "endwrit") {
        call([&] { return endwrit(w.cb()); });
    } else if (op == "clrwrit") {
        call([&] { return clrwrit(w.cb()); });
    } else if (op == "cflush") {
        call([&] { return cflush(w.cb()); });
    } else if (op == "nextrec") {
        const auto n = number();
        r.values.reserve(static_cast<size_t>(n));
        call([&] {
            for (long long i = 0; i < n; ++i) {
                const int32_t rc = cnextrec(w.cb());
                if (rc != 0) return rc;
                r.values.push_back(std::to_string(w.cb()->recval));
            }
            return 0;
        });
    } else if (op == "setcust") {
        const std::string text = word();
        call([&] { return csetcust(w.cb(), text.data(), static_cast<int32_t>(text.size())); });
    } else if (op == "getcust") {
        char buf[101] = {};
        call([&] { return cgetcust(w.cb(), buf, 100); });
        const std::string text(buf, static_cast<size_t>(w.cb()->datatotal > 0 ? w.cb()->datatotal : 0));
        r.values.push_back(text.empty() ? "-" : text);
    } else if (op == "setcnt") {
        const auto v = static_cast<uint32_t>(number());
        call([&] { return csetcnt(w.cb(), v); });
    } else if (op == "getcnt") {
        call([&] { return cgetcnt(w.cb()); });
        r.values.push_back(std::to_string(w.cb()->recval));
    } else if (op == "state") {
        const KXCB* b = w.cb();
        r.values = {std::to_string(b->change_counter),
                    std::to_string(b->read_depth),
                    std::to_string(b->write_depth),
                    std::string(1, b->gate_state ? b->gate_state : '0'),
                    std::to_string(b->read_lock_level),
                    std::to_string(static_cast<int32_t>(b->user_slot)),
                    std::to_string(b->flush_mode),
                    std::to_string(b->last_result),
                    std::to_string(b->marker_present),
                    std::string(1, b->state ? b->state : '0'),
                    std::to_string(b->queue_start),
                    std::to_string(b->queue_pos)};
    } else if (op == "tstslot") {
        const auto s = static_cast<uint32_t>(number());
        call([&] { return kx::tstslot(w.cb(), s); });
    } else if (op == "probe") {
        const std::string path = word();
        const auto offset = static_cast<off_t>(number());
        const auto length = static_cast<off_t>(number());
        r.values.push_back(kxtest::lock_state(path, offset, length) == 1 ? "1" : "0");
    } else if (op == "asuser") {
        const auto id = static_cast<uid_t>(number());
        call([&] { return setgid(id) == 0 && setuid(id) == 0 ? 0 : -errno; });
    } else if (op == "sleep") {
        const auto ms = number();
        call([&] {
            usleep(static_cast<useconds_t>(ms * 1000));
            return 0;
        });
    } else if (op == "echo") {
        r.values.push_back(word());
        r.t0 = r.t1 = now_ns();
    } else if (op == "kill") {
        std::fflush(stdout);
        raise(SIGKILL);
    } else if (op == "exit") {
        std::fflush(stdout);
        _exit(0);
    } else if (op == "dbcreate" || op == "dbopen") {
        const std::string path = word();
        const char mode = word()[0];
        const auto n = static_cast<int32_t>(number());
        DataVars& d = w.vars();
        const auto size = static_cast<uint32_t>(d.record.size());
        call([&] {
            return op == "dbcreate" ? dbcreate(w.cb(), path.c_str(), d.record.data(), size, mode, n, kTestRoots)
                                    : dbopen(w.cb(), path.c_str(), d.record.data(), size, mode, n, kTestRoots);
        });
    } else if (op == "cdupadd" || op == "cunqadd" || op == "cchange") {
        const auto root = static_cast<int32_t>(number());
        uint8_t key[256];
        if (!parse_key(w.cb(), root, word(), key)) bad_script(line);
        const auto rec = static_cast<uint32_t>(number());
        std::string payload;
        if (op == "cchange")
            payload = word();
        else
            optional_word(payload);
        if (payload == "-") payload.clear();
        const void* p = payload.empty() ? nullptr : payload.data();
        const auto n = static_cast<int32_t>(payload.size());
        call([&] {
            w.cb()->key_byte_order = 1;
            if (op == "cdupadd") return cdupadd(w.cb(), root, key, rec, p, n);
            if (op == "cunqadd") return cunqadd(w.cb(), root, key, rec, p, n);
            return cchange(w.cb(), root, key, rec, p, n);
        });
    } else if (op == "cchgcur") {
        const auto root = static_cast<int32_t>(number());
        std::string payload = word();
        if (payload == "-") payload.clear();
        call([&] {
            return cchgcur(w.cb(), root, payload.empty() ? nullptr : payload.data(),
                           static_cast<int32_t>(payload.size()));
        });
    } else if (op == "addrange" || op == "delrange") {
        const auto root = static_cast<int32_t>(number());
        const auto first = number();
        const auto count = number();
        const auto step = number();
        const auto len = op == "addrange" ? static_cast<int32_t>(number()) : 0;
        long long done = 0;
        call([&] {
            for (; done < count; ++done) {
                const auto k = static_cast<int32_t>(first + done * step);
                const auto p = pattern(static_cast<uint32_t>(k), len);
                w.cb()->key_byte_order = 1;
                const int32_t rc = op == "addrange"
                                       ? cdupadd(w.cb(), root, &k, static_cast<uint32_t>(k), p.data(), len)
                                       : cdelete(w.cb(), root, &k, static_cast<uint32_t>(k));
                if (rc != 0) return rc;
            }
            return 0;
        });
        r.values.push_back(std::to_string(done));
    } else if (op == "cfind" || op == "cfirst" || op == "clast" || op == "cnext" || op == "cprev" ||
               op == "cgetcur") {
        const auto root = static_cast<int32_t>(number());
        uint8_t key[256] = {};
        uint32_t rec = 0;
        if (op == "cfind") {
            if (!parse_key(w.cb(), root, word(), key)) bad_script(line);
            rec = static_cast<uint32_t>(number());
        }
        std::vector<uint8_t> buf(PayloadRoom);
        call([&] {
            KXCB* cb = w.cb();
            if (op == "cfind") return cfind(cb, root, key, rec, buf.data(), PayloadRoom);
            if (op == "cfirst") return cfirst(cb, root, buf.data(), PayloadRoom);
            if (op == "clast") return clast(cb, root, buf.data(), PayloadRoom);
            if (op == "cnext") return cnext(cb, root, buf.data(), PayloadRoom);
            if (op == "cprev") return cprev(cb, root, buf.data(), PayloadRoom);
            return cgetcur(cb, root, buf.data(), PayloadRoom);
        });
        r.values = {show_key(w.cb(), root), std::to_string(w.cb()->recval),
                    show_payload(buf.data(), r.rc >= 0 ? w.cb()->datalen : 0)};
    } else if (op == "walk" || op == "walkback") {
        const auto root = static_cast<int32_t>(number());
        std::vector<uint8_t> buf(PayloadRoom);
        const bool forward = op == "walk";
        call([&] {
            KXCB* cb = w.cb();
            int32_t rc = forward ? cfirst(cb, root, buf.data(), PayloadRoom) : clast(cb, root, buf.data(), PayloadRoom);
            while (rc == 0) {
                r.values.push_back(show_key(cb, root) + "/" + std::to_string(cb->recval) + "/" +
                                   show_payload(buf.data(), cb->datalen));
                rc = forward ? cnext(cb, root, buf.data(), PayloadRoom) : cprev(cb, root, buf.data(), PayloadRoom);
            }
            return rc;
        });
    } else if (op == "cdelete") {
        const auto root = static_cast<int32_t>(number());
        uint8_t key[256];
        if (!parse_key(w.cb(), root, word(), key)) bad_script(line);
        const auto rec = static_cast<uint32_t>(number());
        call([&] { return cdelete(w.cb(), root, key, rec); });
    } else if (op == "cdelcur") {
        const auto root = static_cast<int32_t>(number());
        call([&] { return cdelcur(w.cb(), root); });
    } else if (op == "addroot") {
        const auto root = static_cast<int32_t>(number());
        const auto slot = static_cast<int32_t>(number());
        call([&] { return addroot(w.cb(), root, slot); });
    } else if (op == "droproot") {
        const auto root = static_cast<uint32_t>(number());
        call([&] { return droproot(w.cb(), root); });
    } else if (op == "msetlock" || op == "mtstlock" || op == "mclrlock") {
        const auto root = static_cast<int32_t>(number());
        call([&] {
            if (op == "msetlock") return msetlock(w.cb(), root);
            if (op == "mtstlock") return mtstlock(w.cb(), root);
            return mclrlock(w.cb(), root);
        });
        const char state = root >= 0 && root <= 51 ? static_cast<char>(w.cb()->root_locks[root]) : '?';
        r.values.push_back(std::string(1, state ? state : '0'));
    } else if (op == "msetsema" || op == "mtstsema" || op == "mclrsema") {
        const std::string name = word();
        if (name.size() > 200) bad_script(line);
        uint8_t key[256] = {};
        key[0] = static_cast<uint8_t>(name.size());
        std::memcpy(key + 1, name.data(), name.size());
        const auto value = static_cast<uint32_t>(number());
        auto owner = static_cast<uint16_t>(w.cb()->user_slot);
        std::string given;
        if (optional_word(given)) owner = static_cast<uint16_t>(std::strtoul(given.c_str(), nullptr, 0));
        call([&] {
            if (op == "msetsema") return msetsema(w.cb(), key, value, owner);
            if (op == "mtstsema") return mtstsema(w.cb(), key, value, owner);
            return mclrsema(w.cb(), key, value, owner);
        });
    } else if (op == "msetrec" || op == "mtstrec" || op == "mclrrec") {
        call([&] {
            if (op == "msetrec") return msetrec(w.cb());
            if (op == "mtstrec") return mtstrec(w.cb());
            return mclrrec(w.cb());
        });
        r.values = {std::to_string(w.cb()->locked_record), std::to_string(w.cb()->current_record)};
    } else if (op == "dadd" || op == "dupdate") {
        DataVars& d = w.vars();
        d.id = static_cast<int32_t>(number());
        const std::string name = word();
        if (name.size() >= sizeof d.name) bad_script(line);
        std::memset(d.name, 0, sizeof d.name);
        if (name != "-") std::memcpy(d.name, name.data(), name.size());
        d.value = static_cast<int32_t>(number());
        call([&] { return op == "dadd" ? dadd(w.cb(), d.list) : dupdate(w.cb(), d.list); });
        r.values.push_back(std::to_string(w.cb()->current_record));
    } else if (op == "ddelete") {
        call([&] { return ddelete(w.cb(), w.vars().list); });
        r.values.push_back(std::to_string(w.cb()->current_record));
    } else if (op == "cidfind") {
        const auto root = static_cast<int32_t>(number());
        uint8_t key[256];
        if (!parse_key(w.cb(), root, word(), key)) bad_script(line);
        const auto how = static_cast<int32_t>(number());
        const uint8_t type = is_string_type(key_type_of(w.cb(), root)) ? uint8_t{'S'} : w.cb()->root_types[root];
        call([&] { return cidfind(w.cb(), root, key, type, how); });
        r.values.push_back(std::to_string(w.cb()->current_record));
    } else if (op == "dseq") {
        const auto root = static_cast<int32_t>(number());
        const auto how = static_cast<int32_t>(number());
        call([&] { return dseq(w.cb(), root, how); });
        r.values.push_back(std::to_string(w.cb()->current_record));
    } else if (op == "cidread") {
        DataVars& d = w.vars();
        d.id = 0;
        d.value = 0;
        std::memset(d.name, 0, sizeof d.name);
        call([&] { return cidread(w.cb(), d.list); });
        d.name[sizeof d.name - 1] = 0;
        r.values = {std::to_string(d.id), d.name[0] ? std::string(d.name) : std::string("-"), std::to_string(d.value),
                    std::to_string(w.cb()->current_record)};
    } else if (op == "quit") {
        return false;
    } else {
        bad_script(line);
    }
    r.print();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    // A test that has gone away must not leave a worker blocked on writing.
    signal(SIGPIPE, SIG_DFL);
    Worker w;
    if (argc > 1) {
        for (int i = 1; i < argc; ++i)
            if (!run(w, argv[i])) break;
        return 0;
    }
    std::string line;
    while (std::getline(std::cin, line))
        if (!run(w, line)) break;
    return 0;
}
