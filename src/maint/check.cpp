// bcheck and ccheck: see maint/check.h for the reason codes, the entry order
// both checks test and the walks they make.
#include "maint/check.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <new>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "btree/delete.h"
#include "btree/insert.h"
#include "btree/keys.h"
#include "btree/node.h"
#include "btree/search.h"
#include "frame/byteorder.h"
#include "frame/control_block.h"
#include "frame/result.h"
#include "indexfile/nodecache.h"
#include "kindex.h"
#include "maint/maint.h"

namespace kx {

namespace {

constexpr int32_t NodeBytes = 2048;
constexpr int16_t FreeLevel = -1;
// Tree heights the header allows: 1..19.
constexpr uint32_t HeightLimit = 19;
constexpr uint32_t Slots = 50;
// Owner of a node met on the free list (trees own theirs by slot + 1).
constexpr uint8_t FreeListOwner = 0xFF;

int32_t sign(int32_t v) { return v < 0 ? -1 : (v > 0 ? 1 : 0); }

uint32_t tree_top(const KXCB* cb, uint32_t slot) { return slot == 0 ? cb->main_root : cb->slot_roots[slot - 1]; }
uint32_t tree_height(const KXCB* cb, uint32_t slot) {
    return slot == 0 ? cb->main_height : cb->slot_heights[slot - 1];
}

// Whether entries of `root` belong in the tree of `slot`.
bool lives_in(const KXCB* cb, uint8_t root, uint32_t slot) {
    return root >= 1 && root <= 50 && cb->slot_map[root - 1] == slot;
}

// ---- The entries of one node ------------------------------------------

struct Layout {
    int32_t count = 0;
    int32_t end = EntryStart;  // just past the last entry
    bool clean_tail = true;    // every byte from `end` to the node's end is zero
    int32_t offsets[MaxEntries];
    int32_t key_lengths[MaxEntries];
    const uint8_t* at(const uint8_t* x, int32_t i) const { return x + offsets[i]; }
};

// The free bytes and entry count of node image x against their ranges: 0 or
// a reason.
int32_t counts_reason(const uint8_t* x) {
    const int16_t free = node::free_bytes(x);
    if (free < 0 || free > EntryArea) return reason::FreeBytes;
    const int16_t count = node::count(x);
    if (count < 0 || count > MaxEntries) return reason::Layout;
    return 0;
}

// Lays out the entries of node image x (header in host order, counts in
// range): 0, or the reason they cannot be laid out.  Interior entries must
// name children below the next new node.
int32_t entries_reason(KXCB* cb, const uint8_t* x, bool interior, Layout& lay) {
    const uint8_t flag = order_flag(cb);
    const int32_t count = node::count(x);
    int32_t off = EntryStart;
    for (int32_t i = 0; i < count; ++i) {
        if (off >= NodeBytes) return reason::Layout;
        const int32_t n = x[off];
        if (n < 6) return reason::EntryRoot;
        if (off + n + 1 > NodeBytes) return reason::Layout;
        const uint8_t root = x[off + 1];
        if (root < 1 || root > 50) return reason::EntryRoot;
        const int32_t k = bounded_key_length(cb, root, x + off + 7, n - 6);
        if (k < 0 || (interior && n != k + 10)) return reason::EntryLength;
        if (interior && get32(x + off + n - 3, flag) >= cb->next_node) return reason::Child;
        lay.offsets[i] = off;
        lay.key_lengths[i] = k;
        off += n + 1;
    }
    if (NodeBytes - node::free_bytes(x) != off) return reason::FreeBytes;
    lay.count = count;
    lay.end = off;
    lay.clean_tail = true;
    for (int32_t j = off; j < NodeBytes; ++j)
        if (x[j] != 0) {
            lay.clean_tail = false;
            break;
        }
    return 0;
}

// The links of node n against each other and against n itself.
int32_t links_reason(const uint8_t* x, uint32_t n) {
    const uint32_t next = node::right(x);
    const uint32_t prev = node::left(x);
    if (next != NoNode && (next == prev || next == n)) return reason::NextEqualsPrevious;
    if (static_cast<int32_t>(next) < -1) return reason::NextLink;
    if (static_cast<int32_t>(prev) < -1 || (prev != NoNode && prev == n)) return reason::PreviousLink;
    return 0;
}

// ---- Entry order --------------------------------------------------------

// The identity of the last entry the order test accepted.
struct Mark {
    bool any = false;  // false at a tree's start: the datum counts as complete
    uint8_t root = 0;
    uint8_t piece = LastPiece;
    uint32_t record = 0;
    int32_t key_length = 0;
    uint8_t key[KeyBufferBytes] = {};

