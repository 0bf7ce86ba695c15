#include "frame/control_block.h"

namespace kx {

char cbcheck(const KXCB* cb) {
    if (cb == nullptr) return 'I';
    if (cb->sig_v != 'V' || cb->sig_a1 != 'A' || cb->sig_l != 'L' || cb->sig_i != 'I' ||
        cb->sig_d != 'D' || cb->sig_a2 != 'A' || cb->sig_t != 'T' || cb->sig_e != 'E')
        return 'I';
    if (cb->state != 'O' && cb->state != 'C') return 'I';
    return cb->state;
}

void cbmark(KXCB* cb, char state) {
    cb->sig_v = 'V';
    cb->sig_a1 = 'A';
    cb->sig_l = 'L';
    cb->sig_i = 'I';
    cb->sig_d = 'D';
    cb->sig_a2 = 'A';
    cb->sig_t = 'T';
    cb->sig_e = 'E';
    cb->state = state;
}

}  // namespace kx

extern "C" KX_API int32_t cipspsize(uint32_t size) { return size == KX_CB_SIZE ? 0 : -1; }
