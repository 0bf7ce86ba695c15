// Processes killed in the middle of their work.
//
// A crash_worker process (tests/helpers/crash_worker.cpp) runs a seeded
// random workload of transactions on a file and reports every call it starts
// and every call that returns.  The test kills it with SIGKILL after a random
// short time, or the worker kills itself at a given file write or call (a
// case that repeats exactly), then recovers the file (support/recovery.h)
// and compares its content with a replay of the reported calls on a file of
// the test's own:
//   * the index file holds exactly the content as of the last transend that
//     returned (every change is made inside a transaction, so that is also
//     the content before the open transaction began); when the kill came
//     inside transend, the content after that transaction is right too;
//   * with transaction mode 1 the mirror file holds the content of the index
//     file after the last call that returned, or after the call under way;
//   * a file killed in the middle of a write section's write-back keeps its
//     write-in-progress marker; without an image file it is refused (by
//     design, counted apart), with one it is put back;
//   * the trees are sound.
// Shared files have several workers, each with its own keys; one of them is
// killed, the test recovers the file beside the others, which wait while
// the file is marked and go on afterwards; at the end the file holds every
// transaction that ended, in the order they began.
//
// KINDEX_CRASH_TRIALS=N runs N trials per configuration (the short form runs
// a few); KINDEX_SEED changes the seed of the random trials.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <thread>

#include "support/crash_workload.h"
#include "support/recovery.h"
#include "support/testing.h"
#include "support/worker.h"

extern char** environ;

namespace {

using kxtest::Snapshot;

// --- What crash_worker.cpp builds as well --------------------------------

using namespace kxtest::workload;


// --- Configurations --------------------------------------------------------

struct Config {
    const char* name;
    bool data;        // data file, else index file
    int workers;      // 1: exclusive; more: shared, one of them killed
    int trans;        // transaction mode 1 (undo log and mirror) or 3 (undo log)
    bool image;       // image file attached
    uint32_t cache;   // node buffers of the workers
    int order;        // 1 little-endian, 2 big-endian
    int how = 0;      // transend how, 0: 1, 2 or 3 at random
};

void PrintTo(const Config& c, std::ostream* os) { *os << c.name; }

bool shared(const Config& c) { return c.workers > 1; }

uint64_t base_seed() {
    const char* s = std::getenv("KINDEX_SEED");
    return s != nullptr && *s != 0 ? std::strtoull(s, nullptr, 0) : 20250611u;
}

int long_trials() {
    const char* s = std::getenv("KINDEX_CRASH_TRIALS");
    return s != nullptr && *s != 0 ? std::atoi(s) : 0;
}

uint64_t mix(uint64_t x) {
    x += 0x9e3779b97f4a7c15ull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

// How a trial ends the worker: SIGKILL from the test after a delay, or the
// worker's own SIGKILL at a file write or after a call.
struct Kill {
    enum Kind { After, AtWrite, AtCall } kind = After;
    uint64_t n = 0;  // milliseconds, write number or call number
    std::string text() const {
        switch (kind) {
        case After: return "killed after " + std::to_string(n) + " ms";
        case AtWrite: return "die_writes=" + std::to_string(n);
        case AtCall: return "die_calls=" + std::to_string(n);
        }
        return "";
    }
};

// --- A worker process --------------------------------------------------------

class Proc {
public:
    explicit Proc(const std::vector<std::string>& args) {
        pid_ = kxtest::spawn_helper("crash_worker", args, &to_, &from_);
        for (const auto& s : args) command_ += " " + s;
    }
    ~Proc() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (to_ >= 0) ::close(to_);
        if (from_ >= 0) ::close(from_);
    }
    Proc(const Proc&) = delete;
    Proc& operator=(const Proc&) = delete;

    const std::string& command() const { return command_; }
    const std::vector<std::string>& lines() const { return lines_; }
    bool running() {
        reap();
        return pid_ > 0;
    }
    int status() const { return status_; }

    // Reads what the worker wrote for up to ms milliseconds (returns early
    // at the end of its output).
    void pump(int ms) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                    .count();
            if (from_ < 0) {
                if (left > 0) std::this_thread::sleep_for(std::chrono::milliseconds(left));
                return;
            }
            pollfd p{from_, POLLIN, 0};
            const int n = ::poll(&p, 1, static_cast<int>(std::max<int64_t>(left, 0)));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;
            char chunk[65536];
            const ssize_t got = ::read(from_, chunk, sizeof chunk);
            if (got <= 0) {
                ::close(from_);
                from_ = -1;
                continue;
            }
            buffer_.append(chunk, static_cast<size_t>(got));
            for (size_t nl; (nl = buffer_.find('\n')) != std::string::npos;) {
                lines_.push_back(buffer_.substr(0, nl));
                buffer_.erase(0, nl + 1);
            }
            if (left <= 0) return;
        }
    }

    // Waits up to ms for a line starting with prefix; true when it came.
    bool wait_for(const std::string& prefix, int ms, size_t from = 0, const std::string& or_prefix = "") {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (size_t seen = from;;) {
            for (; seen < lines_.size(); ++seen)
                if (lines_[seen].rfind(prefix, 0) == 0 || (!or_prefix.empty() && lines_[seen].rfind(or_prefix, 0) == 0))
                    return true;
            if (std::chrono::steady_clock::now() >= deadline || (from_ < 0 && !running())) return false;
            pump(5);
            reap();
        }
    }

    void signal(int sig) {
        if (pid_ > 0) ::kill(pid_, sig);
    }
    void send(const std::string& line) {
        const std::string s = line + "\n";
        if (to_ >= 0 && ::write(to_, s.data(), s.size()) != static_cast<ssize_t>(s.size()))
            ADD_FAILURE() << "cannot write to worker";
    }

    // Waits up to ms for the worker to end, reading its output; false when
    // it did not (it is then killed).
    bool finish(int ms) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (running()) {
            pump(5);
            reap();
            if (running() && std::chrono::steady_clock::now() >= deadline) {
                ::kill(pid_, SIGKILL);
                waitpid(pid_, &status_, 0);
                pid_ = -1;
                pump(50);
                return false;
            }
        }
        while (from_ >= 0) pump(50);
        return true;
    }

