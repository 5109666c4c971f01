// The MySensors module's message rules, text and key handling as plain functions
// over real host buffers: the header's bit fields, the library receiver's checks,
// its senders' rules, values written as its logs write them, and the transport key.
#include <string>
#include <vector>

#include <gcrypt.h>
#include <gtest/gtest.h>

#include <epan/packet.h>

#include "mysensors_decrypt.h"
#include "mysensors_rules.h"
#include "mysensors_text.h"
#include "nrf24_tvb.h"

namespace {

using nrf24_test::Frame;
using nrf24_test::FromHex;

mysensors_header Header(const Frame &frame)
{
    mysensors_header h;
    mysensors_read_header(frame.tvb(), &h);
    return h;
}

bool Sends(const std::string &hex)
{
    Frame frame(FromHex(hex));
    mysensors_header h = Header(frame);
    return mysensors_library_sends(frame.tvb(), &h);
}

bool Plausible(const std::string &hex, bool padded, mysensors_strictness strictness = MYS_STRICT_SENDER,
               int next_hop = MYS_NEXT_HOP_UNKNOWN)
{
    Frame frame(FromHex(hex));
    mysensors_header h = Header(frame);
    return mysensors_plausible(frame.tvb(), &h, static_cast<guint>(hex.size() / 2), padded, next_hop, strictness);
}

bool HopFits(const std::string &hex, int next_hop)
{
    Frame frame(FromHex(hex));
    mysensors_header h = Header(frame);
    return mysensors_hop_fits(&h, next_hop);
}

// A packet scope for what the module allocates per packet.
class PacketScope : public ::testing::Test {
protected:
    void SetUp() override
    {
        wmem_init();
        pool_ = wmem_allocator_new(WMEM_ALLOCATOR_STRICT);
    }
    void TearDown() override
    {
        wmem_destroy_allocator(pool_);
        wmem_cleanup();
    }
    std::string Text(void (*write)(wmem_strbuf_t *))
    {
        wmem_strbuf_t *out = wmem_strbuf_new(pool_, "");
        write(out);
        return wmem_strbuf_get_str(out);
    }
    wmem_allocator_t *pool_ = nullptr;
};

class MysensorsText : public PacketScope {};
class MysensorsDecrypt : public PacketScope {};

TEST(MysensorsHeader, ReadsEveryBitField)
{
    // last 80, sender 79, destination 0; length 25, signed, version 2; payload type 6, echo, echo request,
    // command 1; type 57, child 7.
    Frame frame(FromHex("504f00ced93907"));
    mysensors_header h = Header(frame);
    EXPECT_EQ(h.last, 80);
    EXPECT_EQ(h.sender, 79);
    EXPECT_EQ(h.destination, 0);
    EXPECT_EQ(h.length, 25);
    EXPECT_TRUE(h.is_signed);
    EXPECT_EQ(h.version, 2);
    EXPECT_EQ(h.payload_type, 6);
    EXPECT_TRUE(h.echo);
    EXPECT_TRUE(h.echo_request);
    EXPECT_EQ(h.command, 1);
    EXPECT_EQ(h.type, 57);
    EXPECT_EQ(h.child, 7);
}

TEST(MysensorsHeader, ClearFlagsAndZeroFields)
{
    Frame frame(FromHex("00000002000000"));
    mysensors_header h = Header(frame);
    EXPECT_EQ(h.length, 0);
    EXPECT_FALSE(h.is_signed);
    EXPECT_FALSE(h.echo);
    EXPECT_FALSE(h.echo_request);
    EXPECT_EQ(h.payload_type, 0);
    EXPECT_EQ(h.command, 0);
}

TEST(MysensorsHeader, MessageSizeOfSignedFillsTheRadioPayload)
{
    Frame plain(FromHex("6565000a2300ff")), signed_message(FromHex("6565000e2102010101"));
    mysensors_header h = Header(plain);
    EXPECT_EQ(mysensors_message_size(&h), 8u);
    h = Header(signed_message);
    EXPECT_EQ(mysensors_message_size(&h), 32u);
}

TEST(MysensorsHeader, ExpectedLengthByPayloadType)
{
    struct Case {
        const char *hex;
        guint expected;
    } cases[] = {
        { "6565000a2300ff", 1 },   // P_BYTE
        { "65650022e10001", 5 },   // P_FLOAT32: value and precision
        { "6565002a0011ff", 0 },   // P_STRING: any length
        { "6565001ac13001", 0 },   // P_CUSTOM: any length
        { "65650012c30fff", 2 },   // I_SIGNING_PRESENTATION: version and flags
    };
    for (const Case &c : cases) {
        Frame frame(FromHex(c.hex));
        mysensors_header h = Header(frame);
        EXPECT_EQ(mysensors_expected_length(&h), c.expected) << c.hex;
    }
    Frame multi(FromHex("05050062c13900")), presentation(FromHex("65650012c30fff"));
    mysensors_header h = Header(multi);
    EXPECT_TRUE(mysensors_is_multi_message(&h));
    EXPECT_FALSE(mysensors_is_signing_presentation(&h));
    h = Header(presentation);
    EXPECT_TRUE(mysensors_is_signing_presentation(&h));
}

TEST(MysensorsRecords, FaultsAsTheLibraryParserFindsThem)
{
    struct Case {
        const char *hex;
        const char *fault;
        int size;
    } cases[] = {
        { "e10001000000ac4101", NULL, 8 },   // C_SET V_TEMP child 1, P_FLOAT32
        { "2300ff5a", NULL, 4 },             // C_INTERNAL I_BATTERY_LEVEL node, P_BYTE
        { "2300ff", "is cut short", 4 },
        { "0700010000", "has a command outside C_PRESENTATION to C_STREAM", 0 },
        { "0300ff4f4b", "has a payload type of no fixed size", 0 },
    };
    for (const Case &c : cases) {
        Frame frame(FromHex(c.hex));
        int size = 0;
        const char *fault = mysensors_record_fault(frame.tvb(), 0, static_cast<int>(strlen(c.hex) / 2), &size);
        EXPECT_STREQ(fault, c.fault) << c.hex;
        EXPECT_EQ(size, c.size) << c.hex;
    }
}

TEST(MysensorsSenderRules, TakesWhatTheLibrarySends)
{
    const char *sent[] = {
        "6565ff020307ff",                                    // find parent, no payload
        "0000650a2308ff00",                                  // find parent response, P_BYTE
        "65650012c30fff0100",                                // signing presentation
        "6565002a0011ff322e332e32",                          // presentation of the node: the library version
        "5054002ae10005cdcc924202",                          // a relayed float
        "05050062c13900e100010000ac41012300ff5a",            // multi-message of two records
        "6565000e2102010101e0e1e2e3e4e5e6e7e8e9eaebecedeeeff0f1f2f3f4f5f6",  // signed, 23 HMAC bytes
        "6565000a11020131",                                  // echo
        "00006532000203" "4c6976696e67",                      // presentation the controller sends a node
        "0000070a02020331",                                  // request the controller sends with a value
        "0707000a12020331",                                  // a node's echo of that request
        "ffff00020303a5",                                    // id request carrying a token
        "0000070a23000300",                                  // internal message the controller sends a child
        "0707000a33000300",                                  // a node's echo of it
    };
    for (const char *hex : sent)
        EXPECT_TRUE(Sends(hex)) << hex;
}

TEST(MysensorsSenderRules, RefusesWhatTheLibraryNeverSends)
{
    const char *never[] = {
        "6565000a19020131",                                  // echo and echo request
        "65650002002801",                                    // S_ type 40
        "6565000a013b0131",                                  // V_ type 59
        "6565000a2322ff00",                                  // I_ type 34
        "6565000ac408ff00",                                  // ST_ type 8
        "6565000a2011ff01",                                  // presentation that is not a string
        "65650012420001ffff",                                // request that is not a string
        "6565001221020101ff",                                // P_BYTE of two bytes
        "6565001a01020131003a",                              // string with a NUL
        "05050052c13900e100010000ac4101e300",                // multi-message with a record cut short
        "6565000e2102010100e0e1e2e3e4e5e6e7e8e9eaebecedeeeff0f1f2f3f4f5f6",  // signed, no identifier
        "000065cec311ff00000000000000000000000000000000000000000000000000",  // signed nonce response
        "6565000e3102010101e0e1e2e3e4e5e6e7e8e9eaebecedeeeff0f1f2f3f4f5f6",  // signed echo
        "6565074200070048756d6964697479",                    // a node's presentation not to the gateway
        "6565000a02020331",                                  // a node's request with a value
        "0707050a12020331",                                  // its echo, not to the gateway
        "0707050a33000300",                                  // echo of a child's internal message, not to the gateway
        "6565000a2300025a",                                  // a node's battery level for a child
        "65650032c40200" "010001000a00",                      // a node's firmware request for a child
    };
    for (const char *hex : never)
        EXPECT_FALSE(Sends(hex)) << hex;
}

// next hop, last, destination: A1, A2, A3, A10, A11 and a node's message straight to node 7.
TEST(MysensorsHop, FitsTheRadioAddress)
{
    const struct {
        const char *hex;
        int next_hop;
        bool fits;
    } cases[] = {
        { "6565ff020307ff", 255, true },              // find parent, broadcast
        { "0000650a2308ff00", 101, true },            // to the destination itself
        { "6565000a2318ff01", 0, true },              // to the parent
        { "504f0022a316ff8d784300", 0, true },         // relayed by the repeater
        { "0000ff020314ff", 255, true },              // discover, broadcast
        { "6565070a01020331", 7, true },              // node to node
        { "6565000a2318ff01", MYS_NEXT_HOP_UNKNOWN, true },
        { "6565ff020307ff", 0, false },               // for everyone, sent to one node
        { "6565000a2318ff01", 255, false },           // for the gateway, sent to everyone
        { "0000650a2308ff00", 0, false },             // the gateway sending to itself
        { "504f0022a316ff8d784300", 80, false },       // the repeater sending to itself
    };
    for (const auto &c : cases)
        EXPECT_EQ(HopFits(c.hex, c.next_hop), c.fits) << c.hex;
}

TEST(MysensorsPlausible, SenderStrictnessHoldsTheHopToTheAddress)
{
    EXPECT_TRUE(Plausible("6565000a2318ff01", false, MYS_STRICT_SENDER, 0));
    EXPECT_FALSE(Plausible("6565000a2318ff01", false, MYS_STRICT_SENDER, 101));
    EXPECT_TRUE(Plausible("6565000a2318ff01", false, MYS_STRICT_RECEIVER, 101));
    std::string message = "6565000a2318ff01" + std::string(16, '0');   // decrypted: padded to 16
    EXPECT_TRUE(Plausible(message, true, MYS_STRICT_SENDER, 0));
    EXPECT_FALSE(Plausible(message, true, MYS_STRICT_SENDER, 255));
}

TEST(MysensorsPlausible, ClearMessageFillsThePayloadExactly)
{
    EXPECT_TRUE(Plausible("2e2e000a2300ff66", false));
    EXPECT_FALSE(Plausible("2e2e000a2300ff6600", false));   // one byte over
    EXPECT_FALSE(Plausible("2e2e00092300ff66", false));     // version 1
    EXPECT_FALSE(Plausible("2e2e000a2500ff66", false));     // command 5
}

TEST(MysensorsPlausible, DecryptedMessageFillsItsLastBlock)
{
    std::string message = "2e2e000a2300ff66";   // 8 bytes
    EXPECT_TRUE(Plausible(message + std::string(16, '0'), true));          // 16: padded with 8
    EXPECT_FALSE(Plausible(message + std::string(48, '0'), true));         // 32: would have gone in 16
    std::string sixteen = "2e2e004a030bff" + std::string("47617264656e203030");   // "Garden 00"
    EXPECT_TRUE(Plausible(sixteen, true));
    std::string eighteen = "2e2e0052030bff47617264656e20303032";   // "Garden 002": 17 bytes
    EXPECT_FALSE(Plausible(eighteen.substr(0, 32), true));   // cut to 16: does not fit
    EXPECT_TRUE(Plausible(eighteen + std::string(30, '0'), true));   // padded to 32
}

TEST(MysensorsPlausible, ReceiverStrictnessSkipsTheSenderRules)
{
    EXPECT_FALSE(Plausible("6565000a19020131", false, MYS_STRICT_SENDER));
    EXPECT_TRUE(Plausible("6565000a19020131", false, MYS_STRICT_RECEIVER));
    EXPECT_FALSE(Plausible("6565000a25020131", false, MYS_STRICT_RECEIVER));   // command 5 for either
}

TEST_F(MysensorsText, NumbersWithoutAFormatter)
{
    char buf[11];
    EXPECT_STREQ(mysensors_format_uint(buf, 0), "0");
    EXPECT_STREQ(mysensors_format_uint(buf, 4294967295u), "4294967295");
    EXPECT_EQ(Text([](wmem_strbuf_t *out) { mysensors_append_int(out, G_MININT32); }), "-2147483648");
    EXPECT_EQ(Text([](wmem_strbuf_t *out) { mysensors_append_int(out, -2); }), "-2");
    EXPECT_EQ(Text([](wmem_strbuf_t *out) { mysensors_append_uint(out, 73); }), "73");
}

TEST_F(MysensorsText, SubjectNamesTypeAndChild)
{
    EXPECT_EQ(Text([](wmem_strbuf_t *out) { mysensors_append_subject(out, C_SET, 0, 5); }), "V_TEMP child 5");
    EXPECT_EQ(Text([](wmem_strbuf_t *out) { mysensors_append_subject(out, C_INTERNAL, 0, 255); }),
              "I_BATTERY_LEVEL node");
    EXPECT_EQ(Text([](wmem_strbuf_t *out) { mysensors_append_subject(out, C_STREAM, 8, 1); }), "type 8 child 1");
    EXPECT_EQ(Text([](wmem_strbuf_t *out) { mysensors_append_subject(out, C_REQ, 58, 0); }), "V_TILT child 0");
}

TEST_F(MysensorsText, CustomBytesInUpperCaseHex)
{
    Frame frame(FromHex("000aff5c"));
    EXPECT_STREQ(mysensors_upper_hex(pool_, frame.tvb(), 1, 3), "0AFF5C");
    EXPECT_STREQ(mysensors_upper_hex(pool_, frame.tvb(), 0, 0), "");
}

// The catalogued vector of the sample network: password "mysecret", node 46's battery report.
TEST_F(MysensorsDecrypt, WithThePasswordOrItsHexKey)
{
    ASSERT_NE(gcry_check_version(NULL), nullptr);
    const char *keys[] = { "mysecret", "6d797365637265740000000000000000", "6D797365637265740000000000000000" };
    for (const char *key : keys) {
        ASSERT_TRUE(mysensors_set_key(key)) << key;
        Frame frame(FromHex("b0e53bbfc5e7dad0b7b25296bc919bb5"));
        packet_info pinfo = {};
        pinfo.pool = pool_;
        tvbuff_t *plain = mysensors_decrypt(frame.tvb(), &pinfo);
        ASSERT_NE(plain, nullptr) << key;
        std::vector<guint8> bytes(16);
        tvb_memcpy(plain, bytes.data(), 0, 16);
        EXPECT_EQ(bytes, FromHex("2e2e000a2300ff660000000000000000")) << key;
    }
}

TEST(MysensorsKey, OnlyWhatNamesAKeyIsOne)
{
    EXPECT_TRUE(mysensors_set_key("mysecret"));
    EXPECT_TRUE(mysensors_may_decrypt(16));
    EXPECT_TRUE(mysensors_may_decrypt(32));
    EXPECT_FALSE(mysensors_may_decrypt(17));
    EXPECT_FALSE(mysensors_may_decrypt(8));
    EXPECT_FALSE(mysensors_set_key("seventeen chars!!"));
    EXPECT_FALSE(mysensors_may_decrypt(16));
    EXPECT_FALSE(mysensors_set_key("0123456789abcdef0123456789abcdeg"));
    EXPECT_FALSE(mysensors_set_key(""));
    EXPECT_FALSE(mysensors_set_key(NULL));
    EXPECT_TRUE(mysensors_set_key("0123456789abcdef0123456789ABCDEF"));
}

}  // namespace
