/*
 * kindex.h -- the public C interface of the kindex embedded database engine.
 *
 * An application keeps one control block (KXCB) per open file, passes it
 * first to every call and reads results back from it.  Every call returns a
 * result code: 0 for success, a negative KX_E... constant for failure, and
 * for the positioning calls a small positive number with a meaning of its
 * own.
 *
 * The control block is a packed record whose layout is part of the
 * interface: the host reads results straight out of it (record value after
 * cnextrec and cgetcnt, data total, last result, check reason) and fills the
 * parameter fields before calling the underscore forms.  Integers in it are
 * in the processor's native order; pointers are 8 bytes.  cipspsize() tells a
 * host whether its idea of the size matches the library's (2393 bytes).
 *
 * The library is single-threaded per process: the host calls it from one
 * thread at a time.  Several processes may share one file (open mode other
 * than 'E'); they coordinate through byte-range locks on the file itself.
 */
#ifndef KINDEX_H
#define KINDEX_H

#include <stdint.h>

#if defined(_WIN32)
#  if defined(KINDEX_BUILDING)
#    define KX_API __declspec(dllexport)
#  else
#    define KX_API __declspec(dllimport)
#  endif
#else
#  define KX_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Result codes ------------------------------------------------------ */
#define KX_OK                 0
#define KX_GREATER            2    /* cidfind: record found has a greater key */
#define KX_SMALLER            3    /* cidfind: record found has a smaller key */
#define KX_E_FAIL            (-1)  /* general failure, end of root, key present */
#define KX_E_ARG             (-2)  /* argument out of range, missing name */
#define KX_E_NOTOPEN         (-3)  /* control block not open */
#define KX_E_SEEK            (-4)  /* seek failed, no node number, counter 0 */
#define KX_E_NOTINDEX        (-5)  /* header signature wrong */
#define KX_E_WRITE           (-8)  /* write failed or short */
#define KX_E_READ            (-9)  /* read delivered fewer bytes than asked */
#define KX_E_BUILDSRC        (-10) /* rebuild/convert source cannot be opened */
#define KX_E_BUILDDST        (-11) /* rebuild/convert target cannot be created */
#define KX_E_PIECES          (-12) /* datum pieces not numbered 0,1,2,... */
#define KX_E_WALK            (-13) /* check: tree cannot be walked / entries moved */
#define KX_E_DLISTEND        (-14) /* dsetkey: end of list or unknown type */
#define KX_E_NOCURRENT       (-16) /* no current entry or record */
#define KX_E_NORECORD        (-18) /* record not in record tree / add failed */
#define KX_E_DLISTSUM        (-20) /* data list checksum or field index wrong */
#define KX_E_RECSUM          (-21) /* record checksum differs */
#define KX_E_FIELDTYPE       (-22) /* unknown field type letter */
#define KX_E_KEYTYPE         (-23) /* key type byte does not match the root */
#define KX_E_DUPBYTE         (-24) /* duplicates byte not 'D', 'U' or 'N' */
#define KX_E_LENGTH          (-25) /* length out of range */
#define KX_E_STRLEN          (-26) /* string too long for its entry or key */
#define KX_E_ROOTNUM         (-27) /* root number above 45 in a list */
#define KX_E_BUFSMALL        (-28) /* caller's buffer smaller than the data */
#define KX_E_EXISTS          (-29) /* bcreate: the file already exists */
#define KX_E_DAMAGED         (-30) /* damaged node or failed node check */
#define KX_E_FREELIST        (-31) /* free list gave a node above the high-water mark */
#define KX_E_BYTEORDER       (-32) /* byte-order choice or build mode not 1..3 */
#define KX_E_READONLY        (-33) /* file open read-only */
#define KX_E_NOMEM           (-34) /* out of memory */
#define KX_E_ROOTLIST        (-35) /* root list does not match the file */
#define KX_E_CHGNDX          (-36) /* cchgndx: root holds entries */
#define KX_E_SEGLIST         (-37) /* bad segment list */
#define KX_E_MARKER          (-40) /* write-in-progress marker set */
#define KX_E_TRANSMODE       (-41) /* transbeg with flush mode below 4 */
#define KX_E_BUILDSTOP       (-42) /* dbuild: callback stopped the copy */
#define KX_E_NEGNODE         (-43) /* negative node number */
#define KX_E_OPENSHARED      (-101) /* shared open failed, exclusive reopen too */
#define KX_E_SECTION         (-102) /* read or write section not started */
#define KX_E_LOCKED          (-104) /* held by another live process */
#define KX_E_HELDBYME        (-105) /* held by the caller (test calls) */
#define KX_E_NOTHELD         (-106) /* not held (test calls) */
#define KX_E_NOLOCK          (-107) /* caller lacks the key or record lock */
#define KX_E_NOSLOT          (-109) /* no free user slot, or gate queue full */
#define KX_E_GATE            (-110) /* gate could not be taken or handed over */
#define KX_E_LOGOWNER        (-111) /* log belongs to another live user slot */
#define KX_E_LOGPENDING      (-112) /* a transaction with records is pending */
#define KX_E_LOGEMPTY        (-113) /* the log exists but is empty */
#define KX_E_NOROLLBACK      (-114) /* nothing to roll back */
#define KX_E_BUILDPREP       (-115) /* rebuild target / unknown log record */

