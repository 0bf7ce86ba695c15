// Creating, opening and closing index files on a control block.
//
// Open and create mark the block 'C' before anything else and 'O' only once
// the file handle is valid; every failure after the file was reached closes
// the handle and marks the block 'C' again, so a failed open never leaves a
// file open behind the caller's back.
#include <cstring>

#include "btree/cursor.h"
#include "btree/keys.h"
#include "frame/byteorder.h"
#include "frame/control_block.h"
#include "frame/result.h"
#include "indexfile/freelist.h"
#include "indexfile/header.h"
#include "indexfile/nodecache.h"
#include "multiuser/keylocks.h"
#include "multiuser/sections.h"
#include "storage/file.h"
#include "storage/platform.h"
#include "txlog/txlog.h"

namespace kx {

namespace {


void copy_name(KXCB* cb, const char* name) {
    std::memset(cb->file_name, 0, sizeof cb->file_name);
    const size_t n = strnlen(name, sizeof cb->file_name);
    std::memcpy(cb->file_name, name, n);
}

void clear_transaction_state(KXCB* cb) {
    cb->trans_mode = 0;
    cb->trans_first_node = 0;
    cb->trans_current_node = 0;
    cb->trans_append_pos = nullptr;
    cb->trans_section_node = 0;
    cb->trans_section_pos = nullptr;
    cb->trans_serial = 0;
    cb->record_sequence = 0;
    cb->mirror = nullptr;
    cb->image = nullptr;
    cb->before_images = 0;
    cb->before_images_flushed = 0;
    tx_forget(cb);
}

void clear_root_tables(KXCB* cb) {
    for (int r = 0; r < 52; ++r) cb->segment_lists[r] = nullptr;
    for (int r = 1; r <= 51; ++r) cb->root_locks[r] = 'U';
}

// Closes the file after a failed open and marks the block closed.
int32_t abandon(KXCB* cb, int32_t code) {
    storage::close_file(cb);
    free_cursors(cb);
    cb->write_depth = 0;
    cb->read_depth = 0;
    cbmark(cb, 'C');
    return result(cb, code);
}

int32_t check_root_list(KXCB* cb, const KXROOTLIST* roots) {
    int32_t rc = 0;
    if (roots == nullptr) {
        for (int r = 0; r <= 44; ++r)
            if (cb->root_types[r] != 0) rc = err::RootList;
        if (rc == 0)
            for (int r = 0; r <= 44; ++r) cb->segment_lists[r] = nullptr;
        return rc;
    }
    for (int i = 0; i < 50 && roots[i].root != 0; ++i) {
        const KXROOTLIST& e = roots[i];
        int32_t code = 0;
        if (e.root >= 46) {
            code = err::RootNumber;
        } else if (e.root_type >= 21 || e.root_type != cb->root_types[e.root]) {
            code = err::RootList;
        } else if (e.segments != nullptr) {
            const int n = segment_count(e.segments);
            if (n < 1) code = err::SegmentList;
        }
        if (code != 0) {
            rc = code;
        } else if (rc == 0) {
            cb->segment_lists[e.root] = e.segments;
        }
    }
    return rc;
}

void set_creation_header(KXCB* cb) {
    cb->change_counter = 1;
    cb->main_root = 0;
    cb->main_height = 1;
    cb->next_node = 1;
    cb->next_record = 1;
    cb->node_count = 0;
    cb->free_head = NoNode;
    cb->free_records = 0;
    cb->record_count = 0;
    cb->custom_length = 0;
    std::memset(cb->custom, 0, sizeof cb->custom);
    std::memset(cb->root_types, 0, sizeof cb->root_types);
    cb->root_types[50] = 2;
    std::memset(cb->slot_map, 0, sizeof cb->slot_map);
    std::memset(cb->slot_heights, 0, sizeof cb->slot_heights);
    std::memset(cb->slot_roots, 0, sizeof cb->slot_roots);
    cb->log_head = -1;
    cb->released_log_head = NoNode;
}

// Creation failed after the file was made: close and delete it.
int32_t discard_created(KXCB* cb, const char* name, int32_t code) {
    if (cbcheck(cb) == 'O' || storage::is_stream(cb->handle) || os::valid(cb->handle)) storage::close_file(cb);
    free_cursors(cb);
    cbmark(cb, 'C');
    ciunlink(name);
    return result(cb, code);
}

}  // namespace

}  // namespace kx

using namespace kx;

