// Rebuild of damaged index files (cbuild, bbuild, z_bbuild) and of data
// files (dbuild).  The raw scan and the node kinds are described in
// rebuild.h; this file adds what the rebuilds decide beyond the scan.
//
// Byte order.  cbuild takes the source's order from its header (the
// byte-order word; when that is damaged, the signatures; when those are too,
// the order in which its first nodes read as nodes) and creates the target
// in that order; z_bbuild is told it by the caller (mode 1 or 3:
// host order, 2: the other order) and the caller's target may be in either
// order.  Every leaf entry's record value and key are turned from the
// source's order to the target's, so the target's trees are ordered in its
// own order.  Payloads are copied as they are: the stored records of a data
// file (root 49) hold numbers in their file's order, and only dbuild, which
// has the data list, turns those.
//
// The source header.  Its next record number, free record count, record
// count and custom data go to the target only when its signatures read as
// they should in the source's order (a damaged header would hand over
// nonsense).  Afterwards the target's next record number is raised above
// every record number its record tree (49) and free-number tree (48) hold,
// so that neither a lost nor a stale header makes the target hand out a
// number in use; with no sound header the two counts are those of the trees.
//
// Carrying a pending transaction over (z_bbuild).  A source may hold several
// log chains: the pending one its header's log head names, chains given up
// by transend how 3 (their records stay, on the released-log list), chains
// emptied for reuse (how 2), and what a stopped transend or rollback left.
// Only the pending transaction is carried, so that a rollback of the target
// never undoes committed work:
//   * Its transaction serial is that of the first record of the head node
//     the sound header names.  Without one (no log in the header, or a
//     damaged header) it is the serial of the one log that has records, no
//     transaction-end record (every committed log has one) and no node on
//     the released list: a rollback that stopped after it took the log out
//     of the header leaves such a log.  Two or more such logs: nothing is
//     carried and the result is -115.
//   * Its nodes are put in order by their records' sequence numbers, never
//     by links: the head holds record 1 and every further node begins with
//     the number after the last record of the node before.  Numbers are 16
//     bits and wrap, so each node's place is worked out from the counts of
//     the nodes before it (the "TRANSRBLD" record values are these unwrapped
//     numbers).  A node missing in the middle, two nodes for one place, or a
//     node of the log left over: nothing is carried (-115), because half a
//     log would roll back half a transaction.
//   * The records after the log's last transaction-end or section-end record
//     (a section that never finished; rollback passes over them) are left
//     out.  The carried records are appended inside one write section of the
//     target, whose own section end would otherwise vouch for them.
//   * Record bodies are turned to the target's order (the entry's record
//     value and key in types 1 and 2, the node number in type 6); the
//     records get the target's own headers (serial, sequence, counter).
// "TRANSRBLD" entries (root 46 of the target, added before the target's
// transaction begins, so they are not logged): key "TRANSRBLD", record value
// = the unwrapped sequence number of the first record of a carried node,
// payload = that node's slot in the source (4 bytes, host order).  The
// carry-over walks them in order of record value; they stay in the target
// and a later rebuild drops them with the rest of root 46.
//
// dbuild copies every record of the source's record tree into the target:
// its keys come from the data list given (or the one the callback returns
// for the record), its bytes are turned to the target's byte order when the
// orders differ, and it is stamped with the checksum of that list, so that
// the target reads and changes it with the list its keys were built with.
// A record that cannot be copied (its fields do not fit the list, or the
// target refuses one of its keys) is left out, its number goes to the
// target's free-number tree unless the target holds that number, and the
// copy goes on; the first such failure is the result.  The counts are set
// on every path once records were added, and the target's flush mode is put
// back (and the file flushed) at the end.
#include "maint/rebuild.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <vector>

#include "btree/insert.h"
#include "btree/keys.h"
#include "btree/node.h"
#include "frame/byteorder.h"
#include "frame/control_block.h"
#include "frame/result.h"
#include "indexfile/freelist.h"
#include "indexfile/header.h"
#include "maint/maint.h"
#include "records/dataops.h"
#include "records/keyconv.h"
#include "records/record.h"
#include "storage/file.h"
#include "txlog/txlog.h"

