// Counters and custom data kept in the header: the record count, the next
// record number and up to 100 bytes of the caller's own.  Each change follows
// the flush mode: modes 1..3 write the header at once, modes 0 and 4 mark it
// dirty so it is written when the write section or the file closes.
#include <cstring>

#include "frame/control_block.h"
#include "frame/result.h"
#include "indexfile/freelist.h"
#include "kindex.h"

using namespace kx;

namespace {

// Runs work inside a write section; a failing section end replaces the
// result.
template <typename F>
int32_t in_write_section(KXCB* cb, F work) {
    int32_t rc = strtwrit(cb);
    if (rc != 0) return result(cb, rc);
    rc = work();
    const int32_t end = endwrit(cb);
    return result(cb, end != 0 ? end : rc);
}

template <typename F>
int32_t in_read_section(KXCB* cb, F work) {
    if (strtread(cb) != 0) return result(cb, err::Section);
    int32_t rc = work();
    const int32_t end = endread(cb);
    return result(cb, end != 0 ? end : rc);
}

}  // namespace

extern "C" {

KX_API int32_t cgetcnt(KXCB* cb) {
    if (!is_open(cb)) return err::NotOpen;
    return in_read_section(cb, [&] {
        cb->recval = cb->record_count;
        return 0;
    });
}

KX_API int32_t csetcnt(KXCB* cb, uint32_t value) {
    if (!is_open(cb)) return err::NotOpen;
    if (cb->access == 1) return result(cb, err::ReadOnly);
    return in_write_section(cb, [&] {
        cb->record_count = value;
        return header_changed(cb);
    });
}

KX_API int32_t cgetcust(KXCB* cb, void* buffer, int32_t size) {
    if (!is_open(cb)) return err::NotOpen;
    return in_read_section(cb, [&] {
        const int32_t stored = cb->custom_length >= 1 && cb->custom_length <= 100 ? cb->custom_length : 0;
        const int32_t n = size < 0 ? 0 : (size < stored ? size : stored);
        if (n > 0 && buffer != nullptr) std::memcpy(buffer, cb->custom, static_cast<size_t>(n));
        cb->datalen = stored;
        cb->datatotal = buffer != nullptr ? n : 0;
        return n < stored ? err::BufferSmall : 0;
    });
}

KX_API int32_t csetcust(KXCB* cb, const void* data, int32_t length) {
    if (!is_open(cb)) return err::NotOpen;
    if (cb->access == 1) return result(cb, err::ReadOnly);
    return in_write_section(cb, [&] {
        if (length < 0 || length > 100 || (length > 0 && data == nullptr)) return err::Arg;
        std::memset(cb->custom, 0, sizeof cb->custom);
        if (length > 0) std::memcpy(cb->custom, data, static_cast<size_t>(length));
        cb->custom_length = length;
        return header_changed(cb);
    });
}

KX_API int32_t _csetrec(KXCB* cb) {
    if (!is_open(cb)) return err::NotOpen;
    if (cb->access == 1) return result(cb, err::ReadOnly);
    return in_write_section(cb, [&] {
        cb->next_record = cb->recval;
        return header_changed(cb);
    });
}

KX_API int32_t csetrec(KXCB* cb, uint32_t next) {
    if (!is_open(cb)) return err::NotOpen;
    cb->recval = next;
    return _csetrec(cb);
}

KX_API int32_t cnextrec(KXCB* cb) {
    if (!is_open(cb)) return err::NotOpen;
    // A number handed out must be stored, which a read-only file cannot do.
    if (cb->access == 1) return result(cb, err::ReadOnly);
    return in_write_section(cb, [&] {
        cb->recval = cb->next_record++;
        const int32_t rc = header_changed(cb);
        if (rc != 0) cb->header_dirty = 1;
        return rc;
    });
}

}  // extern "C"
