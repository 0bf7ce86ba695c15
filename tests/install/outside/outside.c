/* A program from outside the kindex tree, built against the installed
 * package: it creates a big-endian file, adds, finds and walks entries,
 * reopens the file read-only and walks it again. */
#include <stdio.h>
#include <string.h>

#include "kindex.h"

static int count_entries(KXCB *cb) {
    char buf[16];
    int n = 0;
    for (int32_t rc = cfirst(cb, 1, buf, sizeof buf); rc == KX_OK; rc = cnext(cb, 1, buf, sizeof buf)) ++n;
    return n;
}

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: outside FILE\n");
        return 2;
    }
    KXCB cb;
    memset(&cb, 0, sizeof cb);
    if (cipspsize(sizeof cb) != 0) return 3;
    ciunlink(argv[1]);
    KXROOTLIST roots[] = {{1, 5, NULL}, {0, 0, NULL}};
    if (bcreate(&cb, argv[1], 'E', 2, roots) != KX_OK) {
        fprintf(stderr, "bcreate: %d\n", (int)cb.last_result);
        return 1;
    }
    for (int32_t k = 1; k <= 200; ++k)
        if (cdupadd(&cb, 1, &k, (uint32_t)k * 3, "payload", 7) != KX_OK) return 4;
    int32_t want = 50;
    char buf[16];
    /* 1: the key is there with another record value. */
    if (cfind(&cb, 1, &want, 0, buf, sizeof buf) != 1 || cb.recval != 150 || cb.datalen != 7 ||
        memcmp(buf, "payload", 7) != 0)
        return 5;
    if (count_entries(&cb) != 200 || mclose(&cb) != KX_OK) return 6;
    if (bopen(&cb, argv[1], 'E', 1, roots) != KX_OK || count_entries(&cb) != 200 || mclose(&cb) != KX_OK) return 7;
    ciunlink(argv[1]);
    KINDEX_Shutdown();
    printf("outside: ok\n");
    return 0;
}
