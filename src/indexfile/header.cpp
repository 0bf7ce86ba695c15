#include "indexfile/header.h"

#include <cstring>

#include "frame/byteorder.h"
#include "frame/control_block.h"
#include "frame/result.h"
#include "multiuser/sections.h"
#include "storage/file.h"
#include "txlog/image.h"

namespace kx {

int32_t& last_io_error() {
    static int32_t value = 0;
    return value;
}

void build_header(const KXCB* cb, uint8_t* h) {
    std::memset(h, 0, HeaderSize);
    store<uint32_t>(h + hdr::ChangeCounter, cb->change_counter);
    for (const auto& s : hdr::Signatures) store<uint32_t>(h + s.offset, s.letter);
    std::memcpy(h + hdr::ByteOrder, cb->byte_order, 4);
    store<uint32_t>(h + hdr::MainRoot, cb->main_root);
    store<uint32_t>(h + hdr::MainHeight, cb->main_height);
    store<uint32_t>(h + hdr::NextNode, cb->next_node);
    store<uint32_t>(h + hdr::NextRecord, cb->next_record);
    store<uint32_t>(h + hdr::NodeCount, cb->node_count);
    store<uint32_t>(h + hdr::FreeHead, cb->free_head);
    store<uint32_t>(h + hdr::FreeRecords, cb->free_records);
    store<uint32_t>(h + hdr::RecordCount, cb->record_count);
    const int32_t len = cb->custom_length;
    if (len >= 1 && len <= 100) {
        store<int32_t>(h + hdr::CustomLength, len);
        std::memcpy(h + hdr::Custom, cb->custom, static_cast<size_t>(len));
    }
    std::memcpy(h + hdr::RootTypes, cb->root_types, 52);
    std::memcpy(h + hdr::SlotMap, cb->slot_map, 52);
    std::memcpy(h + hdr::SlotHeights, cb->slot_heights, 50);
    for (int s = 0; s < 50; ++s) store<uint32_t>(h + hdr::SlotRoots + 4 * s, cb->slot_roots[s]);
    store<int32_t>(h + hdr::LogHead, cb->log_head);
    store<uint32_t>(h + hdr::ReleasedLogHead, cb->released_log_head);
}

void load_header(KXCB* cb, const uint8_t* h) {
    cb->change_counter = load<uint32_t>(h + hdr::ChangeCounter);
    std::memcpy(cb->byte_order, h + hdr::ByteOrder, 4);
    cb->main_root = load<uint32_t>(h + hdr::MainRoot);
    cb->main_height = load<uint32_t>(h + hdr::MainHeight);
    cb->next_node = load<uint32_t>(h + hdr::NextNode);
    cb->next_record = load<uint32_t>(h + hdr::NextRecord);
    cb->node_count = load<uint32_t>(h + hdr::NodeCount);
    cb->free_head = load<uint32_t>(h + hdr::FreeHead);
    cb->free_records = load<uint32_t>(h + hdr::FreeRecords);
    cb->record_count = load<uint32_t>(h + hdr::RecordCount);
    cb->log_head = load<int32_t>(h + hdr::LogHead);
    cb->released_log_head = load<uint32_t>(h + hdr::ReleasedLogHead);
    const int32_t len = load<int32_t>(h + hdr::CustomLength);
    if (len >= 1 && len <= 100) {
        cb->custom_length = len;
        std::memcpy(cb->custom, h + hdr::Custom, static_cast<size_t>(len));
    } else {
        cb->custom_length = 0;
    }
    std::memcpy(cb->root_types, h + hdr::RootTypes, 52);
    std::memcpy(cb->slot_map, h + hdr::SlotMap, 52);
    std::memcpy(cb->slot_heights, h + hdr::SlotHeights, 50);
    for (int s = 0; s < 50; ++s) cb->slot_roots[s] = load<uint32_t>(h + hdr::SlotRoots + 4 * s);
    cb->header_dirty = 0;
}

int32_t read_header(KXCB* cb) {
    uint8_t h[HeaderSize];
    int32_t rc = storage::seek(cb, 0, 0, 0);
    if (rc == 0) rc = storage::read(cb, h, HeaderSize);
    if (rc == 0) {
        hdrfrom(h, h[hdr::ByteOrder]);
        for (const auto& s : hdr::Signatures)
            if (load<uint32_t>(h + s.offset) != s.letter) rc = err::NotIndex;
    }
    if (rc == 0) load_header(cb, h);
    last_io_error() = rc;
    return rc;
}

int32_t hdrwrite(KXCB* cb) {
    // The image file's header and records reach stable storage before the
    // header they protect is overwritten.
    int32_t rc = image_ahead(cb);
    if (rc == 0) rc = markset(cb);
    if (rc != 0) return rc;
    if (cb->change_counter == 0) cb->change_counter = 1;
    uint8_t h[HeaderSize];
    build_header(cb, h);
    hdrto(h, order_flag(cb));
    if (storage::seek(cb, 0, 0, 0) != 0) return err::Seek;
    rc = storage::write(cb, h, HeaderSize);
    if (rc == 0) cb->header_dirty = 0;
    return rc;
}

}  // namespace kx