namespace kx {

namespace {

constexpr uint8_t HostOrder = 1;
constexpr uint8_t OtherOrder = 0;
constexpr int16_t LeafKind = 0;
constexpr uint32_t SequenceSpan = 0x10000;
const uint8_t kEmptyKey[1] = {0};

bool same_order(uint8_t a, uint8_t b) { return (a == HostOrder) == (b == HostOrder); }

// The byte-order words of files in host order and in the other order.
constexpr uint8_t HostWord[4] = {1, 0, 0, 0};
constexpr uint8_t OtherWord[4] = {0, 0, 0, 1};

void set_order_word(uint8_t* word, uint8_t flag) { std::memcpy(word, flag == HostOrder ? HostWord : OtherWord, 4); }

// ---- The source, read raw ------------------------------------------------

// The damaged file, opened exclusively for reading on a control block of
// its own.  The block is marked closed: the library's calls refuse it (a
// progress callback receives it and may look at its fields), and only the
// raw reads here use its handle.
class RawSource {
public:
    explicit RawSource(uint8_t flag) {
        std::memset(&cb_, 0, sizeof cb_);
        cbmark(&cb_, 'C');
        cb_.handle = NoHandle;
        set_order_word(cb_.byte_order, flag);
    }
    ~RawSource() { close(); }
    RawSource(const RawSource&) = delete;
    RawSource& operator=(const RawSource&) = delete;

    bool open(const char* name) {
        const size_t n = strnlen(name, sizeof cb_.file_name);
        std::memcpy(cb_.file_name, name, n);
        open_ = storage::open_exclusive(&cb_, name, 1) != os::InvalidHandle;
        return open_;
    }
    void close() {
        if (open_) storage::close_file(&cb_);
        open_ = false;
        cb_.handle = NoHandle;
    }
    void set_order(uint8_t flag) { set_order_word(cb_.byte_order, flag); }
    uint8_t order() const { return order_flag(&cb_); }
    KXCB* cb() { return &cb_; }

