#include "multiuser/sections.h"

#include "btree/cursor.h"
#include "frame/byteorder.h"
#include "frame/control_block.h"
#include "frame/result.h"
#include "indexfile/header.h"
#include "indexfile/nodecache.h"
#include "records/keyconv.h"
#include "storage/file.h"
#include "txlog/image.h"
#include "txlog/txlog.h"

namespace kx {

namespace {

constexpr uint32_t ReadLockSpan = UserSlots;

// Waits until the range is ours.  Fails only when the handle is no file or
// the system refuses for good, never because someone else holds the range.
bool wait_lock(KXCB* cb, uint32_t offset, uint32_t length) {
    // The system keeps the waiter asleep until the range is free; a process
    // waiting at the gate costs no processor time.
    for (;;) {
        switch (storage::lock_wait(cb, offset, length)) {
            case storage::LockResult::Taken: return true;
            case storage::LockResult::Error: return false;
            case storage::LockResult::Busy: storage::yield(); break;
        }
    }
}

// The change counter as stored; 0 when it cannot be read.
uint32_t read_counter(KXCB* cb) {
    uint8_t b[4];
    int32_t rc = storage::seek(cb, 0, 0, 0);
    if (rc == 0) rc = storage::read(cb, b, 4);
    last_io_error() = rc;
    if (rc != 0) return 0;
    return get32(b, order_flag(cb));
}

// Writes the marker value in the file's own byte order, so that the check
// recognises it whatever order the file is in.
int32_t write_marker(KXCB* cb, uint16_t value) {
    if (storage::seek(cb, MarkerOffset, 0, 0) != 0) return err::Seek;
    uint8_t b[2];
    put16(b, value, order_flag(cb));
    return storage::write(cb, b, 2);
}

bool shared(const KXCB* cb) { return !exclusive(cb); }

// The deferred error when one was noted, else rc.  (Read into a value first:
// the field is packed, and a conditional over two such fields would bind a
// misaligned reference.)
int32_t deferred_or(const KXCB* cb, int32_t rc) {
    const int32_t deferred = cb->deferred_error;
    return deferred != 0 ? deferred : rc;
}

// Gives up whatever read-lock bytes the block holds; level 1 afterwards.
void drop_read_locks(KXCB* cb) {
    if (cb->read_lock_level != 1) rdfree(cb);
    cb->read_lock_level = 1;
}

}  // namespace

void restore_caller_key(KXCB* cb);

int32_t getslot(KXCB* cb) {
    if (exclusive(cb)) return 0;
    for (uint32_t s = 0; s < UserSlots; ++s) {
        if (storage::lock(cb, SlotByte + s, 1) == storage::LockResult::Taken) {
            cb->user_slot = s;
            return 0;
        }
    }
    cb->user_slot = NoSlot;
    return err::NoSlot;
}

int32_t relslot(KXCB* cb, uint32_t slot) {
    if (exclusive(cb)) return 0;
    if (slot >= UserSlots) return err::Fail;
    return storage::unlock(cb, SlotByte + slot, 1) ? 0 : err::Fail;
}

int32_t tstslot(KXCB* cb, uint32_t slot) {
    if (!is_open(cb)) return err::NotOpen;
    if (slot >= UserSlots) return err::Fail;
    return storage::lock_free(cb, SlotByte + slot, 1) ? err::Fail : 0;
}

int32_t gateon(KXCB* cb) {
    if (exclusive(cb) || cb->gate_state == 'L') return 0;
    if (cb->queued_gate == 0) {
        if (!wait_lock(cb, GateByte, 1)) return err::Gate;
        cb->gate_state = 'L';
        return 0;
    }
    // Queued gate: take a queue byte, then move forward one byte at a time.
    uint32_t p = cb->queue_start;
    cb->queue_pos = p;
    for (;;) {
        if (p > UserSlots) return err::NoSlot;
        const auto r = storage::lock(cb, GateByte + p, 1);
        if (r == storage::LockResult::Taken) break;
        if (r == storage::LockResult::Error) return err::Gate;
        ++p;
        cb->queue_pos = p;
        ++cb->queue_start;
        if (cb->queue_start > UserSlots) return err::NoSlot;
    }
    while (p > 0) {
        if (!wait_lock(cb, GateByte + p - 1, 1)) {
            storage::unlock(cb, GateByte + p, 1);
            return err::Gate;
        }
        if (!storage::unlock(cb, GateByte + p, 1)) return err::Gate;
        --p;
        cb->queue_pos = p;
    }
    cb->gate_state = 'L';
    return 0;
}

int32_t gateoff(KXCB* cb) {
    if (exclusive(cb) || cb->gate_state == 'U') return 0;
    if (!storage::unlock(cb, GateByte, 1)) return err::Fail;
    cb->gate_state = 'U';
    return 0;
}

namespace {
int32_t gatepass(KXCB* cb) {
    int32_t rc = gateon(cb);
    if (rc == 0) rc = gateoff(cb);
    return rc;
}
}  // namespace

int32_t rdlock(KXCB* cb, bool write) {
    if (cb->read_lock_level != 1) {
        const bool ok = cb->read_lock_level == 3 ? storage::unlock(cb, ReadLockByte, ReadLockSpan)
                                                 : storage::unlock(cb, ReadLockByte + cb->user_slot, 1);
        cb->read_lock_level = 1;
        if (!ok) return result(cb, err::Section);
    }
    if (write) {
        if (!wait_lock(cb, ReadLockByte, ReadLockSpan)) return err::Section;
        cb->read_lock_level = 3;
    } else {
        if (cb->user_slot >= UserSlots || !wait_lock(cb, ReadLockByte + cb->user_slot, 1)) return err::Section;
        cb->read_lock_level = 2;
    }
    return 0;
}

int32_t rdfree(KXCB* cb) {
    bool ok;
    if (cb->read_lock_level == 3)
        ok = storage::unlock(cb, ReadLockByte, ReadLockSpan);
    else
        ok = cb->user_slot < UserSlots && storage::unlock(cb, ReadLockByte + cb->user_slot, 1);
    if (!ok) return result(cb, err::Section);
    cb->read_lock_level = 1;
    return 0;
}

int32_t hdrchk(KXCB* cb) {
    const uint32_t v = read_counter(cb);
    if (v == 0) return err::Seek;
    if (v == cb->change_counter) return 0;
    cachestale(cb);
    if (shared(cb)) {
        const int32_t rc = read_header(cb);
        if (rc != 0) return rc;
    }
    cb->change_counter = v;
    mark_cursors_stale(cb, false);
    return 0;
}

int32_t hdrprobe(KXCB* cb) {
    // Inside any section of this block (own read-lock byte or the write lock
    // held) no other process can be writing, so there is nothing to probe.
    if (exclusive(cb) || cb->gate_state == 'L' || cb->read_lock_level != 1) return 0;
    const uint32_t v = read_counter(cb);
    if (v == 0) return err::Seek;
    if (v == cb->change_counter) return 0;
    cb->change_counter = v;
    mark_cursors_stale(cb, true);
    return err::Fail;
}

int32_t markchk(KXCB* cb) {
    last_io_error() = 0;
    if (storage::seek(cb, MarkerOffset, 0, 0) != 0) {
        last_io_error() = err::Seek;
        return err::Seek;
    }
    uint8_t b[2];
    const int32_t rc = storage::read(cb, b, 2);
    last_io_error() = rc;
    if (rc != 0) return rc;
    return get16(b, order_flag(cb)) == MarkerValue ? err::Marker : 0;
}

int32_t markset(KXCB* cb) {
    if (cb->flush_mode < 4 || cb->lazy_marker == 0 || cb->marker_written != 0) return 0;
    int32_t rc = 0;
    // A section that holds the write lock already (one begun below flush
    // mode 4, as a restore's is) keeps it: giving it up to take it again
    // would let a waiting reader in between.
    if (shared(cb) && cb->read_lock_level != 3) rc = rdlock(cb, true);
    if (rc == 0) {
        rc = write_marker(cb, MarkerValue);
        if (rc == 0) {
            storage::flush(cb);
            cb->marker_present = 1;
        }
        cb->marker_written = 1;
    }
    last_io_error() = rc;
    return rc;
}

int32_t wrtback(KXCB* cb) {
    cb->io_error = 0;
    int32_t rc = 0;
    if (cb->header_dirty) rc = hdrwrite(cb);
    // Inside an enclosing write section the file is flushed at its end,
    // before the marker is cleared: a flush here would add nothing a crash
    // could keep.
    const int32_t nodes = cacheflush(cb, cb->write_depth <= 1);
    if (rc == 0) rc = nodes;
    return result(cb, rc);
}

int32_t strtopen(KXCB* cb) {
    ++cb->write_depth;
    cb->marker_written = 0;
    cb->marker_present = 0;
    if (exclusive(cb)) return 0;
    cb->deferred_error = 0;
    cb->check_status = 0;
    return gateon(cb);
}

int32_t endopen(KXCB* cb) {
    if (cb->write_depth > 0) --cb->write_depth;
    if (exclusive(cb)) {
        storage::flush(cb);
        return 0;
    }
    wrtback(cb);
    const int32_t rc = gateoff(cb);
    return deferred_or(cb, rc);
}

}  // namespace kx

