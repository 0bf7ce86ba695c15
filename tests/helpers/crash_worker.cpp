// crash_worker: a seeded random workload on one file, run in a process of
// its own so that a test can kill it at any moment (tests/crash_kill_test.cpp).
//
// Every change is made inside a transaction: transbeg, one to eight calls,
// transend.  Before each library call that may change the file the worker
// writes "> CALL" on standard output, after it returns "< RC [VALUES]";
// output is flushed after every line, so the lines read by the test are
// exactly the calls started and the calls that returned, and the test can
// replay them on a file of its own.
//
// Arguments (NAME=VALUE):
//   file=PATH        the file, created beforehand by the test
//   kind=index|data  index file (roots 1 int32, 2 string, 3 int16) or data
//                    file (data list below, roots 1 int32 unique, 2 string)
//   open=E|S         exclusive or shared
//   trans=1|3        transaction mode: 1 undo log and mirror file, 3 undo log
//   mirror=PATH      mirror file for mode 1 (a byte copy of the file)
//   image=PATH       image file attached with imageback (created when absent)
//   cache=N          cibufnum(N) before anything is opened
//   seed=N           workload seed
//   id=N             worker number: its keys and ids are its own
//   keys=N           keys per root to choose from (default 24)
//   txns=N           transactions to run, then close (0: until stopped)
//   how=N            transend always with N (default: 1, 2 or 3 at random)
//   hold=MS          after the last transaction, wait MS milliseconds (or
//                    until SIGTERM) before closing the file
//   die_calls=N      SIGKILL to itself when the Nth call has returned,
//                    before its "<" line
//   die_writes=N     SIGKILL to itself instead of making the Nth file write
//                    (every pwrite of the process counts: index, image and
//                    mirror file)
//
// Calls (the "> " lines):
//   begin MODE                       transbeg; "< RC T" with T the
//                                    CLOCK_MONOTONIC ns after it returned
//   end HOW                          transend
//   add R KEY REC LEN SEED           cdupadd, payload payload(SEED, LEN)
//   uadd R KEY REC LEN SEED          cunqadd
//   del R KEY REC                    cdelete
//   chg R KEY REC LEN SEED           cchange
//   dadd ID VALUE LEN SEED           dadd; "< RC RECORD" with the record
//                                    number it was given; the name field
//                                    holds "n<ID mod 7>-<VALUE mod 5>", the
//                                    note field note(SEED, LEN)
//   dupd ID VALUE LEN SEED           cidfind on root 1, msetrec when shared,
//                                    dupdate; RC is the first step that failed
//   ddel ID                          the same with ddelete
// Keys are written as numbers for roots 1 and 3, as text for root 2.
//
// Shared files: only one transaction can be open on a file at a time, so a
// transbeg answered KX_E_LOGOWNER or KX_E_LOGPENDING (after rolling the
// pending log back) is retried after a
// short sleep (silently: one "> begin" and one "< " line), and after each
// transaction the worker pauses a little so that the others get their turn.  A call answered
// KX_E_MARKER means another process died in the middle of a write section:
// the worker writes "wait marker", reads one line from standard input (the
// test sends it once the file is recovered) and retries; so does a call
// answered KX_E_SECTION while the file is marked (cdelete answers so).
//
// Once open it writes "ready SLOT" (its user slot, -1 exclusive).  SIGTERM
// asks the worker to stop before its next transaction: it closes the file and
// writes "closed RC".  At the end it writes "writes N".
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "kindex.h"
#include "support/crash_workload.h"

namespace {

// --- Process-wide counters and the self-kill ------------------------------

uint64_t g_writes = 0;
uint64_t g_die_writes = 0;
volatile sig_atomic_t g_stop = 0;

void on_term(int) { g_stop = 1; }

}  // namespace

// Every write of the library goes through here: counted, and the one the
// test named is never made.
extern "C" ssize_t pwrite(int fd, const void* buf, size_t count, off_t offset) {
    ++g_writes;
    if (g_die_writes != 0 && g_writes >= g_die_writes) raise(SIGKILL);
    return syscall(SYS_pwrite64, fd, buf, count, offset);
}

