/*
 * kxutil -- the host utility library's structured-storage calls, as kindex
 * uses them, in a small stand-in of our own.
 *
 * A "stream" here is a plain file kept in a container folder: the stream
 * named by a path is the file <container>/<BASENAME> with the base name in
 * upper case (stream names are case-blind).  The container is the folder set
 * with KXStorage_SetContainer, or else a folder "kxstore" beside the named
 * file.  Structured storage is off until KXStorage_SetStructuredStorage(1).
 *
 * What kindex relies on: open and create return a non-zero handle on success
 * and 0 on failure; seek, read and write return 0 on success and deliver the
 * new position or count through the pointer; commit and close return
 * nothing.  Flags: 0x2 read/write, 0x10 share exclusive (a second open of an
 * open stream fails), 0x1000 create (replaces an existing stream).
 */
#ifndef KXUTIL_H
#define KXUTIL_H

#include <stdint.h>

#define KXUTIL_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

KXUTIL_API int32_t KXStorage_UseStructuredStorage(void *cb);
KXUTIL_API uint64_t KXStorage_StreamOpen(const char *name, uint32_t flags);
KXUTIL_API uint64_t KXStorage_StreamCreate(const char *name, uint32_t flags);
KXUTIL_API int32_t KXStorage_StreamSeek(uint64_t stream, int32_t origin, int64_t offset,
                                        uint64_t *new_position);
KXUTIL_API int32_t KXStorage_StreamRead(uint64_t stream, void *buffer, uint32_t count,
                                        uint32_t *done);
KXUTIL_API int32_t KXStorage_StreamWrite(uint64_t stream, const void *buffer, uint32_t count,
                                         uint32_t *done);
KXUTIL_API void KXStorage_StreamCommit(uint64_t stream);
KXUTIL_API void KXStorage_StreamClose(uint64_t stream);

/* Controls of the stand-in itself. */
KXUTIL_API void KXStorage_SetStructuredStorage(int32_t on);
KXUTIL_API void KXStorage_SetContainer(const char *folder);
/* The plain file that holds the stream a name selects (for tests). */
KXUTIL_API int32_t KXStorage_StreamPath(const char *name, char *out, uint32_t size);

#ifdef __cplusplus
}
#endif

#endif
