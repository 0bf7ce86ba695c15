// The operating-system layer: the only code in the library that calls the
// platform.  Everything above works with opaque 64-bit handles, 32-bit file
// positions and single-attempt byte-range locks, with the semantics of the
// Windows file services this format was designed around:
//
//  * a handle has its own file position (seek, then read or write there);
//  * opens declare an access (read, read/write) and a share mode (what other
//    openers may do); an open that conflicts with an existing opener fails
//    with a sharing violation, and so does an existing opener's conflict;
//  * byte-range locks are exclusive and belong to the handle: two handles of
//    one process conflict just as two processes do, and a handle's locks go
//    away when it is closed or its process dies;
//  * error numbers follow the Windows numbering for the cases callers test
//    (file not found 2, path not found 3, access denied 5, sharing
//    violation 32, file exists 80).
//
// The POSIX implementation lives in platform_posix.cpp; a Win32
// implementation can sit beside it with the same interface.
//
// Tests can watch the file traffic through an IoObserver (set_io_observer):
// while one is installed, the layer tells it of each successful open (handle
// and name as given), each write (handle, file position and the bytes that
// reached the file), each successful flush and each close, in the order they
// happen.  Crash tests replay that log to build the files a power loss could
// leave.  With none installed each of these calls pays one test of a null
// pointer.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kx::os {

// Windows-numbered error values that callers test.
constexpr int32_t ErrFileNotFound = 2;
constexpr int32_t ErrPathNotFound = 3;
constexpr int32_t ErrTooManyOpen = 4;
constexpr int32_t ErrAccessDenied = 5;
constexpr int32_t ErrInvalidHandle = 6;
constexpr int32_t ErrSharingViolation = 32;
constexpr int32_t ErrLockViolation = 33;
constexpr int32_t ErrFileExists = 80;
constexpr int32_t ErrDiskFull = 112;
constexpr int32_t ErrGeneral = 31;

constexpr uint64_t InvalidHandle = ~uint64_t{0};

enum class Access : uint8_t { Read = 1, ReadWrite = 2 };

// What other openers are allowed while this handle is open.
struct Share {
    bool read = false;
    bool write = false;
};

// Creates a new file (fails when it exists) or opens an existing one.
// Returns InvalidHandle on failure; *error receives the Windows-numbered
// reason.
uint64_t create_new(const char* name, Access access, Share share, int32_t* error);
uint64_t open_existing(const char* name, Access access, Share share, int32_t* error);
// 0 on success, -1 when refused.
int32_t close(uint64_t h);
// Sets the handle's position; false for an unknown handle.
bool set_position(uint64_t h, uint32_t pos);
// Reads up to count bytes at the handle's position and advances it.
// Returns false when the call itself fails; *done is the count read (short at
// end of file).
bool read(uint64_t h, void* buf, uint32_t count, uint32_t* done);
bool write(uint64_t h, const void* buf, uint32_t count, uint32_t* done);
// Flushes the file's data to stable storage.
bool flush(uint64_t h);
// Deletes a file by name.
bool unlink(const char* name);

// One attempt to lock an exclusive byte range of the handle's file.  Busy
// means another holder has it (try again later); Error means the handle is no
// file or the system refused for another reason (trying again cannot help).
enum class LockResult : uint8_t { Taken, Busy, Error };
LockResult lock(uint64_t h, uint32_t offset, uint32_t length);
// Locks the range, waiting in the system (not spinning) while another holder
// has it; Error as above.
LockResult lock_wait(uint64_t h, uint32_t offset, uint32_t length);
bool unlock(uint64_t h, uint32_t offset, uint32_t length);
// True when the range is free of locks held by any other handle (a test
// only: takes nothing).
bool lock_free(uint64_t h, uint32_t offset, uint32_t length);
// Gives up the rest of the time slice between lock attempts.
void yield();

// True when h names an open file of this process.
bool valid(uint64_t h);

// Observer of file traffic, for tests (see the top of this file).  Calls
// arrive after the operation has taken place; a write that fails part way
// reports the bytes that did reach the file.  An observer must not call back
// into the file layer.
struct IoObserver {
    virtual ~IoObserver() = default;
    virtual void opened(uint64_t /*h*/, const char* /*name*/) {}
    virtual void wrote(uint64_t /*h*/, uint32_t /*pos*/, const void* /*data*/, uint32_t /*count*/) {}
    virtual void flushed(uint64_t /*h*/) {}
    virtual void closed(uint64_t /*h*/) {}
};
// Installs an observer (null removes it); the caller keeps it alive while it
// is installed.
void set_io_observer(IoObserver* observer);

// A large block of zeroed memory for the node pool, null when the system has
// none.  Where the system offers them it is backed by large pages, so that
// reaching scattered nodes of a big pool costs fewer address-translation
// misses.  Given back with release_large and the same size.
void* allocate_large(size_t bytes);
void release_large(void* p, size_t bytes);

}  // namespace kx::os