    void take(KXCB* cb, const uint8_t* e, int32_t k) {
        any = true;
        root = entry::root(e);
        piece = entry::piece(e);
        record = entry::record(e, order_flag(cb));
        key_length = k;
        std::memset(key, 0, sizeof key);
        std::memcpy(key, entry::key(e), static_cast<size_t>(k));
    }
    bool complete() const { return !any || (piece & LastPiece) != 0; }
};

// Whether keys of `root` have an order this block knows: a compound root
// given no segment list compares every key equal to every other.
bool key_order_known(const KXCB* cb, uint8_t root) {
    return root_key_type(cb, root) != keytype::Compound || root_segments(cb, root) != nullptr;
}

// Entry e (key length k) against the last accepted entry by root number, key
// and record value: negative when e sorts before it.  With `guess`, the keys
// of a root whose order is not known are only told apart as equal bytes or
// not, and unequal keys count as in order.
int32_t compare_with(KXCB* cb, const uint8_t* e, int32_t k, const Mark& m, bool guess) {
    const uint8_t root = entry::root(e);
    if (root != m.root) return root < m.root ? -1 : 1;
    int32_t c;
    if (guess && !key_order_known(cb, root))
        c = k == m.key_length && std::memcmp(entry::key(e), m.key, static_cast<size_t>(k)) == 0 ? 0 : 1;
    else
        c = sign(root_key_compare(cb, root, entry::key(e), m.key, true));
    if (c != 0) return c;
    return sign(static_cast<int32_t>(entry::record(e, order_flag(cb)) - m.record));
}

// The entry order test of both checks (see maint/check.h).
bool follows(KXCB* cb, const uint8_t* e, int32_t k, const Mark& last, bool guess) {
    const int32_t number = entry::piece(e) & 0x7F;
    if (!last.any) return number == 0;
    const int32_t c = compare_with(cb, e, k, last, guess);
    if (c < 0) return false;
    if (c > 0) return last.complete() && number == 0;
    return !last.complete() && number == (last.piece & 0x7F) + 1;
}

// Entry e against entry t in the full entry order (piece number included).
int32_t entry_order(KXCB* cb, const uint8_t* e, const uint8_t* t) {
    const uint8_t flag = order_flag(cb);
    return sign(entry_compare(cb, entry::root(e), entry::key(e), entry::record(e, flag), entry::piece(e),
                              entry::root(t), entry::key(t), entry::record(t, flag), entry::piece(t), true));
}

// ---- bcheck ---------------------------------------------------------------

// An interior node of the tree being checked, as the level walk found it.
struct Interior {
    std::array<uint8_t, ImageBytes> bytes{};
    Layout layout;
};

class Checker {
public:
    Checker(KXCB* cb, KXCHECKFUNC callback) : cb_(cb), callback_(callback) {}

    // 0 sound, -1 a fault (reason and position left in the block), or the
    // stop value the callback set.
    int32_t run() {
        bool ok = true;
        for (uint32_t slot = 0; ok && slot <= Slots; ++slot)
            if (slot == 0 || cb_->slot_roots[slot - 1] != 0) ok = check_tree(slot);
        if (ok) ok = check_free_list();
        if (stopped_) return stop_;
        if (reason_ != 0) {
            cb_->check_reason = reason_;
            cb_->check_position = position_;
            return err::Fail;
        }
        return 0;
    }

private:
    bool fault(int32_t why, uint32_t node) {
        reason_ = why;
        position_ = static_cast<int32_t>(node);
        return false;
    }