private:
    void reap() {
        if (pid_ > 0 && waitpid(pid_, &status_, WNOHANG) == pid_) pid_ = -1;
    }

    pid_t pid_ = -1;
    int to_ = -1, from_ = -1;
    int status_ = 0;
    std::string buffer_, command_;
    std::vector<std::string> lines_;
};

// --- The reported calls -------------------------------------------------------

std::vector<std::string> words(const std::string& s) {
    std::istringstream in(s);
    std::vector<std::string> w;
    for (std::string x; in >> x;) w.push_back(x);
    return w;
}

struct Call {
    std::vector<std::string> args;  // the "> " line's words
    bool returned = false;
    int32_t rc = 0;
    std::vector<std::string> values;  // after the rc on the "< " line
    bool is(const char* op) const { return !args.empty() && args[0] == op; }
};

struct Txn {
    int worker = 0;
    int64_t begun = 0;          // CLOCK_MONOTONIC after transbeg returned
    std::vector<Call> calls;    // content calls that returned, in order
    std::optional<Call> inflight;  // a content call started, not returned
    enum End { Open, Ended, EndInFlight } end = Open;
    int32_t end_rc = 0;
};

struct Trace {
    std::vector<Txn> done;      // transactions whose transend returned
    std::optional<Txn> open;    // the transaction under way, if any
    bool ready = false;
    bool closed = false;
    std::string fault;          // a call that must not fail did
};

Trace parse(const std::vector<std::string>& lines, int worker) {
    Trace t;
    std::optional<Call> pending;
    auto finished = [&](Call& c) {
        if (c.is("begin")) {
            if (c.rc != 0) return;  // refused (shared: the worker is stopping)
            Txn x;
            x.worker = worker;
            x.begun = c.values.empty() ? 0 : std::strtoll(c.values[0].c_str(), nullptr, 10);
            t.open = x;
        } else if (c.is("end")) {
            if (!t.open) {
                t.fault = "transend outside a transaction";
                return;
            }
            t.open->end = Txn::Ended;
            t.open->end_rc = c.rc;
            if (c.rc != 0) t.fault = "transend answered " + std::to_string(c.rc);
            t.done.push_back(*t.open);
            t.open.reset();
        } else if (t.open) {
            t.open->calls.push_back(c);
        } else {
            t.fault = "a change outside a transaction";
        }
    };
    for (const auto& l : lines) {
        if (l.rfind("> ", 0) == 0) {
            pending = Call{};
            pending->args = words(l.substr(2));
        } else if (l.rfind("< ", 0) == 0 && pending) {
            auto w = words(l.substr(2));
            pending->returned = true;
            pending->rc = w.empty() ? -9999 : static_cast<int32_t>(std::strtol(w[0].c_str(), nullptr, 10));
            pending->values.assign(w.begin() + (w.empty() ? 0 : 1), w.end());
            finished(*pending);
            pending.reset();
        } else if (l.rfind("ready", 0) == 0) {
            t.ready = true;
        } else if (l.rfind("closed", 0) == 0) {
            t.closed = true;
            if (l != "closed 0") t.fault = "mclose: " + l;
        } else if (l.rfind("failed", 0) == 0) {
            t.fault = l;
        }
    }
    if (pending && t.open) {
        if (pending->is("end")) {
            t.open->end = Txn::EndInFlight;
        } else if (!pending->is("begin")) {
            t.open->inflight = *pending;
        }
    }
    return t;
}

