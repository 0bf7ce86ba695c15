// POSIX implementation of the operating-system layer (see platform.h).
//
// Handles are slots of a process-wide table.  A handle value carries a tag,
// a generation and the slot index, so a stale or made-up value is recognised
// as no file instead of being followed.
//
// Share modes are emulated with open-file-description locks (F_OFD_*), which
// belong to one open file description just as Windows locks belong to one
// handle, on five reserved bytes far above the largest position the library
// uses (positions are 32-bit), so they never meet the file's own lock bytes:
//   ShareBase + 0  this opener reads        ShareBase + 2  it denies reading
//   ShareBase + 1  this opener writes       ShareBase + 3  it denies writing
// Each opener holds shared locks on the bytes that describe it and then tests
// the opposite bytes for other holders.  Two openers racing each other see at
// least one of the two conflicts, so they can never both succeed.
//
// Byte-range locks of the caller are exclusive write locks on the same kind
// of description.  Each handle also remembers its own ranges, so that locking
// a range it already holds fails and unlocking a range it does not hold
// fails, as on Windows.  A handle opened read-only takes its locks through a
// second read/write description of the file when the process may write the
// file; when it may only read it, its locks are shared read locks: they still
// keep out every exclusive lock (writers, gate holders), but two such readers
// do not exclude each other.
#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "storage/platform.h"

namespace kx::os {

namespace {

constexpr uint64_t HandleTag = 0x4B58ull << 48;  // "KX"
constexpr uint64_t TagMask = 0xFFFFull << 48;
constexpr off_t ShareBase = off_t{1} << 40;

struct Range {
    uint32_t offset;
    uint32_t length;
};

struct OpenFile {
    int fd = -1;
    int lock_fd = -1;         // descriptor the caller's byte locks go through
    bool shared_locks = false;  // lock_fd is read-only: locks are F_RDLCK
    uint32_t pos = 0;
    uint16_t generation = 0;
    bool in_use = false;
    std::vector<Range> held;
};

// The process-wide handle table.
struct HandleTable {
    std::vector<OpenFile> slots;

    OpenFile* find(uint64_t h) {
        if ((h & TagMask) != HandleTag) return nullptr;
        const uint32_t index = static_cast<uint32_t>(h & 0xFFFFFFFFu);
        const uint16_t gen = static_cast<uint16_t>((h >> 32) & 0xFFFFu);
        if (index >= slots.size()) return nullptr;
        OpenFile& f = slots[index];
        if (!f.in_use || f.generation != gen) return nullptr;
        return &f;
    }

