// Reading the header and the nodes of an index file directly (layout in
// filefacts.h).
#include "filefacts.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <unordered_map>

namespace kxtool {

namespace {

constexpr uint32_t HeaderBytes = 558;
constexpr uint32_t NodeBase = 1024;
constexpr uint32_t NodeBytes = 2048;
constexpr uint32_t EntryStart = 18;
constexpr int16_t LogHeadKind = -2;
constexpr int16_t LogContinuationKind = -3;
constexpr uint32_t LogRecordHeader = 12;

uint32_t get32(const uint8_t* p, bool little) {
    return little ? uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24
                  : uint32_t{p[3]} | uint32_t{p[2]} << 8 | uint32_t{p[1]} << 16 | uint32_t{p[0]} << 24;
}

bool read_at(int fd, uint64_t offset, uint8_t* out, size_t n) {
    size_t done = 0;
    while (done < n) {
        const ssize_t r = pread(fd, out + done, n - done, static_cast<off_t>(offset + done));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        done += static_cast<size_t>(r);
    }
    return true;
}

}  // namespace

bool read_header_facts(const std::string& path, HeaderFacts& h, std::string& why) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        why = std::strerror(errno);
        return false;
    }
    struct stat st {};
    uint8_t b[1024] = {};
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (!ok) why = "not a plain file";
    if (ok && static_cast<uint64_t>(st.st_size) < HeaderBytes) {
        why = "not an index file (shorter than a header)";
        ok = false;
    }
    if (ok && !read_at(fd, 0, b, st.st_size >= 1024 ? 1024 : HeaderBytes)) {
        why = std::strerror(errno);
        ok = false;
    }
    ::close(fd);
    if (!ok) return false;

    if (b[8] == 1 && b[9] == 0 && b[10] == 0 && b[11] == 0) {
        h.little_endian = true;
    } else if (b[8] == 0 && b[9] == 0 && b[10] == 0 && b[11] == 1) {
        h.little_endian = false;
    } else {
        why = "not an index file (no byte-order word)";
        return false;
    }
    const bool le = h.little_endian;
    static const struct {
        int offset;
        char letter;
    } signatures[] = {{4, 'V'}, {16, 'A'}, {20, 'L'}, {24, 'I'}, {32, 'D'}, {40, 'A'}, {48, 'T'}, {56, '1'}};
    for (const auto& s : signatures) {
        if (get32(b + s.offset, le) != static_cast<uint32_t>(s.letter)) {
            why = "not an index file (signature wrong at byte " + std::to_string(s.offset) + ")";
            return false;
        }
    }
    h.file_size = static_cast<uint64_t>(st.st_size);
    h.change_counter = get32(b + 0, le);
    h.main_root = get32(b + 12, le);
    h.main_height = get32(b + 28, le);
    h.next_node = get32(b + 36, le);
    h.next_record = get32(b + 44, le);
    h.node_count = get32(b + 52, le);
    h.free_head = get32(b + 60, le);
    h.free_records = get32(b + 64, le);
    h.record_count = get32(b + 68, le);
    h.custom_length = static_cast<int32_t>(get32(b + 72, le));
    std::memcpy(h.custom, b + 92, sizeof h.custom);
    std::memcpy(h.root_types, b + 192, sizeof h.root_types);
    std::memcpy(h.slot_map, b + 248, sizeof h.slot_map);
    std::memcpy(h.slot_heights, b + 300, sizeof h.slot_heights);
    for (int s = 0; s < 50; ++s) h.slot_roots[s] = get32(b + 350 + 4 * s, le);
    h.log_head = static_cast<int32_t>(get32(b + 550, le));
    h.released_log_head = get32(b + 554, le);
    // 13245 (0x33BD) in the file's byte order.
    h.marker_set = st.st_size >= 1012 && (le ? b[1010] == 0xBD && b[1011] == 0x33 : b[1010] == 0x33 && b[1011] == 0xBD);
    return true;
}

NodeFile::~NodeFile() {
    if (fd_ >= 0) ::close(fd_);
}

bool NodeFile::open(const std::string& path, std::string& why) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) why = std::strerror(errno);
    return fd_ >= 0;
}

