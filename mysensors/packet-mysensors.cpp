/* packet-mysensors.cpp
 * Dissector for MySensors 2.x radio messages carried as nRF24 payloads: a 7-byte
 * header (hop transmitter, sender, destination, version/signed/length, command/
 * echo/payload type, type, child sensor), up to 25 payload bytes and, in signed
 * messages, the truncated HMAC that fills the message up to 32 bytes. Joins the
 * heuristic list "nrf24" of the nRF24 module.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include <stdio.h>

#include <epan/expert.h>
#include "nrf24_plugin.h"
#include <wsutil/utf8_entities.h>

const gchar plugin_version[] = "1.0.0";

void proto_register_mysensors(void);
void proto_reg_handoff_mysensors(void);

#define MYS_HEADER_LEN   7
#define MYS_MAX_MESSAGE  32
#define MYS_MAX_PAYLOAD  (MYS_MAX_MESSAGE - MYS_HEADER_LEN)
#define MYS_VERSION      2
#define MYS_NODE_ITSELF  255

enum { C_PRESENTATION, C_SET, C_REQ, C_INTERNAL, C_STREAM };
enum { P_STRING, P_BYTE, P_INT16, P_UINT16, P_LONG32, P_ULONG32, P_CUSTOM, P_FLOAT32 };
#define I_SIGNING_PRESENTATION 15
#define V_MULTI_MESSAGE        57

static int proto_mysensors = -1;
static int hf_mysensors_last = -1;
static int hf_mysensors_sender = -1;
static int hf_mysensors_destination = -1;
static int hf_mysensors_vsl = -1;
static int hf_mysensors_version = -1;
static int hf_mysensors_signed = -1;
static int hf_mysensors_length = -1;
static int hf_mysensors_cep = -1;
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
static gint ett_mysensors = -1;
static gint ett_mysensors_vsl = -1;
static gint ett_mysensors_cep = -1;
static gint ett_mysensors_signing_flags = -1;
static gint ett_mysensors_record = -1;
static gint ett_mysensors_signature = -1;
static expert_field ei_mysensors_bad_length = EI_INIT;
static expert_field ei_mysensors_bad_record = EI_INIT;

static const value_string node_ids[] = {
    { 0,   "Gateway" },
    { 255, "No id yet" },
    { 0, NULL }
};

static const value_string destination_ids[] = {
    { 0,   "Gateway" },
    { 255, "Broadcast" },
    { 0, NULL }
};

static const value_string child_ids[] = {
    { MYS_NODE_ITSELF, "Node itself" },
    { 0, NULL }
};

static const value_string commands[] = {
    { C_PRESENTATION, "C_PRESENTATION" },
    { C_SET,          "C_SET" },
    { C_REQ,          "C_REQ" },
    { C_INTERNAL,     "C_INTERNAL" },
    { C_STREAM,       "C_STREAM" },
    { 0, NULL }
};

/* The command as the Info column says it: short, the type name tells the rest. */
static const char *const command_words[] = { "PRESENTATION", "SET", "REQ", "INTERNAL", "STREAM" };

static const value_string payload_types[] = {
    { P_STRING,  "P_STRING" },
    { P_BYTE,    "P_BYTE" },
    { P_INT16,   "P_INT16" },
    { P_UINT16,  "P_UINT16" },
    { P_LONG32,  "P_LONG32" },
    { P_ULONG32, "P_ULONG32" },
    { P_CUSTOM,  "P_CUSTOM" },
    { P_FLOAT32, "P_FLOAT32" },
    { 0, NULL }
};