    // The 558 header bytes as stored.
    int32_t read_header(uint8_t* h) {
        const int32_t rc = storage::seek(&cb_, 0, 0, 0);
        return rc != 0 ? rc : storage::read(&cb_, h, HeaderSize);
    }
    // Node slot n as stored; 0 only when all 2048 bytes were read.
    int32_t read_slot(uint32_t n, uint8_t* image) {
        const int32_t rc = storage::seek(&cb_, n, NodeSize, NodeBase);
        return rc != 0 ? rc : storage::read(&cb_, image, NodeSize);
    }

private:
    KXCB cb_;
    bool open_ = false;
};

// A node header read in one order looks like one: a kind the library
// writes, a count that fits, free bytes inside the node.
bool plausible_node(const uint8_t* raw, uint8_t flag) {
    const auto kind = static_cast<int16_t>(get16(raw + 12, flag));
    const auto count = static_cast<int16_t>(get16(raw + 14, flag));
    const auto room = static_cast<int16_t>(get16(raw + 16, flag));
    return kind >= lognode::ContinuationKind && kind <= 24 && count >= 0 && count <= MaxEntries && room >= 0 &&
           room <= EntryArea;
}

// When the header tells nothing, the order in which more of the first
// nodes look like nodes (host order on a tie).
uint8_t nodes_order(RawSource& src) {
    uint8_t image[NodeSize];
    int32_t host = 0, other = 0;
    for (uint32_t n = 0; n < 64 && src.read_slot(n, image) == 0; ++n) {
        host += plausible_node(image, HostOrder) ? 1 : 0;
        other += plausible_node(image, OtherOrder) ? 1 : 0;
    }
    return other > host ? OtherOrder : HostOrder;
}

// The byte order of the source of cbuild: the header's byte-order word, or,
// when the word is damaged, the order in which the first signature reads
// right, or else the order its nodes are in.
uint8_t source_order(RawSource& src, const uint8_t* raw) {
    if (std::memcmp(raw + hdr::ByteOrder, HostWord, 4) == 0) return HostOrder;
    if (std::memcmp(raw + hdr::ByteOrder, OtherWord, 4) == 0) return OtherOrder;
    const uint32_t v = load<uint32_t>(raw + hdr::Signatures[0].offset);
    if (v == hdr::Signatures[0].letter) return HostOrder;
    if (bswap32(v) == hdr::Signatures[0].letter) return OtherOrder;
    return nodes_order(src);
}

// What a rebuild takes from the source header.
struct SourceHeader {
    bool sound = false;  // read in full, and every signature as it should be
    uint32_t next_record = 0;
    uint32_t free_records = 0;
    uint32_t record_count = 0;
    int32_t custom_length = 0;
    uint8_t custom[100] = {};
    uint8_t root_types[52] = {};
    uint8_t slot_map[52] = {};
    int32_t log_head = -1;
    uint32_t released_head = NoNode;
};

SourceHeader parse_header(const uint8_t* raw, uint8_t flag) {
    uint8_t h[HeaderSize];
    std::memcpy(h, raw, HeaderSize);
    hdrfrom(h, flag);
    SourceHeader s;
    s.sound = true;
    for (const auto& sig : hdr::Signatures)
        if (load<uint32_t>(h + sig.offset) != sig.letter) s.sound = false;
    s.next_record = load<uint32_t>(h + hdr::NextRecord);
    s.free_records = load<uint32_t>(h + hdr::FreeRecords);
    s.record_count = load<uint32_t>(h + hdr::RecordCount);
    const int32_t len = load<int32_t>(h + hdr::CustomLength);
    s.custom_length = len >= 1 && len <= 100 ? len : 0;
    std::memcpy(s.custom, h + hdr::Custom, static_cast<size_t>(s.custom_length));
    std::memcpy(s.root_types, h + hdr::RootTypes, sizeof s.root_types);
    std::memcpy(s.slot_map, h + hdr::SlotMap, sizeof s.slot_map);
    s.log_head = load<int32_t>(h + hdr::LogHead);
    s.released_head = load<uint32_t>(h + hdr::ReleasedLogHead);
    return s;
}

// Copies the counters and custom data of a sound source header into the
// target's header.
int32_t copy_header_values(KXCB* target, const SourceHeader& s) {
    if (!s.sound) return 0;
    int32_t rc = strtwrit(target);
    if (rc != 0) return rc;
    target->next_record = s.next_record;
    target->free_records = s.free_records;
    target->record_count = s.record_count;
    target->custom_length = s.custom_length;
    std::memset(target->custom, 0, sizeof target->custom);
    std::memcpy(target->custom, s.custom, static_cast<size_t>(s.custom_length));
    rc = header_changed(target);
    const int32_t end = endwrit(target);
    return end != 0 ? end : rc;
}

// ---- Numbering after the scan ---------------------------------------------

// The datums of a root, counted by walking it.
uint32_t count_datums(KXCB* cb, int32_t root) {
    uint32_t n = 0;
    for (int32_t rc = cfirst(cb, root, nullptr, 0); rc == 0; rc = cnext(cb, root, nullptr, 0)) ++n;
    return n;
}

// One more than the highest record value of a root, 0 when it is empty.
uint64_t above_highest(KXCB* cb, int32_t root) {
    return clast(cb, root, nullptr, 0) == 0 ? uint64_t{cb->recval} + 1 : 0;
}

int32_t settle_numbering(KXCB* target, bool header_sound) {
    int32_t rc = strtwrit(target);
    if (rc != 0) return rc;
    const uint64_t above = std::max(above_highest(target, RecordTree), above_highest(target, FreeNumberTree));
    bool changed = false;
    if (above > target->next_record && above <= 0xFFFFFFFFu) {
        target->next_record = static_cast<uint32_t>(above);
        changed = true;
    }
    if (!header_sound) {
        target->record_count = count_datums(target, RecordTree);
        target->free_records = count_datums(target, FreeNumberTree);
        changed = true;
    }
    if (changed) rc = header_changed(target);
    const int32_t end = endwrit(target);
    return end != 0 ? end : rc;
}

// ---- The log nodes a scan met -----------------------------------------------

struct LogNode {
    uint32_t slot = 0;
    int16_t kind = 0;
    uint32_t next = 0;      // next log node link, host order
    uint32_t released = 0;  // released-chain link (head nodes)
    bool usable = false;    // records present and inside the node
    uint32_t serial = 0;    // of the first record
    uint16_t first = 0;     // sequence number of the first record
    int32_t count = 0;
    bool ends = false;       // holds a transaction-end record
    int32_t last_mark = -1;  // index of its last transaction-end or section-end record
};

LogNode read_log_node(uint32_t slot, const uint8_t* x, uint8_t from) {
    LogNode l;
    l.slot = slot;
    l.kind = node::level(x);
    l.next = node::right(x);
    l.released = node::leftmost(x);
    int32_t offsets[lognode::MaxRecords];
    int32_t count = 0;
    if (node::count(x) <= 0 || log_record_offsets(x, offsets, &count) != 0) return l;
    l.usable = true;
    l.count = count;
    l.serial = get32(x + offsets[0], from);
    l.first = static_cast<uint16_t>(get16(x + offsets[0] + 4, from));
    for (int32_t i = 0; i < count; ++i) {
        const uint8_t type = x[offsets[i] + 10];
        if (type == logrec::End) l.ends = true;
        if (type == logrec::End || type == logrec::SectionEnd) l.last_mark = i;
    }
    return l;
}

// One node of the log to carry, in order.
struct ChainNode {
    uint32_t slot;
    uint32_t first;  // unwrapped sequence number of its first record
};

// The log nodes reachable from the released-log list, walked by links with
// every step bounded by the number of slots.
std::vector<bool> released_nodes(const SourceHeader& h, const std::vector<LogNode>& logs, uint32_t slots) {
    std::vector<bool> released(slots, false);
    if (!h.sound) return released;
    std::map<uint32_t, const LogNode*> at;
    for (const LogNode& l : logs) at[l.slot] = &l;
    auto find = [&](uint32_t n) -> const LogNode* {
        const auto it = at.find(n);
        return it == at.end() ? nullptr : it->second;
    };
    uint32_t steps = 0;
    for (uint32_t head = h.released_head; head < slots && steps <= slots;) {
        const LogNode* x = find(head);
        if (x == nullptr || x->kind != lognode::HeadKind || released[head]) break;
        for (const LogNode* y = x; y != nullptr && !released[y->slot] && steps <= slots; ++steps) {
            released[y->slot] = true;
            const LogNode* z = y->next > 0 && y->next < slots ? find(y->next) : nullptr;
            y = z != nullptr && z->kind == lognode::ContinuationKind ? z : nullptr;
        }
        head = x->released;
    }
    return released;
}

// Chooses the pending transaction among the log nodes and puts its nodes in
// order (see the top of this file): 0 with the chain (empty: nothing to
// carry), or -115.  *last is the unwrapped sequence number of the last
// record to carry.
int32_t pending_chain(const SourceHeader& h, const std::vector<LogNode>& logs, uint32_t slots,
                      std::vector<ChainNode>* chain, uint32_t* serial, uint32_t* last) {
    chain->clear();
    *last = 0;
    bool chosen = false;
    if (h.sound && h.log_head > 0 && static_cast<uint32_t>(h.log_head) < slots) {
        for (const LogNode& l : logs)
            if (l.slot == static_cast<uint32_t>(h.log_head) && l.kind == lognode::HeadKind && l.usable) {
                *serial = l.serial;
                chosen = true;
            }
    }
    if (!chosen) {
        // A sound header with no log: nodes without their head are what a
        // rollback's last pass or a transend left behind while freeing a
        // chain head first, not a log.  Otherwise the head may be the part
        // that was lost, and such nodes count (and cannot be carried).
        const bool headless_count = !h.sound || h.log_head >= 0;
        const std::vector<bool> released = released_nodes(h, logs, slots);
        struct Log {
            bool ended = false;
            bool head = false;
        };
        std::map<uint32_t, Log> found;  // by serial
        for (const LogNode& l : logs) {
            if (!l.usable || released[l.slot]) continue;
            Log& g = found[l.serial];
            g.ended = g.ended || l.ends;
            g.head = g.head || (l.kind == lognode::HeadKind && l.first == 1);
        }
        int32_t open_logs = 0;
        for (const auto& [s, g] : found)
            if (!g.ended && (g.head || headless_count)) {
                ++open_logs;
                *serial = s;
            }
        if (open_logs == 0) return 0;
        if (open_logs > 1) return err::BuildPrepare;
    }
    // The nodes of that transaction by the (16-bit) number of their first
    // record; each number must name one node.
    std::map<uint16_t, const LogNode*> by_first;
    size_t members = 0;
    for (const LogNode& l : logs) {
        if (!l.usable || l.serial != *serial) continue;
        ++members;
        if (!by_first.emplace(l.first, &l).second) return err::BuildPrepare;
    }
    uint32_t expected = 1;
    for (size_t k = 0; k < members; ++k) {
        const auto it = by_first.find(static_cast<uint16_t>(expected % SequenceSpan));
        if (it == by_first.end()) break;
        const LogNode& l = *it->second;
        if ((k == 0) != (l.kind == lognode::HeadKind)) return err::BuildPrepare;
        chain->push_back({l.slot, expected});
        if (l.last_mark >= 0) *last = expected + static_cast<uint32_t>(l.last_mark);
        expected += static_cast<uint32_t>(l.count);
    }
    if (chain->size() != members) {
        chain->clear();
        *last = 0;
        return err::BuildPrepare;
    }
    return 0;
}

// A log record's body turned from the source's order to the target's:
// the entry of an added or removed entry (record value and key), the node
// number of a node-written record.
void turn_body(KXCB* target, uint8_t type, uint8_t* body, uint8_t from) {
    const uint8_t to = order_flag(target);
    if (same_order(from, to)) return;
    if ((type == logrec::Added || type == logrec::Removed) && body[0] >= 7) {
        const uint8_t root = body[1];
        if (root < 1 || root > KX_MAX_ROOT) return;
        put32(body + 3, get32(body + 3, from), to);
        if (bounded_key_length(target, root, body + 7, body[0] - 6) > 0)
            convkey(target, root, body + 7, root_key_type(target, root), from, to);
    } else if (type == logrec::NodeWritten && body[0] >= 4) {
        put32(body + 1, get32(body + 1, from), to);
    }
}

// Takes out "TRANSRBLD" entries an earlier rebuild left in the target.
int32_t drop_rebuild_entries(KXCB* target) {
    for (int guard = 0; guard < 1 << 20; ++guard) {
        target->key_byte_order = 1;
        const int32_t found = cfind(target, ScratchRoot, RebuildKey, 0, nullptr, 0);
        if (found != 0 && found != 1) return 0;
        const int32_t rc = cdelete(target, ScratchRoot, RebuildKey, target->recval);
        if (rc != 0) return err::BuildPrepare;
    }
    return err::BuildPrepare;
}

// Whether the target's root 46 cursor stands on a "TRANSRBLD" entry with a
// 4-byte payload.
bool on_rebuild_entry(const KXCB* target) {
    return std::memcmp(target->current_key, RebuildKey, sizeof RebuildKey) == 0 && target->datalen == 4;
}

// Appends the records of the chain up to `last` to a transaction begun on
// the target, all inside one write section.
int32_t append_chain(KXCB* target, RawSource& src, size_t nodes, uint32_t serial, uint32_t last) {
    const uint8_t from = src.order();
    uint8_t image[NodeSize];
    uint32_t expected = 1;
    int32_t rc = 0;
    for (size_t i = 0; i < nodes && rc == 0 && expected <= last; ++i) {
        uint8_t payload[4] = {};
        target->key_byte_order = 1;
        const int32_t step = i == 0 ? cfind(target, ScratchRoot, RebuildKey, 0, payload, 4)
                                    : cnext(target, ScratchRoot, payload, 4);
        if (step != (i == 0 ? 1 : 0) || !on_rebuild_entry(target) || target->recval != expected) return err::Seek;
        rc = src.read_slot(load<uint32_t>(payload), image);
        if (rc != 0) return rc;
        nodefrom(image, from);
        int32_t offsets[lognode::MaxRecords];
        int32_t count = 0;
        if (log_record_offsets(image, offsets, &count) != 0) return err::BuildPrepare;
        for (int32_t k = 0; k < count && rc == 0 && expected <= last; ++k, ++expected) {
            const uint8_t* r = image + offsets[k];
            if (get32(r, from) != serial || get16(r + 4, from) != expected % SequenceSpan) return err::BuildPrepare;
            uint8_t body[256];
            std::memcpy(body, r + 11, static_cast<size_t>(r[11]) + 1);
            turn_body(target, r[10], body, from);
            if (translog(target, r[10], body) != 0) rc = err::BuildPrepare;
        }
    }
    return rc;
}

// Carries the chain into a transaction of the target (see the top of this
// file).  Nothing is carried for an empty chain.
int32_t carry_log(KXCB* target, RawSource& src, const std::vector<ChainNode>& chain, uint32_t serial,
                  uint32_t last) {
    if (chain.empty()) return 0;
    int32_t rc = drop_rebuild_entries(target);
    for (size_t i = 0; i < chain.size() && rc == 0; ++i) {
        uint8_t payload[4];
        store<uint32_t>(payload, chain[i].slot);
        target->key_byte_order = 1;
        if (cdupadd(target, ScratchRoot, RebuildKey, chain[i].first, payload, 4) != 0) rc = err::BuildPrepare;
    }
    if (rc != 0) return rc;
    if (csetfile(target, 4) != 0 || transbeg(target, 3, nullptr) != 0) return err::BuildPrepare;
    rc = strtwrit(target);
    if (rc == 0) {
        rc = append_chain(target, src, chain.size(), serial, last);
        const int32_t end = endwrit(target);
        if (rc == 0) rc = end != 0 ? err::BuildPrepare : 0;
    }
    // A log carried in part would roll back part of the transaction: it is
    // ended instead, and the target keeps the transaction's changes.
    if (rc != 0) {
        transend(target, 1);
        return rc;
    }
    // The block lets the transaction go as a process that stopped would: the
    // log stays pending in the file, and the close adds no section to it.
    tx_let_go(target);
    return 0;
}

// ---- The scan ---------------------------------------------------------------

// The progress callback of z_bbuild and its stop field.
struct Progress {
    KXBUILDFUNC callback = nullptr;
    KXCB* work = nullptr;
    int32_t stop = 0;

