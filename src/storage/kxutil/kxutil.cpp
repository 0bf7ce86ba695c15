// Structured-storage stand-in: each stream is a plain file in a container
// folder (see kxutil.h).
#include "kxutil.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <map>
#include <string>

namespace {

constexpr uint64_t StreamTag = 0x4B53ull << 48;  // "KS"
constexpr uint32_t FlagReadWrite = 0x2;
constexpr uint32_t FlagCreate = 0x1000;

struct Stream {
    int fd;
    std::string path;
    uint64_t pos;
};

struct State {
    bool enabled = false;
    std::string container;
    uint64_t next = 1;
    std::map<uint64_t, Stream> open;
};

State& state() {
    static State s;
    return s;
}

std::string stream_path(const char* name) {
    std::string n(name);
    const size_t slash = n.find_last_of("/\\");
    std::string dir = slash == std::string::npos ? std::string(".") : n.substr(0, slash);
    std::string base = slash == std::string::npos ? n : n.substr(slash + 1);
    for (char& c : base) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    std::string folder = state().container.empty() ? dir + "/kxstore" : state().container;
    return folder + "/" + base;
}

bool is_open(const std::string& path) {
    for (const auto& [h, s] : state().open)
        if (s.path == path) return true;
    return false;
}

uint64_t open_stream(const char* name, uint32_t flags, bool create) {
    if (name == nullptr || *name == 0) return 0;
    const std::string path = stream_path(name);
    if (is_open(path)) return 0;  // share exclusive
    int oflags = (flags & FlagReadWrite) ? O_RDWR : O_RDONLY;
    if (create) {
        const std::string folder = path.substr(0, path.find_last_of('/'));
        ::mkdir(folder.c_str(), 0777);
        oflags = O_RDWR | O_CREAT | O_TRUNC;
    }
    const int fd = ::open(path.c_str(), oflags | O_CLOEXEC, 0666);
    if (fd < 0) return 0;
    const uint64_t h = StreamTag | state().next++;
    state().open.emplace(h, Stream{fd, path, 0});
    return h;
}

Stream* find(uint64_t h) {
    auto it = state().open.find(h);
    return it == state().open.end() ? nullptr : &it->second;
}

}  // namespace

extern "C" {

int32_t KXStorage_UseStructuredStorage(void*) { return state().enabled ? 1 : 0; }

uint64_t KXStorage_StreamOpen(const char* name, uint32_t flags) {
    return open_stream(name, flags, (flags & FlagCreate) != 0);
}

uint64_t KXStorage_StreamCreate(const char* name, uint32_t flags) {
    return open_stream(name, flags | FlagCreate, true);
}

int32_t KXStorage_StreamSeek(uint64_t stream, int32_t origin, int64_t offset, uint64_t* new_position) {
    Stream* s = find(stream);
    if (s == nullptr || origin != 0 || offset < 0) return -1;
    s->pos = static_cast<uint64_t>(offset);
    if (new_position != nullptr) *new_position = s->pos;
    return 0;
}

int32_t KXStorage_StreamRead(uint64_t stream, void* buffer, uint32_t count, uint32_t* done) {
    Stream* s = find(stream);
    if (done != nullptr) *done = 0;
    if (s == nullptr) return -1;
    uint32_t got = 0;
    while (got < count) {
        const ssize_t n = ::pread(s->fd, static_cast<char*>(buffer) + got, count - got,
                                  static_cast<off_t>(s->pos + got));
        if (n < 0) return -1;
        if (n == 0) break;
        got += static_cast<uint32_t>(n);
    }
    s->pos += got;
    if (done != nullptr) *done = got;
    return 0;
}

int32_t KXStorage_StreamWrite(uint64_t stream, const void* buffer, uint32_t count, uint32_t* done) {
    Stream* s = find(stream);
    if (done != nullptr) *done = 0;
    if (s == nullptr) return -1;
    uint32_t put = 0;
    while (put < count) {
        const ssize_t n = ::pwrite(s->fd, static_cast<const char*>(buffer) + put, count - put,
                                   static_cast<off_t>(s->pos + put));
        if (n <= 0) return -1;
        put += static_cast<uint32_t>(n);
    }
    s->pos += put;
    if (done != nullptr) *done = put;
    return 0;
}

void KXStorage_StreamCommit(uint64_t stream) {
    if (Stream* s = find(stream)) ::fdatasync(s->fd);
}

void KXStorage_StreamClose(uint64_t stream) {
    auto it = state().open.find(stream);
    if (it == state().open.end()) return;
    ::close(it->second.fd);
    state().open.erase(it);
}

void KXStorage_SetStructuredStorage(int32_t on) { state().enabled = on != 0; }

void KXStorage_SetContainer(const char* folder) { state().container = folder ? folder : ""; }

int32_t KXStorage_StreamPath(const char* name, char* out, uint32_t size) {
    if (name == nullptr || out == nullptr || size == 0) return -1;
    const std::string p = stream_path(name);
    if (p.size() + 1 > size) return -1;
    std::memcpy(out, p.c_str(), p.size() + 1);
    return 0;
}

}  // extern "C"
