// Check and salvage (being written).
#include "kindex.h"

extern "C" {

KX_API int32_t bcheck(KXCB*) { return -1; }
KX_API int32_t z_bcheck(KXCB*, KXCHECKFUNC) { return -1; }
KX_API int32_t ccheck(const char*, const char*) { return -1; }
KX_API int32_t z_ccheck(const char*, const char*, const KXROOTLIST*, KXCHECKFUNC) { return -1; }
}
