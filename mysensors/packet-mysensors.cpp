/* packet-mysensors.cpp
 * Dissector for MySensors 2.x radio messages carried as nRF24 payloads: a 7-byte
 * header (hop transmitter, sender, destination, version/signed/length, command/
 * echo/payload type, type, child sensor), up to 25 payload bytes and, in signed
 * messages, the truncated HMAC that fills the message up to 32 bytes. Joins the
 * heuristic list "nrf24" of the nRF24 module; decrypts networks that encrypt with
 * AES-128 given their key; feeds a tap for a per-node statistics tree and the
 * Endpoints and Conversations tables. This file holds the fields and the
 * decoding and registers the module; the message rules, the decryption, the
 * statistics, the text of values and the tables have files of their own.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include <epan/expert.h>
#include <epan/prefs.h>
#include <epan/tap.h>
#include <wsutil/utf8_entities.h>

#include "nrf24_frame.h"
#include "nrf24_plugin.h"
#include "mysensors_decrypt.h"
#include "mysensors_rules.h"
#include "mysensors_stats.h"
#include "mysensors_text.h"

const gchar plugin_version[] = "1.1.0";

void proto_register_mysensors(void);
void proto_reg_handoff_mysensors(void);

static int proto_mysensors = -1;
static int hf_mysensors_last = -1;
static int hf_mysensors_sender = -1;
static int hf_mysensors_destination = -1;
static int hf_mysensors_version_length = -1;
static int hf_mysensors_version = -1;
static int hf_mysensors_signed = -1;
static int hf_mysensors_length = -1;
static int hf_mysensors_command_echo_payload = -1;
static int hf_mysensors_command = -1;
static int hf_mysensors_echo_request = -1;
static int hf_mysensors_echo = -1;
static int hf_mysensors_payload_type = -1;
static int hf_mysensors_type = -1;
static int hf_mysensors_sensor_type = -1;
static int hf_mysensors_var_type = -1;
static int hf_mysensors_internal_type = -1;
static int hf_mysensors_stream_type = -1;
static int hf_mysensors_child = -1;
static int hf_mysensors_value_string = -1;
static int hf_mysensors_value_uint8 = -1;
static int hf_mysensors_value_int16 = -1;
static int hf_mysensors_value_uint16 = -1;
static int hf_mysensors_value_int32 = -1;
static int hf_mysensors_value_uint32 = -1;
static int hf_mysensors_value_custom = -1;
static int hf_mysensors_value_float = -1;
static int hf_mysensors_value_precision = -1;
static int hf_mysensors_signing_version = -1;
static int hf_mysensors_signing_flags = -1;
static int hf_mysensors_signing_require_signatures = -1;
static int hf_mysensors_signing_require_whitelisting = -1;
static int hf_mysensors_record = -1;
static int hf_mysensors_signature = -1;
static int hf_mysensors_signature_id = -1;
static int hf_mysensors_signature_hmac = -1;
static int hf_mysensors_decrypted = -1;
static int hf_mysensors_padding = -1;
static int hf_mysensors_node = -1;
static gint ett_mysensors = -1;
static gint ett_mysensors_version_length = -1;
static gint ett_mysensors_command_echo_payload = -1;
static gint ett_mysensors_signing_flags = -1;
static gint ett_mysensors_record = -1;
static gint ett_mysensors_signature = -1;
static expert_field ei_mysensors_bad_length = EI_INIT;
static expert_field ei_mysensors_bad_record = EI_INIT;
static expert_field ei_mysensors_precision = EI_INIT;
static expert_field ei_mysensors_battery_level = EI_INIT;

static gint pref_strictness = MYS_STRICT_SENDER;
static const char *pref_key_text = "";

static const enum_val_t strictness_values[] = {
    { "sender",   "Only messages the library sends", MYS_STRICT_SENDER },
    { "receiver", "Every message the library's receiver accepts", MYS_STRICT_RECEIVER },
    { NULL, NULL, -1 }
};

/* The command selects the field the type byte is shown in. */
static int *const type_fields[] = {
    &hf_mysensors_sensor_type,
    &hf_mysensors_var_type,
    &hf_mysensors_var_type,
    &hf_mysensors_internal_type,
    &hf_mysensors_stream_type,
};