uint32_t NodeFile::u32(const uint8_t* p) const { return get32(p, h_.little_endian); }

uint16_t NodeFile::u16(const uint8_t* p) const {
    return h_.little_endian ? static_cast<uint16_t>(p[0] | p[1] << 8) : static_cast<uint16_t>(p[1] | p[0] << 8);
}

bool NodeFile::read(uint32_t n, Node& node, std::string& why) {
    const uint64_t limit = h_.nodes_in_file() < h_.node_count ? h_.nodes_in_file() : h_.node_count;
    if (n >= limit) {
        why = "node " + std::to_string(n) + " lies beyond the node count";
        return false;
    }
    if (!read_at(fd_, NodeBase + uint64_t{NodeBytes} * n, node.bytes, NodeBytes)) {
        why = "node " + std::to_string(n) + " cannot be read";
        return false;
    }
    node.leftmost = u32(node.bytes + 0);
    node.right = u32(node.bytes + 4);
    node.level = static_cast<int16_t>(u16(node.bytes + 12));
    node.count = static_cast<int16_t>(u16(node.bytes + 14));
    node.free_bytes = static_cast<int16_t>(u16(node.bytes + 16));
    return true;
}

void NodeFile::walk_tree(TreeShape& tree, RootShape roots[51]) {
    if (tree.height < 1 || tree.height > 22) {
        tree.damage = "tree height " + std::to_string(tree.height);
        return;
    }
    const uint64_t limit = h_.nodes_in_file() < h_.node_count ? h_.nodes_in_file() : h_.node_count;
    std::vector<bool> seen(limit, false);
    std::vector<std::vector<uint32_t>> levels(tree.height);
    std::unordered_map<uint32_t, std::vector<uint32_t>> children;
    std::unordered_map<uint32_t, uint64_t> mask;  // bit r: the subtree holds entries of root r
    Node node;
    std::string& why = tree.damage;

    // Top down, each level along its right links: the first node of a level
    // is the leftmost child of the first node of the level above.
    uint32_t first = tree.root_node;
    for (int32_t level = static_cast<int32_t>(tree.height) - 1; level >= 0; --level) {
        uint32_t next_first = NoNode;
        for (uint32_t n = first; n != NoNode;) {
            if (!read(n, node, why)) return;
            if (seen[n]) {
                why = "node " + std::to_string(n) + " reached twice";
                return;
            }
            seen[n] = true;
            if (node.level != level) {
                why = "node " + std::to_string(n) + " has level " + std::to_string(node.level) + " where " +
                      std::to_string(level) + " belongs";
                return;
            }
            if (node.count < 0 || node.free_bytes < 0 || node.free_bytes > EntryArea) {
                why = "node " + std::to_string(n) + " has a damaged node header";
                return;
            }
            levels[level].push_back(n);
            uint32_t off = EntryStart;
            uint64_t leaf_mask = 0;
            std::vector<uint32_t>* kids = nullptr;
            if (level > 0) {
                if (next_first == NoNode) next_first = node.leftmost;
                kids = &children[n];
                kids->push_back(node.leftmost);
            }
            for (int32_t i = 0; i < node.count; ++i) {
                const uint32_t len = node.bytes[off];
                if (len < 6 || off + 1 + len > NodeBytes || (level > 0 && len < 10)) {
                    why = "node " + std::to_string(n) + " entry " + std::to_string(i) + " is damaged";
                    return;
                }
                const uint8_t root = node.bytes[off + 1];
                if (root < 1 || root > 50) {
                    why = "node " + std::to_string(n) + " entry " + std::to_string(i) + " has root " +
                          std::to_string(root);
                    return;
                }
                if (level == 0) {
                    leaf_mask |= uint64_t{1} << root;
                    ++roots[root].entries;
                    ++tree.entries;
                } else {
                    kids->push_back(u32(node.bytes + off + len - 3));
                }
                off += 1 + len;
            }
            if (level == 0) {
                const double used = EntryArea - node.free_bytes;
                ++tree.leaves;
                tree.fill += used;
                for (int r = 1; r <= 50; ++r) {
                    if ((leaf_mask >> r & 1) == 0) continue;
                    ++roots[r].leaves;
                    roots[r].fill += used;
                }
                mask[n] = leaf_mask;
            } else {
                ++tree.interior;
            }
            n = node.right;
        }
        first = next_first;
    }

    // Bottom up: an interior node stands above the roots of its children.
    for (uint32_t level = 1; level < tree.height; ++level) {
        for (uint32_t n : levels[level]) {
            uint64_t m = 0;
            for (uint32_t child : children[n]) {
                const auto it = mask.find(child);
                if (it == mask.end()) {
                    why = "node " + std::to_string(n) + " points to node " + std::to_string(child) +
                          ", which is not on the level below";
                    return;
                }
                m |= it->second;
            }
            mask[n] = m;
            for (int r = 1; r <= 50; ++r)
                if (m >> r & 1) ++roots[r].interior;
        }
    }
}

