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
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

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

// std::deque keeps the blocks where they are when more are added: the
// library remembers control block addresses (node buffers name their owner).
struct Worker {
    std::deque<KXCB> blocks;
    size_t current = 0;
    size_t many_first = 0;
    size_t many_count = 0;

    KXCB& block(size_t k) {
        while (blocks.size() <= k) {
            blocks.emplace_back();
            std::memset(&blocks.back(), 0, sizeof(KXCB));
        }
        return blocks[k];
    }
    KXCB* cb() { return &block(current); }
};

// True when some open file description holds a lock that meets the range.
bool range_held(const std::string& path, off_t offset, off_t length) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = offset;
    fl.l_len = length;
    const bool held = fcntl(fd, F_OFD_GETLK, &fl) != 0 || fl.l_type != F_UNLCK;
    ::close(fd);
    return held;
}

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
        r.values.push_back(range_held(path, offset, length) ? "1" : "0");
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
