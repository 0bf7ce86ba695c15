// Check and order repair of index files.
//
// bcheck (z_bcheck with a progress callback) verifies an open index file and
// changes nothing: it stops at the first fault and leaves a reason code in
// the check reason field and the node concerned in the check position (-1
// when no node is concerned); bcheck then returns -1.  On a sound file the
// reason is 0 and the position -1.
//
//   reason  fault
//   -201    a tree's root node cannot be read; its level is not the tree's
//           height minus one; it has a neighbour; or it belongs to another
//           tree already checked
//   -202    a node's free bytes lie outside 0..2030, or do not match the
//           bytes its entries take
//   -203    a node's entry count lies outside 0..290, an entry runs past the
//           end of the node, or a byte after the last entry is not zero
//   -204    a node's next link equals its previous link (not -1), or names
//           the node itself
//   -205    a node's next link is below -1, or leads to a node met before
//           (the level loops, or runs into another tree or level)
//   -206    a node's previous link is below -1, or does not name the node
//           whose next link leads to it (-1 for the first node of a level);
//           a child that the level above names is not on its level's chain;
//           or, when a leaf's last entry is searched for again, a node met at
//           some level is not the right neighbour of the node met at that
//           level for the previous leaf
//   -207    an entry's length does not fit its key: a leaf entry shorter
//           than its key plus 6 bytes, an interior entry other than its key
//           plus 10 bytes (the key's type decides its length)
//   -208    an interior node's child (its leftmost child or an entry's) is
//           not below the next new node, or was met before; or an interior
//           node with a right neighbour does not end with an entry whose
//           child is that neighbour's leftmost child
//   -209    a node's level is not the one its place calls for: a child one
//           below its parent, a node along a level's links that level
//   -210    an entry's root number lies outside 1..50, its length byte is
//           below 6, or its root lives in another tree; or the search for a
//           leaf entry does not end on that very entry
//   -211    a node cannot be read (a read failure, or a node number not below
//           the next new node): a node of a level reached by a next link, a
//           node of a search, a free-list node
//   -212    a free-list node that does not look free (level -1, leftmost child
//           and previous link -1, no entries, 2030 free bytes), or that was
//           met before (the list loops, or runs into a tree)
//   -213    header values out of range: main tree height 20 or more, free-list
//           head below -1, custom data length outside 0..100, next new node
//           above the node count, the checked tree's root node not below the
//           next new node, a tree slot map entry other than 0 or a slot 1..50
//           whose height is 1..19 and whose root node is not 0 and lies below
//           the next new node
//   -214    entries out of order within a node, along a level, or against
//           the previous leaf's last entry; the pieces of a datum not
//           numbered 0, 1, 2, ... with bit 7 on the last; a tree that ends
//           inside a datum (the node is the leaf holding its last entry)
//
// Entry order, as both checks test it: an entry follows the one before it
// when it is higher by root number, key and record value and the one before
// ends its datum (piece byte bit 7) while this one starts a datum (piece
// number 0); or when the three are equal, the one before does not end its
// datum and this one's piece number is the next.  The first entry of a tree
// must start a datum, and the last must end one.
//
// The check walks each tree (the main tree, then every tree slot whose root
// node is not 0) level by level from the root, each level from its leftmost
// node along the next links: every node is node-tested and its links, level
// and order compared with its neighbours', and every child a level names
// must be met on the level below; along the leaf level every entry is
// searched for again from the root, as the engine's searches descend, and
// must be found in its own leaf; last the free list.  Every walk of links is
// bounded: a node met twice is a fault.
//
// bcheck runs in a read section of the control block.  That keeps every
// other process's writes out for its whole length (a writer waits for every
// reader's read-lock byte), lets other readers go on, and writes nothing: a
// write section would raise the change counter, write the header, append
// section records to an open transaction's log and give an attached image
// file a new section start, which would take away the restore point of the
// section the image file recorded before.  It works on a read-only open as
// on any other.
//
// ccheck (z_ccheck with a root list and a callback) opens a closed file
// exclusively and walks the leaf level of every tree (the main tree, then
// every slot whose root node is not 0): an entry that does not follow the
// last accepted one, or whose root lives in another tree, is taken out of its
// leaf; when the datum accepted last is left incomplete by an entry that does
// not follow, all its pieces are taken out and that entry is tested again
// against the entry before the datum; a tree that ends inside a datum loses
// that datum.  What is taken out goes into the salvage file (a new index file
// with the examined file's byte order, root types and segment lists) with
// its bytes unchanged; without a salvage file it is dropped.  The salvage file
// holds one entry per root, key, record value and piece number: an entry
// whose place there another entry of different bytes took first stays in the
// examined file for a later ccheck, so that neither is lost.  Keys of a
// compound root given no segment list have no order ccheck can know: two of
// them are only told apart as equal bytes or not, and unequal keys are taken
// to be in order.  A tree whose walk meets a node that cannot be read, a link
// out of range or back to a leaf already walked, a next leaf that is no leaf
// or whose previous link does not name the leaf it was reached from, or a
// leaf whose entries cannot be laid out, is left as it is from there on and
// counted as one that cannot be walked.  ccheck examines nothing else: a
// fault elsewhere (interior nodes beyond the leftmost path, the free list,
// the header's counts) is bcheck's to report.
#pragma once

#include <cstdint>

namespace kx::reason {

constexpr int32_t RootNode = -201;
constexpr int32_t FreeBytes = -202;
constexpr int32_t Layout = -203;
constexpr int32_t NextEqualsPrevious = -204;
constexpr int32_t NextLink = -205;
constexpr int32_t PreviousLink = -206;
constexpr int32_t EntryLength = -207;
constexpr int32_t Child = -208;
constexpr int32_t ChildLevel = -209;
constexpr int32_t EntryRoot = -210;
constexpr int32_t Unreadable = -211;
constexpr int32_t NotFree = -212;
constexpr int32_t Header = -213;
constexpr int32_t Order = -214;

}  // namespace kx::reason
