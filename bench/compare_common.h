// Helpers shared by the parts of compare_bench: clocks, memory figures, the
// key orders every engine is fed with, payloads and records, the line
// protocol by which a measuring process reports to the one that started it,
// and starting copies of the program itself.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace kxb {

// ---- Parameters of one measuring process --------------------------------
struct Params {
    std::string dir = ".";    // folder of the files
    long count = 0;           // entries, inserts, records or adds (total)
    uint32_t pool = 200000;   // kindex node buffers
    bool merge = false;       // kindex: merge-on-delete flag
    int procs = 4;            // multi-process case: processes
    std::string self;         // this program, for starting workers
    // Multi-process workers only.
    std::string file;
    int index = 0;
};

// ---- Clocks --------------------------------------------------------------------
double now_seconds();
// CPU time of this process (user + system), in seconds.
double cpu_seconds();

// Elapsed time of a phase: wall clock and this process's CPU time (which
// other work on a shared machine disturbs far less; -1 when not measured).
struct Lap {
    double wall;
    double cpu;
};

class Timer {
public:
    Timer() { restart(); }
    void restart() {
        wall0_ = now_seconds();
        cpu0_ = cpu_seconds();
    }
    Lap lap() const { return {now_seconds() - wall0_, cpu_seconds() - cpu0_}; }

private:
    double wall0_ = 0, cpu0_ = 0;
};

// ---- Results ---------------------------------------------------------------
// A measuring process writes lines "phase NAME OPS WALL CPU" and
// "value NAME NUMBER" on its standard output.
class Sink {
public:
    explicit Sink(FILE* f) : f_(f) {}
    void phase(const std::string& name, long ops, Lap t);
    void value(const std::string& name, double v);

private:
    FILE* f_;
};

struct Phase {
    long ops = 0;
    double seconds = 0;      // wall clock
    double cpu = -1;         // CPU time, -1 unknown
    double cpu_per_second() const { return cpu > 0 ? static_cast<double>(ops) / cpu : 0; }
    double per_second() const { return seconds > 0 ? static_cast<double>(ops) / seconds : 0; }
    double ns_per_op() const { return ops > 0 ? seconds * 1e9 / static_cast<double>(ops) : 0; }
};

struct Result {
    bool ok = false;
    std::map<std::string, Phase> phases;
    std::map<std::string, double> values;
    const Phase* phase(const std::string& name) const;
    double value(const std::string& name, double otherwise = -1) const;
};
Result parse_result(const std::string& text);

// Median time in microseconds of writing 4 KiB to a file in dir and flushing
// it with fdatasync (the cost of one flush on that file system at the
// moment), -1 when the file cannot be written.
double flush_probe_us(const std::string& dir, int rounds);

// ---- Memory ------------------------------------------------------------------
// A "VmXxx:" figure of /proc/self/status in KiB; -1 when it is missing.
long status_kb(const char* field);
// Size of a file in KiB; -1 when it does not exist.
long file_kb(const std::string& path);

// ---- Keys, payloads and records ------------------------------------------
// The numbers 1..n in a shuffled order fixed by seed (the same for every
// engine, so that each does exactly the same work).
std::vector<uint32_t> permutation(uint32_t n, uint64_t seed);

constexpr int PayloadSize = 100;
// A payload that names its key and a version number; the rest is filler.
void make_payload(uint8_t* p, uint32_t key, uint32_t version);
bool payload_is(const uint8_t* p, uint32_t key, uint32_t version);

// The fields of record `id`: a name shared by about ten records and a group
// shared by about count/1000.
constexpr int NameSize = 32;
void record_name(uint32_t id, char* out);
int32_t record_group(uint32_t id);

// ---- Processes ---------------------------------------------------------------
struct Child {
    pid_t pid = -1;
    int out = -1;  // read end of the child's standard output
};
// Starts `self args...` with its standard output on a pipe and its standard
// input on stdin_fd (-1: /dev/null).
Child spawn_self(const std::string& self, const std::vector<std::string>& args, int stdin_fd);
std::string read_all(int fd);
// Reads one line (without its newline) byte by byte, so nothing after it is
// consumed.
std::string read_line(int fd);
// True when the process ended with exit status 0.
bool wait_ok(pid_t pid);

// Prints a message to stderr and returns 1 (for `return fail(...)`).
int fail(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace kxb