/* ---- Layout constants ------------------------------------------------- */
#define KX_CB_SIZE        2393  /* bytes of the control block's fields */
#define KX_NODE_SIZE      2048  /* bytes of one node in the file */
#define KX_HEADER_SIZE     558  /* bytes of the index file header */
#define KX_MAX_ROOT         50  /* roots are numbered 1..50 */
#define KX_USER_SLOTS      130  /* shared openers of one file at most */

#pragma pack(push, 1)

/* A segment of a compound key (key type 8); a list of them ends with a
 * descriptor whose key_type is 31. */
typedef struct KXSEGMENT {
    uint8_t key_type;      /* key type of the segment (0..20, not 8); 31 ends */
    int32_t field_index;   /* data list field the segment is taken from */
    uint8_t max_length;    /* largest string length; 0 means 242 */
    uint8_t descending;    /* non-zero: this segment sorts descending */
    uint8_t unused[8];
} KXSEGMENT;

/* One entry of a root list given to bcreate and bopen; a list ends with an
 * entry whose root is 0 and is never read past 50 entries. */
typedef struct KXROOTLIST {
    uint8_t root;          /* root number 1..45 */
    uint8_t root_type;     /* root type byte; its low 5 bits are the key type */
    KXSEGMENT *segments;   /* segment list for a compound key, else null */
} KXROOTLIST;

/* One field of a data list; a list ends with an entry whose type is 'E'. */
typedef struct KXDLIST {
    char     type;         /* field type letter: B D F H I L M S U X E */
    uint8_t  key_type;     /* key type of the key tree, 'S' (type 0) or 'N' */
    char     dups;         /* 'D' duplicates, 'U' unique, 'N' none */
    int16_t  length;       /* byte count ('B') or buffer size ('S') */
    uint8_t  root;         /* root number of the key tree, 0 when none */
    void    *var;          /* the caller's variable */
} KXDLIST;