    // The progress callback; false once it set the stop field.
    bool go_on() {
        if (callback_ == nullptr) return true;
        callback_(cb_, ++counter_);
        if (cb_->check_status == 0) return true;
        stopped_ = true;
        stop_ = static_cast<int32_t>(cb_->check_status);
        return false;
    }

    uint8_t owner(uint32_t n) const { return n < owners_.size() ? owners_[n] : 0; }
    void own(uint32_t n, uint8_t who) {
        if (n >= owners_.size()) owners_.resize(std::max<size_t>(size_t{n} + 1, owners_.size() * 2));
        owners_[n] = who;
    }

    // Reads node n of the file into `into`: false when it is no node in use
    // or cannot be read.
    bool read(uint32_t n, WorkImage& into) { return n < cb_->next_node && cachefetch(cb_, into, n) == 0; }

    // The header values, before each tree (the node is the checked tree's).
    bool header_test(uint32_t top) {
        const KXCB* h = cb_;
        const int32_t custom = h->custom_length;
        bool ok = h->main_height < 20 && static_cast<int32_t>(h->free_head) >= -1 && custom >= 0 &&
                  custom <= 100 && h->next_node <= h->node_count && top < h->next_node;
        for (int r = 0; ok && r < 52; ++r) {
            const uint8_t s = h->slot_map[r];
            if (s == 0) continue;
            ok = s <= Slots && h->slot_heights[s - 1] >= 1 && h->slot_heights[s - 1] < 20 &&
                 h->slot_roots[s - 1] != 0 && h->slot_roots[s - 1] < h->next_node;
        }
        return ok || fault(reason::Header, NoNode);
    }

    // The node test: counts, links, entries and the bytes after them.
    bool node_test(uint32_t n, const uint8_t* x, bool interior, Layout& lay) {
        int32_t why = counts_reason(x);
        if (why == 0) why = links_reason(x, n);
        if (why == 0) why = entries_reason(cb_, x, interior, lay);
        if (why == 0 && !lay.clean_tail) why = reason::Layout;
        if (why == 0 && interior && node::leftmost(x) >= cb_->next_node) why = reason::Child;
        return why == 0 || fault(why, n);
    }

    bool check_tree(uint32_t slot) {
        slot_ = slot;
        top_ = tree_top(cb_, slot);
        height_ = tree_height(cb_, slot);
        if (!header_test(top_)) return false;
        interior_.clear();
        path_.fill(NoNode);
        mark_ = Mark{};
        last_leaf_ = top_;
        if (!read(top_, img_)) return fault(reason::RootNode, NoNode);
        const uint8_t* x = img_.bytes;
        if (height_ < 1 || height_ > HeightLimit || node::level(x) + 1 != static_cast<int32_t>(height_) ||
            node::right(x) != NoNode || node::left(x) != NoNode || owner(top_) != 0)
            return fault(reason::RootNode, top_);
        uint32_t first = top_, parent = NoNode;
        referenced_.clear();
        for (int32_t level = static_cast<int32_t>(height_) - 1; level >= 0; --level) {
            uint32_t below = NoNode;
            below_.clear();
            if (!walk_level(level, first, parent, &below)) return false;
            // Every child the level above names lies on this level's chain.
            if (!referenced_.empty())
                return fault(reason::PreviousLink, *std::min_element(referenced_.begin(), referenced_.end()));
            referenced_.swap(below_);
            parent = first;
            first = below;
        }
        if (!mark_.complete()) return fault(reason::Order, last_leaf_);
        return true;
    }

