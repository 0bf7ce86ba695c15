// kindex: the command-line tool of the kindex library.
//
//   kindex demo [DIR]          build and use a sample data file, with timings
//   kindex stat FILE           header facts and the shape of every tree
//   kindex dump FILE           every entry as text
//   kindex load FILE           that text back into a (new) file
//   kindex recover FILE        put a file left by a crash back in order
//   kindex check FILE          verify the trees and the free list
//   kindex salvage FILE SALV   move misplaced entries into a salvage file
//   kindex rebuild SRC DST     a sound copy of a damaged file
//   kindex convert OLD NEW     an older-format file into a new one
//
// Exit codes: 0 success, 1 failure (one line on stderr names the file and
// the library's result code), 2 a wrong command line.
#include <cstring>
#include <string>
#include <vector>

#include "tool.h"

namespace {

struct Command {
    const char* name;
    int (*run)(const std::vector<std::string>&);
    const char* summary;
    const char* help;
};

const Command kCommands[] = {
    {"demo", kxtool::cmd_demo, "build a sample product catalogue and use it, with timings",
     "usage: kindex demo [DIR] [--records N]\n"
     "\n"
     "Creates DIR/catalogue.kx (DIR defaults to a fresh temporary folder), a data\n"
     "file of N products (default 100000) with three keys: a unique id, a\n"
     "case-blind name with duplicates, and a compound key of category (ascending)\n"
     "and price (descending).  Loads it with dadd in one write section, finds by\n"
     "each key (cidfind modes 1, 3 and 5), walks with dseq, updates, deletes, counts\n"
     "(dgetcnt) and prints the file's structure as `kindex stat` does, with the time\n"
     "each step took.  The file is left in place; an earlier demo file in DIR is\n"
     "replaced.\n"},
    {"stat", kxtool::cmd_stat, "show the header and the shape of every tree and root",
     "usage: kindex stat FILE\n"
     "\n"
     "Prints the header facts (byte order, node count, high-water mark, free-list\n"
     "length, record count, next record number, custom data, change counter, log\n"
     "head, the transaction log (its nodes, records and owner user slot, and whether\n"
     "it is pending: a transaction to roll back), the released-log list (each chain's\n"
     "head node and records), write-in-progress marker), then per tree its root node, height, leaf\n"
     "and interior node counts, entries and average leaf fill, and per root in use\n"
     "its key type, tree, height, the leaves and interior nodes holding its entries,\n"
     "its leaf entries (a datum of several pieces counts each), the data a walk\n"
     "delivers, and the average fill of its leaves.\n"
     "\n"
     "The file is opened read-only and exclusively; node figures come from reading\n"
     "the nodes directly by the documented file layout.  Exit 1 when the file\n"
     "cannot be opened or a tree is damaged.\n"},
    {"dump", kxtool::cmd_dump, "write every entry of a file as text on stdout",
     "usage: kindex dump FILE [--root N] [--segments [R=]TYPES]... [--quiet]\n"
     "\n"
     "Writes header lines (byte order, custom data, counters, the key type of each\n"
     "typed root) and then one line per datum in entry order:\n"
     "    ROOT KEY RECORD PAYLOAD\n"
     "keys in the form of their key type (strings quoted, numbers as numbers,\n"
     "compound keys as (segment,...)), payloads in hex.  Roots 1 to 49 are\n"
     "dumped; --root N dumps one root (50, the lock tree, only this way).\n"
     "\n"
     "Compound keys (key type 8) need their segment list to be shown by segment\n"
     "and to be loaded again: TYPES lists the segments' key types, each followed by\n"
     "'d' when it sorts descending, e.g. --segments 0,5d (a string, then an int32\n"
     "descending).  R=TYPES gives root R its list; a bare TYPES serves every compound\n"
     "root.  Without one a compound key is written as x:HEX.\n"
     "\n"
     "A running count shows on stderr when it is a terminal (--quiet: never).\n"},
    {"load", kxtool::cmd_load, "read a dump from stdin into a new or existing file",
     "usage: kindex load FILE [--byte-order big|little] [--segments [R=]TYPES]... [--quiet]\n"
     "\n"
     "Reads what `kindex dump` writes.  A FILE that does not exist is created with\n"
     "the dump's root key types, byte order (or the one --byte-order names),\n"
     "custom data and counters; an existing file gets the entries added (its root\n"
     "types must match the dump's).  So `kindex dump A | kindex load B` copies a\n"
     "file, and with --byte-order it turns the keys into the other byte order.\n"
     "Payloads are copied as they are: the records of a data file (root 49) keep\n"
     "numbers in the file's byte order, so they are refused by a file of the\n"
     "other byte order.\n"
     "\n"
     "Compound roots need a segment list (from the dump, or --segments as for\n"
     "dump).  On a failure the line is named; a file that load created is removed\n"
     "again.  A read-only FILE is refused.\n"},
    {"recover", kxtool::cmd_recover, "put a file left by a crash back in order",
     "usage: kindex recover FILE [--image IMAGE] [--quiet]\n"
     "\n"
     "Opens FILE exclusively and undoes what a process that stopped left behind:\n"
     "\n"
     "  - a write section at flush mode 4 that stopped half way (the\n"
     "    write-in-progress marker is set): the file is put back from IMAGE, the\n"
     "    image file that was attached when it was written (imagerest).  Without\n"
     "    --image the file cannot be put back and stays refused (KX_E_MARKER).\n"
     "  - a transaction that never ended (its log is pending): it is rolled back\n"
     "    (transroll), with a progress display on stderr when it is a terminal\n"
     "    (--quiet: never).\n"
     "\n"
     "Says what it found and did.  Exit 0 when the file is clean afterwards (also\n"
     "when there was nothing to do), 1 when it could not be recovered or a step\n"
     "failed (the line names the library's result code).  For a shared file, stop\n"
     "every process that uses it first.\n"},
    {"check", kxtool::cmd_check, "verify a file's trees and free list",
     "usage: kindex check FILE [--segments [R=]TYPES]... [--quiet]\n"
     "\n"
     "Verifies FILE without changing it (bcheck): the header's values, every\n"
     "tree's shape, every node's layout, the order of all entries along the leaf\n"
     "level, that every leaf is found again by a search from its tree's root, and\n"
     "the free list.  Prints \"sound\", or the first fault found in words with the\n"
     "node it lies in, and exits 1 on a fault.  Compound roots need their segment\n"
     "lists (--segments as for dump): without them their order cannot be checked.\n"
     "\n"
     "The file is opened shared: other processes using it go on reading while the\n"
     "check runs, and writers wait for it.  A node count shows on stderr when it is a terminal (--quiet: never).\n"},
    {"salvage", kxtool::cmd_salvage, "move misplaced entries into a salvage file",
     "usage: kindex salvage FILE SALVAGE [--segments [R=]TYPES]... [--quiet]\n"
     "\n"
     "Walks the leaf level of every tree of FILE (ccheck) and takes out every\n"
     "entry that is out of order and every datum whose pieces are incomplete,\n"
     "putting them into SALVAGE, a new index file with FILE's byte order and root\n"
     "types, where they keep their roots, keys, record values and payloads.  Says\n"
     "how many data were moved, then checks FILE as `kindex check` does.  Compound\n"
     "roots need their segment lists (--segments as for dump).\n"
     "\n"
     "FILE is opened exclusively.  Exit 0 when FILE is sound afterwards, 1 when it\n"
     "is still damaged (a tree that cannot be walked is left as it is: `kindex\n"
     "rebuild` makes a sound copy) or a step failed.\n"},
    {"rebuild", kxtool::cmd_rebuild, "make a sound copy of a damaged file",
     "usage: kindex rebuild SRC DST [--byte-order big|little] [--segments [R=]TYPES]... [--quiet]\n"
     "\n"
     "Reads every node slot of SRC as it lies in the file, without following any\n"
     "link, and puts the entries of every leaf it can read into DST, a new file\n"
     "with SRC's root types, trees of their own, counters and custom data (cbuild).\n"
     "So a file whose interior nodes, free list or links are destroyed comes back\n"
     "with every entry of its readable leaves.  Entries of root 46 (the library's\n"
     "own) are not copied.\n"
     "\n"
     "When SRC holds a pending transaction (a process stopped inside one), its\n"
     "undo log is carried over into DST (bbuild), so that `kindex recover DST`\n"
     "still rolls it back.  --byte-order makes DST a file of that byte order (not\n"
     "for a data file: its records keep their numbers in the file's byte order).\n"
     "Compound roots need their segment lists to put their keys in order\n"
     "(--segments as for dump).  Afterwards DST is checked as `kindex check` does.\n"
     "Exit 1 when the rebuild or the check fails.\n"},
    {"convert", kxtool::cmd_convert, "turn an older-format file into a new index file",
     "usage: kindex convert OLD NEW\n"
     "\n"
     "Reads the leaves of OLD, an index file of the older format with 1024-byte\n"
     "nodes, and puts their entries into NEW, a new index file (cconvert); the\n"
     "next record number is carried over.  A damaged old leaf is passed over and\n"
     "the others are still converted; the failure is then reported.\n"},
};

void print_overview(FILE* out) {
    std::fprintf(out,
                 "kindex: a tool for kindex index and data files\n"
                 "\n"
                 "usage: kindex COMMAND [ARGS]\n"
                 "\n");
    for (const Command& c : kCommands) std::fprintf(out, "  %-7s %s\n", c.name, c.summary);
    std::fprintf(out,
                 "  help    kindex help COMMAND: more about a command\n"
                 "\n"
                 "Exit codes: 0 success, 1 failure (a one-line message names the file and the\n"
                 "library's result code), 2 a wrong command line.\n");
}

const Command* find_command(const std::string& name) {
    for (const Command& c : kCommands)
        if (name == c.name) return &c;
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        print_overview(stderr);
        return kxtool::ExitUsage;
    }
    const std::string& first = args[0];
    if (first == "--help" || first == "-h") {
        print_overview(stdout);
        return kxtool::ExitOk;
    }
    if (first == "help") {
        if (args.size() == 1) {
            print_overview(stdout);
            return kxtool::ExitOk;
        }
        const Command* c = find_command(args[1]);
        if (c == nullptr || args.size() > 2) {
            kxtool::complain("help", "", "no command '" + args[1] + "' (commands: demo, stat, dump, load, recover, check, salvage, rebuild, convert)");
            return kxtool::ExitUsage;
        }
        std::fputs(c->help, stdout);
        return kxtool::ExitOk;
    }
    const Command* c = find_command(first);
    if (c == nullptr) {
        kxtool::complain("", "", "no command '" + first + "' (try: kindex --help)");
        return kxtool::ExitUsage;
    }
    std::vector<std::string> rest(args.begin() + 1, args.end());
    for (const std::string& a : rest) {
        if (a == "--help" || a == "-h") {
            std::fputs(c->help, stdout);
            return kxtool::ExitOk;
        }
    }
    if (cipspsize(sizeof(KXCB)) != 0) {
        kxtool::complain("", "", "this program and the library disagree on the control block's size");
        return kxtool::ExitFailed;
    }
    const int rc = c->run(rest);
    KINDEX_Shutdown();
    return rc;
}