    // Calls the callback (if any); true when the stop field asks to stop.
    bool report(uint32_t counter, uint8_t* image, int32_t status) {
        if (callback != nullptr) callback(work, counter, image, status);
        stop = static_cast<int32_t>(work->check_status);
        return stop != 0;
    }
};

struct ScanResult {
    uint32_t slots = 0;       // slots read in full
    int32_t failure = 0;      // first failing leaf
    bool stopped = false;     // the callback stopped it
    std::vector<LogNode> logs;
};

ScanResult scan(KXCB* target, RawSource& src, Progress* progress, bool keep_logs) {
    ScanResult s;
    const uint8_t from = src.order();
    uint8_t image[NodeSize];
    for (uint32_t n = 0; src.read_slot(n, image) == 0; ++n) {
        s.slots = n + 1;
        if (progress != nullptr && progress->report(n, image, 0)) {
            s.stopped = true;
            break;
        }
        nodefrom(image, from);
        const int16_t kind = node::level(image);
        if (kind == LeafKind) {
            const int32_t rc = leaf_add(target, image, from);
            if (rc != 0 && s.failure == 0) s.failure = rc;
            if (rc != 0 && progress != nullptr && progress->report(n + 1, image, rc)) {
                s.stopped = true;
                break;
            }
        } else if (kind == lognode::HeadKind || kind == lognode::ContinuationKind) {
            if (keep_logs) s.logs.push_back(read_log_node(n, image, from));
        } else if (progress != nullptr && progress->report(n + 1, image, 1)) {
            s.stopped = true;
            break;
        }
    }
    return s;
}

// ---- dbuild ---------------------------------------------------------------

// Turns a stored record (length bytes, fields checked against the list)
// from one byte order to the other: the field indexes, the 'B' counts and
// the values of the numeric fields ('M', strings and bytes stay), then the
// record checksum, recomputed over the turned bytes when it was right and
// kept wrong when it was wrong.  The data list checksum is stamped afresh
// by the caller.
void turn_record(uint8_t* rec, int32_t length, const KXDLIST* list, int32_t fields, uint8_t from,
                 uint8_t to) {
    const std::vector<uint8_t> original(rec, rec + length);
    const bool checksum_right =
        (get16(rec + 2, from) & 0xFF) == (record_checksum(rec + 4, length - 4) & 0xFF);
    StoredFieldWalk walk(original.data(), length, list, fields, from);
    StoredField f;
    while (walk.next(f) == 1) {
        const char type = list[f.index].type;
        uint8_t* index = rec + f.data_offset - (type == 'B' ? 4 : 2);
        flip16(index, OtherOrder);
        if (type == 'B') flip16(index + 2, OtherOrder);
        if (type == 'M') continue;
        uint8_t* v = rec + f.data_offset;
        switch (fixed_field_width(type)) {
            case 2: flip16(v, OtherOrder); break;
            case 4: flip32(v, OtherOrder); break;
            case 8: flip64(v, OtherOrder); break;
            default: break;
        }
    }
    // The end mark (FF FF) reads the same in both orders.
    const uint16_t sum = record_checksum(rec + 4, length - 4);
    put16(rec + 2, static_cast<uint16_t>(checksum_right ? sum : sum + 1), to);
}

// The data list of one record: checked against the target once per list.
struct ListCheck {
    const KXDLIST* checked = nullptr;
    int32_t fields = 0;