/* The control block.  Field comments name the header byte they mirror. */
typedef struct KXCB {
    char      sig_v;                 /* 'V' */
    char      sig_a1;                /* 'A' */
    int32_t   root;                  /* root number parameter 1..50 */
    void     *key;                   /* key pointer parameter */
    uint32_t  recval;                /* record value parameter */
    void     *data;                  /* data buffer parameter (may be null) */
    int32_t   datalen;               /* data length parameter */
    char      state;                 /* 'O' open, 'C' closed */
    int32_t   datatotal;             /* full length of the datum found */
    int32_t   last_result;           /* result code of the last call */
    int32_t   io_error;              /* detail of the last failing file step */
    int32_t   deferred_error;        /* error returned at the end of the section */
    char      sig_l;                 /* 'L' */
    uint8_t   byte_order[4];         /* header +8: the integer 1 in file order */
    uint32_t  main_root;             /* header +12 */
    char      sig_i;                 /* 'I' */
    uint32_t  main_height;           /* header +28 */
    uint32_t  next_node;             /* header +36: high-water mark */
    uint32_t  next_record;           /* header +44 */
    uint32_t  node_count;            /* header +52 */
    uint32_t  free_head;             /* header +60: 0xFFFFFFFF when empty */
    uint32_t  free_records;          /* header +64 */
    uint32_t  record_count;          /* header +68 */
    int32_t   log_head;              /* header +550: -1 none */
    uint32_t  released_log_head;     /* header +554 */
    int32_t   custom_length;         /* header +72: 1..100, else 0 */
    uint8_t   custom[100];           /* header +92 */
    uint8_t   root_types[52];        /* header +192: entry r for root r */
    KXSEGMENT *segment_lists[52];    /* entry r: segment list of root r */
    uint8_t   slot_map[52];          /* header +248: entry r-1: tree slot of root r */
    uint8_t   slot_heights[50];      /* header +300: entry s-1: height of slot s */
    uint32_t  slot_roots[50];        /* header +350: entry s-1: root node of slot s */
    char      sig_d;                 /* 'D' */
    uint32_t  check_dlist;           /* data list check option (1 after open) */
    uint32_t  merge_on_delete;       /* merge-on-delete flag (0 after open) */
    uint32_t  reuse_records;         /* reuse option (1 after open) */
    uint32_t  lock_bypass;           /* record-lock bypass option */
    uint32_t  spare_word;
    int32_t   preset_record;         /* preset record number, -1 none */
    uint32_t  queued_gate;           /* queued-gate option */
    uint32_t  lazy_marker;           /* lazy-marker option */
    uint32_t  check_status;          /* stop field of check callbacks */
    uint32_t  native_callback_keys;  /* cnextrep hands native-order keys */
    uint8_t   spare[12];
    uint64_t  handle;                /* file or stream handle; all ones none */
    uint32_t  header_dirty;          /* header fields differ from the file */
    int32_t   compare_override;      /* 0, -1 in _cfirst, 1 in _clast */
    uint32_t  current_slot;          /* tree slot of the latest descent */
    char      sig_a2;                /* 'A' */
    uint32_t  piece;                 /* piece parameter */
    uint8_t   current_key[256];      /* key and first data bytes of the entry found */
    int32_t   cached_root;           /* root of the latest completed descent, -1 */
    uint32_t  descent_root;          /* root of the descent under way */
    uint32_t  search_path[22];       /* node numbers of the latest descent */
    uint8_t   search_path_spare;
    char      file_name[100];        /* not terminated when 100 bytes long */
    int32_t   flush_mode;            /* 0..4 */
    uint32_t  flush_needed;          /* file extended, not yet flushed */
    void     *record_buffer;
    uint32_t  record_buffer_size;
    uint8_t   record_tag;
    int32_t   current_record;        /* -1 none */
    int32_t   locked_record;         /* -1 none */
    uint32_t  change_counter;        /* header +0 as last read or produced */
    uint32_t  user_slot;             /* 0..129, 0xFFFFFFFF none */
    char      open_mode;             /* 'E' exclusive, else shared */
    uint8_t   access;                /* 1 read-only, 2 read/write */
    char      gate_state;            /* 'U' or 'L' */
    uint8_t   read_lock_level;       /* 1 none, 2 own byte, 3 write lock */
    uint8_t   read_depth;
    uint8_t   write_depth;
    uint32_t  marker_written;
    uint32_t  marker_present;
    uint32_t  nested_call;           /* library runs key calls of its own */
    uint32_t  key_byte_order;        /* byte order of the caller's key: 1 native */
    uint32_t  search_state[8];
    uint8_t   traversal_key[256];
    int32_t   check_position;
    int32_t   check_reason;          /* -201..-214 */
    int32_t   trans_mode;
    uint32_t  trans_first_node;
    int32_t   trans_current_node;
    void     *trans_append_pos;
    uint32_t  trans_section_node;
    void     *trans_section_pos;
    uint32_t  trans_serial;
    int16_t   record_sequence;
    struct KXCB *mirror;             /* mirror control block, null none */
    struct KXCB *image;              /* image control block, null none */
    uint32_t  before_images;         /* before-images written this section */
    uint32_t  before_images_flushed; /* the count at the image file's last flush */
    uint32_t  queue_start;           /* queued gate: start position */
    uint32_t  queue_pos;             /* queued gate: current position */
    char      sig_t;                 /* 'T' */
    uint8_t   root_locks[52];        /* 'L' key lock of root r held, else 'U' */
    void     *cursors[52];           /* root cursor of root r, null until used */
    char      sig_e;                 /* 'E' */
} KXCB;

#pragma pack(pop)

