/* A host program in C that sees only the public header: create, close,
 * reopen and close a file through the shared library. */
#include <stdio.h>
#include <string.h>

#include "kindex.h"

int main(int argc, char **argv) {
    const char *name = argc > 1 ? argv[1] : "c_client.kx";
    KXCB cb;
    memset(&cb, 0, sizeof cb);
    ciunlink(name);
    if (cipspsize(sizeof cb) != 0) { fprintf(stderr, "control block size differs\n"); return 1; }
    if (ccreate(&cb, name) != KX_OK) { fprintf(stderr, "ccreate: %d\n", cb.last_result); return 1; }
    if (mclose(&cb) != KX_OK) { fprintf(stderr, "mclose: %d\n", cb.last_result); return 1; }
    if (copen(&cb, name) != KX_OK) { fprintf(stderr, "copen: %d\n", cb.last_result); return 1; }
    if (cb.node_count != 3 || cb.main_height != 1) { fprintf(stderr, "unexpected header\n"); return 1; }
    if (mclose(&cb) != KX_OK) { fprintf(stderr, "mclose: %d\n", cb.last_result); return 1; }
    if (mclose(&cb) != KX_E_NOTOPEN) { fprintf(stderr, "second mclose\n"); return 1; }
    ciunlink(name);
    printf("c_client: ok\n");
    return 0;
}
