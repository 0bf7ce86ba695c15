#include "storage/file.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "frame/result.h"
#include "kxutil.h"
#include "storage/platform.h"

namespace kx::storage {

namespace {

constexpr uint32_t StreamReadWrite = 0x2;
constexpr uint32_t StreamShareExclusive = 0x10;
constexpr uint32_t StreamCreate = 0x1000;

// The process-wide stream registry: stream handle -> name it was opened under.
std::map<uint64_t, std::string>& registry() {
    static std::map<uint64_t, std::string> r;
    return r;
}

bool structured(const KXCB* cb) {
    return KXStorage_UseStructuredStorage(const_cast<KXCB*>(cb)) != 0;
}

// The extension as a path splitter returns it: the last dot of the last path
// component and what follows.
const char* extension_of(const char* name) {
    const char* base = name;
    for (const char* p = name; *p; ++p)
        if (*p == '/' || *p == '\\' || *p == ':') base = p + 1;
    return std::strrchr(base, '.');
}

bool equal_nocase(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b) {
        char x = *a, y = *b;
        if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
        if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
        if (x != y) return false;
    }
    return *a == *b;
}

bool stream_extension(const char* name) {
    static constexpr const char* kExt[] = {".KEL", ".KIL", ".VALKIL", ".VALKEL", ".TMPKEL", ".HCX"};
    const char* ext = extension_of(name);
    if (ext == nullptr) return false;
    for (const char* e : kExt)
        if (equal_nocase(ext, e)) return true;
    return false;
}

bool stream_handle(const KXCB* cb) { return structured(cb) && is_stream(cb->handle); }

uint64_t open_stream(KXCB* cb, const char* name, bool create, bool report) {
    const uint64_t h = create ? KXStorage_StreamCreate(name, StreamCreate | StreamShareExclusive | StreamReadWrite)
                              : KXStorage_StreamOpen(name, StreamShareExclusive | StreamReadWrite);
    if (h == 0) {
        cb->handle = os::InvalidHandle;
        if (report) cb->io_error = StreamNotFound;
        return cb->handle;
    }
    registry()[h] = name;
    cb->handle = h;
    return h;
}

}  // namespace

bool is_stream(uint64_t h) { return h != 0 && registry().count(h) != 0; }

bool names_stream(const KXCB* cb, const char* name) { return structured(cb) && stream_extension(name); }

uint64_t create_file(KXCB* cb, const char* name) {
    if (names_stream(cb, name)) return open_stream(cb, name, true, false);
    int32_t error = 0;
    cb->handle = os::create_new(name, os::Access::ReadWrite, os::Share{}, &error);
    if (cb->handle == os::InvalidHandle) cb->io_error = error;
    return cb->handle;
}

uint64_t open_exclusive(KXCB* cb, const char* name, int32_t access) {
    if (names_stream(cb, name)) return open_stream(cb, name, false, true);
    int32_t error = 0;
    const os::Access a = access == 2 ? os::Access::ReadWrite : os::Access::Read;
    cb->handle = os::open_existing(name, a, os::Share{}, &error);
    if (cb->handle == os::InvalidHandle) cb->io_error = error;
    return cb->handle;
}

uint64_t open_shared(KXCB* cb, const char* name, int32_t access) {
    if (names_stream(cb, name)) return open_stream(cb, name, false, true);
    int32_t error = 0;
    os::Share share{true, true};
    os::Access a = os::Access::Read;
    if (access == 2) {
        a = os::Access::ReadWrite;
        if (cb->open_mode == 'D') share.write = false;
    }
    cb->handle = os::open_existing(name, a, share, &error);
    return cb->handle;
}

int32_t close_file(KXCB* cb) {
    const uint64_t h = cb->handle;
    if (structured(cb) && is_stream(h)) {
        registry().erase(h);
        KXStorage_StreamClose(h);
        return 0;
    }
    return os::close(h) == 0 ? 0 : err::Fail;
}

int32_t seek(const KXCB* cb, uint32_t number, uint32_t size, uint32_t base) {
    // Computed wide so that a node number past the 32-bit range cannot wrap
    // round onto the header or another node.
    const uint64_t target = size != 0 ? uint64_t{number} * size + base : uint64_t{number} + base;
    if (target >= 0x80000000ull) return err::Fail;
    if (stream_handle(cb)) {
        uint64_t pos = 0;
        if (KXStorage_StreamSeek(cb->handle, 0, static_cast<int64_t>(target), &pos) != 0) return err::Fail;
        return static_cast<uint32_t>(pos) == target ? 0 : err::Fail;
    }
    return os::set_position(cb->handle, static_cast<uint32_t>(target)) ? 0 : err::Fail;
}

int32_t read(const KXCB* cb, void* buf, uint32_t count) {
    uint32_t done = 0;
    if (stream_handle(cb)) {
        if (KXStorage_StreamRead(cb->handle, buf, count, &done) != 0) return err::Fail;
    } else if (!os::read(cb->handle, buf, count, &done)) {
        return err::Fail;
    }
    return done == count ? 0 : err::Read;
}

int32_t write(const KXCB* cb, const void* buf, uint32_t count) {
    uint32_t done = 0;
    if (stream_handle(cb)) {
        if (KXStorage_StreamWrite(cb->handle, buf, count, &done) != 0) return err::Write;
    } else if (!os::write(cb->handle, buf, count, &done)) {
        return err::Write;
    }
    return done == count ? 0 : err::Write;
}

int32_t flush(const KXCB* cb) {
    if (stream_handle(cb)) {
        KXStorage_StreamCommit(cb->handle);
        return 0;
    }
    os::flush(cb->handle);
    return 0;
}

int32_t flush_checked(const KXCB* cb) {
    if (stream_handle(cb)) {
        KXStorage_StreamCommit(cb->handle);
        return 0;
    }
    return os::flush(cb->handle) ? 0 : err::Fail;
}

void* allocate(KXCB* cb, size_t size) {
    void* p = std::malloc(size);
    if (p == nullptr && cb != nullptr) cb->deferred_error = err::NoMemory;
    return p;
}

LockResult lock(const KXCB* cb, uint32_t offset, uint32_t length) {
    if (stream_handle(cb)) return LockResult::Taken;
    return os::lock(cb->handle, offset, length);
}
LockResult lock_wait(const KXCB* cb, uint32_t offset, uint32_t length) {
    if (stream_handle(cb)) return LockResult::Taken;
    return os::lock_wait(cb->handle, offset, length);
}
bool unlock(const KXCB* cb, uint32_t offset, uint32_t length) {
    if (stream_handle(cb)) return true;
    return os::unlock(cb->handle, offset, length);
}
bool lock_free(const KXCB* cb, uint32_t offset, uint32_t length) {
    if (stream_handle(cb)) return true;
    return os::lock_free(cb->handle, offset, length);
}
void yield() { os::yield(); }

}  // namespace kx::storage

extern "C" KX_API int32_t ciunlink(const char* name) {
    if (name == nullptr) return 0;
    return kx::os::unlink(name) ? 1 : 0;
}