/* ---- Callback types --------------------------------------------------- */
/* cnextrep: called once per datum; return 0 to stop the walk. */
typedef int32_t (*KXREPFUNC)(KXCB *cb, int32_t root, void *data, int32_t length);
/* transroll: progress and each log record undone; non-zero stops. */
typedef int32_t (*KXROLLFUNC)(KXCB *cb, double progress, const void *record);
/* z_bbuild: called per node read from the damaged source. */
typedef int32_t (*KXBUILDFUNC)(KXCB *work, uint32_t counter, void *node, int32_t status);
/* dbuild: returns the data list to read the next record with, null stops. */
typedef KXDLIST *(*KXDBUILDFUNC)(KXCB *source, uint8_t tag, int32_t index);
/* z_bcheck / z_ccheck: progress; set cb->check_status to stop. */
typedef int32_t (*KXCHECKFUNC)(KXCB *cb, int32_t counter);

/* ---- Library start-up and the node buffer pool ------------------------- */
KX_API int32_t KINDEX_Init(void);
KX_API int32_t KINDEX_Shutdown(void);
/* Sets the number of 2048-byte node buffers of the process-wide pool (default
 * 100; 0 reads and writes nodes directly).  Refused with -1 while an open
 * file owns buffers.  A count above 2147483647 is rejected with -2 and the
 * pool is left as it was. */
KX_API int32_t cibufnum(uint32_t count);
KX_API int32_t endbcb(KXCB *scratch);
/* 0 when size equals the library's control block size (2393), else -1. */
KX_API int32_t cipspsize(uint32_t size);

/* ---- Index files ------------------------------------------------------- */
/* byte_order: 1 or 3 little-endian, 2 big-endian. */
KX_API int32_t bcreate(KXCB *cb, const char *name, char mode, int32_t byte_order,
                       const KXROOTLIST *roots);
KX_API int32_t ccreate(KXCB *cb, const char *name);
/* mode 'E' exclusive, any other letter shared ('D': others may only read);
 * access 1 read-only, 2 read/write. */
KX_API int32_t bopen(KXCB *cb, const char *name, char mode, int32_t access,
                     const KXROOTLIST *roots);
KX_API int32_t _bopen(KXCB *cb, const char *name, char mode, int32_t access);
KX_API int32_t copen(KXCB *cb, const char *name);
KX_API int32_t mclose(KXCB *cb);
KX_API int32_t imgopen(KXCB *cb, const char *name, char mode, int32_t access);
KX_API int32_t imgclose(KXCB *cb);
KX_API int32_t cflush(KXCB *cb);
KX_API int32_t csetfile(KXCB *cb, uint32_t flush_mode);
/* Deletes a plain file; non-zero when it was deleted. */
KX_API int32_t ciunlink(const char *name);

/* ---- Read and write sections ------------------------------------------- */
KX_API int32_t strtread(KXCB *cb);
KX_API int32_t endread(KXCB *cb);
KX_API int32_t strtwrit(KXCB *cb);
KX_API int32_t endwrit(KXCB *cb);
KX_API int32_t clrwrit(KXCB *cb);

/* ---- Keys -------------------------------------------------------------- */
/* Key types (low 5 bits of a root type byte): 0 string, 1 case-blind string,
 * 2 counted string, 3 int32 (wrapping difference), 4 int16, 5 int32, 6 float,
 * 7 double, 8 compound (segment list), 9 six raw bytes, 10 uint16, 16 and 17
 * five or six numeric fields, 18..20 counted strings. */
KX_API int32_t cikeylen(KXCB *cb, int32_t root, const void *key);
KX_API void cikeycpy(KXCB *cb, int32_t root, void *dst, const void *src);
KX_API int32_t cikeycmp(KXCB *cb, int32_t root, int32_t key_type, const void *first,
                        const void *second);

/* ---- Finding and walking entries -------------------------------------- */
/* Positioning results: 0 exact; 1 same key, another record value; 2 the next
 * greater key; KX_E_FAIL no entry of the root at or after the key.  After a
 * hit: cb->recval the record value, cb->datalen the bytes delivered,
 * cb->datatotal the datum's full length, cb->current_key its key. */
KX_API int32_t cfind(KXCB *cb, int32_t root, const void *key, uint32_t record, void *buffer,
                     int32_t length);