extern "C" {

KX_API int32_t _bopen(KXCB* cb, const char* name, char mode, int32_t access) {
    if (cb == nullptr) return err::NotOpen;
    cbmark(cb, 'C');
    if (name == nullptr || *name == 0) return result(cb, err::Arg);
    cb->lazy_marker = 1;
    cb->check_status = 0;
    cb->native_callback_keys = 1;
    cb->queued_gate = 0;
    cb->spare_word = 0;
    cb->read_depth = 0;
    cb->write_depth = 0;
    cb->deferred_error = 0;
    copy_name(cb, name);
    cb->io_error = 0;
    cb->open_mode = mode;
    forget_cursors(cb);
    int32_t rc = poolstart(cb);
    if (rc != 0) return result(cb, rc);

    uint64_t h;
    if (mode != 'E') {
        h = storage::open_shared(cb, name, access);
        if (h == os::InvalidHandle) {
            cb->open_mode = 'E';
            h = storage::open_exclusive(cb, name, access);
        }
    } else {
        h = storage::open_exclusive(cb, name, access);
    }
    if (h == os::InvalidHandle) {
        cbmark(cb, 'C');
        return result(cb, err::Fail);
    }

    cbmark(cb, 'O');
    cb->nested_call = 0;
    cb->key_byte_order = 1;
    cb->gate_state = 'U';
    cb->read_lock_level = 1;
    cb->queue_start = 1;
    cb->queue_pos = 0;
    cb->flush_needed = 0;
    cb->access = static_cast<uint8_t>(access);
    cb->change_counter = 0;
    cb->current_record = -1;
    cb->root = 0;
    cb->user_slot = NoSlot;
    cb->header_dirty = 0;
    cb->flush_mode = 0;
    clear_transaction_state(cb);
    clear_root_tables(cb);

    rc = strtopen(cb);
    if (rc == err::Gate) return abandon(cb, rc);
    if (rc != 0 && !exclusive(cb)) {
        storage::close_file(cb);
        cbmark(cb, 'C');
        cb->write_depth = 0;
        cb->gate_state = 'U';
        cb->open_mode = 'E';
        if (storage::open_exclusive(cb, name, access) == os::InvalidHandle) return result(cb, err::OpenShared);
        cbmark(cb, 'O');
        strtopen(cb);
    }

    rc = read_header(cb);
    if (rc == 0 && !exclusive(cb)) rc = getslot(cb);
    if (rc != 0) {
        cb->io_error = last_io_error();
        endopen(cb);
        return abandon(cb, rc);
    }
    cb->flush_mode = exclusive(cb) ? 3 : 1;

    cb->check_dlist = 1;
    cb->merge_on_delete = 0;
    cb->preset_record = -1;
    cb->reuse_records = 1;
    cb->lock_bypass = 0;
    cb->compare_override = 0;
    forget_cursors(cb);
    for (int r = 1; r <= 51; ++r) cb->root_locks[r] = 'U';
    return result(cb, endopen(cb));
}

KX_API int32_t imgopen(KXCB* cb, const char* name, char mode, int32_t access) {
    return _bopen(cb, name, mode, access);
}

KX_API int32_t bopen(KXCB* cb, const char* name, char mode, int32_t access, const KXROOTLIST* roots) {
    int32_t rc = _bopen(cb, name, mode, access);
    if (rc != 0) {
        if (cbcheck(cb) == 'O') mclose(cb);
        return cb == nullptr ? rc : result(cb, rc);
    }
    rc = strtopen(cb);
    // Another process may have written the file since _bopen read the header
    // and let the gate go: the checks below and the sweep of the lock tree
    // read the header as it stands now.
    if (rc == 0 && !exclusive(cb)) rc = read_header(cb);
    if (rc != 0) {
        endopen(cb);
        if (cb->user_slot != NoSlot) relslot(cb, cb->user_slot);
        return abandon(cb, rc);
    }
    rc = markchk(cb);
    if (rc != 0) {
        endopen(cb);
        if (cb->user_slot != NoSlot) relslot(cb, cb->user_slot);
        return abandon(cb, rc);
    }
    rc = check_root_list(cb, roots);
    if (rc != 0) {
        // Nothing was changed: the file is closed without a write section,
        // which would move its change counter.
        endopen(cb);
        if (cb->user_slot != NoSlot) relslot(cb, cb->user_slot);
        return abandon(cb, rc);
    }
    if (cb->access == 1) return result(cb, endopen(cb));
    // Entries of the lock tree that a former holder of this user slot left.
    const int32_t sweep = stalesweep(cb);
    const int32_t end = endopen(cb);
    if (sweep != 0) {
        // A lock tree that cannot be swept (a damaged file) fails the open
        // as a whole: the block is not left open behind a failure code, with
        // its user slot, its buffers and the cursors the sweep made.
        cachestale(cb);
        if (cb->user_slot != NoSlot) relslot(cb, cb->user_slot);
        return abandon(cb, sweep);
    }
    return result(cb, end);
}

KX_API int32_t copen(KXCB* cb, const char* name) { return bopen(cb, name, 'E', 2, nullptr); }

KX_API int32_t bcreate(KXCB* cb, const char* name, char mode, int32_t byte_order, const KXROOTLIST* roots) {
    if (cb == nullptr) return err::NotOpen;
    cbmark(cb, 'C');
    if (name == nullptr || *name == 0) return result(cb, err::Arg);
    uint8_t order[4] = {1, 0, 0, 0};
    if (byte_order == 2) {
        order[0] = 0;
        order[3] = 1;
    } else if (byte_order != 1 && byte_order != 3) {
        return result(cb, err::ByteOrder);
    }
    cb->open_mode = 'E';
    cb->key_byte_order = 1;
    cb->queue_start = 1;
    cb->queue_pos = 0;
    cb->io_error = 0;
    cb->deferred_error = 0;
    cb->check_status = 0;
    cb->spare_word = 0;
    cb->queued_gate = 0;
    cb->lazy_marker = 1;
    cb->current_slot = 0;
    cb->root = 0;
    cb->gate_state = 'U';
    cb->read_lock_level = 1;
    cb->read_depth = 0;
    cb->write_depth = 0;
    cb->native_callback_keys = 1;
    cb->user_slot = NoSlot;
    cb->header_dirty = 0;
    cb->flush_mode = 0;
    clear_transaction_state(cb);
    clear_root_tables(cb);
    forget_cursors(cb);
    copy_name(cb, name);
    int32_t rc = poolstart(cb);
    if (rc != 0) return result(cb, rc);

    if (storage::open_shared(cb, name, 2) != os::InvalidHandle) {
        storage::close_file(cb);
        return result(cb, err::Exists);
    }
    cb->io_error = 0;
    if (storage::create_file(cb, name) == os::InvalidHandle)
        return result(cb, cb->io_error == os::ErrFileExists ? err::Exists : err::Fail);
    cb->io_error = 0;

    cb->current_record = -1;
    cb->nested_call = 0;
    cb->flush_needed = 0;
    cb->access = 2;
    std::memcpy(cb->byte_order, order, 4);
    set_creation_header(cb);
    for (int i = 0; roots != nullptr && i < 50 && roots[i].root != 0; ++i) {
        if (roots[i].root > 45) return discard_created(cb, name, err::RootNumber);
        if (roots[i].root_type > 20) return discard_created(cb, name, err::RootList);
        cb->root_types[roots[i].root] = roots[i].root_type;
    }

    static const uint8_t zero[NodeSize] = {};
    rc = storage::seek(cb, 0, 0, 0) != 0 ? err::Seek : storage::write(cb, zero, NodeSize);
    if (rc == 0) rc = hdrwrite(cb);
    if (rc != 0) {
        cb->io_error = rc;
        return discard_created(cb, name, rc);
    }
    cb->flush_mode = 0;

    if (nodespare(cb) != 0) return discard_created(cb, name, err::Write);

    WorkImage& leaf = work::zero();
    std::memset(leaf.bytes, 0, sizeof leaf.bytes);
    store<uint32_t>(leaf.bytes + 4, NoNode);
    store<uint32_t>(leaf.bytes + 8, NoNode);
    store<int16_t>(leaf.bytes + 16, 2030);
    rc = cacheput(cb, leaf, cb->main_root);
    if (rc != 0) {
        cb->io_error = rc;
        return discard_created(cb, name, rc);
    }

    forget_cursors(cb);
    cbmark(cb, 'O');
    cb->header_dirty = 1;
    rc = mclose(cb);
    if (rc != 0) return discard_created(cb, name, rc);
    rc = bopen(cb, name, mode, 2, roots);
    if (rc != 0) return discard_created(cb, name, rc);
    return 0;
}

KX_API int32_t ccreate(KXCB* cb, const char* name) { return bcreate(cb, name, 'E', 1, nullptr); }

KX_API int32_t mclose(KXCB* cb) {
    if (!is_open(cb)) return err::NotOpen;
    // A transaction still open is left pending in the file, as the last
    // section end wrote it: the closing section adds no records to a log
    // whose buffer it is about to give up.
    if (cb->trans_mode != 0 && cb->write_depth == 0) tx_let_go(cb);
    const bool writer = cb->access != 1;
    int32_t rc = writer ? strtwrit(cb) : strtread(cb);
    if (rc != 0) return result(cb, rc);
    auto end_section = [&]() { return writer ? endwrit(cb) : endread(cb); };
    if (writer) {
        release_all_key_locks(cb);
        cb->io_error = 0;
        if (cb->header_dirty) {
            rc = hdrwrite(cb);
            if (rc != 0) {
                end_section();
                cb->io_error = rc;
                return result(cb, err::Seek);
            }
        }
    }
    rc = cacherelease(cb);
    if (rc != 0) {
        end_section();
        cb->io_error = rc;
        return result(cb, err::Seek);
    }
    cb->lazy_marker = 0;
    rc = end_section();
    if (rc != 0) return result(cb, rc);
    if (cb->user_slot != NoSlot) relslot(cb, cb->user_slot);
    if (storage::close_file(cb) != 0) return result(cb, err::Fail);
    cbmark(cb, 'C');
    free_cursors(cb);
    cb->image = nullptr;
    tx_forget(cb);
    return result(cb, 0);
}

KX_API int32_t imgclose(KXCB* cb) {
    if (!is_open(cb)) return err::NotOpen;
    cb->lazy_marker = 0;
    if (cb->user_slot != NoSlot) relslot(cb, cb->user_slot);
    if (storage::close_file(cb) != 0) return result(cb, err::Fail);
    cbmark(cb, 'C');
    free_cursors(cb);
    cb->image = nullptr;
    tx_forget(cb);
    return result(cb, 0);
}

}  // extern "C"