static const value_string sensor_types[] = {
    { 0,  "S_DOOR" },
    { 1,  "S_MOTION" },
    { 2,  "S_SMOKE" },
    { 3,  "S_BINARY" },
    { 4,  "S_DIMMER" },
    { 5,  "S_COVER" },
    { 6,  "S_TEMP" },
    { 7,  "S_HUM" },
    { 8,  "S_BARO" },
    { 9,  "S_WIND" },
    { 10, "S_RAIN" },
    { 11, "S_UV" },
    { 12, "S_WEIGHT" },
    { 13, "S_POWER" },
    { 14, "S_HEATER" },
    { 15, "S_DISTANCE" },
    { 16, "S_LIGHT_LEVEL" },
    { 17, "S_ARDUINO_NODE" },
    { 18, "S_ARDUINO_REPEATER_NODE" },
    { 19, "S_LOCK" },
    { 20, "S_IR" },
    { 21, "S_WATER" },
    { 22, "S_AIR_QUALITY" },
    { 23, "S_CUSTOM" },
    { 24, "S_DUST" },
    { 25, "S_SCENE_CONTROLLER" },
    { 26, "S_RGB_LIGHT" },
    { 27, "S_RGBW_LIGHT" },
    { 28, "S_COLOR_SENSOR" },
    { 29, "S_HVAC" },
    { 30, "S_MULTIMETER" },
    { 31, "S_SPRINKLER" },
    { 32, "S_WATER_LEAK" },
    { 33, "S_SOUND" },
    { 34, "S_VIBRATION" },
    { 35, "S_MOISTURE" },
    { 36, "S_INFO" },
    { 37, "S_GAS" },
    { 38, "S_GPS" },
    { 39, "S_WATER_QUALITY" },
    { 0, NULL }
};

static const value_string var_types[] = {
    { 0,  "V_TEMP" },
    { 1,  "V_HUM" },
    { 2,  "V_STATUS" },
    { 3,  "V_PERCENTAGE" },
    { 4,  "V_PRESSURE" },
    { 5,  "V_FORECAST" },
    { 6,  "V_RAIN" },
    { 7,  "V_RAINRATE" },
    { 8,  "V_WIND" },
    { 9,  "V_GUST" },
    { 10, "V_DIRECTION" },
    { 11, "V_UV" },
    { 12, "V_WEIGHT" },
    { 13, "V_DISTANCE" },
    { 14, "V_IMPEDANCE" },
    { 15, "V_ARMED" },
    { 16, "V_TRIPPED" },
    { 17, "V_WATT" },
    { 18, "V_KWH" },
    { 19, "V_SCENE_ON" },
    { 20, "V_SCENE_OFF" },
    { 21, "V_HVAC_FLOW_STATE" },
    { 22, "V_HVAC_SPEED" },
    { 23, "V_LIGHT_LEVEL" },
    { 24, "V_VAR1" },
    { 25, "V_VAR2" },
    { 26, "V_VAR3" },
    { 27, "V_VAR4" },
    { 28, "V_VAR5" },
    { 29, "V_UP" },
    { 30, "V_DOWN" },
    { 31, "V_STOP" },
    { 32, "V_IR_SEND" },
    { 33, "V_IR_RECEIVE" },
    { 34, "V_FLOW" },
    { 35, "V_VOLUME" },
    { 36, "V_LOCK_STATUS" },
    { 37, "V_LEVEL" },
    { 38, "V_VOLTAGE" },
    { 39, "V_CURRENT" },
    { 40, "V_RGB" },
    { 41, "V_RGBW" },
    { 42, "V_ID" },
    { 43, "V_UNIT_PREFIX" },
    { 44, "V_HVAC_SETPOINT_COOL" },
    { 45, "V_HVAC_SETPOINT_HEAT" },
    { 46, "V_HVAC_FLOW_MODE" },
    { 47, "V_TEXT" },
    { 48, "V_CUSTOM" },
    { 49, "V_POSITION" },
    { 50, "V_IR_RECORD" },
    { 51, "V_PH" },
    { 52, "V_ORP" },
    { 53, "V_EC" },
    { 54, "V_VAR" },
    { 55, "V_VA" },
    { 56, "V_POWER_FACTOR" },
    { 57, "V_MULTI_MESSAGE" },
    { 58, "V_TILT" },
    { 0, NULL }
};

