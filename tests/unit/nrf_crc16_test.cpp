// nrf_crc16 and the plug-in contract, called in the built module over real host buffers.
#include <dlfcn.h>

#include <cstring>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include <epan/epan.h>
#include <epan/exceptions.h>
#include <epan/tvbuff.h>

#include "nrf24_tvb.h"

namespace {

using nrf24_test::Frame;
using CrcFn = guint16 (*)(tvbuff_t *, guint16);

// The built module, opened the way the host opens it: its epan references
// resolve against the libwireshark this program links.
void *Module()
{
    static void *handle = dlopen(NRF24_MODULE, RTLD_NOW | RTLD_LOCAL);
    return handle;
}

template <typename T> T Symbol(const char *name)
{
    return reinterpret_cast<T>(dlsym(Module(), name));
}

// The catalogued definition, written from the bits up: shift register, MSB first.
guint16 ReferenceCrc(const std::vector<guint8> &bytes, unsigned len_bits)
{
    if (len_bits == 0 || len_bits > 8 * bytes.size())
        return 0xFFFF;
    unsigned crc = 0xFFFF;
    for (unsigned b = 0; b < len_bits; b++) {
        unsigned in = (bytes[b / 8] >> (7 - b % 8)) & 1;
        unsigned top = (crc >> 15) & 1;
        crc = (crc << 1) & 0xFFFF;
        if (top ^ in)
            crc ^= 0x1021;
    }
    return static_cast<guint16>(crc);
}

// Calls nrf_crc16 inside the host's TRY; reports whether a bounds exception came.
bool CrcRaises(tvbuff_t *tvb, guint16 len_bits, guint16 *crc)
{
    static CrcFn nrf_crc16 = Symbol<CrcFn>("nrf_crc16");
    volatile bool raised = false;
    TRY {
        *crc = nrf_crc16(tvb, len_bits);
    }
    CATCH_BOUNDS_ERRORS {
        raised = true;
    }
    ENDTRY;
    return raised;
}

guint16 Crc(const std::vector<guint8> &bytes, guint16 len_bits)
{
    Frame frame(bytes);
    guint16 crc = 0;
    EXPECT_FALSE(CrcRaises(frame.tvb(), len_bits, &crc)) << "len_bits " << len_bits;
    return crc;
}

std::vector<guint8> Digits() { return {'1', '2', '3', '4', '5', '6', '7', '8', '9'}; }

TEST(PluginContract, ExportsVersionOfTheHostItWasBuiltFor)
{
    ASSERT_NE(Module(), nullptr) << dlerror();
    int major = 0, minor = 0, micro = 0;
    epan_get_version_number(&major, &minor, &micro);
    EXPECT_STREQ(Symbol<const char *>("plugin_version"), "3.2.3");
    EXPECT_EQ(*Symbol<const int *>("plugin_want_major"), major);
    EXPECT_EQ(*Symbol<const int *>("plugin_want_minor"), minor);
    for (const char *routine : {"plugin_register", "proto_register_nrf24", "proto_reg_handoff_nrf24", "nrf_crc16"})
        EXPECT_NE(dlsym(Module(), routine), nullptr) << routine;
    EXPECT_EQ(dlsym(Module(), "dissect_nrf24"), nullptr);
    EXPECT_EQ(dlsym(Module(), "buildColInfo"), nullptr);
}

// CRC-16/CCITT-FALSE check value, from the Catalogue of parametrised CRC algorithms (reveng).
TEST(NrfCrc16, CatalogueCheckValue) { EXPECT_EQ(Crc(Digits(), 72), 0x29B1); }

TEST(NrfCrc16, NothingToCoverGivesInitialValue)
{
    struct Case { std::vector<guint8> bytes; guint16 len_bits; };
    for (const Case &c : {Case{Digits(), 0}, Case{Digits(), 73}, Case{{0x00, 0x01}, 17}, Case{{}, 1}, Case{{}, 0}})
        EXPECT_EQ(Crc(c.bytes, c.len_bits), 0xFFFF) << c.bytes.size() << " bytes, " << c.len_bits << " bits";
}

TEST(NrfCrc16, CountOverBufferReadsNothing)
{
    // An empty buffer raises on any read: a count over its length must not read.
    Frame empty({});
    guint16 crc = 0;
    EXPECT_FALSE(CrcRaises(empty.tvb(), 1, &crc));
    EXPECT_EQ(crc, 0xFFFF);
}

TEST(NrfCrc16, PartialLastByteCoversOnlyItsLeadingBits)
{
    // Bits after the count in the last byte must not matter; the counted ones must.
    for (guint16 len_bits = 65; len_bits < 72; len_bits++) {
        std::vector<guint8> ones = Digits(), zeros = Digits();
        unsigned used = len_bits - 64;
        ones[8] |= static_cast<guint8>(0xFF >> used);
        zeros[8] &= static_cast<guint8>(0xFF << (8 - used));
        EXPECT_EQ(Crc(ones, len_bits), Crc(zeros, len_bits)) << len_bits;
        EXPECT_EQ(Crc(ones, len_bits), ReferenceCrc(ones, len_bits)) << len_bits;
        std::vector<guint8> flipped = zeros;
        flipped[8] ^= static_cast<guint8>(0x80 >> (used - 1));
        EXPECT_NE(Crc(flipped, len_bits), Crc(zeros, len_bits)) << len_bits;
    }
}

TEST(NrfCrc16, WholeBufferReadsNoBytePastTheEnd)
{
    for (size_t size = 1; size <= 73; size++) {
        std::vector<guint8> bytes(size, 0xA5);
        EXPECT_EQ(Crc(bytes, static_cast<guint16>(8 * size)), ReferenceCrc(bytes, 8 * size)) << size;
    }
}

// Every bit count from 0 to 8 x 73 over random buffers: any speed-up must keep every result.
TEST(NrfCrc16, MatchesReferenceForEveryBitCount)
{
    std::mt19937 random(2026);
    for (int round = 0; round < 8; round++) {
        std::vector<guint8> bytes(73);
        for (guint8 &byte : bytes)
            byte = static_cast<guint8>(random());
        for (unsigned len_bits = 0; len_bits <= 8 * 73 + 1; len_bits++)
            ASSERT_EQ(Crc(bytes, static_cast<guint16>(len_bits)), ReferenceCrc(bytes, len_bits))
                << "round " << round << ", " << len_bits << " bits";
    }
}

}  // namespace
