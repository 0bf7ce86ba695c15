// Reading an index file's header and nodes directly, for what the public
// interface does not tell: the root type table before a file is opened (a
// typed file can only be opened with a matching root list) and the shape of
// its trees (levels, node counts, how full the leaves are).
//
// This follows the documented file layout (src/indexfile/header.h and
// src/btree/node.h), not the library's code:
//
//   bytes 0..557       header; 4-byte fields in the file's byte order, told
//                      by the byte-order word at 8 (the integer 1 in the
//                      file's order: first byte 1 for little-endian)
//   bytes 1010..1011   write-in-progress marker: 13245 (u16, file order:
//                      BD 33 little-endian, 33 BD big-endian) while set
//   1024 + 2048 * n    node n
//
//   header: 0 change counter, 4/16/20/24/32/40/48/56 the signature letters
//   V A L I D A T 1 (one per 4-byte word), 12 main root node, 28 main tree
//   height, 36 next new node (high-water mark), 44 next record number,
//   52 node count, 60 free-list head (~0 empty), 64 free record count,
//   68 record count, 72 custom data length, 92 custom data (100 bytes),
//   192 root type table (byte r for root r), 248 tree slot map (byte r-1:
//   the tree slot of root r, 0 the main tree), 300 tree heights (byte s-1
//   for slot s), 350 tree root nodes (word s-1 for slot s), 550 log head
//   (-1 none), 554 released-log head.
//
//   node: 0 u32 leftmost child (interior), 4 u32 right link, 8 u32 left
//   link (~0 none), 12 i16 level (0 leaf, -1 free), 14 i16 entry count,
//   16 i16 free bytes (2030 minus the bytes the entries take), 18 entries
//   back to back.  An entry is a length byte N and N bytes: root number,
//   piece byte, record value, key, then the payload (leaf) or the child
//   node number (interior: its last four bytes).  Each level is a list
//   linked by the right links; an interior node's children are its
//   leftmost child and the child of each entry.
//
//   log node (the transaction log, in node slots like any other): 0 u32
//   released-chain link (a head node: ~0, or once released the head of the
//   next chain on the released-log list; a continuation node: 0), 4 u32 next
//   node of the chain (0: the last), 8 u32 owner user slot, 12 i16 kind (-2
//   head node, -3 continuation node), 14 i16 record count, 16 i16 free bytes
//   (2030 when empty), 18 records back to back.  A record is 12 bytes (u32
//   transaction serial, u16 sequence, u32 change counter, u8 type, u8 body
//   length L) and L body bytes.  The header's log head (550) names the head
//   node of the log; a log whose head node holds records is pending (a
//   transaction to roll back).  The released-log head (554) starts a list of
//   whole chains linked through their head nodes' first word.
//
// The tool opens the file through the library too (read-only, exclusive),
// so nobody changes it while these bytes are read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kxtool {

constexpr uint32_t NoNode = 0xFFFFFFFFu;
constexpr int32_t EntryArea = 2030;

struct HeaderFacts {
    bool little_endian = true;
    uint32_t change_counter = 0;
    uint32_t main_root = 0;
    uint32_t main_height = 0;
    uint32_t next_node = 0;
    uint32_t next_record = 0;
    uint32_t node_count = 0;
    uint32_t free_head = NoNode;
    uint32_t free_records = 0;
    uint32_t record_count = 0;
    int32_t custom_length = 0;
    uint8_t custom[100] = {};
    uint8_t root_types[52] = {};
    uint8_t slot_map[52] = {};
    uint8_t slot_heights[50] = {};
    uint32_t slot_roots[50] = {};
    int32_t log_head = -1;
    uint32_t released_log_head = NoNode;
    bool marker_set = false;
    uint64_t file_size = 0;

    // Nodes the file's length has room for.
    uint64_t nodes_in_file() const { return file_size > 1024 ? (file_size - 1024) / 2048 : 0; }
};

// Reads and checks the header.  False, with the reason in why, when the
// file cannot be read or is not an index file.
bool read_header_facts(const std::string& path, HeaderFacts& h, std::string& why);

// The shape of one tree, and of each root's part of it.
struct RootShape {
    uint64_t leaves = 0;    // leaves holding entries of the root
    uint64_t interior = 0;  // interior nodes above those leaves
    uint64_t entries = 0;   // leaf entries (pieces of long data count each)
    double fill = 0;        // bytes used in those leaves, summed
};

struct TreeShape {
    int slot = 0;  // 0 the main tree
    uint32_t root_node = 0;
    uint32_t height = 0;
    uint64_t leaves = 0;
    uint64_t interior = 0;
    uint64_t entries = 0;
    double fill = 0;  // bytes used in the leaves, summed
    std::string damage;  // empty when the walk found nothing wrong
};

// One chain of log nodes: the log of the header or a released one.
struct LogChain {
    uint32_t head = NoNode;
    uint32_t owner = 0;           // the head node's owner user slot
    uint64_t nodes = 0;
    uint64_t records = 0;         // over every node of the chain
    int32_t head_records = 0;     // records in the head node (>= 1: pending)
};

struct LogFacts {
    bool present = false;         // the header names a log head
    LogChain log;
    std::vector<LogChain> released;
    std::string damage;           // empty when every chain is sound
};

// Reads the nodes of a file.
class NodeFile {
public:
    explicit NodeFile(const HeaderFacts& h) : h_(h) {}
    ~NodeFile();
    NodeFile(const NodeFile&) = delete;
    NodeFile& operator=(const NodeFile&) = delete;
    bool open(const std::string& path, std::string& why);

    // Walks a tree level by level; fills tree and adds to roots[1..50].
    void walk_tree(TreeShape& tree, RootShape roots[51]);
    // Nodes on the free list; a damaged list is described in why.
    uint64_t free_list_length(std::string& why);
    // The transaction log and the released-log list.  Every walk is bounded
    // by the node count and meets each node once, so a damaged chain is
    // reported instead of followed round.
    LogFacts transaction_logs();

private:
    struct Node {
        uint8_t bytes[2048];
        uint32_t leftmost, right;
        int16_t level, count, free_bytes;
    };
    bool read(uint32_t n, Node& node, std::string& why);
    // Walks the chain starting at head into chain; false with why set when
    // a node is not a log node of the chain or was met before.
    bool walk_log_chain(uint32_t head, LogChain& chain, std::vector<bool>& seen, std::string& why);
    uint32_t u32(const uint8_t* p) const;
    uint16_t u16(const uint8_t* p) const;

    const HeaderFacts& h_;
    int fd_ = -1;
};

}  // namespace kxtool
