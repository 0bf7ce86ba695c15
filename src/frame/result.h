// Result codes shared by the whole library.  Every call returns one of these
// (0 success, negative failure, a few small positive values for positioning
// calls) and stores it in the control block's last result field.  The values
// are part of the public interface (see KX_E_... in kindex.h); this header
// gives them names for use inside the library.
#pragma once

#include <cstdint>

#include "kindex.h"

namespace kx::err {

constexpr int32_t Ok = KX_OK;
constexpr int32_t Fail = KX_E_FAIL;
constexpr int32_t Arg = KX_E_ARG;
constexpr int32_t NotOpen = KX_E_NOTOPEN;
constexpr int32_t Seek = KX_E_SEEK;
constexpr int32_t NotIndex = KX_E_NOTINDEX;
constexpr int32_t Write = KX_E_WRITE;
constexpr int32_t Read = KX_E_READ;
constexpr int32_t BuildSource = KX_E_BUILDSRC;
constexpr int32_t BuildTarget = KX_E_BUILDDST;
constexpr int32_t Pieces = KX_E_PIECES;
constexpr int32_t Walk = KX_E_WALK;
constexpr int32_t DlistEnd = KX_E_DLISTEND;
constexpr int32_t NoCurrent = KX_E_NOCURRENT;
constexpr int32_t NoRecord = KX_E_NORECORD;
constexpr int32_t DlistSum = KX_E_DLISTSUM;
constexpr int32_t RecordSum = KX_E_RECSUM;
constexpr int32_t FieldType = KX_E_FIELDTYPE;
constexpr int32_t KeyType = KX_E_KEYTYPE;
constexpr int32_t DupByte = KX_E_DUPBYTE;
constexpr int32_t Length = KX_E_LENGTH;
constexpr int32_t StringLength = KX_E_STRLEN;
constexpr int32_t RootNumber = KX_E_ROOTNUM;
constexpr int32_t BufferSmall = KX_E_BUFSMALL;
constexpr int32_t Exists = KX_E_EXISTS;
constexpr int32_t Damaged = KX_E_DAMAGED;
constexpr int32_t FreeList = KX_E_FREELIST;
constexpr int32_t ByteOrder = KX_E_BYTEORDER;
constexpr int32_t ReadOnly = KX_E_READONLY;
constexpr int32_t NoMemory = KX_E_NOMEM;
constexpr int32_t RootList = KX_E_ROOTLIST;
constexpr int32_t ChangeIndex = KX_E_CHGNDX;
constexpr int32_t SegmentList = KX_E_SEGLIST;
constexpr int32_t Marker = KX_E_MARKER;
constexpr int32_t TransMode = KX_E_TRANSMODE;
constexpr int32_t BuildStopped = KX_E_BUILDSTOP;
constexpr int32_t NegativeNode = KX_E_NEGNODE;
constexpr int32_t OpenShared = KX_E_OPENSHARED;
constexpr int32_t Section = KX_E_SECTION;
constexpr int32_t Locked = KX_E_LOCKED;
constexpr int32_t HeldByMe = KX_E_HELDBYME;
constexpr int32_t NotHeld = KX_E_NOTHELD;
constexpr int32_t NoLock = KX_E_NOLOCK;
constexpr int32_t NoSlot = KX_E_NOSLOT;
constexpr int32_t Gate = KX_E_GATE;
constexpr int32_t LogOwner = KX_E_LOGOWNER;
constexpr int32_t LogPending = KX_E_LOGPENDING;
constexpr int32_t LogEmpty = KX_E_LOGEMPTY;
constexpr int32_t NoRollback = KX_E_NOROLLBACK;
constexpr int32_t BuildPrepare = KX_E_BUILDPREP;

}  // namespace kx::err