    // Walks one level from its first node along the next links.  For an
    // interior level *below is the first node of the level beneath.
    bool walk_level(int32_t level, uint32_t first, uint32_t parent, uint32_t* below) {
        const uint8_t me = static_cast<uint8_t>(slot_ + 1);
        if (first != top_ && owner(first) != 0) return fault(reason::Child, parent);
        uint32_t n = first, prev = NoNode;
        const Interior* left = nullptr;
        for (uint64_t steps = 0;; ++steps) {
            if (!read(n, img_)) return fault(reason::Unreadable, n);
            const uint8_t* x = img_.bytes;
            if (node::level(x) != level) return fault(reason::ChildLevel, n);
            Layout& lay = level > 0 ? interior_layout_ : leaf_layout_;
            if (!node_test(n, x, level > 0, lay)) return false;
            if (node::left(x) != prev) return fault(reason::PreviousLink, n);
            own(n, me);
            referenced_.erase(n);
            if (level > 0) {
                below_.insert(node::leftmost(x));
                for (int32_t i = 0; i < lay.count; ++i) below_.insert(entry_child(lay.at(x, i), order_flag(cb_)));
                for (int32_t i = 1; i < lay.count; ++i)
                    if (entry_order(cb_, lay.at(x, i - 1), lay.at(x, i)) >= 0) return fault(reason::Order, n);
                if (left != nullptr) {
                    const Layout& ll = left->layout;
                    if (ll.count == 0 ||
                        entry_child(ll.at(left->bytes.data(), ll.count - 1), order_flag(cb_)) != node::leftmost(x))
                        return fault(reason::Child, prev);
                    if (lay.count > 0 && entry_order(cb_, ll.at(left->bytes.data(), ll.count - 1), lay.at(x, 0)) >= 0)
                        return fault(reason::Order, n);
                }
                auto kept = std::make_unique<Interior>();
                std::memcpy(kept->bytes.data(), x, NodeBytes);
                kept->layout = lay;
                left = kept.get();
                interior_[n] = std::move(kept);
                if (n == first) *below = node::leftmost(x);
            } else if (!check_leaf(n)) {
                return false;
            }
            const uint32_t next = node::right(img_.bytes);
            if (next == NoNode) return true;
            if (owner(next) != 0 || steps >= cb_->node_count) return fault(reason::NextLink, n);
            if (level == 0 && !go_on()) return false;
            prev = n;
            n = next;
        }
    }

    // The entries of leaf n (in img_): in entry order after the previous
    // leaf's, in this tree, and each found again by a search.
    bool check_leaf(uint32_t n) {
        const uint8_t* x = img_.bytes;
        const Layout& lay = leaf_layout_;
        for (int32_t i = 0; i < lay.count; ++i) {
            const uint8_t* e = lay.at(x, i);
            if (!lives_in(cb_, entry::root(e), slot_)) return fault(reason::EntryRoot, n);
            if (!follows(cb_, e, lay.key_lengths[i], mark_, false)) return fault(reason::Order, n);
            mark_.take(cb_, e, lay.key_lengths[i]);
        }
        if (lay.count == 0) {
            // A search after an empty leaf may well pass nodes other than the
            // neighbours of the ones before.
            path_.fill(NoNode);
            return true;
        }
        last_leaf_ = n;
        for (int32_t i = 0; i < lay.count; ++i)
            if (!search(lay.at(x, i), n, i == lay.count - 1)) return false;
        return true;
    }

    // Where the search for entry t goes in an interior node: the index of
    // the first entry not below t.
    int32_t position_in(const Interior& node, const uint8_t* t) {
        int32_t low = 0, high = node.layout.count;
        while (low < high) {
            const int32_t mid = (low + high) / 2;
            if (entry_order(cb_, node.layout.at(node.bytes.data(), mid), t) < 0)
                low = mid + 1;
            else
                high = mid;
        }
        return low;
    }

    // A child that the level walk did not meet as a node of its level.
    bool stray_child(uint32_t child, int32_t level) {
        if (!read(child, probe_)) return fault(reason::Unreadable, child);
        if (node::level(probe_.bytes) != level) return fault(reason::ChildLevel, child);
        return fault(reason::PreviousLink, child);
    }