// A data file's header agrees with its trees: the record count with the
// records (root 49), the count of free record numbers with root 48.
std::string counters(KXCB* cb, const Snapshot& s) {
    uint32_t records = 0, free_numbers = 0;
    for (const auto& e : s) {
        if (e.root == 49) ++records;
        if (e.root == 48) ++free_numbers;
    }
    const int32_t rc = cgetcnt(cb);
    if (rc != 0) return "cgetcnt answered " + std::to_string(rc);
    std::string why;
    if (cb->recval != records)
        why += "the header counts " + std::to_string(cb->recval) + " records, root 49 holds " +
               std::to_string(records) + "; ";
    if (cb->free_records != free_numbers)
        why += "the header counts " + std::to_string(cb->free_records) + " free record numbers, root 48 holds " +
               std::to_string(free_numbers);
    return why;
}

// --- Replay on a file of the test's own --------------------------------------

class Replay {
public:
    Replay(const std::string& path, const Config& c) : data_(c.data), shared_(shared(c)) {
        std::memset(&cb_, 0, sizeof cb_);
        ciunlink(path.c_str());
        const int32_t rc = c.data ? dbcreate(&cb_, path.c_str(), record_.data(), static_cast<uint32_t>(record_.size()),
                                             'E', c.order, kDataRoots)
                                  : bcreate(&cb_, path.c_str(), 'E', c.order, kIndexRoots);
        if (rc != 0) fault_ = "cannot create the replay file: " + std::to_string(rc);
        else csetfile(&cb_, 0);
    }
    ~Replay() { mclose(&cb_); }
    Replay(const Replay&) = delete;
    Replay& operator=(const Replay&) = delete;

    // Applies a call; a call that returned must answer as it did.
    void apply(const Call& c) {
        if (!fault_.empty()) return;
        const int32_t rc = run(c);
        if (c.returned && rc != c.rc) {
            std::string text;
            for (const auto& w : c.args) text += " " + w;
            fault_ = "replay of" + text + " answered " + std::to_string(rc) + ", the worker's call " +
                     std::to_string(c.rc);
        }
    }
    void apply(const Txn& t) {
        for (const auto& c : t.calls) apply(c);
    }

    Snapshot snapshot() {
        Snapshot s;
        if (fault_.empty()) {
            const std::string why = kxtest::take_snapshot(&cb_, s);
            if (!why.empty()) fault_ = "snapshot of the replay file: " + why;
            const std::string count = data_ && why.empty() ? counters(&cb_, s) : "";
            if (!count.empty()) fault_ = "replay file (no crash): " + count;
        }
        return s;
    }
    const std::string& fault() const { return fault_; }

private:
    int32_t run(const Call& c) {
        const auto& a = c.args;
        auto num = [&](size_t i) { return i < a.size() ? std::strtoll(a[i].c_str(), nullptr, 10) : 0; };
        auto arg = [&](size_t i) { return i < a.size() ? a[i] : std::string(); };
        if (c.is("add") || c.is("uadd") || c.is("del") || c.is("chg")) {
            const auto root = static_cast<int32_t>(num(1));
            uint8_t key[256] = {};
            if (root == 1) {
                const auto v = static_cast<int32_t>(num(2));
                std::memcpy(key, &v, sizeof v);
            } else if (root == 3) {
                const auto v = static_cast<int16_t>(num(2));
                std::memcpy(key, &v, sizeof v);
            } else {
                const std::string k = arg(2);
                std::memcpy(key, k.data(), std::min<size_t>(k.size(), 241));
            }
            const auto rec = static_cast<uint32_t>(num(3));
            if (c.is("del")) return cdelete(&cb_, root, key, rec);
            const auto len = static_cast<int32_t>(num(4));
            const auto p = payload(static_cast<uint32_t>(num(5)), len);
            if (c.is("add")) return cdupadd(&cb_, root, key, rec, p.data(), len);
            if (c.is("uadd")) return cunqadd(&cb_, root, key, rec, p.data(), len);
            return cchange(&cb_, root, key, rec, p.data(), len);
        }
        if (c.is("dadd") || c.is("dupd") || c.is("ddel")) {
            int32_t id = static_cast<int32_t>(num(1));
            if (c.is("dadd")) {
                vars_.fill(id, static_cast<uint32_t>(num(2)), static_cast<int32_t>(num(3)),
                           static_cast<uint32_t>(num(4)));
                const int32_t rc = dadd(&cb_, vars_.list);
                // The record number must be the one the worker's file gave
                // (alone on its file: in a shared file, numbers handed to a
                // transaction that was rolled back stay used, and the
                // comparison goes by the records' ids instead).
                if (!shared_ && rc == 0 && c.returned && !c.values.empty() &&
                    std::to_string(cb_.current_record) != c.values[0])
                    fault_ = "replay of dadd " + std::to_string(id) + " got record " +
                             std::to_string(cb_.current_record) + ", the worker's call " + c.values[0];
                return rc;
            }
            int32_t rc = cidfind(&cb_, 1, &id, 5, 1);
            if (rc != 0) return rc;
            if (c.is("ddel")) return ddelete(&cb_, vars_.list);
            vars_.fill(id, static_cast<uint32_t>(num(2)), static_cast<int32_t>(num(3)), static_cast<uint32_t>(num(4)));
            return dupdate(&cb_, vars_.list);
        }
        return -9999;
    }

