// Conversion of the older format and change of key types (being written).
#include "kindex.h"

extern "C" {

KX_API int32_t cconvert(const char*, const char*) { return -1; }
KX_API int32_t cchgndx(KXCB*, const KXROOTLIST*) { return -1; }
}
