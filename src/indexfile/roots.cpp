// Adding and dropping roots' trees (being written).
#include "kindex.h"

extern "C" {

KX_API int32_t addroot(KXCB*, int32_t, int32_t) { return -1; }
KX_API int32_t droproot(KXCB*, uint32_t) { return -1; }
}