    // Searches the tree for leaf entry t of leaf n as the engine descends;
    // with `neighbours` the nodes met are tested against those met for the
    // previous leaf's last entry.
    bool search(const uint8_t* t, uint32_t n, bool neighbours) {
        uint32_t cur = top_;
        for (int32_t level = static_cast<int32_t>(height_) - 1; level > 0; --level) {
            auto it = interior_.find(cur);
            if (it == interior_.end()) return stray_child(cur, level);
            const Interior* node = it->second.get();
            if (node::level(node->bytes.data()) != level) return fault(reason::ChildLevel, cur);
            if (neighbours) {
                const uint32_t before = path_[static_cast<size_t>(level)];
                if (before != NoNode && cur != before && node::left(node->bytes.data()) != before)
                    return fault(reason::PreviousLink, cur);
                path_[static_cast<size_t>(level)] = cur;
            }
            int32_t p = position_in(*node, t);
            // Above every entry of a node with a right neighbour: the target
            // lies further right on this level.
            for (uint64_t hops = 0; p == node->layout.count && node::right(node->bytes.data()) != NoNode; ++hops) {
                const uint32_t right = node::right(node->bytes.data());
                auto r = interior_.find(right);
                if (r == interior_.end() || hops >= cb_->node_count) return fault(reason::NextLink, cur);
                cur = right;
                node = r->second.get();
                p = position_in(*node, t);
            }
            const uint32_t child = p == 0 ? node::leftmost(node->bytes.data())
                                          : entry_child(node->layout.at(node->bytes.data(), p - 1), order_flag(cb_));
            if (level == 1 && child != n) return fault(reason::EntryRoot, n);
            cur = child;
        }
        return cur == n || fault(reason::EntryRoot, n);
    }

    bool check_free_list() {
        uint32_t n = cb_->free_head;
        for (uint64_t steps = 0; n != NoNode; ++steps) {
            if (!go_on()) return false;
            if (owner(n) != 0 || steps >= cb_->node_count) return fault(reason::NotFree, n);
            if (!read(n, img_)) return fault(reason::Unreadable, n);
            const uint8_t* x = img_.bytes;
            if (node::level(x) != FreeLevel || node::leftmost(x) != NoNode || node::left(x) != NoNode ||
                node::count(x) != 0 || node::free_bytes(x) != EntryArea)
                return fault(reason::NotFree, n);
            own(n, FreeListOwner);
            n = node::right(x);
        }
        return true;
    }

    KXCB* cb_;
    KXCHECKFUNC callback_;
    int32_t counter_ = 0;
    int32_t reason_ = 0;
    int32_t position_ = -1;
    bool stopped_ = false;
    int32_t stop_ = 0;

    uint32_t slot_ = 0;
    uint32_t top_ = 0;
    uint32_t height_ = 0;
    uint32_t last_leaf_ = 0;  // the last leaf with entries
    WorkImage img_;           // the node being walked
    WorkImage probe_;         // a node a search meets outside the walk
    Layout leaf_layout_;
    Layout interior_layout_;
    // Per node: the tree that met it (slot + 1), the free list, or 0.
    std::vector<uint8_t> owners_;
    // The children the level above names and the walk of this level has not
    // met yet; those this level's nodes name.
    std::unordered_set<uint32_t> referenced_;
    std::unordered_set<uint32_t> below_;
    // The interior nodes of the tree being checked.
    std::unordered_map<uint32_t, std::unique_ptr<Interior>> interior_;
    // Per interior level: the node the search for the previous leaf's last
    // entry met there (all ones: none).
    std::array<uint32_t, HeightLimit + 1> path_{};
    Mark mark_;
};

// ---- ccheck -------------------------------------------------------------

// The order repair of one examined file (work) into a salvage file (or none).
//
// The order of steps that keeps every entry in one file or the other: an
// entry goes into the salvage file in a write section of its own, whose end
// flushes the salvage file (flush mode 3), before the leaf it leaves is
// written back to the examined file (also at once, flush mode 3).  A stop in
// between leaves an entry in both files, never in neither.
class Salvager {
public:
    Salvager(KXCB* work, KXCB* salvage, KXCHECKFUNC callback) : work_(work), salvage_(salvage), callback_(callback) {}

    // Walks every tree; false when an error or the callback ended the walk.
    bool run() {
        for (uint32_t slot = 0; slot <= Slots; ++slot) {
            if (slot > 0 && work_->slot_roots[slot - 1] == 0) continue;
            if (!go_on() || !walk_tree(slot)) return false;
        }
        return true;
    }