static const value_string internal_types[] = {
    { 0,  "I_BATTERY_LEVEL" },
    { 1,  "I_TIME" },
    { 2,  "I_VERSION" },
    { 3,  "I_ID_REQUEST" },
    { 4,  "I_ID_RESPONSE" },
    { 5,  "I_INCLUSION_MODE" },
    { 6,  "I_CONFIG" },
    { 7,  "I_FIND_PARENT_REQUEST" },
    { 8,  "I_FIND_PARENT_RESPONSE" },
    { 9,  "I_LOG_MESSAGE" },
    { 10, "I_CHILDREN" },
    { 11, "I_SKETCH_NAME" },
    { 12, "I_SKETCH_VERSION" },
    { 13, "I_REBOOT" },
    { 14, "I_GATEWAY_READY" },
    { 15, "I_SIGNING_PRESENTATION" },
    { 16, "I_NONCE_REQUEST" },
    { 17, "I_NONCE_RESPONSE" },
    { 18, "I_HEARTBEAT_REQUEST" },
    { 19, "I_PRESENTATION" },
    { 20, "I_DISCOVER_REQUEST" },
    { 21, "I_DISCOVER_RESPONSE" },
    { 22, "I_HEARTBEAT_RESPONSE" },
    { 23, "I_LOCKED" },
    { 24, "I_PING" },
    { 25, "I_PONG" },
    { 26, "I_REGISTRATION_REQUEST" },
    { 27, "I_REGISTRATION_RESPONSE" },
    { 28, "I_DEBUG" },
    { 29, "I_SIGNAL_REPORT_REQUEST" },
    { 30, "I_SIGNAL_REPORT_REVERSE" },
    { 31, "I_SIGNAL_REPORT_RESPONSE" },
    { 32, "I_PRE_SLEEP_NOTIFICATION" },
    { 33, "I_POST_SLEEP_NOTIFICATION" },
    { 0, NULL }
};

static const value_string stream_types[] = {
    { 0, "ST_FIRMWARE_CONFIG_REQUEST" },
    { 1, "ST_FIRMWARE_CONFIG_RESPONSE" },
    { 2, "ST_FIRMWARE_REQUEST" },
    { 3, "ST_FIRMWARE_RESPONSE" },
    { 4, "ST_SOUND" },
    { 5, "ST_IMAGE" },
    { 6, "ST_FIRMWARE_CONFIRM" },
    { 7, "ST_FIRMWARE_RESPONSE_RLE" },
    { 0, NULL }
};

static const value_string signature_ids[] = {
    { 1, "HMAC-SHA256" },
    { 0, NULL }
};

/* The command selects the table the type byte is read through, and its field. */
static const struct {
    int *hf;
    const value_string *names;
} type_tables[] = {
    { &hf_mysensors_sensor_type,   sensor_types },
    { &hf_mysensors_var_type,      var_types },
    { &hf_mysensors_var_type,      var_types },
    { &hf_mysensors_internal_type, internal_types },
    { &hf_mysensors_stream_type,   stream_types },
};

/* Payload bytes each payload type needs; 0 for the two of any length. */
static const guint8 value_sizes[] = { 0, 1, 2, 2, 4, 4, 0, 5 };

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

static nrf24_bitmask_field vsl_fields[] = {
    &hf_mysensors_version,
    &hf_mysensors_signed,
    &hf_mysensors_length,
    NULL
};

