// The library's result codes in words, and the one-line error messages of
// the tool.
#include <cstdio>

#include "tool.h"

namespace kxtool {

namespace {

struct Code {
    int32_t value;
    const char* name;
    const char* text;
};

// Every code of kindex.h, with the meaning the header gives it.
const Code kCodes[] = {
    {KX_OK, "KX_OK", "success"},
    {KX_GREATER, "KX_GREATER", "the record found has a greater key"},
    {KX_SMALLER, "KX_SMALLER", "the record found has a smaller key"},
    {KX_E_FAIL, "KX_E_FAIL", "general failure, end of root, or key present"},
    {KX_E_ARG, "KX_E_ARG", "argument out of range or missing name"},
    {KX_E_NOTOPEN, "KX_E_NOTOPEN", "control block not open"},
    {KX_E_SEEK, "KX_E_SEEK", "seek failed, no node number, or counter 0"},
    {KX_E_NOTINDEX, "KX_E_NOTINDEX", "not an index file (header signature wrong)"},
    {KX_E_WRITE, "KX_E_WRITE", "write failed or short"},
    {KX_E_READ, "KX_E_READ", "read delivered fewer bytes than asked"},
    {KX_E_BUILDSRC, "KX_E_BUILDSRC", "rebuild or convert source cannot be opened"},
    {KX_E_BUILDDST, "KX_E_BUILDDST", "rebuild or convert target cannot be created"},
    {KX_E_PIECES, "KX_E_PIECES", "datum pieces not numbered 0, 1, 2, ..."},
    {KX_E_WALK, "KX_E_WALK", "tree cannot be walked or entries moved"},
    {KX_E_DLISTEND, "KX_E_DLISTEND", "end of data list or unknown type"},
    {KX_E_NOCURRENT, "KX_E_NOCURRENT", "no current entry or record"},
    {KX_E_NORECORD, "KX_E_NORECORD", "record not in the record tree, or add failed"},
    {KX_E_DLISTSUM, "KX_E_DLISTSUM", "data list checksum or field index wrong"},
    {KX_E_RECSUM, "KX_E_RECSUM", "record checksum differs"},
    {KX_E_FIELDTYPE, "KX_E_FIELDTYPE", "unknown field type letter"},
    {KX_E_KEYTYPE, "KX_E_KEYTYPE", "key type byte does not match the root"},
    {KX_E_DUPBYTE, "KX_E_DUPBYTE", "duplicates byte not 'D', 'U' or 'N'"},
    {KX_E_LENGTH, "KX_E_LENGTH", "length out of range"},
    {KX_E_STRLEN, "KX_E_STRLEN", "string too long for its entry or key"},
    {KX_E_ROOTNUM, "KX_E_ROOTNUM", "root number above 45 in a list"},
    {KX_E_BUFSMALL, "KX_E_BUFSMALL", "buffer smaller than the data"},
    {KX_E_EXISTS, "KX_E_EXISTS", "the file already exists"},
    {KX_E_DAMAGED, "KX_E_DAMAGED", "damaged node or failed node check"},
    {KX_E_FREELIST, "KX_E_FREELIST", "free list gave a node above the high-water mark"},
    {KX_E_BYTEORDER, "KX_E_BYTEORDER", "byte-order choice or build mode not 1..3"},
    {KX_E_READONLY, "KX_E_READONLY", "file is read-only"},
    {KX_E_NOMEM, "KX_E_NOMEM", "out of memory"},
    {KX_E_ROOTLIST, "KX_E_ROOTLIST", "root list does not match the file"},
    {KX_E_CHGNDX, "KX_E_CHGNDX", "root holds entries"},
    {KX_E_SEGLIST, "KX_E_SEGLIST", "bad segment list"},
    {KX_E_MARKER, "KX_E_MARKER", "write-in-progress marker set (the file was left mid-write)"},
    {KX_E_TRANSMODE, "KX_E_TRANSMODE", "transaction with flush mode below 4"},
    {KX_E_BUILDSTOP, "KX_E_BUILDSTOP", "the callback stopped the copy"},
    {KX_E_NEGNODE, "KX_E_NEGNODE", "negative node number"},
    {KX_E_OPENSHARED, "KX_E_OPENSHARED", "shared open failed, exclusive reopen too"},
    {KX_E_SECTION, "KX_E_SECTION", "read or write section not started"},
    {KX_E_LOCKED, "KX_E_LOCKED", "held by another live process"},
    {KX_E_HELDBYME, "KX_E_HELDBYME", "held by the caller"},
    {KX_E_NOTHELD, "KX_E_NOTHELD", "not held"},
    {KX_E_NOLOCK, "KX_E_NOLOCK", "caller lacks the key or record lock"},
    {KX_E_NOSLOT, "KX_E_NOSLOT", "no free user slot, or gate queue full"},
    {KX_E_GATE, "KX_E_GATE", "gate could not be taken or handed over"},
    {KX_E_LOGOWNER, "KX_E_LOGOWNER", "log belongs to another live user slot"},
    {KX_E_LOGPENDING, "KX_E_LOGPENDING", "a transaction with records is pending"},
    {KX_E_LOGEMPTY, "KX_E_LOGEMPTY", "the log exists but is empty"},
    {KX_E_NOROLLBACK, "KX_E_NOROLLBACK", "nothing to roll back"},
    {KX_E_BUILDPREP, "KX_E_BUILDPREP", "rebuild target or unknown log record"},
};

const Code* find_code(int32_t value) {
    for (const Code& c : kCodes)
        if (c.value == value) return &c;
    return nullptr;
}

}  // namespace

std::string result_name(int32_t code) {
    const Code* c = find_code(code);
    return c != nullptr ? c->name : "";
}

std::string result_text(int32_t code) {
    const Code* c = find_code(code);
    if (c == nullptr) return "result " + std::to_string(code) + " (unknown)";
    return std::string(c->name) + " (" + std::to_string(code) + "): " + c->text;
}

// The detail the library leaves in io_error after a failed file step: the
// system error of the step, numbered as the library's storage layer numbers
// them (kindex.h does not list these numbers).
std::string io_error_text(int32_t io_error) {
    switch (io_error) {
    case 2: return "no such file";
    case 3: return "no such folder";
    case 4: return "too many open files";
    case 5: return "access denied";
    case 32: return "the file is in use by another process";
    case 33: return "a lock is held by another process";
    case 80: return "the file exists";
    case 112: return "disk full";
    default: return "";
    }
}

std::string check_reason_text(int32_t reason) {
    static const char* const kReasons[] = {
        "a tree's root node cannot be read, its level does not fit the tree's height, or it has a neighbour",
        "a node's free byte count is out of range or does not match its entries",
        "a node's entry count is out of range, its entries run past the node, or bytes after the last entry are "
        "not zero",
        "a node's next link equals its previous link or names the node itself",
        "a node's next link is not a node number, or leads to a node met before",
        "a node's previous link does not name the node before it, or a child is missing from its level",
        "an entry's length does not fit its key",
        "an interior node names a child outside the file or met before, or does not lead to its neighbour's "
        "first child",
        "a node's level does not fit its place in the tree",
        "an entry's root number or length is wrong, or a search does not find an entry again",
        "a node of a tree, a walk or the free list cannot be read",
        "a node on the free list does not look free, or the free list loops or runs into a tree",
        "header values out of range",
        "entries out of order, pieces of a datum misnumbered, or a tree ends in the middle of a datum",
    };
    if (reason > -201 || reason < -214) return "reason " + std::to_string(reason) + " (unknown)";
    return std::string(kReasons[-201 - reason]) + " (reason " + std::to_string(reason) + ")";
}

void complain(const std::string& command, const std::string& file, const std::string& what) {
    std::string line = "kindex";
    if (!command.empty()) line += " " + command;
    line += ": ";
    if (!file.empty()) line += file + ": ";
    line += what;
    std::fprintf(stderr, "%s\n", line.c_str());
}

void complain_result(const std::string& command, const std::string& file, const std::string& what,
                     int32_t code, int32_t io_error) {
    std::string text = what + ": " + result_text(code);
    const std::string detail = io_error_text(io_error);
    if (!detail.empty()) text += " (" + detail + ")";
    complain(command, file, text);
}

}  // namespace kxtool
