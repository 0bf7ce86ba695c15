#include "txlog/nodeput.h"

#include <cstdlib>

#include "frame/byteorder.h"
#include "frame/control_block.h"
#include "frame/result.h"
#include "indexfile/header.h"
#include "multiuser/sections.h"
#include "storage/file.h"
#include "txlog/image.h"
#include "txlog/txlog.h"

namespace kx {

int32_t write_slot(KXCB* cb, const uint8_t* image, uint32_t n) {
    if (static_cast<int32_t>(n) < 0) return err::NegativeNode;
#ifdef KINDEX_SELF_CHECK
    // At flush mode 4 (every section writes its changes back at its end)
    // every node that existed when the section began has its before-image,
    // or was found to need none, before the file's copy is overwritten.
    if (cb->image != nullptr && cb->flush_mode == 4 && cb->write_depth > 0 && image_wanted(cb, n)) std::abort();
#endif
    // Before-images of this section reach stable storage before any node
    // they protect is overwritten.
    int32_t rc = image_ahead_of(cb, n);
    if (rc == 0) rc = markset(cb);
    if (rc != 0) return rc;
    if (storage::seek(cb, n, NodeSize, NodeBase) != 0) return err::Seek;
    return storage::write(cb, image, NodeSize);
}

int32_t nodeput(KXCB* cb, const uint8_t* image, uint32_t n) {
    const int32_t rc = write_slot(cb, image, n);
    if (rc == 0 && (cb->trans_mode == 1 || cb->trans_mode == 2)) {
        const auto kind = static_cast<int16_t>(get16(image + 12, order_flag(cb)));
        if (kind != lognode::HeadKind && kind != lognode::ContinuationKind) tx_node_written(cb, n);
    }
    return rc;
}

}  // namespace kx