static nrf24_bitmask_field value_fields[] = {
    &hf_mysensors_value_string,
    &hf_mysensors_value_uint8,
    &hf_mysensors_value_int16,
    &hf_mysensors_value_uint16,
    &hf_mysensors_value_int32,
    &hf_mysensors_value_uint32,
    &hf_mysensors_value_custom,
    &hf_mysensors_value_float,
};

static nrf24_bitmask_field version_length_fields[] = {
    &hf_mysensors_version,
    &hf_mysensors_signed,
    &hf_mysensors_length,
    NULL
};

static nrf24_bitmask_field command_echo_payload_fields[] = {
    &hf_mysensors_command,
    &hf_mysensors_echo_request,
    &hf_mysensors_echo,
    &hf_mysensors_payload_type,
    NULL
};

static nrf24_bitmask_field signing_flags[] = {
    &hf_mysensors_signing_require_signatures,
    &hf_mysensors_signing_require_whitelisting,
    NULL
};

static hf_register_info hf[] = {
    { &hf_mysensors_last,
      { "Last hop", "mysensors.last",
        FT_UINT8, BASE_DEC | BASE_SPECIAL_VALS, VALS(mysensors_node_ids), 0,
        "Node that transmitted this hop", HFILL }},
    { &hf_mysensors_sender,
      { "Sender", "mysensors.sender",
        FT_UINT8, BASE_DEC | BASE_SPECIAL_VALS, VALS(mysensors_node_ids), 0,
        "Node the message comes from", HFILL }},
    { &hf_mysensors_destination,
      { "Destination", "mysensors.destination",
        FT_UINT8, BASE_DEC | BASE_SPECIAL_VALS, VALS(mysensors_destination_ids), 0,
        "Node the message is for", HFILL }},
    { &hf_mysensors_version_length,
      { "Version, signed, length", "mysensors.version_length",
        FT_UINT8, BASE_HEX, NULL, 0,
        "Header byte 3", HFILL }},
    { &hf_mysensors_version,
      { "Version", "mysensors.version",
        FT_UINT8, BASE_DEC, NULL, 0x03,
        NULL, HFILL }},
    { &hf_mysensors_signed,
      { "Signed", "mysensors.signed",
        FT_BOOLEAN, 8, NULL, 0x04,
        NULL, HFILL }},
    { &hf_mysensors_length,
      { "Length", "mysensors.length",
        FT_UINT8, BASE_DEC, NULL, 0xF8,
        "Payload length", HFILL }},
    { &hf_mysensors_command_echo_payload,
      { "Command, echo, payload type", "mysensors.command_echo_payload",
        FT_UINT8, BASE_HEX, NULL, 0,
        "Header byte 4, or the first byte of a multi-message record", HFILL }},
    { &hf_mysensors_command,
      { "Command", "mysensors.command",
        FT_UINT8, BASE_DEC, VALS(mysensors_commands), 0x07,
        NULL, HFILL }},
    { &hf_mysensors_echo_request,
      { "Echo request", "mysensors.echo_request",
        FT_BOOLEAN, 8, NULL, 0x08,
        "The destination is asked to send the message back", HFILL }},
    { &hf_mysensors_echo,
      { "Echo", "mysensors.echo",
        FT_BOOLEAN, 8, NULL, 0x10,
        "This message is the echo of one that asked for it", HFILL }},
    { &hf_mysensors_payload_type,
      { "Payload type", "mysensors.payload_type",
        FT_UINT8, BASE_DEC, VALS(mysensors_payload_types), 0xE0,
        NULL, HFILL }},
    { &hf_mysensors_type,
      { "Type", "mysensors.type",
        FT_UINT8, BASE_DEC, NULL, 0,
        "Type byte, whatever the command", HFILL }},
    { &hf_mysensors_sensor_type,
      { "Sensor type", "mysensors.sensor_type",
        FT_UINT8, BASE_DEC | BASE_EXT_STRING, &mysensors_sensor_types_ext, 0,
        NULL, HFILL }},
    { &hf_mysensors_var_type,
      { "Variable type", "mysensors.var_type",
        FT_UINT8, BASE_DEC | BASE_EXT_STRING, &mysensors_var_types_ext, 0,
        NULL, HFILL }},
    { &hf_mysensors_internal_type,
      { "Internal type", "mysensors.internal_type",
        FT_UINT8, BASE_DEC | BASE_EXT_STRING, &mysensors_internal_types_ext, 0,
        NULL, HFILL }},
    { &hf_mysensors_stream_type,
      { "Stream type", "mysensors.stream_type",
        FT_UINT8, BASE_DEC | BASE_EXT_STRING, &mysensors_stream_types_ext, 0,
        NULL, HFILL }},
    { &hf_mysensors_child,
      { "Child sensor id", "mysensors.child",
        FT_UINT8, BASE_DEC | BASE_SPECIAL_VALS, VALS(mysensors_child_ids), 0,
        NULL, HFILL }},
    { &hf_mysensors_value_string,
      { "Value", "mysensors.value.string",
        FT_STRING, BASE_NONE, NULL, 0,
        NULL, HFILL }},
    { &hf_mysensors_value_uint8,
      { "Value", "mysensors.value.uint8",
        FT_UINT8, BASE_DEC, NULL, 0,
        NULL, HFILL }},
    { &hf_mysensors_value_int16,
      { "Value", "mysensors.value.int16",
        FT_INT16, BASE_DEC, NULL, 0,
        NULL, HFILL }},
    { &hf_mysensors_value_uint16,
      { "Value", "mysensors.value.uint16",
        FT_UINT16, BASE_DEC, NULL, 0,
        NULL, HFILL }},
    { &hf_mysensors_value_int32,
      { "Value", "mysensors.value.int32",
        FT_INT32, BASE_DEC, NULL, 0,
        NULL, HFILL }},
    { &hf_mysensors_value_uint32,
      { "Value", "mysensors.value.uint32",
        FT_UINT32, BASE_DEC, NULL, 0,
        NULL, HFILL }},
    { &hf_mysensors_value_custom,
      { "Value", "mysensors.value.custom",
        FT_BYTES, BASE_NONE, NULL, 0,
        "Shown in upper-case hex, as the library writes it", HFILL }},
    { &hf_mysensors_value_float,
      { "Value", "mysensors.value.float",
        FT_FLOAT, BASE_NONE, NULL, 0,
        "Shown with as many decimals as the precision byte says, at most 8", HFILL }},
    { &hf_mysensors_value_precision,
      { "Precision", "mysensors.value.precision",
        FT_UINT8, BASE_DEC, NULL, 0,
        "Decimals to show the float with", HFILL }},
    { &hf_mysensors_signing_version,
      { "Signing presentation version", "mysensors.signing.version",
        FT_UINT8, BASE_DEC, NULL, 0,
        NULL, HFILL }},
    { &hf_mysensors_signing_flags,
      { "Signing flags", "mysensors.signing.flags",
        FT_UINT8, BASE_HEX, NULL, 0,
        NULL, HFILL }},
    { &hf_mysensors_signing_require_signatures,
      { "Requires signatures", "mysensors.signing.require_signatures",
        FT_BOOLEAN, 8, NULL, 0x01,
        NULL, HFILL }},
    { &hf_mysensors_signing_require_whitelisting,
      { "Requires whitelisting", "mysensors.signing.require_whitelisting",
        FT_BOOLEAN, 8, NULL, 0x02,
        NULL, HFILL }},
    { &hf_mysensors_record,
      { "Record", "mysensors.record",
        FT_NONE, BASE_NONE, NULL, 0,
        "One message of a multi-message", HFILL }},
    { &hf_mysensors_signature,
      { "Signature", "mysensors.signature",
        FT_BYTES, BASE_NONE, NULL, 0,
        NULL, HFILL }},
    { &hf_mysensors_signature_id,
      { "Signing identifier", "mysensors.signature.id",
        FT_UINT8, BASE_DEC, VALS(mysensors_signature_ids), 0,
        NULL, HFILL }},
    { &hf_mysensors_signature_hmac,
      { "Truncated HMAC", "mysensors.signature.hmac",
        FT_BYTES, BASE_NONE, NULL, 0,
        "Leading bytes of the HMAC over everything but the first header byte", HFILL }},
    { &hf_mysensors_decrypted,
      { "Decrypted", "mysensors.decrypted",
        FT_BOOLEAN, BASE_NONE, NULL, 0,
        "Sent encrypted (AES-128-CBC), decrypted with the key in the preferences", HFILL }},
    { &hf_mysensors_padding,
      { "Encryption padding", "mysensors.padding",
        FT_BYTES, BASE_NONE, NULL, 0,
        "Rest of the last AES block; the library fills it with random bytes", HFILL }},
};