    int32_t use(KXCB* target, const KXDLIST* list) {
        if (list == checked) return 0;
        fields = list_field_count(list);
        if (fields < 0) return err::FieldType;
        if (target->check_dlist != 0) {
            const int32_t rc = dlcheck(target, list);
            if (rc != 0) return rc;
        }
        checked = list;
        return 0;
    }
};

struct RecordCopy {
    uint32_t added = 0;
    uint64_t above = 0;    // one more than the highest record number added
    int32_t failure = 0;   // first record left out
};

// Copies one record (in the record buffer) into the target.
void copy_record(KXCB* source, KXCB* target, uint8_t* rec, int32_t length, uint32_t recno, const KXDLIST* list,
                 int32_t fields, RecordCopy& copy) {
    const uint8_t from = order_flag(source), to = order_flag(target);
    auto leave_out = [&](int32_t rc) {
        if (copy.failure == 0) copy.failure = rc;
    };
    // The fields must follow the list: indexes rising, below its length,
    // values inside the record.
    StoredFieldWalk walk(rec, length, list, fields, from);
    StoredField f;
    int32_t rc = 1;
    while (rc == 1) rc = walk.next(f);
    if (rc != 0) return leave_out(rc);
    if (!same_order(from, to)) turn_record(rec, length, list, fields, from, to);
    put16(rec, static_cast<uint16_t>(checkdlist(list)), to);

    rc = addkeys(target, rec, length, recno, list);
    if (rc == 0) {
        target->key_byte_order = 1;
        rc = cdupadd(target, RecordTree, kEmptyKey, recno, rec, length);
        if (rc == err::Fail) rc = err::NoRecord;
    }
    if (rc != 0) {
        removekeys(target, rec, recno, list, length);
        // The number goes back for reuse, unless the target holds a record
        // of that number (a number handed out again would collide).
        target->key_byte_order = 1;
        if (cfind(target, RecordTree, kEmptyKey, recno, nullptr, 0) != 0) freerecno(target, recno);
        return leave_out(rc);
    }
    source->current_record = static_cast<int32_t>(recno);
    ++copy.added;
    copy.above = std::max(copy.above, uint64_t{recno} + 1);
}

int32_t copy_records(KXCB* source, KXCB* target, void* buffer, int32_t size, const KXDLIST* list,
                     KXDBUILDFUNC callback, RecordCopy& copy) {
    auto* rec = static_cast<uint8_t*>(buffer);
    ListCheck lists;
    int32_t rc = cfirst(source, RecordTree, buffer, size);
    for (int32_t index = 0; rc == 0; ++index) {
        if (source->datalen != source->datatotal) return err::BufferSmall;
        const uint32_t recno = source->recval;
        const int32_t length = source->datalen;
        const KXDLIST* use = list;
        if (callback != nullptr) {
            use = callback(source, length > 4 ? rec[4] : 0, index);
            if (use == nullptr) return err::BuildStopped;
        }
        rc = lists.use(target, use);
        if (rc != 0) return rc;
        copy_record(source, target, rec, length, recno, use, lists.fields, copy);
        rc = cnext(source, RecordTree, buffer, size);
    }
    return rc == err::Fail ? 0 : rc;
}

}  // namespace

int32_t leaf_add(KXCB* target, const uint8_t* leaf, uint8_t from) {
    const int16_t count = node::count(leaf);
    if (count < 0 || count > MaxEntries) return err::Damaged;
    if (count == 0) return 0;
    const uint8_t to = order_flag(target);
    int32_t rc = strtwrit(target);
    if (rc != 0) return rc;
    int32_t at = EntryStart;
    for (int32_t i = 0; i < count && rc == 0; ++i) {
        // Each entry must lie inside the node, hold at least its root
        // number, and name a root that exists.
        const uint8_t* e = leaf + at;
        if (at + 1 >= static_cast<int32_t>(NodeSize) || e[0] == 0 ||
            at + entry::size(e) > static_cast<int32_t>(NodeSize) || entry::root(e) < 1 ||
            entry::root(e) > KX_MAX_ROOT) {
            rc = err::Damaged;
            break;
        }
        const uint8_t root = entry::root(e);
        const int32_t key_len = bounded_key_length(target, root, e + 7, e[0] - 6);
        if (key_len <= 0 || key_len > LongestStoredKey) {
            rc = err::Damaged;
            break;
        }
        if (root != ScratchRoot) {
            uint8_t copy[KeyBufferBytes];
            std::memcpy(copy, e, static_cast<size_t>(entry::size(e)));
            if (!same_order(from, to)) {
                put32(copy + 3, get32(e + 3, from), to);
                convkey(target, root, copy + 7, root_key_type(target, root), from, to);
            }
            const int32_t put = put_entry(target, copy);
            if (put < 0) rc = put;
        }
        at += entry::size(e);
    }
    const int32_t end = endwrit(target);
    return end != 0 ? end : rc;
}

}  // namespace kx