namespace {

int64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

void line(const std::string& s) {
    const std::string out = s + "\n";
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
}

using namespace kxtest::workload;


struct Options {
    std::string file, kind = "index", mirror, image;
    char open = 'E';
    int32_t trans = 3;
    uint32_t cache = 100;
    uint64_t seed = 1;
    int32_t id = 0;
    int32_t keys = 24;
    int64_t txns = 0;
    int32_t how = 0;
    int64_t hold = 0;
    uint64_t die_calls = 0;
};

[[noreturn]] void usage(const std::string& why) {
    std::fprintf(stderr, "crash_worker: %s\n", why.c_str());
    std::_Exit(2);
}

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const auto eq = a.find('=');
        if (eq == std::string::npos) usage("bad argument " + a);
        const std::string k = a.substr(0, eq), v = a.substr(eq + 1);
        auto num = [&] { return std::strtoll(v.c_str(), nullptr, 10); };
        if (k == "file") o.file = v;
        else if (k == "kind") o.kind = v;
        else if (k == "open") o.open = v.empty() ? 'E' : v[0];
        else if (k == "trans") o.trans = static_cast<int32_t>(num());
        else if (k == "mirror") o.mirror = v;
        else if (k == "image") o.image = v;
        else if (k == "cache") o.cache = static_cast<uint32_t>(num());
        else if (k == "seed") o.seed = std::strtoull(v.c_str(), nullptr, 10);
        else if (k == "id") o.id = static_cast<int32_t>(num());
        else if (k == "keys") o.keys = static_cast<int32_t>(num());
        else if (k == "txns") o.txns = num();
        else if (k == "how") o.how = static_cast<int32_t>(num());
        else if (k == "hold") o.hold = num();
        else if (k == "die_calls") o.die_calls = std::strtoull(v.c_str(), nullptr, 10);
        else if (k == "die_writes") g_die_writes = std::strtoull(v.c_str(), nullptr, 10);
        else usage("unknown argument " + a);
    }
    if (o.file.empty()) usage("no file=");
    if (o.kind != "index" && o.kind != "data") usage("kind is index or data");
    if (o.keys < 1) o.keys = 1;
    return o;
}

// One entry the worker knows to be in the file (its own keys only).
struct Held {
    int32_t root;
    int32_t k;  // key number 0..keys-1
    uint32_t rec;
    auto operator<=>(const Held&) const = default;
};

class Runner {
public:
    explicit Runner(const Options& o) : o_(o), rng_(o.seed) {
        std::memset(&cb_, 0, sizeof cb_);
        std::memset(&mirror_, 0, sizeof mirror_);
        std::memset(&image_, 0, sizeof image_);
    }