    int32_t error() const { return error_; }
    bool stopped() const { return stopped_; }
    int32_t stop_value() const { return stop_; }
    bool damaged() const { return damaged_; }

private:
    bool go_on() {
        if (callback_ == nullptr) return true;
        callback_(work_, ++counter_);
        if (work_->check_status == 0) return true;
        stopped_ = true;
        stop_ = static_cast<int32_t>(work_->check_status);
        return false;
    }
    bool fail(int32_t rc) {
        error_ = rc;
        return false;
    }
    // A tree that cannot be walked (on from here): counted, and the run goes
    // on with the next tree.
    bool cannot_walk() {
        damaged_ = true;
        return true;
    }
    bool read(uint32_t n, WorkImage& into) { return n < work_->next_node && cachefetch(work_, into, n) == 0; }
    bool lay_out(WorkImage& img, Layout& lay) {
        return counts_reason(img.bytes) == 0 && entries_reason(work_, img.bytes, false, lay) == 0;
    }

    bool walk_tree(uint32_t slot) {
        const uint32_t top = tree_top(work_, slot);
        const uint32_t height = tree_height(work_, slot);
        // A node some tree walked before belongs to that tree: the entries
        // there are not this tree's to judge.
        if (height < 1 || height > HeightLimit || walked_.count(top) != 0 || !read(top, leaf_) ||
            node::level(leaf_.bytes) + 1 != static_cast<int32_t>(height))
            return cannot_walk();
        uint32_t n = top;
        walked_.insert(n);
        while (node::level(leaf_.bytes) > 0) {
            const int16_t want = static_cast<int16_t>(node::level(leaf_.bytes) - 1);
            n = node::leftmost(leaf_.bytes);
            if (!go_on()) return false;
            if (walked_.count(n) != 0 || !read(n, leaf_) || node::level(leaf_.bytes) != want) return cannot_walk();
            walked_.insert(n);
        }
        last_ = Mark{};
        datum_leaves_.clear();
        for (;;) {
            if (!lay_out(leaf_, layout_)) return cannot_walk();
            if (!repair_leaf(slot, n)) return false;
            const uint32_t next = node::right(leaf_.bytes);
            if (next == NoNode) break;
            if (!go_on()) return false;
            // A link that leaves the tree's leaf level (out of range, back to
            // a node already walked, to a node that is no leaf or does not
            // name this leaf as its left neighbour) ends the walk: what it
            // leads to is not this tree's to repair.
            if (walked_.count(next) != 0 || !read(next, leaf_) || node::level(leaf_.bytes) != 0 ||
                node::left(leaf_.bytes) != n)
                return cannot_walk();
            walked_.insert(next);
            if (!last_.complete()) datum_leaves_.push_back(next);
            n = next;
        }
        // The tree ends inside a datum: all of it goes.
        if (!last_.complete()) {
            damaged_ = true;
            int32_t removed = 0;
            if (!take_out_datum(n, layout_.count, &removed)) return false;
            if (removed > 0 && !write(leaf_, n)) return false;
        }
        return true;
    }

    // Tests the entries of leaf n (in leaf_) and takes out those that do not
    // belong; the leaf is written back when it changed.
    bool repair_leaf(uint32_t slot, uint32_t n) {
        bool changed = false;
        for (int32_t i = 0; i < layout_.count;) {
            const uint8_t* e = layout_.at(leaf_.bytes, i);
            const int32_t k = layout_.key_lengths[i];
            if (!lives_in(work_, entry::root(e), slot)) {
                // An entry of another tree interrupts nothing here.
                damaged_ = true;
                const Move m = move_out(leaf_, layout_, i);
                if (m == Move::Failed) return false;
                if (m == Move::Kept) ++i;
                changed = changed || m == Move::Moved;
                continue;
            }
            if (follows(work_, e, k, last_, true)) {
                if ((entry::piece(e) & 0x7F) == 0) {
                    before_datum_ = last_;
                    datum_leaf_ = n;
                    datum_index_ = i;
                    datum_leaves_.assign(1, n);
                }
                last_.take(work_, e, k);
                ++i;
                continue;
            }
            damaged_ = true;
            if (last_.complete()) {
                const Move m = move_out(leaf_, layout_, i);
                if (m == Move::Failed) return false;
                if (m == Move::Kept) ++i;
                changed = changed || m == Move::Moved;
                continue;
            }
            // The datum accepted last stops before its last piece: all its
            // pieces go, and the entry is tested again after what came before.
            int32_t removed = 0;
            if (!take_out_datum(n, i, &removed)) return false;
            changed = changed || removed > 0;
            i -= removed;
            last_ = before_datum_;
        }
        return !changed || write(leaf_, n);
    }