using namespace kx;

extern "C" {

KX_API int32_t cbuild(const char* source, const char* target, const KXROOTLIST* root_list) {
    if (source == nullptr || *source == 0 || target == nullptr || *target == 0) return err::Arg;
    RawSource src(HostOrder);
    if (!src.open(source)) return err::BuildSource;
    uint8_t raw[HeaderSize];
    if (src.read_header(raw) != 0) {
        // No header, no key types and no byte order: nothing is created.
        src.close();
        return err::NotOpen;
    }
    src.set_order(source_order(src, raw));
    const SourceHeader h = parse_header(raw, src.order());

    // The target: a block of this call's own, in the source's byte order,
    // with the caller's roots or those the header names (a type byte no
    // file can hold counts as key type 0).
    uint8_t types[52] = {};
    for (int r = 1; r <= kDefaultRoots; ++r) types[r] = h.root_types[r] <= 20 ? h.root_types[r] : 0;
    const DefaultRootList defaults = default_root_list(types);
    KXCB t;
    std::memset(&t, 0, sizeof t);
    const KXROOTLIST* roots = root_list != nullptr ? root_list : defaults.data();
    if (bcreate(&t, target, 'E', src.order() == HostOrder ? 1 : 2, roots) != 0) {
        src.close();
        return err::BuildTarget;
    }
    // Nodes go to the file when the pool needs their buffers and at the close.
    csetfile(&t, 0);
    int32_t failure = copy_header_values(&t, h);
    // Roots that had trees of their own get them again (a map entry of a
    // damaged header is not trusted).
    for (int32_t r = 1; h.sound && failure == 0 && r <= KX_MAX_ROOT; ++r) {
        const uint8_t slot = h.slot_map[r - 1];
        if (slot >= 1 && slot <= KX_MAX_ROOT) failure = addroot(&t, r, slot);
    }
    const ScanResult s = scan(&t, src, nullptr, false);
    if (s.failure != 0) failure = s.failure;
    const int32_t settled = settle_numbering(&t, h.sound);
    if (failure == 0) failure = settled;
    src.close();
    const int32_t closed = mclose(&t);
    return failure != 0 ? failure : closed;
}

KX_API int32_t z_bbuild(const char* source, KXCB* target, int32_t mode, KXBUILDFUNC callback) {
    if (mode < 1 || mode > 3) return err::ByteOrder;
    if (!is_open(target)) return err::NotOpen;
    if (source == nullptr || *source == 0) return result(target, err::Arg);
    if (target->access == 1) return result(target, err::ReadOnly);
    RawSource src(mode == 2 ? OtherOrder : HostOrder);
    if (!src.open(source)) return result(target, err::BuildSource);
    Progress progress{callback, src.cb(), 0};
    src.cb()->check_status = 0;

    // From here on the target is closed on every path.
    int32_t failure = csetfile(target, 0);
    uint8_t raw[HeaderSize];
    SourceHeader h;
    if (src.read_header(raw) == 0) h = parse_header(raw, src.order());
    if (failure == 0) failure = copy_header_values(target, h);
    ScanResult s = scan(target, src, &progress, true);
    if (s.stopped) failure = progress.stop;
    if (failure == 0) failure = s.failure;
    const int32_t settled = settle_numbering(target, h.sound);
    if (failure == 0) failure = settled;
    if (!s.stopped) {
        std::vector<ChainNode> chain;
        uint32_t serial = 0, last = 0;
        int32_t rc = pending_chain(h, s.logs, s.slots, &chain, &serial, &last);
        if (rc == 0) rc = carry_log(target, src, chain, serial, last);
        if (failure == 0) failure = rc;
    }
    src.close();
    const int32_t closed = mclose(target);
    return failure != 0 ? failure : closed;
}

KX_API int32_t bbuild(const char* source, KXCB* target, int32_t mode) {
    return z_bbuild(source, target, mode, nullptr);
}

KX_API int32_t dbuild(KXCB* source, KXCB* target, void* buffer, int32_t size, const KXDLIST* list,
                      KXDBUILDFUNC callback) {
    if (!is_open(source) || !is_open(target)) return err::NotOpen;
    if ((list == nullptr && callback == nullptr) || source == target || buffer == nullptr || size <= 0)
        return result(target, err::Arg);
    if (target->access == 1) return result(target, err::ReadOnly);
    const int32_t flush_mode = target->flush_mode;
    csetfile(target, 0);
    int32_t rc = strtwrit(target);
    if (rc != 0) {
        csetfile(target, static_cast<uint32_t>(flush_mode));
        return result(target, rc);
    }
    const uint32_t count_before = target->record_count;
    RecordCopy copy;
    rc = copy_records(source, target, buffer, size, list, callback, copy);
    if (rc == 0) rc = copy.failure;
    // The counts follow what was added, also when the copy stopped early.
    int32_t counted = 0;
    if (copy.added > 0) counted = csetcnt(target, count_before + copy.added);
    const uint64_t next = std::max<uint64_t>({source->next_record, target->next_record, copy.above});
    if (counted == 0 && next <= 0xFFFFFFFFu) counted = csetrec(target, static_cast<uint32_t>(next));
    if (rc == 0) rc = counted;
    const int32_t end = endwrit(target);
    if (end != 0) rc = end;
    csetfile(target, static_cast<uint32_t>(flush_mode));
    // The copy was made at flush mode 0: it reaches the file now.
    if (flush_mode != 0) {
        const int32_t flushed = cflush(target);
        if (rc == 0) rc = flushed;
    }
    return result(target, rc);
}

}  // extern "C"