    int run() {
        if (cibufnum(o_.cache) != 0) usage("cibufnum refused");
        // A shared file can be left marked by another process that died
        // before this one opened it.
        int32_t rc;
        do {
            rc = data() ? dbopen(&cb_, o_.file.c_str(), record_.data(), static_cast<uint32_t>(record_.size()),
                                 o_.open, 2, kDataRoots)
                        : bopen(&cb_, o_.file.c_str(), o_.open, 2, kIndexRoots);
        } while (marker_wait(rc));
        if (rc != 0) return fail("open", rc);
        if (!o_.mirror.empty()) {
            rc = bopen(&mirror_, o_.mirror.c_str(), 'E', 2, data() ? kDataRoots : kIndexRoots);
            if (rc != 0) return fail("mirror open", rc);
        }
        rc = csetfile(&cb_, 4);
        if (rc != 0) return fail("csetfile", rc);
        if (!o_.image.empty()) {
            if (::access(o_.image.c_str(), F_OK) != 0) {
                KXCB made;
                std::memset(&made, 0, sizeof made);
                rc = ccreate(&made, o_.image.c_str());
                if (rc == 0) rc = mclose(&made);
                if (rc != 0) return fail("image create", rc);
            }
            rc = imgopen(&image_, o_.image.c_str(), 'E', 2);
            if (rc != 0) return fail("imgopen", rc);
            rc = imageback(&cb_, &image_);
            if (rc != 0) return fail("imageback", rc);
        }
        line("ready " + std::to_string(static_cast<int32_t>(cb_.user_slot)));
        for (int64_t t = 0; (o_.txns == 0 || t < o_.txns) && !g_stop; ++t) transaction();
        if (o_.hold > 0 && !g_stop) {
            line("holding");
            const timespec pause{static_cast<time_t>(o_.hold / 1000), static_cast<long>(o_.hold % 1000) * 1000000};
            nanosleep(&pause, nullptr);  // a signal ends it early
        }
        rc = mclose(&cb_);
        line("closed " + std::to_string(rc));
        if (!o_.mirror.empty()) mclose(&mirror_);
        if (!o_.image.empty()) imgclose(&image_);
        line("writes " + std::to_string(g_writes));
        return 0;
    }

private:
    bool data() const { return o_.kind == "data"; }
    bool shared() const { return o_.open != 'E'; }

    int fail(const char* what, int32_t rc) {
        line(std::string("failed ") + what + " " + std::to_string(rc));
        return 1;
    }

    uint32_t pick(uint32_t n) { return static_cast<uint32_t>(rng_() % n); }

    // A call answered KX_E_MARKER waits until the test has recovered the file.
    bool marker_wait(int32_t rc) {
        if (rc != KX_E_MARKER || !shared()) return false;
        line("wait marker");
        std::string go;
        if (!std::getline(std::cin, go)) std::_Exit(0);
        return true;
    }

    // Some calls answer a write section they could not start with
    // KX_E_SECTION, whatever refused it (cdelete does).  In a shared file a
    // start is refused here only by the marker of a process that died: a
    // section of our own tells whether the marker is still set (then the
    // worker waits for the recovery like for KX_E_MARKER), or whether the
    // recovery has cleared it meanwhile.  Either way the refused call changed
    // nothing and runs again (a few times at most, so that a KX_E_SECTION of
    // another cause is reported).
    bool refused_section(int32_t rc, int* retries) {
        if (rc != KX_E_SECTION || !shared() || ++*retries > 3) return false;
        const int32_t probe = strtwrit(&cb_);
        if (probe == 0) {
            endwrit(&cb_);
            return true;
        }
        return marker_wait(probe);
    }

    // Runs a call between its two lines; the self-kill by call count comes
    // after it returned and before its "<" line.
    template <typename F>
    int32_t call(const std::string& desc, F&& f) {
        line("> " + desc);
        int32_t rc;
        int retries = 0;
        do {
            rc = f();
        } while (marker_wait(rc) || refused_section(rc, &retries));
        if (o_.die_calls != 0 && ++calls_ >= o_.die_calls) raise(SIGKILL);
        return rc;
    }

    void transaction() {
        KXCB* mirror = o_.trans == 1 ? &mirror_ : nullptr;
        int32_t rc = call("begin " + std::to_string(o_.trans), [&] {
            for (;;) {
                const int32_t r = transbeg(&cb_, o_.trans, mirror);
                if (!shared() || (r != KX_E_LOGOWNER && r != KX_E_LOGPENDING) || g_stop) return r;
                // A pending log that is not ours (or that a process which
                // held our user slot before us left) is rolled back, as the
                // library's answer asks; a live owner's is waited for.
                if (r == KX_E_LOGPENDING) transroll(&cb_, nullptr, 0, nullptr);
                ::usleep(200 + pick(800));
            }
        });
        line("< " + std::to_string(rc) + " " + std::to_string(now_ns()));
        if (rc != 0) {
            ::usleep(1000);
            return;
        }
        const uint32_t n = 1 + pick(8);
        for (uint32_t i = 0; i < n; ++i) data() ? data_step() : index_step();
        const uint32_t drawn = 1 + pick(3);
        const auto how = o_.how != 0 ? static_cast<uint32_t>(o_.how) : drawn;
        rc = call("end " + std::to_string(how), [&] { return transend(&cb_, static_cast<int32_t>(how)); });
        line("< " + std::to_string(rc));
        // Taking turns: another process waiting for the log gets its chance.
        if (shared()) ::usleep(300 + pick(1500));
    }

