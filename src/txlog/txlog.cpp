#include "txlog/txlog.h"

#include <cstring>
#include <initializer_list>

#include "frame/byteorder.h"
#include "frame/control_block.h"
#include "frame/result.h"
#include "indexfile/freelist.h"
#include "indexfile/header.h"
#include "multiuser/sections.h"
#include "storage/file.h"
#include "txlog/image.h"
#include "txlog/nodeput.h"
#include "txlog/txstate.h"

namespace kx {

namespace {

// The log buffer holds records that its file does not have yet.
bool g_log_dirty = false;

uint8_t* log_bytes() { return work::log().bytes; }

int16_t record_count(const uint8_t* x) { return load<int16_t>(x + 14); }
int16_t free_bytes(const uint8_t* x) { return load<int16_t>(x + 16); }
int32_t append_offset(const uint8_t* x) { return NodeSize - free_bytes(x); }

// Turns an image into an empty log node of the given kind.
void init_log_node(WorkImage& img, int16_t kind, uint32_t released, uint32_t owner) {
    img.clear_identity();
    std::memset(img.bytes, 0, sizeof img.bytes);
    store<uint32_t>(img.bytes + 0, released);
    store<uint32_t>(img.bytes + 4, 0);
    store<uint32_t>(img.bytes + 8, owner);
    store<int16_t>(img.bytes + 12, kind);
    store<int16_t>(img.bytes + 14, 0);
    store<int16_t>(img.bytes + 16, lognode::EmptyFree);
}

// Empties a log node's record area (links, owner and kind stay).
void empty_log_node(uint8_t* x) {
    store<int16_t>(x + 14, 0);
    store<int16_t>(x + 16, lognode::EmptyFree);
    std::memset(x + lognode::RecordStart, 0, NodeSize - lognode::RecordStart);
}

uint32_t own_slot(const KXCB* cb) { return exclusive(cb) ? 0 : cb->user_slot; }

void set_append(KXCB* cb) { cb->trans_append_pos = log_bytes() + append_offset(log_bytes()); }

void clear_state(KXCB* cb) {
    cb->trans_first_node = NoNode;
    cb->trans_current_node = -1;
    cb->trans_append_pos = nullptr;
    cb->trans_serial = 0;
    cb->record_sequence = 0;
    cb->trans_mode = 0;
}

// Writes an image as log node n of another file (the mirror) without making
// the image stand for that file.
int32_t copy_log_node(KXCB* to, const uint8_t* bytes, uint32_t n) {
    // The mirror's copy of the node goes as any node of the mirror does:
    // its old content to the mirror's own image file, when it has one.
    int32_t rc = cacheimage(to, n);
    if (rc == 0) rc = cachedrop(to, n);
    if (rc != 0) return rc;
    uint8_t out[NodeSize];
    std::memcpy(out, bytes, NodeSize);
    nodeto(out, order_flag(to));
    return write_slot(to, out, n);
}

}  // namespace

void tx_let_go(KXCB* cb) { clear_state(cb); }

uint32_t chain_next(const KXCB* cb, const uint8_t* x) {
    const uint32_t next = load<uint32_t>(x + 4);
    return next > 0 && next < cb->next_node && static_cast<int32_t>(next) > 0 ? next : 0;
}

bool chain_member(const uint8_t* x, bool head) {
    return load<int16_t>(x + 12) == (head ? lognode::HeadKind : lognode::ContinuationKind);
}

int32_t logget(KXCB* cb, WorkImage& image, uint32_t n) {
    // An image that holds the node took it out of the pool when it read it.
    if (image.holds(cb, n)) return 0;
    {
        WorkImage& log = work::log();
        if (&image == &log && g_log_dirty && log.owner != nullptr && is_open(log.owner)) {
            // Its records go to their own file first.
            const int32_t rc = logput(log.owner, log, log.node);
            if (rc != 0) return rc;
        }
        if (&image == &log) g_log_dirty = false;
        // Read without taking a pool buffer, so that no node image a caller
        // holds from the pool is given up for a log node.
        const int32_t rc = cachefetch(cb, image, n);
        if (rc != 0) {
            image.clear_identity();
            return rc;
        }
    }
    return cachedrop(cb, n);
}

int32_t logput(KXCB* cb, WorkImage& image, uint32_t n) {
    uint8_t* x = image.bytes;
    if (record_count(x) < 0 || free_bytes(x) < 0) return err::Damaged;
    if (static_cast<int32_t>(n) < 0) return err::NegativeNode;
    // The node's old content goes to the image file, as any changed node's.
    int32_t rc = cacheimage(cb, n);
    if (rc == 0) rc = cachedrop(cb, n);
    if (rc != 0) return rc;
    cb->header_dirty = 1;
    image.owner = cb;
    image.handle = cb->handle;
    image.node = n;
    const uint8_t flag = order_flag(cb);
    nodeto(x, flag);
    rc = write_slot(cb, x, n);
    nodefrom(x, flag);
    // Another work image that held the node holds its old content now.
    for (WorkImage* w : {&work::log(), &work::rollback(), &work::leaf(), &work::split()})
        if (w != &image && w->holds(cb, n)) {
            if (w == &work::log()) g_log_dirty = false;
            w->clear_identity();
        }
    if (rc == 0 && &image == &work::log()) g_log_dirty = false;
    return rc;
}

int32_t translog_impl(KXCB* cb, uint8_t type, const uint8_t* body) {
    if ((type == logrec::Added || type == logrec::Removed) &&
        (body[1] == lognode::LockRoot || (cb->trans_mode != 1 && cb->trans_mode != 3)))
        return 0;
    // Entries are logged from inside write sections: a nested section would
    // only count.
    const bool own_section = cb->write_depth == 0;
    int32_t rc = own_section ? strtwrit(cb) : 0;
    if (rc != 0) return rc;
    const int32_t current = cb->trans_current_node;
    if (current > 0) {
        WorkImage& log = work::log();
        rc = logget(cb, log, static_cast<uint32_t>(current));
        const int32_t length = body[0];
        if (rc == 0 && length + logrec::HeaderBytes > free_bytes(log.bytes)) {
            // The next log node: one an earlier transaction kept (emptied,
            // still linked), else a new one, allocated and on disk and named
            // by the full node before records go into it.
            uint32_t kept = chain_next(cb, log.bytes);
            if (kept != 0) {
                WorkImage probe;
                if (cachefetch(cb, probe, kept) != 0 || !chain_member(probe.bytes, false)) kept = 0;
            }
            uint32_t n = NoNode;
            if (kept != 0) {
                rc = logput(cb, log, static_cast<uint32_t>(current));
                if (rc == 0) rc = logget(cb, log, kept);
                if (rc == 0) {
                    // The kept node gets its before-image like any node that
                    // existed when the section began (taken below, as it
                    // leaves the pool or is written).  A restore must empty
                    // it again: the section may have gone on to write its
                    // section-end record, into this node or one after it,
                    // before it stopped, and rollback would then take the
                    // section's records for done work and undo them on a
                    // tree that the restore has already put back.
                    const uint32_t after = load<uint32_t>(log.bytes + 4);
                    init_log_node(log, lognode::ContinuationKind, 0, own_slot(cb));
                    store<uint32_t>(log.bytes + 4, after);
                    n = kept;
                }
            } else {
                rc = nodespare(cb);
                if (rc == 0) {
                    n = nodealloc(cb);
                    if (n == NoNode || n == 0 || static_cast<int32_t>(n) < 0) rc = err::Seek;
                }
                if (rc == 0) {
                    store<uint32_t>(log.bytes + 4, n);
                    rc = logput(cb, log, static_cast<uint32_t>(current));
                }
                if (rc == 0) init_log_node(log, lognode::ContinuationKind, 0, own_slot(cb));
            }
            if (rc == 0) cb->trans_current_node = static_cast<int32_t>(n);
            if (rc == 0 && cb->flush_mode == 4) {
                // At flush mode 4 (every transaction's) the write section
                // is whole or, after a stop, refused by the marker until it
                // is restored: the new node and the header reach the file
                // with the section's other writes.  The node leaves the pool
                // now (its old content to the image file first), as its
                // first write would take it.
                rc = cacheimage(cb, n);
                if (rc == 0) rc = cachedrop(cb, n);
                log.owner = cb;
                log.handle = cb->handle;
                log.node = n;
                g_log_dirty = true;
                if (kept == 0) cb->header_dirty = 1;
            } else if (rc == 0) {
                rc = logput(cb, log, n);
                if (rc == 0 && kept == 0) rc = hdrwrite(cb);
            }
        }
        if (rc == 0) {
            uint8_t* x = log.bytes;
            const uint8_t flag = order_flag(cb);
            uint8_t* at = x + append_offset(x);
            put32(at + 0, cb->trans_serial, flag);
            put16(at + 4, static_cast<uint16_t>(cb->record_sequence), flag);
            put32(at + 6, cb->change_counter, flag);
            at[10] = type;
            std::memcpy(at + 11, body, static_cast<size_t>(length) + 1);
            store<int16_t>(x + 14, static_cast<int16_t>(record_count(x) + 1));
            store<int16_t>(x + 16, static_cast<int16_t>(free_bytes(x) - length - logrec::HeaderBytes));
            cb->record_sequence = static_cast<int16_t>(cb->record_sequence + 1);
            g_log_dirty = true;
            set_append(cb);
            if (type == logrec::SectionEnd) rc = logput(cb, log, static_cast<uint32_t>(cb->trans_current_node));
        }
    }
    if (!own_section) return rc;
    const int32_t end = endwrit(cb);
    return end != 0 ? end : rc;
}

void tx_node_written(KXCB* cb, uint32_t n) { tx_state(cb).written.push_back(n); }

int32_t tx_section_begin(KXCB* cb) {
    cb->trans_section_node = static_cast<uint32_t>(cb->trans_current_node);
    cb->trans_section_pos = cb->trans_append_pos;
    if (TxState* s = find_tx_state(cb)) s->written.clear();
    // The current log node will be written in this section: its image is
    // taken now, so that the image file's first flush covers it.
    int32_t rc = 0;
    if (cb->image != nullptr && cb->trans_current_node > 0)
        rc = cacheimage(cb, static_cast<uint32_t>(cb->trans_current_node));
    const uint8_t empty = 0;
    return rc != 0 ? rc : translog_impl(cb, logrec::SectionBegin, &empty);
}

int32_t log_record_offsets(const uint8_t* x, int32_t* offsets, int32_t* count) {
    const int32_t n = record_count(x);
    if (n < 0 || n > lognode::MaxRecords) return err::Damaged;
    int32_t at = lognode::RecordStart;
    for (int32_t i = 0; i < n; ++i) {
        if (at + logrec::HeaderBytes > static_cast<int32_t>(NodeSize)) return err::Damaged;
        offsets[i] = at;
        at += logrec::HeaderBytes + x[at + 11];
    }
    if (at > static_cast<int32_t>(NodeSize)) return err::Damaged;
    *count = n;
    return 0;
}

int32_t mirrorsync(KXCB* cb) {
    KXCB* m = cb->mirror;
    if (m == nullptr || !is_open(m)) return result(cb, err::NotOpen);
    m->flush_mode = 4;
    int32_t rc = strtwrit(m);
    if (rc != 0) return result(cb, rc);
    const uint8_t flag = order_flag(cb);
    WorkImage& log = work::log();
    uint32_t n = cb->trans_section_node;
    // Where the section began inside its first node.
    int32_t start = cb->trans_section_pos != nullptr
                        ? static_cast<int32_t>(static_cast<uint8_t*>(cb->trans_section_pos) - log.bytes)
                        : lognode::RecordStart;
    for (uint32_t hops = 0; rc == 0 && static_cast<int32_t>(n) > 0; ++hops) {
        if (hops > cb->node_count) {
            rc = err::Damaged;
            break;
        }
        rc = logget(cb, log, n);
        if (rc != 0) break;
        if (!chain_member(log.bytes, false) && !chain_member(log.bytes, true)) break;
        int32_t offsets[lognode::MaxRecords];
        int32_t count = 0;
        rc = log_record_offsets(log.bytes, offsets, &count);
        if (rc != 0) break;
        for (int32_t i = 0; i < count && rc == 0; ++i) {
            const uint8_t* r = log.bytes + offsets[i];
            if (offsets[i] < start || r[10] != logrec::NodeWritten || r[11] < 4) continue;
            const uint32_t node = get32(r + 12, flag);
            WorkImage& s = work::split();
            rc = cacheget(cb, s, node);
            if (rc != 0) break;
            if (node >= m->node_count) {
                m->node_count = node + 1;
                m->next_node = node + 1;
            }
            rc = cacheput(m, s, node);
            // cacheget/cacheput may have used the log buffer's pool slot:
            // the log node is read again where needed.
        }
        if (rc != 0) break;
        // The log node itself, as it now stands.
        rc = logget(cb, log, n);
        if (rc == 0) rc = copy_log_node(m, log.bytes, n);
        start = 0;
        n = chain_next(cb, log.bytes);
    }
    if (rc == 0) {
        uint8_t h[HeaderSize];
        build_header(cb, h);
        load_header(m, h);
        rc = hdrwrite(m);
        if (rc == 0) m->header_dirty = 0;
    }
    const int32_t end = endwrit(m);
    return result(cb, end != 0 ? end : rc);
}

int32_t tx_section_end(KXCB* cb) {
    int32_t rc = 0;
    if (cb->trans_current_node > 0) {
        // Node-written notes first, so that the section's end names them all.
        if (cb->trans_mode == 1 || cb->trans_mode == 2) {
            if (TxState* s = find_tx_state(cb)) {
                for (size_t i = 0; i < s->written.size() && rc == 0; ++i) {
                    uint8_t body[5];
                    body[0] = 4;
                    put32(body + 1, s->written[i], order_flag(cb));
                    rc = translog_impl(cb, logrec::NodeWritten, body);
                }
                s->written.clear();
            }
        }
        const uint8_t empty = 0;
        if (rc == 0) rc = translog_impl(cb, logrec::SectionEnd, &empty);
    }
    if (rc == 0 && (cb->trans_mode == 1 || cb->trans_mode == 2)) rc = mirrorsync(cb);
    return rc;
}

}  // namespace kx

