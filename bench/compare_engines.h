// The three engines of compare_bench.  Each benchmark function runs inside a
// process of its own (so that its peak memory is its own), does the whole
// case against files in p.dir, checks what it read back, reports its phases
// to the sink and returns 0; on failure it prints why and returns non-zero.
//
// Phase names shared by the engines (the table rows pair them):
//   core:      seq_insert, rand_insert, rand_find, scan (peers),
//              scan_next and scan_rep (kindex), seq_close, rand_close
//   delete:    delete, change
//   durable:   durable_insert
//   records:   add, find_read, find_name
//   multiproc: worker (one per worker process), add (all of them)
#pragma once

#include <string>

#include "compare_common.h"

namespace kxb {

using BenchFn = int (*)(const Params&, Sink&);

struct Engine {
    const char* name;   // command-line name
    const char* label;  // column heading
    BenchFn core;
    BenchFn del;
    BenchFn durable;
    BenchFn records;
    // Multi-process records: create the shared file, add records from one of
    // several processes (p.file, p.index, p.count), count them afterwards,
    // delete the file.  Null when the engine takes no part.
    int (*mp_setup)(const std::string& path);
    BenchFn mp_worker;
    long (*mp_count)(const std::string& path);
    void (*remove)(const std::string& path);
    const char* extension;
};

extern const Engine kKindex;
#ifdef KXB_HAVE_SQLITE
extern const Engine kSqlite;
#endif
#ifdef KXB_HAVE_LMDB
extern const Engine kLmdb;
#endif

// Ready/go handshake of the multi-process workers: a worker opens the file,
// calls worker_ready (prints "ready" and waits until its standard input is
// closed), then adds.
void worker_ready();

}  // namespace kxb