    // --- Index files ------------------------------------------------------

    // The key of key number k of a root: int32 and int16 keys numbered per
    // worker, string keys of lengths 6..40.
    std::string key_text(int32_t root, int32_t k) const {
        if (root == 1) return std::to_string(o_.id * 100000 + k * 7 - 50);
        if (root == 3) return std::to_string(o_.id * 1000 + k * 3 - 500);
        std::string s = "w";
        s += std::to_string(o_.id);
        s += 'k';
        s += std::to_string(k);
        s.append(static_cast<size_t>((k * 5) % 35), static_cast<char>('a' + k % 26));
        return s;
    }

    void key_bytes(int32_t root, int32_t k, uint8_t* key) const {
        std::memset(key, 0, 256);
        const std::string t = key_text(root, k);
        if (root == 1) {
            const auto v = static_cast<int32_t>(std::strtol(t.c_str(), nullptr, 10));
            std::memcpy(key, &v, sizeof v);
        } else if (root == 3) {
            const auto v = static_cast<int16_t>(std::strtol(t.c_str(), nullptr, 10));
            std::memcpy(key, &v, sizeof v);
        } else {
            std::memcpy(key, t.data(), t.size());
        }
    }

    int32_t payload_length() {
        const uint32_t r = pick(100);
        if (r < 35) return static_cast<int32_t>(pick(41));
        if (r < 65) return 41 + static_cast<int32_t>(pick(204));
        if (r < 90) return 245 + static_cast<int32_t>(pick(1256));
        return 1501 + static_cast<int32_t>(pick(2500));
    }

    bool key_present(int32_t root, int32_t k) const {
        auto it = held_.lower_bound(Held{root, k, 0});
        return it != held_.end() && it->root == root && it->k == k;
    }

    void index_step() {
        const uint32_t r = pick(100);
        const bool have = !held_.empty();
        uint8_t key[256];
        if (r < 25 && have) {
            const Held h = any_held();
            key_bytes(h.root, h.k, key);
            const int32_t rc = call("del " + std::to_string(h.root) + " " + key_text(h.root, h.k) + " " +
                                        std::to_string(h.rec),
                                    [&] { return cdelete(&cb_, h.root, key, h.rec); });
            if (rc == 0) held_.erase(h);
            line("< " + std::to_string(rc));
        } else if (r < 50 && have) {
            const Held h = any_held();
            key_bytes(h.root, h.k, key);
            const int32_t len = payload_length();
            const auto seed = static_cast<uint32_t>(rng_());
            const auto p = payload(seed, len);
            const int32_t rc = call("chg " + std::to_string(h.root) + " " + key_text(h.root, h.k) + " " +
                                        std::to_string(h.rec) + " " + std::to_string(len) + " " + std::to_string(seed),
                                    [&] { return cchange(&cb_, h.root, key, h.rec, p.data(), len); });
            line("< " + std::to_string(rc));
        } else {
            const auto root = static_cast<int32_t>(1 + pick(3));
            const auto k = static_cast<int32_t>(pick(static_cast<uint32_t>(o_.keys)));
            const uint32_t rec = 1 + pick(4);
            const bool unique = r >= 90;
            if (!unique && held_.count(Held{root, k, rec}) != 0) return;
            key_bytes(root, k, key);
            const int32_t len = payload_length();
            const auto seed = static_cast<uint32_t>(rng_());
            const auto p = payload(seed, len);
            const bool present = key_present(root, k);
            const int32_t rc = call(std::string(unique ? "uadd " : "add ") + std::to_string(root) + " " +
                                        key_text(root, k) + " " + std::to_string(rec) + " " + std::to_string(len) +
                                        " " + std::to_string(seed),
                                    [&] {
                                        return unique ? cunqadd(&cb_, root, key, rec, p.data(), len)
                                                      : cdupadd(&cb_, root, key, rec, p.data(), len);
                                    });
            if (rc == 0 && !(unique && present)) held_.insert(Held{root, k, rec});
            line("< " + std::to_string(rc));
        }
    }