KX_API int32_t cfirst(KXCB *cb, int32_t root, void *buffer, int32_t length);
KX_API int32_t clast(KXCB *cb, int32_t root, void *buffer, int32_t length);
KX_API int32_t cgetcur(KXCB *cb, int32_t root, void *buffer, int32_t length);
KX_API int32_t cnext(KXCB *cb, int32_t root, void *buffer, int32_t length);
KX_API int32_t cprev(KXCB *cb, int32_t root, void *buffer, int32_t length);
/* Walks forward handing each datum to function; 0 when it stopped the walk,
 * KX_E_FAIL at the end of the root. */
KX_API int32_t cnextrep(KXCB *cb, int32_t root, void *buffer, int32_t length, KXREPFUNC function);
KX_API int32_t _cfind(KXCB *cb);
KX_API int32_t _cfirst(KXCB *cb);
KX_API int32_t _clast(KXCB *cb);
KX_API int32_t _cgetcur(KXCB *cb);
KX_API int32_t _cnext(KXCB *cb);
KX_API int32_t _cprev(KXCB *cb);
/* Root cursor accessors. */
KX_API void getcurkey(KXCB *cb, int32_t root, void *buffer);
KX_API uint32_t fgetrcval(KXCB *cb, int32_t root);
KX_API uint8_t fgetdbyte(KXCB *cb, int32_t root);
KX_API int32_t fgetndenum(KXCB *cb, int32_t root);

/* ---- Adding entries ---------------------------------------------------- */
/* A key must be shorter than 243 bytes; a payload of any length up to 128
 * full pieces of 244 - key length bytes is cut into pieces. */
KX_API int32_t cunqadd(KXCB *cb, int32_t root, const void *key, uint32_t record, const void *data,
                       int32_t length);
KX_API int32_t cdupadd(KXCB *cb, int32_t root, const void *key, uint32_t record, const void *data,
                       int32_t length);
KX_API int32_t _cunqadd(KXCB *cb);
KX_API int32_t _cdupadd(KXCB *cb);

/* ---- Deleting and changing entries ---------------------------------- */
/* cdelete removes the datum of (key, record value); cdelcur the datum under
 * the root's cursor (in shared mode the caller must hold the root's key
 * lock).  Set cb->merge_on_delete to 1 to free emptied nodes. */
KX_API int32_t cdelete(KXCB *cb, int32_t root, const void *key, uint32_t record);
KX_API int32_t cdelcur(KXCB *cb, int32_t root);
KX_API int32_t _cdelete(KXCB *cb);
KX_API int32_t _cdelcur(KXCB *cb);
/* Replace a datum's payload: under the cursor, of (key, record value), or
 * that one when it exists and a new datum otherwise (csave). */
KX_API int32_t cchgcur(KXCB *cb, int32_t root, const void *data, int32_t length);
KX_API int32_t cchange(KXCB *cb, int32_t root, const void *key, uint32_t record, const void *data,
                       int32_t length);
KX_API int32_t csave(KXCB *cb, int32_t root, const void *key, uint32_t record, const void *data,
                     int32_t length);
KX_API int32_t _cchgcur(KXCB *cb);
KX_API int32_t _cchange(KXCB *cb);
KX_API int32_t _csave(KXCB *cb);

/* ---- Locks and semaphores (shared files) ------------------------------ */
/* A semaphore is a counted name (first byte: the length of what follows) and
 * a 32-bit value, owned by a user slot (pass cb->user_slot).  Results: 0 done;
 * KX_E_LOCKED held by another live process; the test calls answer
 * KX_E_HELDBYME or KX_E_NOTHELD.  Entries of a process that died or closed the
 * file are stale and are taken over.  In exclusive mode nothing is stored. */
KX_API int32_t msetsema(KXCB *cb, const void *name, uint32_t value, uint16_t owner);
KX_API int32_t mclrsema(KXCB *cb, const void *name, uint32_t value, uint16_t owner);
KX_API int32_t mtstsema(KXCB *cb, const void *name, uint32_t value, uint16_t owner);
/* Key locks on the entry under a root's cursor; record locks on the current
 * record of a data file.  A positioning call on the root releases its lock. */
KX_API int32_t msetlock(KXCB *cb, int32_t root);
KX_API int32_t mtstlock(KXCB *cb, int32_t root);
KX_API int32_t mclrlock(KXCB *cb, int32_t root);
KX_API int32_t msetrec(KXCB *cb);
KX_API int32_t mtstrec(KXCB *cb);
KX_API int32_t mclrrec(KXCB *cb);