    uint64_t add(int fd, int lock_fd, bool shared_locks) {
        size_t index = 0;
        while (index < slots.size() && slots[index].in_use) ++index;
        if (index == slots.size()) slots.emplace_back();
        OpenFile& f = slots[index];
        f.fd = fd;
        f.lock_fd = lock_fd;
        f.shared_locks = shared_locks;
        f.pos = 0;
        f.in_use = true;
        f.held.clear();
        return HandleTag | (uint64_t{f.generation} << 32) | index;
    }
};

HandleTable& table() {
    static HandleTable t;
    return t;
}

// The test observer of file traffic; null (the normal case) costs one test.
IoObserver* observer = nullptr;

int32_t windows_error(int e) {
    switch (e) {
        case ENOENT: return ErrFileNotFound;
        case ENOTDIR: return ErrPathNotFound;
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR: return ErrAccessDenied;
        case EEXIST: return ErrFileExists;
        case EMFILE:
        case ENFILE: return ErrTooManyOpen;
        case ENOSPC: return ErrDiskFull;
        default: return ErrGeneral;
    }
}

bool ofd_lock(int fd, short type, off_t offset, off_t length) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = offset;
    fl.l_len = length;
    return fcntl(fd, F_OFD_SETLK, &fl) == 0;
}

// True when some other open file description holds a lock in the range.
bool ofd_taken(int fd, off_t offset, off_t length) {
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = offset;
    fl.l_len = length;
    if (fcntl(fd, F_OFD_GETLK, &fl) != 0) return true;
    return fl.l_type != F_UNLCK;
}

// Takes the share-mode bytes for an opener and checks the others' bytes.
bool claim_share(int fd, Access access, Share share) {
    const bool reads = true;
    const bool writes = access == Access::ReadWrite;
    const bool deny_read = !share.read;
    const bool deny_write = !share.write;
    const bool mine[4] = {reads, writes, deny_read, deny_write};
    for (int i = 0; i < 4; ++i)
        if (mine[i] && !ofd_lock(fd, F_RDLCK, ShareBase + i, 1)) return false;
    // My access against their denials, my denials against their access.
    if (reads && ofd_taken(fd, ShareBase + 2, 1)) return false;
    if (writes && ofd_taken(fd, ShareBase + 3, 1)) return false;
    if (deny_read && ofd_taken(fd, ShareBase + 0, 1)) return false;
    if (deny_write && ofd_taken(fd, ShareBase + 1, 1)) return false;
    return true;
}

uint64_t finish_open(const char* name, int fd, Access access, Share share, int32_t* error) {
    if (!claim_share(fd, access, share)) {
        ::close(fd);
        *error = ErrSharingViolation;
        return InvalidHandle;
    }
    int lock_fd = fd;
    bool shared_locks = false;
    if (access == Access::Read) {
        // Exclusive byte locks need a descriptor opened for writing.
        const int rw = ::open(name, O_RDWR | O_CLOEXEC);
        if (rw >= 0) {
            lock_fd = rw;
        } else {
            shared_locks = true;
        }
    }
    *error = 0;
    const uint64_t h = table().add(fd, lock_fd, shared_locks);
    if (observer != nullptr) [[unlikely]]
        observer->opened(h, name);
    return h;
}

}  // namespace

uint64_t create_new(const char* name, Access access, Share share, int32_t* error) {
    const int flags = (access == Access::ReadWrite ? O_RDWR : O_RDONLY) | O_CREAT | O_EXCL | O_CLOEXEC;
    const int fd = ::open(name, flags, 0666);
    if (fd < 0) {
        *error = windows_error(errno);
        return InvalidHandle;
    }
    return finish_open(name, fd, access, share, error);
}

uint64_t open_existing(const char* name, Access access, Share share, int32_t* error) {
    const int flags = (access == Access::ReadWrite ? O_RDWR : O_RDONLY) | O_CLOEXEC;
    const int fd = ::open(name, flags);
    if (fd < 0) {
        *error = windows_error(errno);
        return InvalidHandle;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd);
        *error = ErrAccessDenied;
        return InvalidHandle;
    }
    return finish_open(name, fd, access, share, error);
}

int32_t close(uint64_t h) {
    OpenFile* f = table().find(h);
    if (f == nullptr) return -1;
    int rc = 0;
    if (f->lock_fd != f->fd && ::close(f->lock_fd) != 0) rc = -1;
    if (::close(f->fd) != 0) rc = -1;
    f->in_use = false;
    f->fd = f->lock_fd = -1;
    f->held.clear();
    ++f->generation;
    if (observer != nullptr) [[unlikely]]
        observer->closed(h);
    return rc;
}

bool set_position(uint64_t h, uint32_t pos) {
    OpenFile* f = table().find(h);
    if (f == nullptr) return false;
    f->pos = pos;
    return true;
}

bool read(uint64_t h, void* buf, uint32_t count, uint32_t* done) {
    *done = 0;
    OpenFile* f = table().find(h);
    if (f == nullptr) return false;
    auto* p = static_cast<uint8_t*>(buf);
    while (*done < count) {
        const ssize_t n = ::pread(f->fd, p + *done, count - *done, off_t{f->pos} + *done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) break;
        *done += static_cast<uint32_t>(n);
    }
    f->pos += *done;
    return true;
}