static nrf24_bitmask_field cep_fields[] = {
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
        FT_UINT8, BASE_DEC | BASE_SPECIAL_VALS, VALS(node_ids), 0,
        "Node that transmitted this hop", HFILL }},
    { &hf_mysensors_sender,
      { "Sender", "mysensors.sender",
        FT_UINT8, BASE_DEC | BASE_SPECIAL_VALS, VALS(node_ids), 0,
        "Node the message comes from", HFILL }},
    { &hf_mysensors_destination,
      { "Destination", "mysensors.destination",
        FT_UINT8, BASE_DEC | BASE_SPECIAL_VALS, VALS(destination_ids), 0,
        "Node the message is for", HFILL }},
    { &hf_mysensors_vsl,
      { "Version, signed, length", "mysensors.vsl",
        FT_UINT8, BASE_HEX, NULL, 0,
        NULL, HFILL }},
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
    { &hf_mysensors_cep,
      { "Command, echo, payload type", "mysensors.cep",
        FT_UINT8, BASE_HEX, NULL, 0,
        NULL, HFILL }},
    { &hf_mysensors_command,
      { "Command", "mysensors.command",
        FT_UINT8, BASE_DEC, VALS(commands), 0x07,
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
        FT_UINT8, BASE_DEC, VALS(payload_types), 0xE0,
        NULL, HFILL }},
    { &hf_mysensors_type,
      { "Type", "mysensors.type",
        FT_UINT8, BASE_DEC, NULL, 0,
        "Type byte, whatever the command", HFILL }},
    { &hf_mysensors_sensor_type,
      { "Sensor type", "mysensors.sensor_type",
        FT_UINT8, BASE_DEC, VALS(sensor_types), 0,
        NULL, HFILL }},
    { &hf_mysensors_var_type,
      { "Variable type", "mysensors.var_type",
        FT_UINT8, BASE_DEC, VALS(var_types), 0,
        NULL, HFILL }},
    { &hf_mysensors_internal_type,
      { "Internal type", "mysensors.internal_type",
        FT_UINT8, BASE_DEC, VALS(internal_types), 0,
        NULL, HFILL }},
    { &hf_mysensors_stream_type,
      { "Stream type", "mysensors.stream_type",
        FT_UINT8, BASE_DEC, VALS(stream_types), 0,
        NULL, HFILL }},
    { &hf_mysensors_child,
      { "Child sensor id", "mysensors.child",
        FT_UINT8, BASE_DEC | BASE_SPECIAL_VALS, VALS(child_ids), 0,
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
        NULL, HFILL }},
    { &hf_mysensors_value_float,
      { "Value", "mysensors.value.float",
        FT_FLOAT, BASE_NONE, NULL, 0,
        "Shown with as many decimals as the precision byte says", HFILL }},
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
        FT_UINT8, BASE_DEC, VALS(signature_ids), 0,
        NULL, HFILL }},
    { &hf_mysensors_signature_hmac,
      { "Truncated HMAC", "mysensors.signature.hmac",
        FT_BYTES, BASE_NONE, NULL, 0,
        "Leading bytes of the HMAC over everything but the first header byte", HFILL }},
};

static gint *ett[] = {
    &ett_mysensors,
    &ett_mysensors_vsl,
    &ett_mysensors_cep,
    &ett_mysensors_signing_flags,
    &ett_mysensors_record,
    &ett_mysensors_signature,
};

static ei_register_info ei[] = {
    { &ei_mysensors_bad_length,
      { "mysensors.bad_length", PI_MALFORMED, PI_ERROR,
        "Payload length does not fit its payload type", EXPFILL }},
    { &ei_mysensors_bad_record,
      { "mysensors.bad_record", PI_MALFORMED, PI_ERROR,
        "Multi-message record cannot be decoded", EXPFILL }},
};

static proto_plugin plugin_mysensors;

/* The summary is composed here, then copied by the Info column and the tree. */
static gchar summary[160];
static gchar value_text[80];

/* Decides from the header alone, as the library's receiver does: anything that is
 * not a well-formed 2.x message (encrypted frames, noise, other protocols) stays
 * with the nRF24 module. */
static gboolean mysensors_plausible(const guint8 *msg, guint len)
{
    guint version = msg[3] & 0x03;
    gboolean is_signed = (msg[3] & 0x04) != 0;
    guint length = msg[3] >> 3;
    guint command = msg[4] & 0x07;
    if (version != MYS_VERSION || command > C_STREAM || length > MYS_MAX_PAYLOAD)
        return FALSE;
    return is_signed ? len == MYS_MAX_MESSAGE : len == MYS_HEADER_LEN + length;
}