    Held any_held() {
        auto it = held_.begin();
        std::advance(it, static_cast<long>(pick(static_cast<uint32_t>(held_.size()))));
        return *it;
    }

    // --- Data files -------------------------------------------------------

    int32_t data_id(int32_t k) const { return o_.id * 100000 + k; }

    void fill(int32_t k, uint32_t value, int32_t len, uint32_t seed) {
        vars_.id = data_id(k);
        std::snprintf(vars_.name, sizeof vars_.name, "n%d-%u", static_cast<int>(vars_.id % 7), value % 5);
        vars_.value = static_cast<int32_t>(value);
        const std::string text = note(seed, len);
        std::memset(vars_.note, 0, sizeof vars_.note);
        std::memcpy(vars_.note, text.data(), text.size());
    }

    int32_t note_length() {
        const uint32_t r = pick(100);
        if (r < 50) return static_cast<int32_t>(pick(60));
        if (r < 85) return 60 + static_cast<int32_t>(pick(300));
        return 360 + static_cast<int32_t>(pick(NoteRoom - 361));
    }

    // Finds the record of key number k and takes its lock when shared.
    int32_t current(int32_t k) {
        int32_t want = data_id(k);
        int32_t rc = cidfind(&cb_, 1, &want, 5, 1);
        if (rc == 0 && shared()) rc = msetrec(&cb_);
        return rc;
    }

    void data_step() {
        const uint32_t r = pick(100);
        const auto k = static_cast<int32_t>(pick(static_cast<uint32_t>(o_.keys)));
        const bool known = ids_.count(k) != 0;
        const auto value = static_cast<uint32_t>(pick(1000000));
        const int32_t len = note_length();
        const auto seed = static_cast<uint32_t>(rng_());
        const std::string fields = std::to_string(data_id(k)) + " " + std::to_string(value) + " " +
                                   std::to_string(len) + " " + std::to_string(seed);
        if (r < 45 || ids_.empty()) {
            // Mostly new ids; an id in use is refused and undone by dadd.
            if (known && r % 4 != 0) return;
            const int32_t rc = call("dadd " + fields, [&] {
                fill(k, value, len, seed);
                return dadd(&cb_, vars_.list);
            });
            if (rc == 0) ids_.insert(k);
            line("< " + std::to_string(rc) + " " + std::to_string(cb_.current_record));
        } else if (r < 75) {
            const int32_t rc = call("dupd " + fields, [&] {
                int32_t c = current(k);
                if (c != 0) return c;
                fill(k, value, len, seed);
                c = dupdate(&cb_, vars_.list);
                if (shared()) mclrrec(&cb_);
                return c;
            });
            line("< " + std::to_string(rc));
        } else {
            const int32_t rc = call("ddel " + std::to_string(data_id(k)), [&] {
                int32_t c = current(k);
                if (c != 0) return c;
                c = ddelete(&cb_, vars_.list);
                if (shared()) mclrrec(&cb_);
                return c;
            });
            if (rc == 0) ids_.erase(k);
            line("< " + std::to_string(rc));
        }
    }

    Options o_;
    std::mt19937_64 rng_;
    KXCB cb_, mirror_, image_;
    std::vector<uint8_t> record_ = std::vector<uint8_t>(4096);
    DataVars vars_;
    std::set<Held> held_;
    std::set<int32_t> ids_;
    uint64_t calls_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_DFL);
    struct sigaction sa {};
    sa.sa_handler = on_term;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    const Options o = parse(argc, argv);
    static Runner runner(o);
    return runner.run();
}