static gint *ett[] = {
    &ett_mysensors,
    &ett_mysensors_version_length,
    &ett_mysensors_command_echo_payload,
    &ett_mysensors_signing_flags,
    &ett_mysensors_record,
    &ett_mysensors_signature,
};

static ei_register_info ei[] = {
    { &ei_mysensors_bad_length,
      { "mysensors.bad_length", PI_MALFORMED, PI_ERROR,
        "Payload length does not fit the payload", EXPFILL }},
    { &ei_mysensors_bad_record,
      { "mysensors.bad_record", PI_MALFORMED, PI_ERROR,
        "Multi-message record cannot be decoded", EXPFILL }},
    { &ei_mysensors_precision,
      { "mysensors.precision_clamped", PI_PROTOCOL, PI_WARN,
        "Precision above the 8 decimals the library writes", EXPFILL }},
    { &ei_mysensors_battery_level,
      { "mysensors.battery_level_range", PI_PROTOCOL, PI_WARN,
        "Battery level above 100 %", EXPFILL }},
};

static proto_plugin plugin_mysensors;

/* Adds one value whose size fits its payload type and appends it to text the way
 * the library's logs write it: the UTF-8 text the tree shows, custom bytes in
 * upper-case hex, numbers in decimal, a float with as many decimals as its
 * precision byte asks for, at most 8. A battery level above 100 % is flagged. */
