// A kx_worker process driven from a test (see tests/helpers/kx_worker.cpp
// for its operations and reply lines).
//
// The worker is started with posix_spawn with its standard input and output
// on pipes.  send() writes one operation; reply() reads the next reply line,
// waiting at most a given time so that a deadlock fails the test instead of
// hanging it; quiet() tells that no reply arrived within a time, which is how
// a test sees that the worker is blocked.  A worker still running when the
// object goes away is killed with SIGKILL and reaped.  MemoryDir gives the
// tests a folder for their shared files.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "support/lock_probe.h"
#include "support/testing.h"

extern char** environ;

namespace kxtest {

struct Reply {
    bool ok = false;  // false: no reply (timeout or the worker ended)
    std::string op;
    int32_t rc = 0;
    int64_t t0 = 0;  // CLOCK_MONOTONIC ns before and after the library call
    int64_t t1 = 0;
    std::vector<std::string> values;

    int64_t value(size_t i) const { return i < values.size() ? std::strtoll(values[i].c_str(), nullptr, 10) : -999; }
    std::string text(size_t i) const { return i < values.size() ? values[i] : std::string(); }
};

// True when some open file description (of any process, this one included)
// holds a byte-range lock that meets the range.  Asks through a separate
// open of the file, so it takes nothing and disturbs nobody.
inline bool lock_held(const std::string& path, off_t offset, off_t length) {
    const int state = lock_state(path, offset, length);
    if (state < 0) ADD_FAILURE() << "cannot open " << path;
    return state == 1;
}

// A folder for files shared between processes, in memory when the system
// has /dev/shm: the end of every shared write section flushes the file to
// stable storage, which on a disk costs about a millisecond per section.
class MemoryDir {
public:
    MemoryDir() {
        std::string base = "/dev/shm";
        if (::access(base.c_str(), W_OK) != 0) base = std::filesystem::temp_directory_path().string();
        std::string pattern = base + "/kindex-mp-XXXXXX";
        if (::mkdtemp(pattern.data()) != nullptr) dir_ = pattern;
    }
    ~MemoryDir() {
        std::error_code ec;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
    }
    MemoryDir(const MemoryDir&) = delete;
    MemoryDir& operator=(const MemoryDir&) = delete;
    std::string path(const std::string& name) const { return dir_ + "/" + name; }

private:
    std::string dir_;
};

// Starts the helper program `name` (built beside the tests) with `args`,
// its standard input and output on pipes: *to writes to it, *from reads
// from it.  The process id, or -1 (and a test failure) when it cannot be
// started.
inline pid_t spawn_helper(const std::string& name, const std::vector<std::string>& args, int* to, int* from) {
    *to = *from = -1;
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << errno;
        return -1;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    const std::string path = helper_path(name);
    std::vector<char*> argv{const_cast<char*>(path.c_str())};
    for (const auto& s : args) argv.push_back(const_cast<char*>(s.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, path.c_str(), &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(in[0]);
    ::close(out[1]);
    *to = in[1];
    *from = out[0];
    if (rc != 0) {
        ADD_FAILURE() << "posix_spawn " << path << ": " << rc;
        return -1;
    }
    return pid;
}

class Worker {
public:
    // With no script the worker reads operations from send(); with a script
    // it runs those and then ends.
    explicit Worker(const std::vector<std::string>& script = {}) {
        pid_ = spawn_helper("kx_worker", script, &to_, &from_);
    }
    ~Worker() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (to_ >= 0) ::close(to_);
        if (from_ >= 0) ::close(from_);
    }
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    pid_t pid() const { return pid_; }

    void send(const std::string& line) {
        const std::string s = line + "\n";
        if (to_ < 0 || ::write(to_, s.data(), s.size()) != static_cast<ssize_t>(s.size()))
            ADD_FAILURE() << "cannot send '" << line << "' to worker " << pid_;
    }

    // The next reply line, waiting up to timeout_ms for it.
    Reply reply(int timeout_ms = 10000) {
        Reply r;
        std::string line;
        if (!read_line(line, timeout_ms)) return r;
        std::istringstream in(line);
        in >> r.op >> r.rc >> r.t0 >> r.t1;
        for (std::string v; in >> v;) r.values.push_back(v);
        r.ok = static_cast<bool>(!in.bad());
        return r;
    }

    // send() and reply(); fails the test when no reply or a reply to another
    // operation arrives.
    Reply run(const std::string& line, int timeout_ms = 10000) {
        send(line);
        Reply r = reply(timeout_ms);
        EXPECT_TRUE(r.ok) << "no reply to '" << line << "' from worker " << pid_;
        EXPECT_EQ(r.op, line.substr(0, line.find(' '))) << line;
        return r;
    }

    // True when nothing arrives within ms: the worker is blocked.
    bool quiet(int ms) {
        if (!buffer_.empty()) return false;
        pollfd p{from_, POLLIN, 0};
        return ::poll(&p, 1, ms) == 0;
    }

    void signal(int sig) {
        if (pid_ > 0) ::kill(pid_, sig);
    }

    // Waits for the worker to end; its wait status, or -1.
    int wait() {
        if (pid_ <= 0) return -1;
        int status = 0;
        if (waitpid(pid_, &status, 0) != pid_) return -1;
        pid_ = -1;
        return status;
    }

private:
    bool read_line(std::string& line, int timeout_ms) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            const auto nl = buffer_.find('\n');
            if (nl != std::string::npos) {
                line = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                return true;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || from_ < 0) return false;
            pollfd p{from_, POLLIN, 0};
            const int n = ::poll(&p, 1, static_cast<int>(left.count()));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            char chunk[65536];
            const ssize_t got = ::read(from_, chunk, sizeof chunk);
            if (got <= 0) return false;
            buffer_.append(chunk, static_cast<size_t>(got));
        }
    }

    pid_t pid_ = -1;
    int to_ = -1;
    int from_ = -1;
    std::string buffer_;
};

}  // namespace kxtest
