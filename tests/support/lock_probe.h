// Asking the system whether a byte range of a file is locked, without taking
// anything: a fresh open of the file and F_OFD_GETLK, so the answer covers
// every open file description, this process's own included.  Shared by the
// tests and the kx_worker helper program.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <string>

namespace kxtest {

// 1 when some lock meets the range, 0 when it is free, -1 when the file
// cannot be opened.
inline int lock_state(const std::string& path, off_t offset, off_t length) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = offset;
    fl.l_len = length;
    const bool held = fcntl(fd, F_OFD_GETLK, &fl) != 0 || fl.l_type != F_UNLCK;
    ::close(fd);
    return held ? 1 : 0;
}

}  // namespace kxtest
