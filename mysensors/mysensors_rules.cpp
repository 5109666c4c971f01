/* mysensors_rules.cpp
 * The MySensors message rules: the header's bit fields, the library receiver's
 * checks and its senders' rules (the README's "Strictness" table).
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include "nrf24_host.h"
#include "mysensors_rules.h"

/* The caller has made sure the tvb holds a whole header. */
void mysensors_read_header(tvbuff_t *tvb, mysensors_header *h)
{
    guint8 version_length = nrf24_get_byte(tvb, 3);
    guint8 command_echo_payload = nrf24_get_byte(tvb, 4);
    h->last = nrf24_get_byte(tvb, 0);
    h->sender = nrf24_get_byte(tvb, 1);
    h->destination = nrf24_get_byte(tvb, 2);
    h->version = version_length & 0x03;
    h->is_signed = (version_length & 0x04) != 0;
    h->length = version_length >> 3;
    h->command = command_echo_payload & 0x07;
    h->echo_request = (command_echo_payload & 0x08) != 0;
    h->echo = (command_echo_payload & 0x10) != 0;
    h->payload_type = command_echo_payload >> 5;
    h->type = nrf24_get_byte(tvb, 5);
    h->child = nrf24_get_byte(tvb, 6);
}

/* Bytes the library sends for this header: a signed message fills the radio payload. */
guint mysensors_message_size(const mysensors_header *h)
{
    return MYS_HEADER_LEN + (h->is_signed ? MYS_MAX_PAYLOAD : h->length);
}

/* The signing presentation is the one P_CUSTOM message with a fixed size. */
gboolean mysensors_is_signing_presentation(const mysensors_header *h)
{
    return h->command == C_INTERNAL && h->type == I_SIGNING_PRESENTATION && h->payload_type == P_CUSTOM;
}

gboolean mysensors_is_multi_message(const mysensors_header *h)
{
    return h->command == C_SET && h->type == V_MULTI_MESSAGE && h->payload_type == P_CUSTOM;
}

/* Payload bytes the library gives this message, or 0 for any length. */
guint mysensors_expected_length(const mysensors_header *h)
{
    return mysensors_is_signing_presentation(h) ? 2 : mysensors_value_sizes[h->payload_type];
}

/* Checks the multi-message record at offset as the library's parser does: what
 * is wrong with it, or NULL with its size. */
const char *mysensors_record_fault(tvbuff_t *tvb, int offset, int end, int *size)
{
    guint8 command_echo_payload = nrf24_get_byte(tvb, offset);
    guint8 payload_type = command_echo_payload >> 5;
    if ((command_echo_payload & 0x07) > C_STREAM)
        return "has a command outside C_PRESENTATION to C_STREAM";
    if (mysensors_value_sizes[payload_type] == 0)
        return "has a payload type of no fixed size";
    *size = 3 + mysensors_value_sizes[payload_type];
    if (offset + *size > end)
        return "is cut short";
    return NULL;
}

/* What the library's senders never produce: each check follows one of its rules
 * (see the README's table). A header that passes the receiver's checks but fails
 * one of these is noise, another protocol or a wrongly decrypted block. */
gboolean mysensors_library_sends(tvbuff_t *tvb, const mysensors_header *h)
{
    if (h->echo && h->echo_request)
        return FALSE;
    if (try_val_to_str_ext(h->type, mysensors_type_names[h->command]) == NULL)
        return FALSE;
    if ((h->command == C_PRESENTATION || h->command == C_REQ) && h->payload_type != P_STRING)
        return FALSE;
    /* A node's own presentations and requests come from present(), which sends
     * to the gateway, and request(), which sends an empty string and asks for no
     * echo (core/MySensorsCore.cpp). A node's internal and stream messages are
     * the library's own, about the node itself (NODE_SENSOR_ID, MySensorsCore.cpp,
     * MyTransport.cpp, MyOTAFirmwareUpdate.cpp), but for the id request that
     * carries a token and the nonce request naming the child of the message to
     * sign (MySigning.cpp). Anything else of theirs comes from the controller
     * (protocolSerial2MyMessage(), MyProtocol.cpp), which the gateway sends as
     * itself: a node's message of that kind is its echo, back to the gateway. */
    if (h->sender != MYS_GATEWAY) {
        gboolean from_controller = (h->command == C_PRESENTATION && h->destination != MYS_GATEWAY) ||
                                   (h->command == C_REQ && h->length != 0) ||
                                   ((h->command == C_INTERNAL || h->command == C_STREAM) &&
                                    h->child != MYS_NODE_ITSELF &&
                                    !(h->command == C_INTERNAL &&
                                      (h->type == I_ID_REQUEST || h->type == I_NONCE_REQUEST)));
        if (from_controller && !(h->echo && h->destination == MYS_GATEWAY))
            return FALSE;
    }
    guint expected = mysensors_expected_length(h);
    if (expected != 0 && h->length != expected)
        return FALSE;
    if (h->payload_type == P_STRING && h->length > 0 && tvb_strnlen(tvb, MYS_HEADER_LEN, h->length) != -1)
        return FALSE;
    if (mysensors_is_multi_message(h)) {
        int end = MYS_HEADER_LEN + h->length, size = 0;
        for (int offset = MYS_HEADER_LEN; offset < end; offset += size)
            if (mysensors_record_fault(tvb, offset, end, &size))
                return FALSE;
    }
    if (h->is_signed) {
        guint32 never_signed = h->command == C_INTERNAL ? mysensors_unsigned_internal_types
                             : h->command == C_STREAM   ? mysensors_unsigned_stream_types : 0;
        if (h->echo || (h->type < 32 && (never_signed >> h->type & 1)))
            return FALSE;
        if (MYS_HEADER_LEN + h->length >= MYS_MAX_MESSAGE ||
            nrf24_get_byte(tvb, MYS_HEADER_LEN + h->length) != MYS_SIGNING_IDENTIFIER)
            return FALSE;
    }
    return TRUE;
}

/* transportRouteMessage() (core/MyTransport.cpp) sends a message for the
 * broadcast address, and only such a message, to the broadcast address; any other
 * goes to the parent, a routing table's entry or the destination itself, never
 * to the transmitting node, which transportSendWrite() writes into last. */
gboolean mysensors_hop_fits(const mysensors_header *h, int next_hop)
{
    if (next_hop == MYS_NEXT_HOP_UNKNOWN)
        return TRUE;
    if ((next_hop == MYS_BROADCAST) != (h->destination == MYS_BROADCAST))
        return FALSE;
    return next_hop == MYS_BROADCAST || h->last != next_hop;
}

/* The library's receiver keeps a message with version 2, a known command and a
 * length field that matches the bytes received; padded (decrypted) messages fill
 * the AES blocks they were sent in. The sender's rules, the hop's among them,
 * come on top unless the strictness is turned down. */
gboolean mysensors_plausible(tvbuff_t *tvb, const mysensors_header *h, guint captured, gboolean padded,
                             int next_hop, mysensors_strictness strictness)
{
    if (h->version != MYS_VERSION || h->command > C_STREAM || h->length > MYS_MAX_PAYLOAD)
        return FALSE;
    guint size = mysensors_message_size(h);
    if (padded ? size > captured || size + MYS_AES_BLOCK <= captured : size != captured)
        return FALSE;
    return strictness == MYS_STRICT_RECEIVER || (mysensors_hop_fits(h, next_hop) && mysensors_library_sends(tvb, h));
}
