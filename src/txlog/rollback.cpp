// Rollback: takes back the entry additions and removals of a transaction log,
// newest first, then removes the log from the file.
//
// The log is a forward chain; to visit it backwards without holding it in
// memory, the chain is first indexed in the file itself: one entry per log
// node under root 46 with the key "TRANSNDE", record value k for the k-th
// node and the node number as payload.  Those entries exist only while a
// rollback runs.
//
// Only what a completed write section logged is undone: the undo starts at
// the last transaction-end or section-end record, so the records of a section
// that never finished (its changes never reached the file, or were put back
// from the image file) are passed over.
#include <cstring>

#include "btree/delete.h"
#include "btree/insert.h"
#include "frame/byteorder.h"
#include "frame/control_block.h"
#include "frame/result.h"
#include "indexfile/freelist.h"
#include "indexfile/header.h"
#include "multiuser/sections.h"
#include "txlog/txlog.h"

namespace kx {

namespace {

constexpr uint8_t ScratchRoot = 46;
const char IndexKey[] = "TRANSNDE";

// The number of the log node indexed as k, read back from root 46.
int32_t indexed_node(KXCB* cb, uint32_t k, uint32_t* node) {
    uint8_t payload[4] = {};
    if (cfind(cb, ScratchRoot, IndexKey, k, payload, 4) != 0 || cb->datalen != 4) return err::Seek;
    std::memcpy(node, payload, 4);
    return 0;
}

}  // namespace

// The header counts that follow a data file's entries: records (root 49)
// and free record numbers (root 48), one per datum (its first piece).  An
// undo that takes such an entry out or puts it back moves its count too, so
// that a rolled-back data file counts what it holds.
void follow_count(KXCB* cb, const uint8_t* e, int32_t delta) {
    if ((e[2] & 0x7F) != 0) return;
    if (e[1] == 49) cb->record_count += static_cast<uint32_t>(delta);
    if (e[1] == 48) cb->free_records += static_cast<uint32_t>(delta);
    if (e[1] == 48 || e[1] == 49) cb->header_dirty = 1;
}

int32_t undorec(KXCB* cb, const uint8_t* record) {
    const uint8_t type = record[10];
    const uint8_t* e = record + 11;
    switch (type) {
        case logrec::Added: {
            const int32_t rc = take_entry(cb, e);
            if (rc == 1) follow_count(cb, e, -1);
            return rc < 0 ? rc : 0;
        }
        case logrec::Removed: {
            const int32_t rc = put_entry(cb, e);
            if (rc == 1) follow_count(cb, e, 1);
            return rc < 0 ? rc : 0;
        }
        case logrec::End:
        case logrec::SectionBegin:
        case logrec::SectionEnd:
        case logrec::NodeWritten: return 0;
        default: return type >= 128 ? 0 : err::BuildPrepare;
    }
}

}  // namespace kx

using namespace kx;