bool write(uint64_t h, const void* buf, uint32_t count, uint32_t* done) {
    *done = 0;
    OpenFile* f = table().find(h);
    if (f == nullptr) return false;
    const auto* p = static_cast<const uint8_t*>(buf);
    bool failed = false;
    while (*done < count) {
        const ssize_t n = ::pwrite(f->fd, p + *done, count - *done, off_t{f->pos} + *done);
        if (n < 0) {
            if (errno == EINTR) continue;
            failed = true;
            break;
        }
        if (n == 0) break;
        *done += static_cast<uint32_t>(n);
    }
    // A failed call may still have put a part of the bytes into the file.
    if (observer != nullptr && *done > 0) [[unlikely]]
        observer->wrote(h, f->pos, p, *done);
    if (failed) return false;
    f->pos += *done;
    return true;
}

bool flush(uint64_t h) {
    OpenFile* f = table().find(h);
    if (f == nullptr) return false;
    if (::fdatasync(f->fd) != 0) return false;
    if (observer != nullptr) [[unlikely]]
        observer->flushed(h);
    return true;
}

bool unlink(const char* name) { return ::unlink(name) == 0; }

LockResult lock(uint64_t h, uint32_t offset, uint32_t length) {
    OpenFile* f = table().find(h);
    if (f == nullptr || length == 0) return LockResult::Error;
    for (const Range& r : f->held)
        // Waiting for a range this very handle holds could never end.
        if (offset < r.offset + r.length && r.offset < offset + length) return LockResult::Error;
    if (!ofd_lock(f->lock_fd, f->shared_locks ? F_RDLCK : F_WRLCK, offset, length))
        return (errno == EAGAIN || errno == EACCES || errno == EINTR) ? LockResult::Busy : LockResult::Error;
    f->held.push_back({offset, length});
    return LockResult::Taken;
}

LockResult lock_wait(uint64_t h, uint32_t offset, uint32_t length) {
    OpenFile* f = table().find(h);
    if (f == nullptr || length == 0) return LockResult::Error;
    for (const Range& r : f->held)
        if (offset < r.offset + r.length && r.offset < offset + length) return LockResult::Error;
    struct flock fl {};
    fl.l_type = f->shared_locks ? F_RDLCK : F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = offset;
    fl.l_len = length;
    while (fcntl(f->lock_fd, F_OFD_SETLKW, &fl) != 0)
        if (errno != EINTR) return LockResult::Error;
    f->held.push_back({offset, length});
    return LockResult::Taken;
}

bool unlock(uint64_t h, uint32_t offset, uint32_t length) {
    OpenFile* f = table().find(h);
    if (f == nullptr) return false;
    for (size_t i = 0; i < f->held.size(); ++i) {
        if (f->held[i].offset == offset && f->held[i].length == length) {
            if (!ofd_lock(f->lock_fd, F_UNLCK, offset, length)) return false;
            f->held[i] = f->held.back();
            f->held.pop_back();
            return true;
        }
    }
    return false;
}

bool lock_free(uint64_t h, uint32_t offset, uint32_t length) {
    OpenFile* f = table().find(h);
    if (f == nullptr) return false;
    for (const Range& r : f->held)
        if (offset < r.offset + r.length && r.offset < offset + length) return false;
    return !ofd_taken(f->lock_fd, offset, length);
}

void yield() { sched_yield(); }

bool valid(uint64_t h) { return table().find(h) != nullptr; }

void set_io_observer(IoObserver* o) { observer = o; }

void* allocate_large(size_t bytes) {
    if (bytes == 0) return nullptr;
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
#ifdef MADV_HUGEPAGE
    // Only advice: without large pages the memory works the same.
    madvise(p, bytes, MADV_HUGEPAGE);
#endif
    return p;
}

void release_large(void* p, size_t bytes) {
    if (p != nullptr) munmap(p, bytes);
}

}  // namespace kx::os
