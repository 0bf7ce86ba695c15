// kindex stat FILE: the header facts and the shape of every tree and root.
#include <cstring>

#include "filefacts.h"
#include "tool.h"

namespace kxtool {

int explain_unreadable(const std::string& command, const std::string& path, const std::string& why) {
    KXCB cb;
    std::memset(&cb, 0, sizeof cb);
    const int32_t rc = bopen(&cb, path.c_str(), 'E', 1, nullptr);
    if (rc != KX_OK) {
        const int32_t io = cb.io_error;
        complain_result(command, path, io_error_text(io).empty() ? "cannot open, " + why : "cannot open", rc, io);
    } else {
        mclose(&cb);
        complain(command, path, why);
    }
    return ExitFailed;
}

namespace {

std::string custom_text(const HeaderFacts& h) {
    if (h.custom_length <= 0 || h.custom_length > 100) return "none";
    const size_t n = static_cast<size_t>(h.custom_length);
    bool printable = true;
    for (size_t i = 0; i < n; ++i) printable = printable && h.custom[i] >= 0x20 && h.custom[i] < 0x7f;
    return std::to_string(n) + " bytes: " + (printable ? quote_bytes(h.custom, n) : hex_bytes(h.custom, n));
}

std::string percent(double used, uint64_t leaves) {
    if (leaves == 0) return "-";
    char b[32];
    std::snprintf(b, sizeof b, "%.1f%%", 100.0 * used / (static_cast<double>(leaves) * EntryArea));
    return b;
}

std::string tree_name(int slot) { return slot == 0 ? "main" : "slot " + std::to_string(slot); }

const char* library_root_role(int root) {
    switch (root) {
    case 48: return " (free record numbers)";
    case 49: return " (records)";
    case 50: return " (locks)";
    default: return "";
    }
}

std::string plural(uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string owner_text(uint32_t owner) {
    if (owner < KX_USER_SLOTS) return "owner user slot " + std::to_string(owner);
    if (owner == NoNode) return "owner: no user slot (an exclusive opener)";
    return "owner " + std::to_string(owner) + " (no user slot)";
}

// "3 nodes, 412 records, owner user slot 0; pending: a transaction to roll
// back".
std::string log_text(const LogChain& c) {
    std::string t = plural(c.nodes, "node", "nodes") + ", " + plural(c.records, "record", "records") + ", " +
                    owner_text(c.owner) + "; ";
    if (c.head_records >= 1) return t + "pending: a transaction to roll back (kindex recover)";
    return t + "not pending (emptied, kept for the next transaction)";
}

// "none", or "2 chains: node 40 (1 node, 12 records), node 52 (...)"; at
// most ten chains by name.
std::string released_text(const LogFacts& logs) {
    if (logs.released.empty()) return "none";
    std::string t = plural(logs.released.size(), "chain", "chains") + ":";
    uint64_t rest_chains = 0, rest_records = 0;
    for (size_t i = 0; i < logs.released.size(); ++i) {
        const LogChain& c = logs.released[i];
        if (i >= 10) {
            ++rest_chains;
            rest_records += c.records;
            continue;
        }
        t += std::string(i == 0 ? " " : ", ") + "node " + std::to_string(c.head) + " (" +
             plural(c.nodes, "node", "nodes") + ", " + plural(c.records, "record", "records") + ")";
    }
    if (rest_chains > 0)
        t += " and " + plural(rest_chains, "more", "more") + " (" + plural(rest_records, "record", "records") + ")";
    return t;
}

}  // namespace

int print_stat(const std::string& command, const std::string& path, FILE* out) {
    HeaderFacts h;
    std::string why;
    if (!read_header_facts(path, h, why)) return explain_unreadable(command, path, why);

    std::fprintf(out, "File %s\n", path.c_str());
    std::fprintf(out, "  byte order          %s\n", h.little_endian ? "little-endian" : "big-endian");
    NodeFile nodes(h);
    std::string free_why;
    uint64_t free_nodes = 0;
    if (!nodes.open(path, why)) {
        complain(command, path, "cannot read nodes: " + why);
        return ExitFailed;
    }
    free_nodes = nodes.free_list_length(free_why);
    std::fprintf(out, "  nodes               %u (high-water mark %u, %llu on the free list%s%s)\n", h.node_count,
                 h.next_node, static_cast<unsigned long long>(free_nodes), free_why.empty() ? "" : "; ",
                 free_why.c_str());
    std::fprintf(out, "  records             %u (next record number %u, free record numbers %u)\n", h.record_count,
                 h.next_record, h.free_records);
    std::fprintf(out, "  custom data         %s\n", custom_text(h).c_str());
    std::fprintf(out, "  change counter      %u\n", h.change_counter);
    if (h.log_head == -1)
        std::fprintf(out, "  log head            none\n");
    else
        std::fprintf(out, "  log head            node %d\n", h.log_head);
    const LogFacts logs = nodes.transaction_logs();
    if (logs.present && logs.damage.rfind("the log: ", 0) != 0)
        std::fprintf(out, "  transaction log     %s\n", log_text(logs.log).c_str());
    std::fprintf(out, "  released logs       %s\n", released_text(logs).c_str());
    if (!logs.damage.empty()) std::fprintf(out, "  %-19s damaged: %s\n", "", logs.damage.c_str());
    std::fprintf(out, "  write in progress   %s\n",
                 h.marker_set ? "yes: the file was left in the middle of a write section" : "no");
    // The tree slot map: the roots that have a tree of their own (or share
    // one with other roots) instead of living in the main tree.
    std::string slot_map;
    for (int r = 1; r <= 50; ++r) {
        if (h.slot_map[r - 1] == 0) continue;
        if (!slot_map.empty()) slot_map += ", ";
        slot_map += "root " + std::to_string(r) + " in slot " + std::to_string(h.slot_map[r - 1]);
    }
    std::fprintf(out, "  trees of their own  %s\n", slot_map.empty() ? "none: every root lives in the main tree" : slot_map.c_str());

    // The library opens a typed file only with a matching root list.
    // Compound roots get no segment list: their keys then compare equal,
    // which a walk does not mind.
    std::vector<KXROOTLIST> list;
    for (int r = 1; r <= 45; ++r) {
        if (h.root_types[r] != 0 && h.root_types[r] <= 20) list.push_back({static_cast<uint8_t>(r), h.root_types[r], nullptr});
    }
    list.push_back({0, 0, nullptr});
    KXCB cb;
    std::memset(&cb, 0, sizeof cb);
    const int32_t rc = bopen(&cb, path.c_str(), 'E', 1, list.data());
    if (rc != KX_OK) {
        std::fflush(out);
        complain_result(command, path, "cannot open", rc, cb.io_error);
        return ExitFailed;
    }

    // What a walk through the library delivers, root by root.
    uint64_t data[51] = {};
    std::string walk_fault;
    for (int r = 1; r <= 50; ++r) {
        int32_t w = cfirst(&cb, r, nullptr, 0);
        for (; w == KX_OK; w = cnext(&cb, r, nullptr, 0)) ++data[r];
        if (w != KX_E_FAIL && walk_fault.empty())
            walk_fault = "walking root " + std::to_string(r) + ": " + result_text(w);
    }

    // The trees, from the nodes themselves.
    std::vector<TreeShape> trees;
    RootShape roots[51];
    TreeShape main_tree;
    main_tree.root_node = h.main_root;
    main_tree.height = h.main_height;
    trees.push_back(main_tree);
    for (int s = 1; s <= 50; ++s) {
        bool used = false;
        for (int r = 1; r <= 50; ++r) used = used || h.slot_map[r - 1] == s;
        if (!used) continue;
        TreeShape t;
        t.slot = s;
        t.root_node = h.slot_roots[s - 1];
        t.height = h.slot_heights[s - 1];
        trees.push_back(t);
    }
    for (TreeShape& t : trees) nodes.walk_tree(t, roots);
    mclose(&cb);

    std::fprintf(out, "\nTrees\n");
    std::fprintf(out, "  %-8s %9s %6s %8s %8s %9s %9s\n", "tree", "root node", "height", "leaves", "interior", "entries",
                 "leaf fill");
    for (const TreeShape& t : trees) {
        std::fprintf(out, "  %-8s %9u %6u %8llu %8llu %9llu %9s\n", tree_name(t.slot).c_str(), t.root_node, t.height,
                     static_cast<unsigned long long>(t.leaves), static_cast<unsigned long long>(t.interior),
                     static_cast<unsigned long long>(t.entries), percent(t.fill, t.leaves).c_str());
        if (!t.damage.empty()) std::fprintf(out, "  %-8s damaged: %s\n", "", t.damage.c_str());
    }

    std::fprintf(out, "\nRoots\n");
    std::fprintf(out, "  %4s  %-38s %-6s %6s %8s %8s %9s %9s %9s\n", "root", "key type", "tree", "height", "leaves",
                 "interior", "entries", "data", "leaf fill");
    for (int r = 1; r <= 50; ++r) {
        const bool typed = r <= 45 && h.root_types[r] != 0;
        if (!typed && roots[r].entries == 0 && data[r] == 0) continue;
        const uint8_t type = h.root_types[r] & 31;
        const std::string type_text = std::to_string(type) + " " + key_type_name(type) + library_root_role(r);
        const int slot = h.slot_map[r - 1];
        uint32_t height = 0;
        for (const TreeShape& t : trees)
            if (t.slot == slot) height = t.height;
        std::fprintf(out, "  %4d  %-38s %-6s %6u %8llu %8llu %9llu %9llu %9s\n", r, type_text.c_str(),
                     tree_name(slot).c_str(), height, static_cast<unsigned long long>(roots[r].leaves),
                     static_cast<unsigned long long>(roots[r].interior),
                     static_cast<unsigned long long>(roots[r].entries), static_cast<unsigned long long>(data[r]),
                     percent(roots[r].fill, roots[r].leaves).c_str());
    }
    std::fflush(out);

    bool damaged = !walk_fault.empty();
    for (const TreeShape& t : trees) damaged = damaged || !t.damage.empty();
    damaged = damaged || !free_why.empty() || !logs.damage.empty();
    if (!walk_fault.empty()) complain(command, path, walk_fault);
    if (damaged) {
        complain(command, path, "the file is damaged");
        return ExitFailed;
    }
    return ExitOk;
}

int cmd_stat(const std::vector<std::string>& args) {
    if (args.size() != 1 || args[0].empty() || args[0][0] == '-') {
        complain("stat", "", "usage: kindex stat FILE");
        return ExitUsage;
    }
    return print_stat("stat", args[0], stdout);
}

}  // namespace kxtool
