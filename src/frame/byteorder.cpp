#include "frame/byteorder.h"

namespace kx {

namespace {

void convert_node_header(uint8_t* node, uint8_t flag) {
    if (flag == 1) return;
    flip32(node + 0, flag);
    flip32(node + 4, flag);
    flip32(node + 8, flag);
    flip16(node + 12, flag);
    flip16(node + 14, flag);
    flip16(node + 16, flag);
}

void convert_header(uint8_t* h, uint8_t flag) {
    if (flag == 1) return;
    flip32(h + 0, flag);
    flip32(h + 4, flag);
    for (int off = 12; off <= 72; off += 4) flip32(h + off, flag);
    for (int off = 350; off < 550; off += 4) flip32(h + off, flag);
    flip32(h + 550, flag);
    flip32(h + 554, flag);
}

}  // namespace

void nodefrom(uint8_t* node, uint8_t flag) { convert_node_header(node, flag); }
void nodeto(uint8_t* node, uint8_t flag) { convert_node_header(node, flag); }
void hdrfrom(uint8_t* header, uint8_t flag) { convert_header(header, flag); }
void hdrto(uint8_t* header, uint8_t flag) { convert_header(header, flag); }

}  // namespace kx