static void add_value(proto_tree *tree, tvbuff_t *tvb, packet_info *pinfo, int offset, guint8 command, guint8 type,
                      guint8 payload_type, int len, wmem_strbuf_t *text, mysensors_tap_info *info)
{
    int hf_value = *value_fields[payload_type];
    proto_item *pi;
    guint32 unsigned_value;
    gint32 signed_value;

    switch (payload_type) {
    case P_STRING:
        if (len > 0) {
            char *value;
            proto_tree_add_item_ret_display_string(tree, hf_value, tvb, offset, len, ENC_UTF_8, pinfo->pool, &value);
            wmem_strbuf_append(text, value);
        }
        break;
    case P_CUSTOM:
        if (len > 0) {
            const char *value = mysensors_upper_hex(pinfo->pool, tvb, offset, len);
            proto_tree_add_bytes_format_value(tree, hf_value, tvb, offset, len, NULL, "%s", value);
            wmem_strbuf_append(text, value);
        }
        break;
    case P_BYTE:
    case P_UINT16:
    case P_ULONG32:
        pi = proto_tree_add_item_ret_uint(tree, hf_value, tvb, offset, len, ENC_LITTLE_ENDIAN, &unsigned_value);
        mysensors_append_uint(text, unsigned_value);
        if (payload_type == P_BYTE && command == C_INTERNAL && type == I_BATTERY_LEVEL &&
            unsigned_value > MYS_MAX_BATTERY_LEVEL)
            expert_add_info_format(pinfo, pi, &ei_mysensors_battery_level,
                                   "Battery level %u: the library's levels are 0 to %u %%", unsigned_value,
                                   MYS_MAX_BATTERY_LEVEL);
        if (payload_type == P_BYTE && info) {
            info->has_number = TRUE;
            info->number = unsigned_value;
        }
        break;
    case P_INT16:
    case P_LONG32:
        proto_tree_add_item_ret_int(tree, hf_value, tvb, offset, len, ENC_LITTLE_ENDIAN, &signed_value);
        mysensors_append_int(text, signed_value);
        break;
    case P_FLOAT32: {
        gfloat value = tvb_get_letohieee_float(tvb, offset);
        guint8 precision = nrf24_get_byte(tvb, offset + 4);
        gsize start = wmem_strbuf_get_len(text);
        wmem_strbuf_append_printf(text, "%.*f", (int)MIN(precision, MYS_MAX_DECIMALS), value);
        proto_tree_add_float_format_value(tree, hf_value, tvb, offset, 4, value, "%s",
                                          wmem_strbuf_get_str(text) + start);
        pi = proto_tree_add_item(tree, hf_mysensors_value_precision, tvb, offset + 4, 1, ENC_NA);
        if (precision > MYS_MAX_DECIMALS)
            expert_add_info_format(pinfo, pi, &ei_mysensors_precision,
                                   "Precision %u: the library writes at most %u decimals, so does this",
                                   precision, MYS_MAX_DECIMALS);
        break;
    }
    }
}