/* "V_TEMP child 5", or "I_BATTERY_LEVEL node" when the message is about the node itself. */
static int format_subject(gchar *out, size_t size, guint8 command, guint8 type, guint8 child)
{
    const gchar *name = try_val_to_str(type, type_tables[command].names);
    int n = name ? snprintf(out, size, "%s", name) : snprintf(out, size, "type %u", type);
    if (child == MYS_NODE_ITSELF)
        return n + snprintf(out + n, size - n, " node");
    return n + snprintf(out + n, size - n, " child %u", child);
}

/* Adds one value whose size fits its payload type and writes it into value_text the
 * way the library's logs print it: text with unprintable bytes as dots, custom
 * bytes in hex, numbers in decimal, a float with as many decimals as its precision
 * byte asks for. */
static void add_value(proto_tree *tree, tvbuff_t *tvb, const guint8 *msg, int offset, guint8 payload_type, guint len)
{
    int hf_value = *value_fields[payload_type];
    guint32 unsigned_value;
    gint32 signed_value;
    size_t n = 0;

    value_text[0] = '\0';
    switch (payload_type) {
    case P_STRING:
        if (len > 0)
            proto_tree_add_item(tree, hf_value, tvb, offset, len, ENC_ASCII);
        for (guint i = 0; i < len; i++)
            value_text[n++] = g_ascii_isprint(msg[offset + i]) ? (gchar)msg[offset + i] : '.';
        value_text[n] = '\0';
        break;
    case P_CUSTOM:
        if (len > 0)
            proto_tree_add_item(tree, hf_value, tvb, offset, len, ENC_NA);
        for (guint i = 0; i < len; i++)
            n += snprintf(value_text + n, sizeof value_text - n, "%02x", msg[offset + i]);
        break;
    case P_BYTE:
    case P_UINT16:
    case P_ULONG32:
        proto_tree_add_item_ret_uint(tree, hf_value, tvb, offset, len, ENC_LITTLE_ENDIAN, &unsigned_value);
        snprintf(value_text, sizeof value_text, "%u", unsigned_value);
        break;
    case P_INT16:
    case P_LONG32:
        proto_tree_add_item_ret_int(tree, hf_value, tvb, offset, len, ENC_LITTLE_ENDIAN, &signed_value);
        snprintf(value_text, sizeof value_text, "%d", signed_value);
        break;
    case P_FLOAT32: {
        gfloat value = tvb_get_letohieee_float(tvb, offset);
        guint8 precision = msg[offset + 4];
        snprintf(value_text, sizeof value_text, "%.*f", precision, value);
        proto_tree_add_float_format_value(tree, hf_value, tvb, offset, 4, value, "%s", value_text);
        proto_tree_add_item(tree, hf_mysensors_value_precision, tvb, offset + 4, 1, ENC_NA);
        break;
    }
    }
}

/* A 2.4 multi-message: records of a command/payload-type byte, type, child and a
 * fixed-size value, back to back. The library stops at a record it cannot size;
 * so does this, and says why. value_text gets the number of records decoded. */
static gboolean dissect_multi_message(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, const guint8 *msg,
                                      int offset, int end)
{
    guint count = 0;
    const gchar *fault = NULL;
    for (; offset < end; count++) {
        guint8 command = msg[offset] & 0x07;
        guint8 payload_type = msg[offset] >> 5;
        int size = 3 + value_sizes[payload_type];
        if (command > C_STREAM)
            fault = "unknown command";
        else if (value_sizes[payload_type] == 0)
            fault = "payload type of no fixed size";
        else if (offset + size > end)
            fault = "cut short";
        if (fault) {
            proto_item *pi = proto_tree_add_item(tree, hf_mysensors_value_custom, tvb, offset, end - offset, ENC_NA);
            expert_add_info_format(pinfo, pi, &ei_mysensors_bad_record, "Record %u: %s", count + 1, fault);
            break;
        }
        proto_item *ri = proto_tree_add_item(tree, hf_mysensors_record, tvb, offset, size, ENC_NA);
        proto_tree *record_tree = proto_item_add_subtree(ri, ett_mysensors_record);
        proto_tree_add_item(record_tree, hf_mysensors_command, tvb, offset, 1, ENC_NA);
        proto_tree_add_item(record_tree, hf_mysensors_payload_type, tvb, offset, 1, ENC_NA);
        proto_tree_add_item(record_tree, *type_tables[command].hf, tvb, offset + 1, 1, ENC_NA);
        proto_tree_add_item(record_tree, hf_mysensors_child, tvb, offset + 2, 1, ENC_NA);
        add_value(record_tree, tvb, msg, offset + 3, payload_type, value_sizes[payload_type]);
        format_subject(summary, sizeof summary, command, msg[offset + 1], msg[offset + 2]);
        proto_item_set_text(ri, "Record %u: %s: %s", count + 1, summary, value_text);
        offset += size;
    }
    snprintf(value_text, sizeof value_text, "%u record%s", count, count == 1 ? "" : "s");
    return fault == NULL;
}