    bool data_;
    bool shared_;
    KXCB cb_;
    std::vector<uint8_t> record_ = std::vector<uint8_t>(4096);
    DataVars vars_;
    std::string fault_;
};

// --- Trials -------------------------------------------------------------------

// Closes a block left open by a recovery that found a fault, so that the
// next trial finds the node cache free.
struct OpenBlock {
    kxtest::Block b;
    ~OpenBlock() {
        if (b->state == 'O') mclose(b.get());
    }
    KXCB* get() { return b.get(); }
};

// The last n lines of a worker's output, for failure messages.
std::string tail(const std::vector<std::string>& lines, size_t n) {
    std::string s;
    for (size_t i = lines.size() > n ? lines.size() - n : 0; i < lines.size(); ++i) s += "    | " + lines[i] + "\n";
    return s;
}

struct Tally {
    int trials = 0, exact = 0, refused = 0;
    int mirror_exact = 0, mirror_refused = 0;
};

// A data file's entries with every record number (root 1's entry for the
// record's id names it) replaced by that id, and the free numbers (root 48)
// left out: what a shared data file must hold whichever numbers it handed
// out.
Snapshot by_id(const Snapshot& s) {
    std::map<uint32_t, uint32_t> id_of;
    for (const auto& e : s) {
        if (e.root != 1 || e.key.size() < 4) continue;
        int32_t id = 0;
        std::memcpy(&id, e.key.data(), 4);
        id_of[e.record] = static_cast<uint32_t>(id);
    }
    Snapshot out;
    for (const auto& e : s) {
        if (e.root == 48) continue;
        kxtest::SnapEntry c = e;
        if (const auto it = id_of.find(e.record); it != id_of.end() && (e.root == 1 || e.root == 2 || e.root == 49))
            c.record = it->second;
        out.insert(std::move(c));
    }
    return out;
}

// Whether found equals one of the candidates; else the diff against each.
std::string match(const Snapshot& found, const std::vector<std::pair<std::string, Snapshot>>& candidates) {
    std::string why;
    for (const auto& [name, s] : candidates) {
        const std::string d = kxtest::diff(s, found);
        if (d.empty()) return "";
        why += "against " + name + ": " + d;
    }
    return why;
}

class CrashKillBase : public kxtest::FileTest {
protected:
    std::string path(const std::string& name) const { return mem.path(name); }

    void make_file(const Config& c, const std::string& p) {
        KXCB cb;
        std::memset(&cb, 0, sizeof cb);
        std::vector<uint8_t> record(4096);
        ciunlink(p.c_str());
        const int32_t rc = c.data ? dbcreate(&cb, p.c_str(), record.data(), static_cast<uint32_t>(record.size()),
                                             'E', c.order, kDataRoots)
                                  : bcreate(&cb, p.c_str(), 'E', c.order, kIndexRoots);
        ASSERT_EQ(rc, 0) << "create " << p;
        ASSERT_EQ(mclose(&cb), 0);
    }

    std::vector<std::string> worker_args(const Config& c, int id, uint64_t seed, const std::string& file,
                                         const std::string& image, const std::string& mirror) {
        std::vector<std::string> a{"file=" + file,
                                   std::string("kind=") + (c.data ? "data" : "index"),
                                   std::string("open=") + (shared(c) ? "S" : "E"),
                                   "trans=" + std::to_string(c.trans),
                                   "cache=" + std::to_string(c.cache),
                                   "seed=" + std::to_string(seed),
                                   "id=" + std::to_string(id),
                                   "how=" + std::to_string(c.how)};
        if (!image.empty()) a.push_back("image=" + image);
        if (!mirror.empty()) a.push_back("mirror=" + mirror);
        return a;
    }