/* A 2.4 multi-message: records of a command/payload-type byte, type, child and a
 * fixed-size value, back to back, each with the fields of a message. The library
 * stops at a record it cannot size; so does this, and says why. text gets the
 * number of records decoded. */
static gboolean dissect_multi_message(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, int offset, int end,
                                      wmem_strbuf_t *text)
{
    guint count = 0;
    const char *fault = NULL;
    for (int size = 0; offset < end; offset += size, count++) {
        fault = mysensors_record_fault(tvb, offset, end, &size);
        if (fault) {
            proto_item *pi = proto_tree_add_item(tree, hf_mysensors_value_custom, tvb, offset, end - offset, ENC_NA);
            expert_add_info_format(pinfo, pi, &ei_mysensors_bad_record, "Record %u %s", count + 1, fault);
            break;
        }
        guint8 command = nrf24_get_byte(tvb, offset) & 0x07;
        guint8 payload_type = nrf24_get_byte(tvb, offset) >> 5;
        proto_item *ri = proto_tree_add_item(tree, hf_mysensors_record, tvb, offset, size, ENC_NA);
        proto_tree *record_tree = proto_item_add_subtree(ri, ett_mysensors_record);
        proto_tree_add_bitmask(record_tree, tvb, offset, hf_mysensors_command_echo_payload,
                               ett_mysensors_command_echo_payload, command_echo_payload_fields, ENC_NA);
        proto_tree_add_item(record_tree, *type_fields[command], tvb, offset + 1, 1, ENC_NA);
        proto_item_set_hidden(proto_tree_add_item(record_tree, hf_mysensors_type, tvb, offset + 1, 1, ENC_NA));
        proto_tree_add_item(record_tree, hf_mysensors_child, tvb, offset + 2, 1, ENC_NA);
        wmem_strbuf_t *record = wmem_strbuf_new(pinfo->pool, "");
        mysensors_append_subject(record, command, nrf24_get_byte(tvb, offset + 1), nrf24_get_byte(tvb, offset + 2));
        wmem_strbuf_append(record, ": ");
        add_value(record_tree, tvb, pinfo, offset + 3, command, nrf24_get_byte(tvb, offset + 1), payload_type,
                  mysensors_value_sizes[payload_type], record, NULL);
        proto_item_set_text(ri, "Record %u: %s", count + 1, wmem_strbuf_get_str(record));
    }
    mysensors_append_uint(text, count);
    wmem_strbuf_append(text, count == 1 ? " record" : " records");
    return fault == NULL;
}

/* The signing presentation's two bytes: its version and what the node requires. */
static void dissect_signing_presentation(tvbuff_t *tvb, proto_tree *tree, wmem_allocator_t *scope,
                                         wmem_strbuf_t *text)
{
    proto_tree_add_item(tree, hf_mysensors_signing_version, tvb, MYS_HEADER_LEN, 1, ENC_NA);
    proto_tree_add_bitmask(tree, tvb, MYS_HEADER_LEN + 1, hf_mysensors_signing_flags, ett_mysensors_signing_flags,
                           signing_flags, ENC_NA);
    wmem_strbuf_append(text, mysensors_upper_hex(scope, tvb, MYS_HEADER_LEN, 2));
}