/* The signing presentation's two bytes: its version and what the node requires. */
static void dissect_signing_presentation(tvbuff_t *tvb, proto_tree *tree, const guint8 *msg)
{
    proto_tree_add_item(tree, hf_mysensors_signing_version, tvb, MYS_HEADER_LEN, 1, ENC_NA);
    proto_tree_add_bitmask(tree, tvb, MYS_HEADER_LEN + 1, hf_mysensors_signing_flags, ett_mysensors_signing_flags,
                           signing_flags, ENC_NA);
    snprintf(value_text, sizeof value_text, "%02x%02x", msg[MYS_HEADER_LEN], msg[MYS_HEADER_LEN + 1]);
}

/* Decodes the payload by its payload type; a length that does not fit the type is
 * flagged, and the bytes are shown as they are. Returns FALSE for a malformed payload. */
static gboolean dissect_payload(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, const guint8 *msg)
{
    guint8 length = msg[3] >> 3;
    guint8 command = msg[4] & 0x07;
    guint8 payload_type = msg[4] >> 5;
    guint8 type = msg[5];
    gboolean signing_presentation = command == C_INTERNAL && type == I_SIGNING_PRESENTATION && payload_type == P_CUSTOM;
    guint8 expected = signing_presentation ? 2 : value_sizes[payload_type];

    if (expected != 0 && length != expected) {
        proto_item *pi = proto_tree_add_item(tree, hf_mysensors_value_custom, tvb, MYS_HEADER_LEN, length, ENC_NA);
        expert_add_info_format(pinfo, pi, &ei_mysensors_bad_length, "%s payload: length %u, expected %u",
                               signing_presentation ? "I_SIGNING_PRESENTATION"
                                                    : val_to_str_const(payload_type, payload_types, "?"),
                               length, expected);
        value_text[0] = '\0';
        return FALSE;
    }
    if (signing_presentation)
        dissect_signing_presentation(tvb, tree, msg);
    else if (command == C_SET && type == V_MULTI_MESSAGE && payload_type == P_CUSTOM)
        return dissect_multi_message(tvb, pinfo, tree, msg, MYS_HEADER_LEN, MYS_HEADER_LEN + length);
    else
        add_value(tree, tvb, msg, MYS_HEADER_LEN, payload_type, length);
    return TRUE;
}

/* A signed message is padded to 32 bytes with the signature: the signing
 * identifier, then as much of the HMAC as fits. Returns FALSE when none fits. */