namespace {

int32_t roll(KXCB* cb, KXROLLFUNC progress, int32_t new_mode, KXCB* mirror, int32_t mode, int32_t current) {
    // The log in the file holds what this block appended so far.
    WorkImage& log = work::log();
    int32_t rc = 0;
    if (mode != 0) {
        if (current > 0 && log.holds(cb, static_cast<uint32_t>(current)))
            rc = logput(cb, log, static_cast<uint32_t>(current));
    } else {
        const int32_t t = transtst(cb);
        if (t != err::LogPending) return err::NoRollback;
    }
    const int32_t head = cb->log_head;
    if (rc == 0 && head < 0) return err::NoRollback;
    // The log leaves the header: from here on the file has no pending
    // transaction, and a new one (when asked for) notes the undo's writes.
    if (rc == 0) {
        cb->log_head = -1;
        rc = hdrwrite(cb);
    }
    if (rc == 0 && new_mode != 0) rc = transbeg(cb, new_mode, mirror);
    if (rc != 0) return rc;

    // Index entries that a rollback stopped by an error or its caller left
    // behind would collide with this one's: they go first.
    for (int guard = 0; rc == 0 && guard < 1 << 20; ++guard) {
        const int32_t found = cfind(cb, ScratchRoot, IndexKey, 0, nullptr, 0);
        if (found != 0 && found != 1) break;
        rc = cdelcur(cb, ScratchRoot) == 0 ? 0 : err::Seek;
    }
    if (rc != 0) return rc;

    // Count pass: the records, and the chain indexed under root 46.
    WorkImage& rb = work::rollback();
    int32_t offsets[lognode::MaxRecords];
    int32_t count = 0;
    double total = 0;
    uint32_t nodes = 0;
    for (auto n = static_cast<uint32_t>(head); rc == 0 && static_cast<int32_t>(n) > 0;) {
        if (nodes > cb->node_count) return err::Damaged;
        rc = logget(cb, rb, n);
        if (rc != 0) break;
        if (!chain_member(rb.bytes, nodes == 0)) {
            // The head must be one; a continuation that is not ends the chain.
            if (nodes == 0) rc = err::Damaged;
            break;
        }
        rc = log_record_offsets(rb.bytes, offsets, &count);
        if (rc != 0) break;
        total += count;
        for (int32_t i = 0; progress != nullptr && i < count && rc == 0; ++i)
            rc = progress(cb, -1.0, rb.bytes + offsets[i]);
        if (rc != 0) break;
        const uint32_t next = chain_next(cb, rb.bytes);
        ++nodes;
        uint8_t payload[4];
        std::memcpy(payload, &n, 4);
        rc = cdupadd(cb, ScratchRoot, IndexKey, nodes, payload, 4);
        n = next;
    }
    if (rc != 0) return rc;

    // Undo pass, newest first.
    // A transaction this block still has open is taken back whole: the
    // changes of its unfinished section are real (they stand in the pool).
    // A log left by a stopped process is undone from its last completed
    // section back.
    double done = 0;
    bool active = mode != 0;
    for (uint32_t k = nodes; k >= 1 && rc == 0; --k) {
        uint32_t n = 0;
        rc = indexed_node(cb, k, &n);
        if (rc != 0) break;
        rc = logget(cb, rb, n);
        if (rc == 0) rc = log_record_offsets(rb.bytes, offsets, &count);
        for (int32_t i = count - 1; rc == 0 && i >= 0; --i) {
            // The record is copied: undoing it may read nodes into the
            // rollback buffer's place in the pool.
            uint8_t record[logrec::HeaderBytes + 256];
            const uint8_t* r = rb.bytes + offsets[i];
            std::memcpy(record, r, static_cast<size_t>(logrec::HeaderBytes) + r[11]);
            done += 1;
            if (progress != nullptr) rc = progress(cb, total > 0 ? done / total : 1.0, record);
            if (rc != 0) break;
            if (active)
                rc = undorec(cb, record);
            else if (record[10] == logrec::End || record[10] == logrec::SectionEnd)
                active = true;
            if (rc == 0 && !rb.holds(cb, n)) rc = logget(cb, rb, n);
        }
    }
    if (rc != 0) return rc;

    // The chain's index goes again.
    for (uint32_t k = nodes; k >= 1 && rc == 0; --k) {
        uint32_t n = 0;
        if (indexed_node(cb, k, &n) != 0 || cdelcur(cb, ScratchRoot) != 0) rc = err::Seek;
    }
    if (rc == 0) rc = wrtback(cb);
    if (rc != 0) return rc;

    // The old chain's nodes go to the free list (and, in modes 1 and 2, to
    // the mirror through the new transaction's node-written notes).
    auto n = static_cast<uint32_t>(head);
    for (uint32_t k = 0; rc == 0 && k < nodes; ++k) {
        rc = logget(cb, rb, n);
        if (rc != 0) break;
        const uint32_t next = chain_next(cb, rb.bytes);
        rc = nodefree(cb, rb, n);
        if (rc != 0) break;
        store<int16_t>(rb.bytes + 14, 0);
        store<int16_t>(rb.bytes + 16, lognode::EmptyFree);
        std::memset(rb.bytes + lognode::RecordStart, 0, NodeSize - lognode::RecordStart);
        rc = logput(cb, rb, n);
        if (rc == 0 && (cb->trans_mode == 1 || cb->trans_mode == 2)) {
            uint8_t body[5];
            body[0] = 4;
            put32(body + 1, n, order_flag(cb));
            rc = translog_impl(cb, logrec::NodeWritten, body);
        }
        n = next;
    }
    return rc;
}

}  // namespace

extern "C" {

KX_API int32_t transroll(KXCB* cb, KXROLLFUNC progress, int32_t new_mode, KXCB* mirror) {
    if (!is_open(cb)) return err::NotOpen;
    const int32_t mode = cb->trans_mode;
    const int32_t current = cb->trans_current_node;
    cb->trans_append_pos = nullptr;
    cb->trans_serial = 0;
    cb->record_sequence = 0;
    cb->trans_mode = 0;
    cb->trans_first_node = NoNode;
    cb->trans_current_node = -1;
    int32_t rc = strtwrit(cb);
    if (rc != 0) return result(cb, rc);
    rc = roll(cb, progress, new_mode, mirror, mode, current);
    const int32_t end = endwrit(cb);
    return result(cb, end != 0 ? end : rc);
}

}  // extern "C"