uint64_t NodeFile::free_list_length(std::string& why) {
    Node node;
    uint64_t count = 0;
    for (uint32_t n = h_.free_head; n != NoNode; n = node.right) {
        if (count > h_.node_count) {
            why = "the free list runs in a circle";
            return count;
        }
        if (!read(n, node, why)) return count;
        if (node.level != -1) {
            why = "free node " + std::to_string(n) + " is not marked free";
            return count;
        }
        ++count;
    }
    return count;
}

bool NodeFile::walk_log_chain(uint32_t head, LogChain& chain, std::vector<bool>& seen, std::string& why) {
    Node node;
    chain.head = head;
    for (uint32_t n = head;;) {
        if (!read(n, node, why)) return false;
        const std::string at = "log node " + std::to_string(n);
        if (seen[n]) {
            why = at + " is reached twice";
            return false;
        }
        seen[n] = true;
        const int16_t kind = n == head ? LogHeadKind : LogContinuationKind;
        if (node.level != kind) {
            why = at + " has kind " + std::to_string(node.level) + " where " + std::to_string(kind) + " (" +
                  (n == head ? "a head node" : "a continuation node") + ") belongs";
            return false;
        }
        if (node.count < 0 || node.free_bytes < 0 || node.free_bytes > EntryArea) {
            why = at + " has a damaged node header";
            return false;
        }
        // The records must fill exactly the bytes the node says are used.
        uint32_t off = EntryStart;
        for (int32_t i = 0; i < node.count; ++i) {
            if (off + LogRecordHeader > NodeBytes || off + LogRecordHeader + node.bytes[off + 11] > NodeBytes) {
                why = at + " record " + std::to_string(i) + " runs past the node";
                return false;
            }
            off += LogRecordHeader + node.bytes[off + 11];
        }
        if (off - EntryStart != static_cast<uint32_t>(EntryArea - node.free_bytes)) {
            why = at + ": its " + std::to_string(node.count) + " records take " + std::to_string(off - EntryStart) +
                  " bytes, its header says " + std::to_string(EntryArea - node.free_bytes);
            return false;
        }
        if (n == head) {
            chain.owner = u32(node.bytes + 8);
            chain.head_records = node.count;
        }
        ++chain.nodes;
        chain.records += static_cast<uint64_t>(node.count);
        if (node.right == 0) return true;
        n = node.right;
    }
}

LogFacts NodeFile::transaction_logs() {
    LogFacts f;
    const uint64_t limit = h_.nodes_in_file() < h_.node_count ? h_.nodes_in_file() : h_.node_count;
    std::vector<bool> seen(limit, false);
    f.present = h_.log_head != -1;
    if (f.present) {
        std::string why;
        if (!walk_log_chain(static_cast<uint32_t>(h_.log_head), f.log, seen, why)) f.damage = "the log: " + why;
    }
    // The released chains, linked through the first word of their head
    // nodes.  Each walk marks its nodes, so the list ends within the node
    // count however it is damaged.
    Node node;
    for (uint32_t n = h_.released_log_head; n != NoNode && f.damage.empty();) {
        LogChain chain;
        std::string why;
        if (!walk_log_chain(n, chain, seen, why)) {
            f.damage = "released log " + std::to_string(f.released.size() + 1) + ": " + why;
            break;
        }
        f.released.push_back(chain);
        if (!read(n, node, why)) break;  // read just now; cannot fail
        n = node.leftmost;
    }
    return f;
}

}  // namespace kxtool