/* Decodes the payload by its payload type; a length that does not fit the type is
 * flagged, and the bytes are shown as they are. Returns FALSE for a malformed payload. */
static gboolean dissect_payload(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, const mysensors_header *h,
                                wmem_strbuf_t *text, mysensors_tap_info *info)
{
    guint expected = mysensors_expected_length(h);
    if (expected != 0 && h->length != expected) {
        proto_item *pi = proto_tree_add_item(tree, hf_mysensors_value_custom, tvb, MYS_HEADER_LEN, h->length, ENC_NA);
        if (mysensors_is_signing_presentation(h))
            expert_add_info_format(pinfo, pi, &ei_mysensors_bad_length,
                                   "I_SIGNING_PRESENTATION takes 2 bytes of P_CUSTOM, the length field says %u",
                                   h->length);
        else
            expert_add_info_format(pinfo, pi, &ei_mysensors_bad_length,
                                   "%s takes %u byte%s, the length field says %u",
                                   val_to_str_const(h->payload_type, mysensors_payload_types, "?"), expected,
                                   expected == 1 ? "" : "s", h->length);
        return FALSE;
    }
    if (mysensors_is_signing_presentation(h))
        dissect_signing_presentation(tvb, tree, pinfo->pool, text);
    else if (mysensors_is_multi_message(h))
        return dissect_multi_message(tvb, pinfo, tree, MYS_HEADER_LEN, MYS_HEADER_LEN + h->length, text);
    else
        add_value(tree, tvb, pinfo, MYS_HEADER_LEN, h->command, h->type, h->payload_type, h->length, text, info);
    return TRUE;
}

/* A signed message is padded to 32 bytes with the signature: the signing
 * identifier, then as much of the HMAC as fits. Returns FALSE when none fits. */
static gboolean dissect_signature(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, proto_item *length_item,
                                  guint8 length)
{
    int offset = MYS_HEADER_LEN + length;
    if (offset >= MYS_MAX_MESSAGE) {
        expert_add_info_format(pinfo, length_item, &ei_mysensors_bad_length,
                               "Signed, but %u payload bytes leave no room for the signature", length);
        return FALSE;
    }
    proto_item *si = proto_tree_add_item(tree, hf_mysensors_signature, tvb, offset, MYS_MAX_MESSAGE - offset, ENC_NA);
    proto_tree *signature_tree = proto_item_add_subtree(si, ett_mysensors_signature);
    proto_tree_add_item(signature_tree, hf_mysensors_signature_id, tvb, offset, 1, ENC_NA);
    if (offset + 1 < MYS_MAX_MESSAGE)
        proto_tree_add_item(signature_tree, hf_mysensors_signature_hmac, tvb, offset + 1,
                            MYS_MAX_MESSAGE - offset - 1, ENC_NA);
    return TRUE;
}

/* The header's items, only with a tree: Info needs none of them. Returns the
 * item of the byte that holds the length. */
static proto_item *add_header(tvbuff_t *tvb, proto_tree *tree, const mysensors_header *h, gboolean decrypted,
                              guint size)
{
    if (decrypted)
        proto_item_set_generated(proto_tree_add_boolean(tree, hf_mysensors_decrypted, tvb, 0, size, TRUE));
    proto_tree_add_item(tree, hf_mysensors_last, tvb, 0, 1, ENC_NA);
    proto_tree_add_item(tree, hf_mysensors_sender, tvb, 1, 1, ENC_NA);
    proto_tree_add_item(tree, hf_mysensors_destination, tvb, 2, 1, ENC_NA);
    for (int offset = 0; offset < 3; offset++)
        proto_item_set_hidden(proto_tree_add_item(tree, hf_mysensors_node, tvb, offset, 1, ENC_NA));
    proto_item *length_item = proto_tree_add_bitmask(tree, tvb, 3, hf_mysensors_version_length,
                                                     ett_mysensors_version_length, version_length_fields, ENC_NA);
    proto_tree_add_bitmask(tree, tvb, 4, hf_mysensors_command_echo_payload, ett_mysensors_command_echo_payload,
                           command_echo_payload_fields, ENC_NA);
    proto_tree_add_item(tree, *type_fields[h->command], tvb, 5, 1, ENC_NA);
    proto_item_set_hidden(proto_tree_add_item(tree, hf_mysensors_type, tvb, 5, 1, ENC_NA));
    proto_tree_add_item(tree, hf_mysensors_child, tvb, 6, 1, ENC_NA);
    return length_item;
}

