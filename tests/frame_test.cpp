// Control block signature, layout size and byte-order conversion.
#include <cmath>
#include <cstring>

#include "frame/byteorder.h"
#include "frame/control_block.h"
#include "support/testing.h"

using kxtest::Block;

TEST(ControlBlock, LayoutSizeIsAskedOf) {
    EXPECT_EQ(cipspsize(2393), 0);
    EXPECT_EQ(cipspsize(2392), -1);
    EXPECT_EQ(cipspsize(2394), -1);
    EXPECT_EQ(cipspsize(0), -1);
}

TEST(ControlBlock, SignatureAndState) {
    Block b;
    EXPECT_EQ(kx::cbcheck(b.get()), 'I');
    kx::cbmark(b.get(), 'C');
    EXPECT_EQ(kx::cbcheck(b.get()), 'C');
    kx::cbmark(b.get(), 'O');
    EXPECT_EQ(kx::cbcheck(b.get()), 'O');
    // Each signature letter on its own spoils the block.
    char KXCB::*letters[] = {&KXCB::sig_v, &KXCB::sig_a1, &KXCB::sig_l, &KXCB::sig_i,
                             &KXCB::sig_d, &KXCB::sig_a2, &KXCB::sig_t, &KXCB::sig_e};
    for (auto letter : letters) {
        Block c;
        kx::cbmark(c.get(), 'O');
        c.cb.*letter = 'x';
        EXPECT_EQ(kx::cbcheck(c.get()), 'I');
    }
    b->state = 'X';
    EXPECT_EQ(kx::cbcheck(b.get()), 'I');
    EXPECT_EQ(kx::cbcheck(nullptr), 'I');
}

TEST(ByteOrder, FlagOneLeavesValuesAlone) {
    EXPECT_EQ(kx::swap16(0x1234, 1), 0x1234u);
    EXPECT_EQ(kx::swap32(0x12345678, 1), 0x12345678u);
    EXPECT_EQ(kx::swapflt(1.5f, 1), 1.5f);
    EXPECT_EQ(kx::swapdbl(-2.25, 1), -2.25);
}

TEST(ByteOrder, AnyOtherFlagReverses) {
    for (uint8_t flag : {0, 2, 255}) {
        EXPECT_EQ(kx::swap16(0x1234, flag), 0x3412u) << int(flag);
        EXPECT_EQ(kx::swap32(0x12345678, flag), 0x78563412u) << int(flag);
        const double d = kx::swapdbl(std::bit_cast<double>(0x0102030405060708ull), flag);
        EXPECT_EQ(std::bit_cast<uint64_t>(d), 0x0807060504030201ull);
        const float f = kx::swapflt(std::bit_cast<float>(0x01020304u), flag);
        EXPECT_EQ(std::bit_cast<uint32_t>(f), 0x04030201u);
        // Its own inverse.
        EXPECT_EQ(kx::swap32(kx::swap32(0xCAFEBABE, flag), flag), 0xCAFEBABEu);
    }
}

TEST(ByteOrder, NodeHeaderFieldsOnly) {
    uint8_t node[2048];
    for (int i = 0; i < 2048; ++i) node[i] = static_cast<uint8_t>(i * 7);
    uint8_t orig[2048];
    std::memcpy(orig, node, sizeof node);
    kx::nodeto(node, 0);
    for (int off : {0, 4, 8})
        for (int k = 0; k < 4; ++k) EXPECT_EQ(node[off + k], orig[off + 3 - k]);
    for (int off : {12, 14, 16}) {
        EXPECT_EQ(node[off], orig[off + 1]);
        EXPECT_EQ(node[off + 1], orig[off]);
    }
    EXPECT_EQ(0, std::memcmp(node + 18, orig + 18, 2048 - 18)) << "entries must not be converted";
    kx::nodefrom(node, 0);
    EXPECT_EQ(0, std::memcmp(node, orig, sizeof node));
}

TEST(ByteOrder, HeaderConvertsWordsButNotTables) {
    uint8_t h[558];
    for (int i = 0; i < 558; ++i) h[i] = static_cast<uint8_t>(i * 13 + 1);
    uint8_t orig[558];
    std::memcpy(orig, h, sizeof h);
    kx::hdrto(h, 0);
    auto reversed = [&](int off) {
        for (int k = 0; k < 4; ++k)
            if (h[off + k] != orig[off + 3 - k]) return false;
        return true;
    };
    for (int off = 0; off <= 4; off += 4) EXPECT_TRUE(reversed(off)) << off;
    for (int off = 12; off <= 72; off += 4) EXPECT_TRUE(reversed(off)) << off;
    for (int off = 350; off < 550; off += 4) EXPECT_TRUE(reversed(off)) << off;
    EXPECT_TRUE(reversed(550));
    EXPECT_TRUE(reversed(554));
    // Byte-order word, reserved words and all byte tables stay.
    EXPECT_EQ(0, std::memcmp(h + 8, orig + 8, 4));
    EXPECT_EQ(0, std::memcmp(h + 76, orig + 76, 350 - 76));
    kx::hdrfrom(h, 0);
    EXPECT_EQ(0, std::memcmp(h, orig, sizeof h));
}