    // Takes out the open datum: its pieces in the leaves before n, and those
    // before index `upto` of leaf n (in leaf_).  *removed counts those taken
    // out of leaf n.
    bool take_out_datum(uint32_t n, int32_t upto, int32_t* removed) {
        *removed = 0;
        for (const uint32_t l : datum_leaves_) {
            const int32_t from = l == datum_leaf_ ? datum_index_ : 0;
            if (l == n) {
                for (int32_t at = from, left = upto - from; left > 0; --left) {
                    const Move m = move_out(leaf_, layout_, at);
                    if (m == Move::Failed) return false;
                    if (m == Move::Kept) ++at;
                    else ++*removed;
                }
                continue;
            }
            if (!read(l, other_)) return fail(err::Read);
            if (!lay_out(other_, other_layout_)) return fail(err::Damaged);
            bool moved = false;
            for (int32_t at = from, left = other_layout_.count - from; left > 0; --left) {
                const Move m = move_out(other_, other_layout_, at);
                if (m == Move::Failed) return false;
                if (m == Move::Kept) ++at;
                moved = moved || m == Move::Moved;
            }
            if (moved && !write(other_, l)) return false;
        }
        datum_leaves_.clear();
        return true;
    }

    enum class Move { Moved, Kept, Failed };

    // Moves entry i of a leaf image into the salvage file and takes it out
    // of the image (lay is laid out again).  The salvage file holds one entry
    // per root, key, record value and piece number: an entry whose place
    // there is taken by another entry of different bytes (moved earlier)
    // stays where it is, so that neither is lost; one of the same bytes is
    // only taken out.
    Move move_out(WorkImage& img, Layout& lay, int32_t i) {
        const uint8_t* e = lay.at(img.bytes, i);
        if (salvage_ != nullptr) {
            if (entry::root(e) < 1 || entry::root(e) > 50 || e[0] == 0) return failed(err::Damaged);
            uint8_t copy[KeyBufferBytes];
            std::memcpy(copy, e, static_cast<size_t>(e[0]) + 1);
            int32_t rc = strtwrit(salvage_);
            if (rc != 0) return failed(rc);
            const int32_t there = held(copy);
            const int32_t put = there == 0 ? put_entry(salvage_, copy) : 0;
            rc = endwrit(salvage_);
            if (there < 0) return failed(there);
            if (put < 0) return failed(put);
            if (rc != 0) return failed(rc);
            if (there == 2) return Move::Kept;
        }
        remove_entry(img.bytes, lay.offsets[i]);
        return lay_out(img, lay) ? Move::Moved : failed(err::Damaged);
    }
    Move failed(int32_t rc) {
        error_ = rc;
        return Move::Failed;
    }

    // What the salvage file holds in the place of leaf entry e: 0 nothing, 1
    // an entry of the same bytes, 2 another entry, or a negative code.
    int32_t held(const uint8_t* e) {
        uint8_t key[KeyBufferBytes];
        int32_t pos = 0;
        EntryIndex ix;
        const int32_t rc = locate_entry(salvage_, e, key, &pos, ix);
        if (rc != 0) return rc;
        if (entry_cmp(salvage_) != 0 || pos >= ix.count) return 0;
        const uint8_t* x = ix.at(work::leaf().bytes, pos);
        return x[0] == e[0] && std::memcmp(x, e, static_cast<size_t>(e[0]) + 1) == 0 ? 1 : 2;
    }

    bool write(WorkImage& img, uint32_t n) {
        const int32_t rc = cacheput(work_, img, n);
        return rc == 0 || fail(rc);
    }

    KXCB* work_;
    KXCB* salvage_;
    KXCHECKFUNC callback_;
    int32_t counter_ = 0;
    int32_t error_ = 0;
    bool stopped_ = false;
    int32_t stop_ = 0;
    bool damaged_ = false;