    // One exclusive trial; returns "" or what went wrong.
    std::string exclusive_trial(const Config& c, uint64_t seed, const Kill& kill, Tally& tally) {
        const std::string file = path("crash.kx");
        const std::string image = c.image ? path("crash.img") : "";
        const std::string mirror = c.trans == 1 ? path("crash.mirror") : "";
        ciunlink(image.c_str());
        make_file(c, file);
        if (!mirror.empty()) kxtest::write_file(mirror, kxtest::read_file(file));

        auto args = worker_args(c, 0, seed, file, image, mirror);
        if (kill.kind == Kill::AtWrite) args.push_back("die_writes=" + std::to_string(kill.n));
        if (kill.kind == Kill::AtCall) args.push_back("die_calls=" + std::to_string(kill.n));
        Proc w(args);
        std::ostringstream why;
        why << "worker:" << w.command() << " (" << kill.text() << ")\n";
        if (kill.kind == Kill::After) {
            if (!w.wait_for("ready", 20000)) return why.str() + "the worker did not get ready";
            w.pump(static_cast<int>(kill.n));
            w.signal(SIGKILL);
        }
        if (!w.finish(60000)) return why.str() + "the worker did not die by itself";
        if (!(WIFSIGNALED(w.status()) && WTERMSIG(w.status()) == SIGKILL))
            return why.str() + "the worker ended with status " + std::to_string(w.status());
        kept_ = {{"worker0.trace", w.lines()}};
        const Trace t = parse(w.lines(), 0);
        if (!t.fault.empty()) return why.str() + "worker: " + t.fault;
        ++tally.trials;

        // What the replay says the files may hold.
        Replay r(path("replay.kx"), c);
        for (const auto& x : t.done) r.apply(x);
        std::vector<std::pair<std::string, Snapshot>> index_ok, mirror_ok;
        index_ok.emplace_back("the last transend", r.snapshot());
        Snapshot last_call = index_ok.back().second;
        if (t.open) {
            r.apply(*t.open);
            last_call = r.snapshot();
            if (t.open->end == Txn::EndInFlight) index_ok.emplace_back("the transend under way", last_call);
        }
        mirror_ok.emplace_back("the last call that returned", last_call);
        if (t.open && t.open->inflight) {
            r.apply(*t.open->inflight);
            mirror_ok.emplace_back("the call under way", r.snapshot());
        }
        if (!r.fault().empty()) return why.str() + r.fault();

        why << "its last lines:\n" << tail(w.lines(), 8);
        // The index file.
        OpenBlock cb;
        const kxtest::RecoveryReport rep = kxtest::recover(file, image, cb.get());
        why << "recovery: " << rep.describe() << "\n";
        if (rep.refused) {
            ++tally.refused;
        } else {
            if (!rep.ok()) return why.str();
            Snapshot found;
            const std::string fault = kxtest::take_snapshot(cb.get(), found);
            const std::string count = c.data && fault.empty() ? counters(cb.get(), found) : "";
            const int32_t closed = mclose(cb.get());
            if (!fault.empty()) return why.str() + "snapshot: " + fault;
            if (closed != 0) return why.str() + "mclose after recovery answered " + std::to_string(closed);
            const std::string d = match(found, index_ok);
            if (!d.empty()) return why.str() + "index file content:\n" + d;
            if (!count.empty()) return why.str() + "recovered data file: " + count;
            // A second look finds nothing left to do.
            OpenBlock again;
            const auto rep2 = kxtest::recover(file, "", again.get(), {'E', false, true});
            if (rep2.marker || rep2.rolled_back || !rep2.ok())
                return why.str() + "recovered file not clean: " + rep2.describe();
            mclose(again.get());
            ++tally.exact;
        }

        // The mirror file: recovered from a marker like the index file (it
        // has no image of its own), its log left as it is.
        if (!mirror.empty()) {
            OpenBlock m;
            const auto mrep = kxtest::recover(mirror, "", m.get(), {'E', true, false});
            if (mrep.refused) {
                ++tally.mirror_refused;
            } else {
                if (!mrep.ok()) return why.str() + "mirror recovery: " + mrep.describe();
                Snapshot found;
                const std::string fault = kxtest::take_snapshot(m.get(), found);
                mclose(m.get());
                if (!fault.empty()) return why.str() + "mirror snapshot: " + fault;
                const std::string d = match(found, mirror_ok);
                if (!d.empty()) return why.str() + "mirror file content:\n" + d;
                ++tally.mirror_exact;
            }
        }
        return "";
    }

    // One shared trial: workers on one file, one killed; the others wait
    // while the file is marked, the test recovers it beside them, and they
    // go on.  Returns "" or what went wrong.
    std::string shared_trial(const Config& c, uint64_t seed, const Kill& kill, Tally& tally) {
        const std::string file = path("crash.kx");
        make_file(c, file);
        std::vector<std::unique_ptr<Proc>> ws;
        std::vector<std::string> images;
        const int victim = static_cast<int>(mix(seed) % static_cast<uint64_t>(c.workers));
        std::ostringstream why;
        for (int i = 0; i < c.workers; ++i) {
            images.push_back(c.image ? path("crash.img" + std::to_string(i)) : "");
            ciunlink(images.back().c_str());
            auto args = worker_args(c, i, mix(seed + static_cast<uint64_t>(i)), file, images.back(), "");
            if (i == victim && kill.kind == Kill::AtWrite) args.push_back("die_writes=" + std::to_string(kill.n));
            if (i == victim && kill.kind == Kill::AtCall) args.push_back("die_calls=" + std::to_string(kill.n));
            ws.push_back(std::make_unique<Proc>(args));
            why << (i == victim ? "victim:" : "worker:") << ws.back()->command() << "\n";
            // One opens after the other (the others start working at once);
            // one that finds the file marked by the victim waits for the
            // recovery like the others.
            if (!ws.back()->wait_for("ready", 20000, 0, "wait marker") && (i != victim || kill.kind == Kill::After)) {
                kept_.clear();
                for (size_t k = 0; k < ws.size(); ++k)
                    kept_.emplace_back("worker" + std::to_string(k) + ".trace", ws[k]->lines());
                return why.str() + "worker " + std::to_string(i) + " did not get ready:\n" +
                       tail(ws.back()->lines(), 3);
            }
        }
        why << "(" << kill.text() << ")\n";
        auto keep_traces = [&] {
            kept_.clear();
            for (size_t i = 0; i < ws.size(); ++i)
                kept_.emplace_back("worker" + std::to_string(i) + ".trace", ws[i]->lines());
        };
        auto fail = [&](const std::string& what) {
            keep_traces();
            return why.str() + what;
        };
        Proc& v = *ws[static_cast<size_t>(victim)];
        if (kill.kind == Kill::After) {
            const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kill.n);
            while (std::chrono::steady_clock::now() < until)
                for (auto& w : ws) w->pump(1);
            v.signal(SIGKILL);
        }
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (v.running() && std::chrono::steady_clock::now() < limit)
            for (auto& w : ws) w->pump(1);
        if (!v.finish(1000)) return fail("the victim did not die:\n" + tail(v.lines(), 6));
        if (!(WIFSIGNALED(v.status()) && WTERMSIG(v.status()) == SIGKILL))
            return fail("the victim ended with status " + std::to_string(v.status()));
        ++tally.trials;