/* Decodes a message the heuristic has accepted; tvb holds it from offset 0, and
 * for a decrypted one the padding after it. The Source column becomes the hop's
 * transmitter, so that it pairs with the next hop the nRF24 module puts in
 * Destination; Info keeps the radio summary and gets ours appended; Protocol
 * says whose message it is. */
static void dissect_mysensors(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, const mysensors_header *h,
                              gboolean decrypted)
{
    guint size = mysensors_message_size(h);
    mysensors_tap_info *info = NULL;
    mysensors_hop hop = mysensors_classify_hop(pinfo, proto_mysensors, h->last, h->sender);
    col_set_str(pinfo->cinfo, COL_PROTOCOL, "mysensors");
    if (have_tap_listener(mysensors_tap)) {
        info = wmem_new0(pinfo->pool, mysensors_tap_info);
        info->hop = hop;
        info->last = h->last;
        info->sender = h->sender;
        info->destination = h->destination;
        info->command = h->command;
        info->type = h->type;
        info->child = h->child;
        info->size = size;
    }

    proto_item *ti = NULL, *length_item = NULL;
    proto_tree *mys_tree = NULL;
    if (tree) {
        ti = proto_tree_add_item(tree, proto_mysensors, tvb, 0, size, ENC_NA);
        mys_tree = proto_item_add_subtree(ti, ett_mysensors);
        length_item = add_header(tvb, mys_tree, h, decrypted, size);
    }

    /* Info gets " [summary]"; the tree item the summary; the tap the value alone. */
    wmem_strbuf_t *summary = wmem_strbuf_new(pinfo->pool, " [");
    mysensors_append_uint(summary, h->sender);
    wmem_strbuf_append(summary, UTF8_RIGHTWARDS_ARROW);
    mysensors_append_uint(summary, h->destination);
    wmem_strbuf_append_c(summary, ' ');
    wmem_strbuf_append(summary, mysensors_command_words[h->command]);
    wmem_strbuf_append_c(summary, ' ');
    mysensors_append_subject(summary, h->command, h->type, h->child);
    wmem_strbuf_append(summary, ": ");
    gsize value_start = wmem_strbuf_get_len(summary);
    gboolean well_formed = dissect_payload(tvb, pinfo, mys_tree, h, summary, info);
    if (h->is_signed && !dissect_signature(tvb, pinfo, mys_tree, length_item, h->length))
        well_formed = FALSE;
    if (decrypted && size < tvb_captured_length(tvb))
        proto_tree_add_item(mys_tree, hf_mysensors_padding, tvb, size, -1, ENC_NA);
    gsize value_end = wmem_strbuf_get_len(summary);
    if (info)
        info->text = wmem_strndup(pinfo->pool, wmem_strbuf_get_str(summary) + value_start, value_end - value_start);
    if (value_end == value_start)
        wmem_strbuf_truncate(summary, value_start - 2);
    if (h->echo_request)
        wmem_strbuf_append(summary, ", echo request");
    if (h->echo)
        wmem_strbuf_append(summary, ", echo");
    if (h->is_signed)
        wmem_strbuf_append(summary, ", signed");
    if (decrypted)
        wmem_strbuf_append(summary, ", decrypted");
    if (!well_formed)
        wmem_strbuf_append(summary, ", malformed");
    if (ti)
        proto_item_append_text(ti, ", %s", wmem_strbuf_get_str(summary) + 2);
    wmem_strbuf_append_c(summary, ']');
    col_append_str(pinfo->cinfo, COL_INFO, wmem_strbuf_get_str(summary));
    char last[11];
    col_add_str(pinfo->cinfo, COL_DEF_SRC, mysensors_format_uint(last, h->last));
    if (info)
        tap_queue_packet(mysensors_tap, pinfo, info);
}

