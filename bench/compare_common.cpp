#include "compare_common.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <sstream>

extern char** environ;

namespace kxb {

void Sink::phase(const std::string& name, long ops, Lap t) {
    std::fprintf(f_, "phase %s %ld %.9f %.9f\n", name.c_str(), ops, t.wall, t.cpu);
    std::fflush(f_);
}

void Sink::value(const std::string& name, double v) {
    std::fprintf(f_, "value %s %.6f\n", name.c_str(), v);
    std::fflush(f_);
}

const Phase* Result::phase(const std::string& name) const {
    const auto it = phases.find(name);
    return it == phases.end() ? nullptr : &it->second;
}

double Result::value(const std::string& name, double otherwise) const {
    const auto it = values.find(name);
    return it == values.end() ? otherwise : it->second;
}

Result parse_result(const std::string& text) {
    Result r;
    std::istringstream in(text);
    std::string kind, name;
    while (in >> kind >> name) {
        if (kind == "phase") {
            Phase p;
            in >> p.ops >> p.seconds >> p.cpu;
            r.phases[name] = p;
        } else if (kind == "value") {
            double v = 0;
            in >> v;
            r.values[name] = v;
        } else {
            std::string rest;
            std::getline(in, rest);
        }
    }
    return r;
}

double now_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double cpu_seconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

long status_kb(const char* field) {
    FILE* f = std::fopen("/proc/self/status", "r");
    if (f == nullptr) return -1;
    char line[256];
    long kb = -1;
    const size_t n = std::strlen(field);
    while (std::fgets(line, sizeof line, f) != nullptr) {
        if (std::strncmp(line, field, n) == 0 && line[n] == ':') {
            kb = std::strtol(line + n + 1, nullptr, 10);
            break;
        }
    }
    std::fclose(f);
    return kb;
}

double flush_probe_us(const std::string& dir, int rounds) {
    const std::string path = dir + "/compare_flush_probe_" + std::to_string(getpid());
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return -1;
    std::vector<double> us;
    char block[4096];
    std::memset(block, 'k', sizeof block);
    for (int i = 0; i < rounds; ++i) {
        const double t = now_seconds();
        if (::pwrite(fd, block, sizeof block, static_cast<off_t>(i % 16) * 4096) != static_cast<ssize_t>(sizeof block) ||
            ::fdatasync(fd) != 0)
            break;
        us.push_back((now_seconds() - t) * 1e6);
    }
    ::close(fd);
    ::unlink(path.c_str());
    if (us.empty()) return -1;
    std::sort(us.begin(), us.end());
    return us[us.size() / 2];
}

long file_kb(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return -1;
    return static_cast<long>(st.st_size / 1024);
}

namespace {
uint64_t splitmix(uint64_t& s) {
    uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}
}  // namespace

std::vector<uint32_t> permutation(uint32_t n, uint64_t seed) {
    std::vector<uint32_t> v(n);
    for (uint32_t i = 0; i < n; ++i) v[i] = i + 1;
    uint64_t s = seed;
    for (uint32_t i = n; i > 1; --i) {
        const uint32_t j = static_cast<uint32_t>(splitmix(s) % i);
        std::swap(v[i - 1], v[j]);
    }
    return v;
}

void make_payload(uint8_t* p, uint32_t key, uint32_t version) {
    std::memcpy(p, &key, 4);
    std::memcpy(p + 4, &version, 4);
    for (int i = 8; i < PayloadSize; ++i) p[i] = static_cast<uint8_t>(key * 31u + version + static_cast<uint32_t>(i));
}

bool payload_is(const uint8_t* p, uint32_t key, uint32_t version) {
    uint32_t k, v;
    std::memcpy(&k, p, 4);
    std::memcpy(&v, p + 4, 4);
    return k == key && v == version && p[PayloadSize - 1] == static_cast<uint8_t>(key * 31u + version + PayloadSize - 1);
}

void record_name(uint32_t id, char* out) {
    // About ten records per name; names spread over the alphabet.
    // "customer-" + a letter + h as five digits, written by hand: snprintf
    // cost more than an engine's whole find, and every phase names records.
    const uint32_t h = (id * 2654435761u) % 20011u;
    static constexpr char prefix[] = "customer-";
    static_assert(sizeof prefix - 1 + 1 + 5 < NameSize);
    std::memcpy(out, prefix, sizeof prefix - 1);
    char* p = out + sizeof prefix - 1;
    *p++ = static_cast<char>('a' + h % 26);
    uint32_t v = h;
    for (int i = 4; i >= 0; --i) {
        p[i] = static_cast<char>('0' + v % 10);
        v /= 10;
    }
    p[5] = '\0';
}

int32_t record_group(uint32_t id) { return static_cast<int32_t>(id % 1000u); }

Child spawn_self(const std::string& self, const std::vector<std::string>& args, int stdin_fd) {
    Child c;
    int p[2];
    // Close-on-exec: no other child inherits either end (a copy of the write
    // end elsewhere would keep the reader from seeing the end of the output).
    if (::pipe2(p, O_CLOEXEC) != 0) return c;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, p[1], 1);
    if (stdin_fd >= 0)
        posix_spawn_file_actions_adddup2(&fa, stdin_fd, 0);
    else
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(self.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, self.c_str(), &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(p[1]);
    if (rc != 0) {
        ::close(p[0]);
        errno = rc;
        return c;
    }
    c.pid = pid;
    c.out = p[0];
    return c;
}

std::string read_all(int fd) {
    std::string s;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        s.append(buf, static_cast<size_t>(n));
    }
    return s;
}

std::string read_line(int fd) {
    std::string s;
    char ch;
    for (;;) {
        const ssize_t n = ::read(fd, &ch, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || ch == '\n') break;
        s.push_back(ch);
    }
    return s;
}

bool wait_ok(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int fail(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    std::vfprintf(stderr, format, ap);
    va_end(ap);
    std::fputc('\n', stderr);
    return 1;
}

}  // namespace kxb