        why << "the victim's last lines:\n" << tail(v.lines(), 8);
        // Recovery beside the survivors.
        keep_before_recovery(file, images[static_cast<size_t>(victim)]);
        {
            OpenBlock cb;
            const auto rep =
                kxtest::recover(file, images[static_cast<size_t>(victim)], cb.get(), {'S', true, true});
            why << "recovery: " << rep.describe() << "\n";
            if (rep.refused) {
                ++tally.refused;
                return "";  // the survivors wait for ever: killed with the Procs
            }
            if (!rep.ok()) return fail("");
            if (mclose(cb.get()) != 0) return fail("mclose after recovery");
        }
        std::vector<size_t> seen(ws.size());
        for (size_t i = 0; i < ws.size(); ++i) {
            if (static_cast<int>(i) == victim) continue;
            ws[i]->send("go");
            seen[i] = ws[i]->lines().size();
        }
        // The survivors go on for a while, then stop and close the file.
        for (size_t i = 0; i < ws.size(); ++i) {
            if (static_cast<int>(i) == victim) continue;
            for (int n = 0; n < 2; ++n) {
                if (!ws[i]->wait_for("> end", 10000, seen[i]))
                    return fail("survivor " + std::to_string(i) + " made no progress:\n" +
                                              tail(ws[i]->lines(), 6));
                seen[i] = ws[i]->lines().size();
            }
        }
        for (size_t i = 0; i < ws.size(); ++i)
            if (static_cast<int>(i) != victim) ws[i]->signal(SIGTERM);
        std::vector<Trace> traces;
        for (size_t i = 0; i < ws.size(); ++i) {
            if (static_cast<int>(i) != victim && !ws[i]->finish(60000))
                return fail("survivor " + std::to_string(i) + " did not stop:\n" +
                                          tail(ws[i]->lines(), 6));
        }
        keep_traces();
        for (size_t i = 0; i < ws.size(); ++i) {
            traces.push_back(parse(ws[i]->lines(), static_cast<int>(i)));
            if (!traces.back().fault.empty()) return fail("worker " + std::to_string(i) + ": " + traces.back().fault);
            if (static_cast<int>(i) != victim && (!traces.back().closed || traces.back().open))
                return fail("survivor " + std::to_string(i) + " did not close cleanly");
        }

        // Every transaction that ended, in the order they began; the victim's
        // last one as well when it was killed inside transend.
        std::vector<Txn> all;
        for (const auto& t : traces) all.insert(all.end(), t.done.begin(), t.done.end());
        const Trace& vt = traces[static_cast<size_t>(victim)];
        const bool maybe = vt.open && vt.open->end == Txn::EndInFlight;
        if (maybe) all.push_back(*vt.open);
        std::sort(all.begin(), all.end(), [](const Txn& a, const Txn& b) { return a.begun < b.begun; });
        // A replay whose calls do not answer as the workers' did is not what
        // happened (the survivors saw the other outcome); one of them must fit.
        std::vector<std::pair<std::string, Snapshot>> ok;
        std::string replay_faults;
        for (int with = 0; with <= (maybe ? 1 : 0); ++with) {
            Replay r(path("replay.kx"), c);
            for (const auto& x : all)
                if (with == 1 || !(maybe && x.worker == victim && x.begun == vt.open->begun)) r.apply(x);
            const char* name = with ? "every transaction, the victim's last one included" : "every transaction that ended";
            Snapshot snap = r.snapshot();
            if (c.data) snap = by_id(snap);
            if (r.fault().empty()) ok.emplace_back(name, std::move(snap));
            else replay_faults += std::string(name) + ": " + r.fault() + "\n";
        }
        if (ok.empty()) return fail(replay_faults);

