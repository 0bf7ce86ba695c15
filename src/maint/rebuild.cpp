// Rebuild of damaged index and data files (being written).
#include "kindex.h"

extern "C" {

KX_API int32_t cbuild(const char*, const char*, const KXROOTLIST*) { return -1; }
KX_API int32_t bbuild(const char*, KXCB*, int32_t) { return -1; }
KX_API int32_t z_bbuild(const char*, KXCB*, int32_t, KXBUILDFUNC) { return -1; }
KX_API int32_t dbuild(KXCB*, KXCB*, void*, int32_t, const KXDLIST*, KXDBUILDFUNC) { return -1; }
}