/* ---- Data files --------------------------------------------------------- */
/* A data file keeps records packed from a data list in root 49 and the keys
 * of their keyed fields in roots 1..45.  The record buffer (owned by the
 * caller, kept while the file is open) must hold the largest stored record. */
KX_API int32_t dbcreate(KXCB *cb, const char *name, void *record_buffer, uint32_t buffer_size, char mode,
                        int32_t byte_order, const KXROOTLIST *roots);
KX_API int32_t dbopen(KXCB *cb, const char *name, void *record_buffer, uint32_t buffer_size, char mode,
                      int32_t access, const KXROOTLIST *roots);
KX_API int32_t cidclose(KXCB *cb);
KX_API int32_t dmclose(KXCB *cb);
/* Adds a record (it becomes the current record), updates or deletes the
 * current record; a failed call leaves the file as it was. */
KX_API int32_t dadd(KXCB *cb, const KXDLIST *list);
KX_API int32_t dupdate(KXCB *cb, const KXDLIST *list);
KX_API int32_t ddelete(KXCB *cb, const KXDLIST *list);
/* Copies the current record into the list's variables. */
KX_API int32_t cidread(KXCB *cb, KXDLIST *list);
/* Finds by key: how 1 equal, 2 greater, 3 equal or greater (KX_GREATER when
 * greater), 4 less, 5 equal or less (KX_SMALLER when less).  key_type is the
 * field's key type byte ('S' for a string key, 'N' to skip the check). */
KX_API int32_t cidfind(KXCB *cb, int32_t root, const void *key, uint8_t key_type, int32_t how);
/* Steps through a root: how 1 next, 2 previous, 3 first, 4 last. */
KX_API int32_t dseq(KXCB *cb, int32_t root, int32_t how);
KX_API int32_t dgetid(KXCB *cb);
KX_API int32_t dgetcnt(KXCB *cb);

/* ---- Transactions, rollback and image backup -------------------------- */
/* A transaction groups the changes a control block makes between transbeg
 * and transend.  mode 1: undo log and mirror file, 2: mirror file only, 3:
 * undo log only (the mirror must then be null).  The flush mode must be 4
 * (csetfile) or transbeg answers KX_E_TRANSMODE.  The undo log lives in the
 * index file itself; a transaction left open by a process that stopped is
 * taken back with transroll. */
KX_API int32_t transbeg(KXCB *cb, int32_t mode, KXCB *mirror);
/* how 1 frees the log nodes, 2 keeps them (emptied) for the next
 * transaction, 3 links the whole chain, records and all, to the released-log
 * list of the header. */
KX_API int32_t transend(KXCB *cb, int32_t how);
/* Appends one log record of the given type; body points at the length byte
 * (0..255) followed by the body. */
KX_API int32_t translog(KXCB *cb, int32_t type, const void *body);
/* 0 no log; KX_E_LOGOWNER the log belongs to another live user slot;
 * KX_E_LOGPENDING a log with records is pending (to roll back);
 * KX_E_LOGEMPTY an empty log is kept. */
KX_API int32_t transtst(KXCB *cb);
/* Takes back the open transaction of cb, or one left pending in the file.
 * progress (may be null) is called per log record: first with -1.0 while the
 * log is counted, then with the share done while records are undone; a
 * non-zero answer stops the rollback with that code.  With new_mode non-zero
 * a new transaction (transbeg(cb, new_mode, mirror)) begins before the undo. */
KX_API int32_t transroll(KXCB *cb, KXROLLFUNC progress, int32_t new_mode, KXCB *mirror);
/* Attaches an image file (opened with imgopen) to cb: every outermost write
 * section then records the header and the previous contents of the nodes it
 * changes there, ahead of the changes. */
KX_API int32_t imageback(KXCB *cb, KXCB *image);
/* Puts the index file of cb back to its state before the write section the
 * image file recorded (call it with no image file attached to cb). */
KX_API int32_t imagerest(KXCB *cb, KXCB *image);

/* ---- Roots with trees of their own ------------------------------------ */
/* Gives root number root (1..50) a tree of its own in tree slot slot
 * (1..50), or lets it share the tree already in that slot. */