static gboolean dissect_signature(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, proto_item *vsl_item,
                                  guint8 length)
{
    int offset = MYS_HEADER_LEN + length;
    if (offset >= MYS_MAX_MESSAGE) {
        expert_add_info_format(pinfo, vsl_item, &ei_mysensors_bad_length,
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

/* Decodes a message the heuristic has accepted. The Source column becomes the
 * hop's transmitter, so that it pairs with the next hop the nRF24 module puts in
 * Destination; Info keeps the radio summary and gets ours appended. */
static void dissect_mysensors(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, const guint8 *msg)
{
    guint8 last = msg[0];
    gboolean is_signed = (msg[3] & 0x04) != 0;
    guint8 length = msg[3] >> 3;
    guint8 command = msg[4] & 0x07;

    proto_item *ti = proto_tree_add_item(tree, proto_mysensors, tvb, 0, -1, ENC_NA);
    proto_tree *mys_tree = proto_item_add_subtree(ti, ett_mysensors);
    proto_tree_add_item(mys_tree, hf_mysensors_last, tvb, 0, 1, ENC_NA);
    proto_tree_add_item(mys_tree, hf_mysensors_sender, tvb, 1, 1, ENC_NA);
    proto_tree_add_item(mys_tree, hf_mysensors_destination, tvb, 2, 1, ENC_NA);
    proto_item *vsl_item = proto_tree_add_bitmask(mys_tree, tvb, 3, hf_mysensors_vsl, ett_mysensors_vsl, vsl_fields,
                                                  ENC_NA);
    proto_tree_add_bitmask(mys_tree, tvb, 4, hf_mysensors_cep, ett_mysensors_cep, cep_fields, ENC_NA);
    proto_tree_add_item(mys_tree, *type_tables[command].hf, tvb, 5, 1, ENC_NA);
    proto_item_set_hidden(proto_tree_add_item(mys_tree, hf_mysensors_type, tvb, 5, 1, ENC_NA));
    proto_tree_add_item(mys_tree, hf_mysensors_child, tvb, 6, 1, ENC_NA);
    gboolean well_formed = dissect_payload(tvb, pinfo, mys_tree, msg);
    if (is_signed && !dissect_signature(tvb, pinfo, mys_tree, vsl_item, length))
        well_formed = FALSE;

    int n = snprintf(summary, sizeof summary, "%u" UTF8_RIGHTWARDS_ARROW "%u %s ", msg[1], msg[2],
                     command_words[command]);
    n += format_subject(summary + n, sizeof summary - n, command, msg[5], msg[6]);
    snprintf(summary + n, sizeof summary - n, "%s%s%s%s%s%s", value_text[0] ? ": " : "", value_text,
             msg[4] & 0x08 ? ", echo request" : "", msg[4] & 0x10 ? ", echo" : "", is_signed ? ", signed" : "",
             well_formed ? "" : ", malformed");
    col_add_fstr(pinfo->cinfo, COL_DEF_SRC, "%u", last);
    col_append_fstr(pinfo->cinfo, COL_INFO, " [%s]", summary);
    proto_item_append_text(ti, ", %s", summary);
}

/* Member of the "nrf24" heuristic list: takes a payload only when it is a
 * plausible MySensors 2.x message. */
static nrf24_heur_result dissect_mysensors_heur(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree,
                                                    void *data _U_)
{
    guint8 msg[MYS_MAX_MESSAGE];
    guint len = tvb_captured_length(tvb);
    if (len < MYS_HEADER_LEN || len > MYS_MAX_MESSAGE)
        return false;
    tvb_memcpy(tvb, msg, 0, len);
    if (!mysensors_plausible(msg, len))
        return false;
    dissect_mysensors(tvb, pinfo, tree, msg);
    return true;
}

/* Registers the protocol with its fields, subtrees and expert infos. */
void proto_register_mysensors(void)
{
    proto_mysensors = proto_register_protocol("MySensors", "MySensors", "mysensors");
    proto_register_field_array(proto_mysensors, hf, array_length(hf));
    proto_register_subtree_array(ett, array_length(ett));
    expert_module_t *expert_mysensors = expert_register_protocol(proto_mysensors);
    expert_register_field_array(expert_mysensors, ei, array_length(ei));
}

/* Joins the list that the nRF24 module offers its good payloads to. */
void proto_reg_handoff_mysensors(void)
{
    heur_dissector_add("nrf24", dissect_mysensors_heur, "MySensors over nRF24", "mysensors_nrf24", proto_mysensors,
                       HEURISTIC_ENABLE);
}

/* The entry point the host looks up after accepting the version symbols. */
void plugin_register(void)
{
    plugin_mysensors.register_protoinfo = proto_register_mysensors;
    plugin_mysensors.register_handoff = proto_reg_handoff_mysensors;
    proto_register_plugin(&plugin_mysensors);
}