    WorkImage leaf_;   // the leaf being walked
    WorkImage other_;  // an earlier leaf of an open datum
    Layout layout_;
    Layout other_layout_;
    Mark last_;          // the last accepted entry
    Mark before_datum_;  // the last accepted entry before the open datum
    uint32_t datum_leaf_ = NoNode;
    int32_t datum_index_ = 0;
    std::vector<uint32_t> datum_leaves_;  // the leaves the open datum spans
    std::unordered_set<uint32_t> walked_;  // the nodes the walks have met
};

int32_t check_file(const char* name, const char* salvage, const KXROOTLIST* root_list, KXCHECKFUNC callback) {
    if (name == nullptr || *name == 0) return err::Arg;
    KXCB work;
    std::memset(&work, 0, sizeof work);
    DefaultRootList defaults{};
    if (root_list == nullptr) {
        // The root types come from the file's own header.
        const int32_t rc = _bopen(&work, name, 'E', 1);
        if (rc != 0) return rc;
        defaults = default_root_list(work.root_types);
        imgclose(&work);
        root_list = defaults.data();
    }
    int32_t rc = bopen(&work, name, 'E', 2, root_list);
    if (rc != 0) return rc;
    KXCB target;
    std::memset(&target, 0, sizeof target);
    KXCB* salvage_cb = nullptr;
    if (salvage != nullptr) {
        // The salvage file takes every root type of the examined file and the
        // segment lists it was opened with, and its byte order.
        DefaultRootList list{};
        for (int r = 1; r <= kDefaultRoots; ++r)
            list[r - 1] = KXROOTLIST{static_cast<uint8_t>(r), work.root_types[r], work.segment_lists[r]};
        list[kDefaultRoots] = KXROOTLIST{0, 0, nullptr};
        rc = bcreate(&target, salvage, 'E', order_flag(&work) == 1 ? 1 : 2, list.data());
        if (rc != 0) {
            mclose(&work);
            return rc;
        }
        salvage_cb = &target;
    }
    int32_t error = 0, found = 0;
    try {
        auto s = std::make_unique<Salvager>(&work, salvage_cb, callback);
        s->run();
        error = s->error();
        found = s->stopped() ? s->stop_value() : (s->damaged() ? err::Walk : 0);
    } catch (const std::bad_alloc&) {
        error = err::NoMemory;
    }
    const int32_t closed = mclose(&work);
    const int32_t closed_salvage = salvage_cb != nullptr ? mclose(salvage_cb) : 0;
    // An error of the walk first, then one of closing (a repair that did not
    // reach the file), then the stop value or what was found.
    if (error != 0) return error;
    if (closed != 0) return closed;
    if (closed_salvage != 0) return closed_salvage;
    return found;
}

}  // namespace

}  // namespace kx

using namespace kx;

extern "C" {

KX_API int32_t z_bcheck(KXCB* cb, KXCHECKFUNC callback) {
    if (!is_open(cb)) return err::NotOpen;
    const int32_t start = strtread(cb);
    if (start != 0) return result(cb, start);
    cb->check_status = 0;
    cb->check_position = -1;
    cb->check_reason = 0;
    int32_t rc;
    try {
        auto c = std::make_unique<Checker>(cb, callback);
        rc = c->run();
    } catch (const std::bad_alloc&) {
        rc = err::NoMemory;
    }
    const int32_t end = endread(cb);
    return result(cb, end != 0 ? end : rc);
}

KX_API int32_t bcheck(KXCB* cb) { return z_bcheck(cb, nullptr); }

KX_API int32_t z_ccheck(const char* name, const char* salvage, const KXROOTLIST* root_list,
                        KXCHECKFUNC callback) {
    return check_file(name, salvage, root_list, callback);
}

KX_API int32_t ccheck(const char* name, const char* salvage) {
    if (name == nullptr || *name == 0 || salvage == nullptr || *salvage == 0) return err::Arg;
    return z_ccheck(name, salvage, nullptr, nullptr);
}

}  // extern "C"