KX_API int32_t addroot(KXCB *cb, int32_t root, int32_t slot);
/* Frees every node of the tree root number root lives in and takes the root
 * back to the main tree. */
KX_API int32_t droproot(KXCB *cb, uint32_t root);

/* ---- Rebuild, check and conversion ------------------------------------ */
/* Reads every node slot of a damaged index file raw and inserts the entries
 * of every leaf it finds into a new file target (created; it must not
 * exist).  root_list (bcreate's format, may be null: roots 1..45 with the
 * source's key types) gives the new file's roots. */
KX_API int32_t cbuild(const char *source, const char *target, const KXROOTLIST *root_list);
/* The same into an index file the caller created and opened (target), which
 * it closes; the pending transaction log of the source is carried over so
 * that transroll can still undo it.  mode 1 or 3: the source is in native
 * byte order, 2: in the other order. */
KX_API int32_t bbuild(const char *source, KXCB *target, int32_t mode);
KX_API int32_t z_bbuild(const char *source, KXCB *target, int32_t mode, KXBUILDFUNC callback);
/* Copies every record of data file source into data file target, building
 * its keys from list, or from the list callback returns for each record
 * (either may be null, not both).  buffer holds one record. */
KX_API int32_t dbuild(KXCB *source, KXCB *target, void *buffer, int32_t size, const KXDLIST *list,
                      KXDBUILDFUNC callback);
/* Verifies an open index file without changing it: 0 sound; -1 a fault,
 * with cb->check_reason (-201..-214) and cb->check_position (the node). */
KX_API int32_t bcheck(KXCB *cb);
KX_API int32_t z_bcheck(KXCB *cb, KXCHECKFUNC callback);
/* Walks every tree of a closed index file and moves entries that are out of
 * order, and data whose pieces are incomplete, into a new salvage file:
 * 0 nothing was wrong, KX_E_WALK something was moved or could not be
 * walked. */
KX_API int32_t ccheck(const char *name, const char *salvage);
KX_API int32_t z_ccheck(const char *name, const char *salvage, const KXROOTLIST *root_list,
                        KXCHECKFUNC callback);
/* Turns an index file of the older format (1024-byte nodes) into a new
 * index file. */
KX_API int32_t cconvert(const char *old_name, const char *new_name);
/* Changes the key types (of empty roots only) and the segment lists of the
 * roots root_list names. */
KX_API int32_t cchgndx(KXCB *cb, const KXROOTLIST *root_list);

/* ---- Counters, custom data and record numbers ------------------------- */
/* cgetcnt leaves the record count in cb->recval. */
KX_API int32_t cgetcnt(KXCB *cb);
KX_API int32_t csetcnt(KXCB *cb, uint32_t count);
/* Copies up to size bytes of the custom data: cb->datalen = stored length,
 * cb->datatotal = bytes copied; -28 when the buffer is smaller. */
KX_API int32_t cgetcust(KXCB *cb, void *buffer, int32_t size);
/* length 0..100, else -2 and nothing changes. */
KX_API int32_t csetcust(KXCB *cb, const void *data, int32_t length);
KX_API int32_t csetrec(KXCB *cb, uint32_t next_record);
KX_API int32_t _csetrec(KXCB *cb);
/* Hands out the next record number in cb->recval. */
KX_API int32_t cnextrec(KXCB *cb);

/* ---- Data lists and records ------------------------------------------- */
/* A data list is an array of KXDLIST entries ended by one whose type is 'E'
 * (at most 1000 entries before it); the position of an entry is its field
 * index.  checkdlist returns the list's checksum: only the type letter, key
 * type byte, duplicates byte and root number of each entry count. */
KX_API int32_t checkdlist(const KXDLIST *list);
/* Builds in key (at least 243 bytes) the key of field index, in host byte
 * order; a negative index takes the first field whose root number is root.
 * With cb->check_dlist set the list is validated first (-22..-27).  -14 for
 * the end of the list or an unknown type letter, -26 for a string or byte
 * field that does not fit its entry or a key, -37 for a compound key whose
 * segment list cannot be built from the list, -2 for a null block, list or
 * key.  The key buffer is written only on success. */
KX_API int32_t dsetkey(KXCB *cb, uint8_t root, const KXDLIST *list, int32_t index, void *key);

#ifdef __cplusplus
}
#endif

#endif /* KINDEX_H */