        OpenBlock cb;
        const auto rep = kxtest::recover(file, "", cb.get());
        if (rep.marker || rep.rolled_back || !rep.ok())
            return fail("file not clean after the survivors closed: " + rep.describe());
        Snapshot found;
        const std::string fault = kxtest::take_snapshot(cb.get(), found);
        const std::string count = c.data && fault.empty() ? counters(cb.get(), found) : "";
        mclose(cb.get());
        if (!fault.empty()) return fail("snapshot: " + fault);
        if (c.data) found = by_id(found);
        const std::string d = match(found, ok);
        if (!d.empty()) return fail("file content:\n" + d);
        if (!count.empty()) return fail("data file: " + count);
        ++tally.exact;
        return "";
    }

    std::string trial(const Config& c, uint64_t seed, const Kill& kill, Tally& tally) {
        kept_.clear();
        return shared(c) ? shared_trial(c, seed, kill, tally) : exclusive_trial(c, seed, kill, tally);
    }

    static void report(const Config& c, const Tally& t) {
        std::printf("[ crash    ] %-34s %4d trials, %4d recovered exactly, %4d refused (marker, no image)", c.name,
                    t.trials, t.exact, t.refused);
        if (c.trans == 1) std::printf("; mirror %d exact, %d refused", t.mirror_exact, t.mirror_refused);
        std::printf("\n");
        std::fflush(stdout);
    }

    // With KINDEX_CRASH_KEEP set, the file and the victim's image file as
    // the victim left them, before recovery changes them (kept as
    // before-recovery.kx and before-recovery.img beside the trial's files).
    void keep_before_recovery(const std::string& file, const std::string& image) {
        const char* dir = std::getenv("KINDEX_CRASH_KEEP");
        if (dir == nullptr || *dir == 0) return;
        std::error_code ec;
        std::filesystem::copy_file(file, path("before-recovery.kx"), std::filesystem::copy_options::overwrite_existing, ec);
        if (!image.empty())
            std::filesystem::copy_file(image, path("before-recovery.img"), std::filesystem::copy_options::overwrite_existing,
                                       ec);
    }

    // KINDEX_CRASH_KEEP=DIR: the files and the workers' output of a failed
    // trial are copied to DIR for a closer look.
    void keep(const std::string& label) {
        const char* dir = std::getenv("KINDEX_CRASH_KEEP");
        if (dir == nullptr || *dir == 0) return;
        const std::filesystem::path to = std::filesystem::path(dir) / label;
        std::error_code ec;
        std::filesystem::create_directories(to, ec);
        for (const auto& e : std::filesystem::directory_iterator(std::filesystem::path(path("x")).parent_path(), ec))
            std::filesystem::copy(e.path(), to / e.path().filename(), std::filesystem::copy_options::overwrite_existing, ec);
        for (const auto& [name, lines] : kept_) {
            std::string text;
            for (const auto& l : lines) text += l + "\n";
            kxtest::write_file((to / name).string(), std::vector<uint8_t>(text.begin(), text.end()));
        }
        std::printf("[ crash    ] kept in %s\n", to.string().c_str());
    }

    kxtest::MemoryDir mem;
    std::vector<std::pair<std::string, std::vector<std::string>>> kept_;
};

class CrashKillTrials : public CrashKillBase, public ::testing::WithParamInterface<Config> {};

// The kill of trial i: random delays, writes and calls, from the seed.
Kill kill_for(uint64_t r, int i) {
    Kill k;
    switch (i % 3) {
    case 0: k.kind = Kill::After, k.n = 3 + r % 98; break;
    case 1: k.kind = Kill::AtWrite, k.n = 1 + (r >> 8) % (r % 2 ? 300 : 5000); break;
    default: k.kind = Kill::AtCall, k.n = 1 + (r >> 8) % 400; break;
    }
    return k;
}

TEST_P(CrashKillTrials, RecoversToACommittedState) {
    const Config c = GetParam();
    const int n = long_trials() > 0 ? long_trials() : (shared(c) ? 4 : 9);
    const uint64_t base = base_seed();
    Tally tally;
    for (int i = 0; i < n; ++i) {
        const uint64_t seed = mix(base ^ mix(std::hash<std::string>{}(c.name)) ^ static_cast<uint64_t>(i));
        const Kill kill = kill_for(mix(seed), i);
        const std::string fault = trial(c, seed % 1000000007u, kill, tally);
        if (!fault.empty()) {
            keep(std::string(c.name) + "-" + std::to_string(i));
            ADD_FAILURE() << c.name << " trial " << i << " (KINDEX_SEED=" << base << ", worker seed "
                          << seed % 1000000007u << ", " << kill.text() << "):\n"
                          << fault;
            break;
        }
    }
    report(c, tally);
}

