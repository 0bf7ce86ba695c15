#include "txlog/nodeput.h"

#include "frame/result.h"
#include "indexfile/header.h"
#include "multiuser/sections.h"
#include "storage/file.h"

namespace kx {

int32_t nodeput(KXCB* cb, const uint8_t* image, uint32_t n) {
    if (static_cast<int32_t>(n) < 0) return err::NegativeNode;
    int32_t rc = markset(cb);
    if (rc != 0) return rc;
    if (storage::seek(cb, n, NodeSize, NodeBase) != 0) return err::Seek;
    rc = storage::write(cb, image, NodeSize);
    return rc;
}

}  // namespace kx