/* Member of the "nrf24" heuristic list: takes a payload only when it is a
 * plausible MySensors 2.x message. With a key, a payload that fills one or two
 * AES blocks is decrypted first, and taken when its plaintext is a message the
 * library's senders produce, whatever the strictness: an encrypted message is
 * never read as clear text, and a random block rarely passes for one. */
static nrf24_heur_result dissect_mysensors_heur(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree,
                                                void *data _U_)
{
    mysensors_header h;
    guint len = tvb_captured_length(tvb);
    if (len < MYS_HEADER_LEN || len > MYS_MAX_MESSAGE)
        return false;
    const nrf24_frame *frame = nrf24_frame_lookup(pinfo);
    int next_hop = frame ? (int)(frame->address & 0xFF) : MYS_NEXT_HOP_UNKNOWN;
    if (mysensors_may_decrypt(len)) {
        tvbuff_t *plain = mysensors_decrypt(tvb, pinfo);
        if (plain) {
            mysensors_read_header(plain, &h);
            if (mysensors_plausible(plain, &h, len, TRUE, next_hop, MYS_STRICT_SENDER)) {
                add_new_data_source(pinfo, plain, "MySensors decrypted");
                dissect_mysensors(plain, pinfo, tree, &h, TRUE);
                return true;
            }
        }
    }
    mysensors_read_header(tvb, &h);
    if (!mysensors_plausible(tvb, &h, len, FALSE, next_hop, (mysensors_strictness)pref_strictness))
        return false;
    dissect_mysensors(tvb, pinfo, tree, &h, FALSE);
    return true;
}

/* The strictness is read at each packet; the key opens the cipher when it changes. */
static void apply_preferences(void)
{
    mysensors_set_key(pref_key_text);
}

/* Registers the protocol with its fields, subtrees, expert infos, preferences,
 * tap, address type and tables. */
void proto_register_mysensors(void)
{
    static hf_register_info hf_node[] = {
        { &hf_mysensors_node,
          { "Node", "mysensors.node",
            FT_UINT8, BASE_DEC, NULL, 0,
            "Last hop, sender or destination", HFILL }},
    };
    proto_mysensors = proto_register_protocol("MySensors", "MySensors", "mysensors");
    proto_register_field_array(proto_mysensors, hf, array_length(hf));
    proto_register_field_array(proto_mysensors, hf_node, array_length(hf_node));
    proto_register_subtree_array(ett, array_length(ett));
    expert_module_t *expert_mysensors = expert_register_protocol(proto_mysensors);
    expert_register_field_array(expert_mysensors, ei, array_length(ei));

    module_t *prefs = prefs_register_protocol(proto_mysensors, apply_preferences);
    prefs_register_enum_preference(prefs, "strictness", "Payloads to take",
                                   "Only what the library's senders produce (few false positives), or everything "
                                   "its receiver accepts (for hand-built or damaged messages)",
                                   &pref_strictness, strictness_values, FALSE);
    prefs_register_string_preference(prefs, "key", "Encryption key",
                                     "The network's MY_RF24_ENABLE_ENCRYPTION key: 32 hex digits for the 16-byte AES "
                                     "key, or the MY_ENCRYPTION_SIMPLE_PASSWD password (at most 16 characters)",
                                     &pref_key_text);

    mysensors_register_stats(proto_mysensors);
}

/* Joins the list that the nRF24 module offers its good payloads to. */
void proto_reg_handoff_mysensors(void)
{
    heur_dissector_add("nrf24", dissect_mysensors_heur, "MySensors over nRF24", "mysensors_nrf24", proto_mysensors,
                       HEURISTIC_ENABLE);
}

/* The statistics tree joins the host's Statistics menu and -z when the host
 * registers its tap listeners, as the host's own stats plug-in does. */
/* The entry point the host looks up after accepting the version symbols. */
void plugin_register(void)
{
    static tap_plugin stats_plugin;
    plugin_mysensors.register_protoinfo = proto_register_mysensors;
    plugin_mysensors.register_handoff = proto_reg_handoff_mysensors;
    proto_register_plugin(&plugin_mysensors);
    stats_plugin.register_tap_listener = mysensors_register_stats_tree;
    tap_register_plugin(&stats_plugin);
}