const Config kConfigs[] = {
    // name                                    data workers trans image cache order how
    {"IndexExclusiveUndoImageCache8Little", false, 1, 3, true, 8, 1},
    {"IndexExclusiveUndoCache10000Big", false, 1, 3, false, 10000, 2},
    {"IndexExclusiveMirrorImageCache10000Little", false, 1, 1, true, 10000, 1},
    {"IndexExclusiveMirrorCache8Big", false, 1, 1, false, 8, 2},
    {"DataExclusiveUndoImageCache10000Big", true, 1, 3, true, 10000, 2},
    {"DataExclusiveMirrorCache8Little", true, 1, 1, false, 8, 1},
    {"IndexSharedUndoImageCache8Big", false, 3, 3, true, 8, 2},
    {"IndexSharedUndoCache10000Little", false, 3, 3, false, 10000, 1},
    {"DataSharedUndoImageCache10000Little", true, 3, 3, true, 10000, 1},
    {"DataSharedUndoCache8Big", true, 3, 3, false, 8, 2},
    // Shared files whose transactions end one way only.
    {"IndexSharedUndoImageCache8LittleFreeLog", false, 3, 3, true, 8, 1, 1},
    {"IndexSharedUndoCache10000BigReleaseLog", false, 3, 3, false, 10000, 2, 3},
    {"DataSharedUndoImageCache8BigFreeLog", true, 3, 3, true, 8, 2, 1},
};

INSTANTIATE_TEST_SUITE_P(CrashKill, CrashKillTrials, ::testing::ValuesIn(kConfigs),
                         [](const auto& info) { return std::string(info.param.name); });

// Trials that once failed, kept to repeat: the worker kills itself at a
// given call or write, so an exclusive trial runs the same way every time
// (a shared one as far as the victim goes).
struct Fixed {
    const char* name;
    Config config;
    uint64_t seed;  // the worker seed as a failure message names it
    Kill kill;
};

void PrintTo(const Fixed& f, std::ostream* os) { *os << f.name; }

class CrashKillFixed : public CrashKillBase, public ::testing::WithParamInterface<Fixed> {};

TEST_P(CrashKillFixed, RecoversToACommittedState) {
    const Fixed f = GetParam();
    Tally tally;
    const std::string fault = trial(f.config, f.seed, f.kill, tally);
    if (!fault.empty()) keep(f.name);
    EXPECT_EQ(fault, "") << f.name;
    report(f.config, tally);
}

const Fixed kFixed[] = {
    // A rolled-back ddelete: root 49 gets its record back and root 48 loses
    // the freed number, the header must count both again.
    {"DataRollbackRestoresHeaderCounts", {"DataExclusiveMirrorCache8Little", true, 1, 1, false, 8, 1}, 898951053,
     {Kill::AtCall, 383}},
    // The victim dies right after its transbeg returned: an empty log of a
    // process that is gone must not keep the others out.
    {"EmptyLogOfADeadProcess", {"IndexSharedUndoImageCache8LittleFreeLog", false, 3, 3, true, 8, 1, 1}, 1,
     {Kill::AtCall, 1}},
    // The victim dies inside its first transaction, before the next worker
    // opens the file and gets the victim's user slot.
    {"LogOfADeadOwnerWhoseSlotIsTaken", {"IndexSharedUndoCache10000BigReleaseLog", false, 3, 3, false, 10000, 2, 3}, 3,
     {Kill::AtCall, 2}},
    // The victim dies while its log moves from a node kept by an earlier
    // transend(how 2) to a new one: the restore empties the new node, which
    // the kept node still names, and the rollback must not free it.
    {"KeptNodeNamesANodeTheRestoreEmptied", {"IndexExclusiveUndoImageCache8Little", false, 1, 3, true, 8, 1}, 93588303,
     {Kill::AtWrite, 1476}},
    // Logs kept by transend(how 2) and begun again by other processes.
    {"KeptLogTakenInTurns", {"IndexSharedUndoCache10000LittleKeepLog", false, 3, 3, false, 10000, 1, 2}, 2,
     {Kill::AtCall, 12}},
};

INSTANTIATE_TEST_SUITE_P(CrashKill, CrashKillFixed, ::testing::ValuesIn(kFixed),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

namespace {

// Opening a shared file while another process keeps writing it: the open
// reads the header again once it holds the gate, so the checks of the open
// (the root list, the sweep of the lock tree) never read nodes by a header
// that was current before the other process's last section.
TEST(CrashKillOpen, SharedOpensBesideAWriter) {
    kxtest::MemoryDir mem;
    const std::string file = mem.path("open.kx");
    {
        KXCB cb;
        std::memset(&cb, 0, sizeof cb);
        ASSERT_EQ(bcreate(&cb, file.c_str(), 'E', 1, kIndexRoots), 0);
        ASSERT_EQ(mclose(&cb), 0);
    }
    Proc writer({"file=" + file, "kind=index", "open=S", "trans=3", "cache=8", "seed=5", "id=0", "how=1"});
    ASSERT_TRUE(writer.wait_for("ready", 20000));
    for (int i = 0; i < 300; ++i) {
        KXCB cb;
        std::memset(&cb, 0, sizeof cb);
        ASSERT_EQ(bopen(&cb, file.c_str(), 'S', 2, kIndexRoots), 0) << "open " << i;
        ASSERT_EQ(mclose(&cb), 0);
    }
    writer.signal(SIGTERM);
    EXPECT_TRUE(writer.wait_for("closed", 20000));
}

}  // namespace