using namespace kx;

namespace {

// The transaction state of a transaction that begins with head node h.
void set_state(KXCB* cb, int32_t mode, uint32_t head, KXCB* mirror) {
    cb->trans_mode = mode;
    cb->trans_serial = cb->change_counter;
    cb->trans_first_node = head;
    cb->trans_current_node = static_cast<int32_t>(head);
    cb->trans_section_node = head;
    cb->trans_append_pos = work::log().bytes + lognode::RecordStart;
    cb->trans_section_pos = cb->trans_append_pos;
    cb->record_sequence = 1;
    cb->mirror = mirror;
    if (TxState* s = find_tx_state(cb)) s->written.clear();
}

int32_t test_log(KXCB* cb) {
    if (cb->log_head < 0) return 0;
    WorkImage& log = work::log();
    int32_t rc = logget(cb, log, static_cast<uint32_t>(cb->log_head));
    if (rc != 0) return rc;
    const uint32_t owner = load<uint32_t>(log.bytes + 8);
    if (!exclusive(cb) && owner != cb->user_slot) return tstslot(cb, owner) == 0 ? err::LogOwner : err::LogPending;
    return load<int16_t>(log.bytes + 14) >= 1 ? err::LogPending : err::LogEmpty;
}

}  // namespace

extern "C" {

KX_API int32_t translog(KXCB* cb, int32_t type, const void* body) {
    if (!is_open(cb)) return err::NotOpen;
    if (body == nullptr || type < 0 || type > 255) return result(cb, err::Arg);
    return result(cb, translog_impl(cb, static_cast<uint8_t>(type), static_cast<const uint8_t*>(body)));
}

KX_API int32_t transtst(KXCB* cb) {
    if (!is_open(cb)) return err::NotOpen;
    int32_t rc = strtwrit(cb);
    if (rc != 0) return result(cb, rc);
    rc = test_log(cb);
    const int32_t end = endwrit(cb);
    return result(cb, end != 0 ? end : rc);
}

KX_API int32_t transbeg(KXCB* cb, int32_t mode, KXCB* mirror) {
    if (!is_open(cb)) return err::NotOpen;
    if (cb->flush_mode < 4) return result(cb, err::TransMode);
    if (mirror != nullptr) {
        if (mode == 3) return result(cb, err::Arg);
        if (!is_open(mirror)) return result(cb, err::NotOpen);
    }
    if (mode < 1 || mode > 3 || ((mode == 1 || mode == 2) && mirror == nullptr) || mirror == cb)
        return result(cb, err::Arg);
    int32_t rc = strtwrit(cb);
    if (rc != 0) return result(cb, rc);
    rc = test_log(cb);
    // A log whose head holds no records has no transaction open: every
    // transaction's head holds a record from the end of the section that
    // began it (see below).  Kept with how 2 by another user, or left empty
    // by a process that stopped, it holds nothing to undo: it is taken over
    // instead of refused, so that a kept log never keeps the other users of
    // a shared file from their transactions.
    WorkImage& log = work::log();
    if ((rc == err::LogPending || rc == err::LogOwner) && log.holds(cb, static_cast<uint32_t>(cb->log_head)) &&
        record_count(log.bytes) == 0) {
        store<uint32_t>(log.bytes + 8, own_slot(cb));
        rc = logput(cb, log, static_cast<uint32_t>(cb->log_head));
        if (rc == 0) rc = err::LogEmpty;
    }
    if (rc == err::LogEmpty) rc = 0;
    if (rc != 0) {
        endwrit(cb);
        return result(cb, rc);
    }
    if (cb->log_head >= 0) {
        set_state(cb, mode, static_cast<uint32_t>(cb->log_head), mirror);
        // The kept head will be written in this section (see above).
        if (cb->image != nullptr) rc = cacheimage(cb, static_cast<uint32_t>(cb->log_head));
        const int32_t end = endwrit(cb);
        return result(cb, end != 0 ? end : rc);
    }
    rc = nodespare(cb);
    if (rc != 0) {
        endwrit(cb);
        return result(cb, rc);
    }
    const uint32_t head = nodealloc(cb);
    init_log_node(log, lognode::HeadKind, NoNode, exclusive(cb) ? 0 : cb->user_slot);
    rc = logput(cb, log, head);
    if (rc == 0) {
        cb->log_head = static_cast<int32_t>(head);
        rc = hdrwrite(cb);
    }
    // The transaction is open before the section ends, so that the end
    // puts a section-end record into the head: from then on the head of an
    // open transaction is never empty.
    if (rc == 0) set_state(cb, mode, head, mirror);
    const int32_t end = endwrit(cb);
    if (end != 0) {
        clear_state(cb);
        return result(cb, end);
    }
    return result(cb, rc);
}

KX_API int32_t transend(KXCB* cb, int32_t how) {
    if (!is_open(cb)) return err::NotOpen;
    if (how < 1 || how > 3) return result(cb, err::Arg);
    int32_t rc = strtwrit(cb);
    if (rc != 0) return result(cb, rc);
    if (cb->log_head < 0) {
        endwrit(cb);
        return result(cb, err::Fail);
    }
    const uint8_t empty = 0;
    rc = translog_impl(cb, logrec::End, &empty);
    if (rc == 0) rc = wrtback(cb);
    if (rc != 0) {
        endwrit(cb);
        return result(cb, rc);
    }
    const int32_t mode = cb->trans_mode;
    KXCB* const mirror = cb->mirror;
    const auto head = static_cast<uint32_t>(cb->log_head);
    clear_state(cb);
    WorkImage& log = work::log();
    rc = logget(cb, log, head);
    if (rc != 0) {
        endwrit(cb);
        return result(cb, rc);
    }
    const bool mirrored = (mode == 1 || mode == 2) && mirror != nullptr && is_open(mirror);
    if (mirrored) {
        rc = strtwrit(mirror);
        if (rc != 0) {
            endwrit(cb);
            return result(cb, rc);
        }
    }
    const uint32_t owner = load<uint32_t>(log.bytes + 8);
    if (owner != own_slot(cb)) {
        rc = err::LogOwner;
    } else if (how == 3) {
        store<uint32_t>(log.bytes + 0, cb->released_log_head);
        cb->released_log_head = head;
        cb->log_head = -1;
        rc = hdrwrite(cb);
        if (rc == 0) rc = logput(cb, log, head);
        if (rc == 0 && mirrored) rc = copy_log_node(mirror, log.bytes, head);
    } else {
        if (how == 1) {
            cb->log_head = -1;
            rc = hdrwrite(cb);
        }
        uint32_t n = head;
        for (uint32_t hops = 0; rc == 0 && static_cast<int32_t>(n) > 0; ++hops) {
            if (hops > cb->node_count) {
                rc = err::Damaged;
                break;
            }
            rc = logget(cb, log, n);
            if (rc != 0 || (n != head && !chain_member(log.bytes, false))) break;
            const uint32_t next = chain_next(cb, log.bytes);
            if (how == 1) rc = nodefree(cb, log, n);
            if (rc != 0) break;
            empty_log_node(log.bytes);
            rc = logput(cb, log, n);
            if (rc == 0 && mirrored) rc = copy_log_node(mirror, log.bytes, n);
            n = next;
        }
    }
    if (rc == 0 && mirrored) {
        uint8_t h[HeaderSize];
        build_header(cb, h);
        load_header(mirror, h);
        rc = hdrwrite(mirror);
        if (rc == 0) mirror->header_dirty = 0;
    }
    if (mirrored) {
        const int32_t end = endwrit(mirror);
        if (end != 0) rc = end;
    }
    const int32_t end = endwrit(cb);
    return result(cb, end != 0 ? end : rc);
}

}  // extern "C"