using namespace kx;

extern "C" {

KX_API int32_t strtread(KXCB* cb) {
    if (!is_open(cb)) return err::Section;
    int32_t rc = poolstart(cb);
    if (rc != 0) return rc;
    if (exclusive(cb)) return 0;
    if (cb->read_depth == 0) {
        cb->deferred_error = 0;
        cb->check_status = 0;
    }
    if (cb->gate_state == 'U' && cb->read_lock_level == 1) {
        rc = gatepass(cb);
        if (rc == 0) {
            rc = rdlock(cb, false);
            if (rc == 0) {
                rc = hdrchk(cb);
                if (rc != 0) drop_read_locks(cb);
            }
        }
        if (rc != 0) return err::Section;
    }
    ++cb->read_depth;
    return 0;
}

KX_API int32_t endread(KXCB* cb) {
    if (!is_open(cb)) return err::Section;
    if (exclusive(cb)) {
        restore_caller_key(cb);
        return 0;
    }
    if (cb->read_depth > 0) --cb->read_depth;
    if (cb->read_depth != 0 || cb->write_depth != 0) return 0;
    const int32_t rc = rdfree(cb);
    restore_caller_key(cb);
    return deferred_or(cb, rc);
}

KX_API int32_t strtwrit(KXCB* cb) {
    if (!is_open(cb)) return err::Section;
    int32_t r = poolstart(cb);
    if (r != 0) return r;
    if (cb->write_depth == 0) {
        cb->deferred_error = 0;
        cb->check_status = 0;
    }
    if (shared(cb) && cb->gate_state == 'U') {
        // Inside a read section: give the read-lock byte up before waiting at
        // the gate, so that another reader turning writer cannot wait on it.
        if (cb->read_lock_level == 2) drop_read_locks(cb);
        if (gateon(cb) != 0) {
            if (cb->read_depth != 0) rdlock(cb, false);
            last_io_error() = err::Section;
            return err::Section;
        }
        r = hdrchk(cb);
    }
    const uint32_t counter_read = cb->change_counter;
    if (cb->write_depth == 0) {
        ++cb->change_counter;
        cb->header_dirty = 1;
    }
    // The image file takes the header of this section's start before
    // anything of the section reaches the index file, the marker included.
    if (r == 0 && cb->write_depth == 0 && cb->image != nullptr) {
        cb->before_images = 0;
        cb->before_images_flushed = 0;
        image_section_begin(cb);
        uint8_t h[HeaderSize];
        build_header(cb, h);
        load_header(cb->image, h);
        r = hdrwrite(cb->image);
        if (r == 0) cb->image->header_dirty = 0;
    }
    if (r == 0 && cb->write_depth == 0) {
        if (cb->flush_mode < 4) {
            if (shared(cb)) r = rdlock(cb, true);
        } else {
            cb->marker_written = 0;
            cb->marker_present = 0;
            r = markchk(cb);
            if (r == 0 && cb->lazy_marker == 0) {
                if (shared(cb)) r = rdlock(cb, true);
                if (r == 0) r = image_ahead(cb);
                if (r == 0) r = write_marker(cb, MarkerValue);
                if (r == 0) {
                    storage::flush(cb);
                    cb->marker_present = 1;
                    cb->marker_written = 1;
                }
            }
        }
    }
    if (r != 0) {
        // Leave nothing held that the failed start took: the write lock (or
        // the read-lock byte of an enclosing read section) and the gate.
        // The change counter goes back to the value read from the file: a
        // section that never began changed nothing, and a copy raised by
        // each refused start (a process waiting out another's marker) could
        // come to equal the file's counter after others' sections, and the
        // next start would then keep a header and nodes that are no longer
        // the file's.
        if (cb->write_depth == 0) cb->change_counter = counter_read;
        if (shared(cb) && cb->write_depth == 0) {
            if (cb->read_lock_level == 3) drop_read_locks(cb);
            if (cb->read_depth != 0 && cb->read_lock_level == 1) rdlock(cb, false);
            gateoff(cb);
        }
    } else {
        ++cb->write_depth;
        if (cb->trans_mode != 0 && cb->write_depth == 1) r = tx_section_begin(cb);
    }
    last_io_error() = r;
    return r;
}

KX_API int32_t endwrit(KXCB* cb) {
    if (!is_open(cb)) return err::Section;
    const int32_t kept = cb->last_result;
    int32_t res = 0;
    if (cb->write_depth == 1) {
        int32_t r = 0;
        if (cb->flush_mode == 4 || shared(cb))
            r = wrtback(cb);
        else if (cb->flush_mode >= 1)
            storage::flush(cb);
        // The log's section end goes after the nodes it vouches for.
        const bool logged = r == 0 && (cb->trans_current_node > 0 || cb->trans_mode == 1 || cb->trans_mode == 2);
        if (logged) r = tx_section_end(cb);
        // The log's last records may have taken a new log node: the header
        // that counts it goes with them.
        if (logged && r == 0 && cb->header_dirty) r = hdrwrite(cb);
        if (cb->flush_needed && cb->flush_mode != 0 && r == 0) {
            r = storage::flush_checked(cb);
            cb->flush_needed = 0;
        }
        if (r == 0 && cb->flush_mode == 4 && cb->marker_present) {
            // Everything the section wrote (the log's section end last) is
            // on stable storage before the marker says the file is whole.
            if (logged) r = storage::flush_checked(cb);
            if (r == 0) r = clrwrit(cb);
            cb->marker_written = 0;
        }
        if (shared(cb)) {
            if (cb->read_lock_level == 3) {
                const int32_t rc = rdfree(cb);
                if (r == 0) r = rc;
            }
            if (cb->read_depth != 0) {
                const int32_t rc = rdlock(cb, false);
                if (r == 0) r = rc;
            }
            const int32_t rc = gateoff(cb);
            if (r == 0) r = rc;
        }
        if (cb->read_depth == 0) restore_caller_key(cb);
        res = deferred_or(cb, r);
    }
    if (cb->write_depth > 0) --cb->write_depth;
    cb->last_result = kept;
    return res;
}

KX_API int32_t clrwrit(KXCB* cb) {
    if (!is_open(cb)) return err::NotOpen;
    int32_t rc = write_marker(cb, 0);
    if (rc == 0) {
        storage::flush(cb);
        cb->marker_present = 0;
    }
    last_io_error() = rc;
    return rc;
}

}  // extern "C"

namespace kx {
void restore_caller_key(KXCB* cb) {
    if (cb->key != nullptr && cb->key_byte_order != 1) convparm(cb, static_cast<uint8_t>(1));
}
}  // namespace kx
