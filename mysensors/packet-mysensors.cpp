/* packet-mysensors.cpp
 * Dissector for MySensors 2.x radio messages carried as nRF24 payloads: a 7-byte
 * header (hop transmitter, sender, destination, version/signed/length, command/
 * echo/payload type, type, child sensor), up to 25 payload bytes and, in signed
 * messages, the truncated HMAC that fills the message up to 32 bytes. Joins the
 * heuristic list "nrf24" of the nRF24 module; decrypts networks that encrypt with
 * AES-128 given their key; feeds a tap for a per-node statistics tree and the
 * Endpoints and Conversations tables.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include <epan/expert.h>
#include <epan/prefs.h>
#include <wsutil/wsgcrypt.h>
#include "nrf24_plugin.h"
#include "nrf24_stats.h"
#include <wsutil/utf8_entities.h>

const gchar plugin_version[] = "1.1.0";

void proto_register_mysensors(void);
void proto_reg_handoff_mysensors(void);

#define MYS_HEADER_LEN   7
#define MYS_MAX_MESSAGE  32
#define MYS_MAX_PAYLOAD  (MYS_MAX_MESSAGE - MYS_HEADER_LEN)
#define MYS_VERSION      2
#define MYS_NODE_ITSELF  255
#define MYS_MAX_DECIMALS 8
#define MYS_AES_BLOCK    16
#define MYS_SIGNING_IDENTIFIER 1

enum { C_PRESENTATION, C_SET, C_REQ, C_INTERNAL, C_STREAM };
enum { P_STRING, P_BYTE, P_INT16, P_UINT16, P_LONG32, P_ULONG32, P_CUSTOM, P_FLOAT32 };
enum { I_BATTERY_LEVEL = 0, I_ID_REQUEST = 3, I_ID_RESPONSE = 4, I_FIND_PARENT_REQUEST = 7,
       I_FIND_PARENT_RESPONSE = 8, I_SKETCH_NAME = 11, I_SKETCH_VERSION = 12, I_SIGNING_PRESENTATION = 15,
       I_NONCE_REQUEST = 16, I_NONCE_RESPONSE = 17, I_HEARTBEAT_REQUEST = 18, I_DISCOVER_REQUEST = 20,
       I_DISCOVER_RESPONSE = 21, I_HEARTBEAT_RESPONSE = 22, I_PING = 24, I_PONG = 25,
       I_REGISTRATION_REQUEST = 26 };
enum { ST_FIRMWARE_REQUEST = 2, ST_FIRMWARE_RESPONSE = 3, ST_SOUND = 4, ST_IMAGE = 5 };
#define V_MULTI_MESSAGE 57

/* How much of the library's behaviour a payload must show to be taken. */
enum { MYS_STRICT_SENDER, MYS_STRICT_RECEIVER };

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

static int mysensors_tap = -1;
static int mysensors_address_type = -1;

static gint pref_strictness = MYS_STRICT_SENDER;
static const char *pref_key_text = "";
static guint8 aes_key[MYS_AES_BLOCK];
static gboolean have_key;

/* What one message tells the statistics and the conversation tables. */
typedef struct {
    guint8 last;
    guint8 sender;
    guint8 destination;
    guint8 command;
    guint8 type;
    guint8 child;
    guint8 payload_type;
    gboolean decrypted;
    gboolean has_number;
    guint32 number;      /* the value of a P_BYTE payload */
    const char *text;    /* the value as Info shows it, on the packet scope */
    guint size;          /* bytes of the message */
} mysensors_tap_info;

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

static const enum_val_t strictness_values[] = {
    { "sender",   "Only messages the library sends", MYS_STRICT_SENDER },
    { "receiver", "Every message the library's receiver accepts", MYS_STRICT_RECEIVER },
    { NULL, NULL, -1 }
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

static value_string_ext sensor_types_ext = VALUE_STRING_EXT_INIT(sensor_types);
static value_string_ext var_types_ext = VALUE_STRING_EXT_INIT(var_types);
static value_string_ext internal_types_ext = VALUE_STRING_EXT_INIT(internal_types);
static value_string_ext stream_types_ext = VALUE_STRING_EXT_INIT(stream_types);

static const value_string signature_ids[] = {
    { MYS_SIGNING_IDENTIFIER, "HMAC-SHA256" },
    { 0, NULL }
};

/* The command selects the table the type byte is read through, and its field. */
static const struct {
    int *hf;
    value_string_ext *names;
} type_tables[] = {
    { &hf_mysensors_sensor_type,   &sensor_types_ext },
    { &hf_mysensors_var_type,      &var_types_ext },
    { &hf_mysensors_var_type,      &var_types_ext },
    { &hf_mysensors_internal_type, &internal_types_ext },
    { &hf_mysensors_stream_type,   &stream_types_ext },
};

/* Payload bytes each payload type takes, as the library's setters give them; 0 for the two of any length. */
static const guint8 value_sizes[] = { 0, 1, 2, 2, 4, 4, 0, 5 };

/* Messages the library never signs (its skipSign list), by type bit. */
static const guint32 unsigned_internal_types =
    1u << I_ID_REQUEST | 1u << I_ID_RESPONSE | 1u << I_FIND_PARENT_REQUEST | 1u << I_FIND_PARENT_RESPONSE |
    1u << I_SIGNING_PRESENTATION | 1u << I_NONCE_REQUEST | 1u << I_NONCE_RESPONSE | 1u << I_HEARTBEAT_REQUEST |
    1u << I_DISCOVER_REQUEST | 1u << I_DISCOVER_RESPONSE | 1u << I_HEARTBEAT_RESPONSE | 1u << I_PING |
    1u << I_PONG | 1u << I_REGISTRATION_REQUEST;
static const guint32 unsigned_stream_types =
    1u << ST_FIRMWARE_REQUEST | 1u << ST_FIRMWARE_RESPONSE | 1u << ST_SOUND | 1u << ST_IMAGE;

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
        FT_UINT8, BASE_DEC | BASE_EXT_STRING, &sensor_types_ext, 0,
        NULL, HFILL }},
    { &hf_mysensors_var_type,
      { "Variable type", "mysensors.var_type",
        FT_UINT8, BASE_DEC | BASE_EXT_STRING, &var_types_ext, 0,
        NULL, HFILL }},
    { &hf_mysensors_internal_type,
      { "Internal type", "mysensors.internal_type",
        FT_UINT8, BASE_DEC | BASE_EXT_STRING, &internal_types_ext, 0,
        NULL, HFILL }},
    { &hf_mysensors_stream_type,
      { "Stream type", "mysensors.stream_type",
        FT_UINT8, BASE_DEC | BASE_EXT_STRING, &stream_types_ext, 0,
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
        FT_UINT8, BASE_DEC, VALS(signature_ids), 0,
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
        "Rest of the last AES block; the library leaves stale bytes there", HFILL }},
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
};

static proto_plugin plugin_mysensors;

/* The header's fields, read once through the tvb. */
typedef struct {
    guint8 last;
    guint8 sender;
    guint8 destination;
    guint8 version;
    gboolean is_signed;
    guint8 length;
    guint8 command;
    gboolean echo_request;
    gboolean echo;
    guint8 payload_type;
    guint8 type;
    guint8 child;
} mysensors_header;

/* The caller has made sure the tvb holds a whole header. */
static void read_header(tvbuff_t *tvb, mysensors_header *h)
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
static guint message_size(const mysensors_header *h)
{
    return MYS_HEADER_LEN + (h->is_signed ? MYS_MAX_PAYLOAD : h->length);
}

/* The signing presentation is the one P_CUSTOM message with a fixed size. */
static gboolean is_signing_presentation(const mysensors_header *h)
{
    return h->command == C_INTERNAL && h->type == I_SIGNING_PRESENTATION && h->payload_type == P_CUSTOM;
}

static gboolean is_multi_message(const mysensors_header *h)
{
    return h->command == C_SET && h->type == V_MULTI_MESSAGE && h->payload_type == P_CUSTOM;
}

/* Payload bytes the library gives this message, or 0 for any length. */
static guint expected_length(const mysensors_header *h)
{
    return is_signing_presentation(h) ? 2 : value_sizes[h->payload_type];
}

/* Checks the multi-message record at offset as the library's parser does: what
 * is wrong with it, or NULL with its size. */
static const char *record_fault(tvbuff_t *tvb, int offset, int end, int *size)
{
    guint8 command_echo_payload = nrf24_get_byte(tvb, offset);
    guint8 payload_type = command_echo_payload >> 5;
    if ((command_echo_payload & 0x07) > C_STREAM)
        return "has a command outside C_PRESENTATION to C_STREAM";
    if (value_sizes[payload_type] == 0)
        return "has a payload type of no fixed size";
    *size = 3 + value_sizes[payload_type];
    if (offset + *size > end)
        return "is cut short";
    return NULL;
}

/* What the library's senders never produce: each check follows one of its rules
 * (see the README's table). A header that passes the receiver's checks but fails
 * one of these is noise, another protocol or a wrongly decrypted block. */
static gboolean library_sends(tvbuff_t *tvb, const mysensors_header *h)
{
    if (h->echo && h->echo_request)
        return FALSE;
    if (try_val_to_str_ext(h->type, type_tables[h->command].names) == NULL)
        return FALSE;
    if ((h->command == C_PRESENTATION || h->command == C_REQ) && h->payload_type != P_STRING)
        return FALSE;
    guint expected = expected_length(h);
    if (expected != 0 && h->length != expected)
        return FALSE;
    if (h->payload_type == P_STRING && h->length > 0 && tvb_strnlen(tvb, MYS_HEADER_LEN, h->length) != -1)
        return FALSE;
    if (is_multi_message(h)) {
        int end = MYS_HEADER_LEN + h->length, size = 0;
        for (int offset = MYS_HEADER_LEN; offset < end; offset += size)
            if (record_fault(tvb, offset, end, &size))
                return FALSE;
    }
    if (h->is_signed) {
        guint32 never_signed = h->command == C_INTERNAL ? unsigned_internal_types
                             : h->command == C_STREAM   ? unsigned_stream_types : 0;
        if (h->echo || (h->type < 32 && (never_signed >> h->type & 1)))
            return FALSE;
        if (MYS_HEADER_LEN + h->length >= MYS_MAX_MESSAGE ||
            nrf24_get_byte(tvb, MYS_HEADER_LEN + h->length) != MYS_SIGNING_IDENTIFIER)
            return FALSE;
    }
    return TRUE;
}

/* The library's receiver keeps a message with version 2, a known command and a
 * length field that matches the bytes received; padded (decrypted) messages fill
 * the AES blocks they were sent in. The sender's rules come on top unless the
 * user turned strictness down. */
static gboolean mysensors_plausible(tvbuff_t *tvb, const mysensors_header *h, guint captured, gboolean padded)
{
    if (h->version != MYS_VERSION || h->command > C_STREAM || h->length > MYS_MAX_PAYLOAD)
        return FALSE;
    guint size = message_size(h);
    if (padded ? size > captured || size + MYS_AES_BLOCK <= captured : size != captured)
        return FALSE;
    return pref_strictness == MYS_STRICT_RECEIVER || library_sends(tvb, h);
}

/* Decimal digits without a formatter: Info is built for every frame, and printf
 * would cost more than the rest of the module. buf holds at least 11 bytes. */
static const char *format_uint(char *buf, guint32 value)
{
    char *p = buf + 10;
    *p = '\0';
    do {
        *--p = (char)('0' + value % 10);
        value /= 10;
    } while (value);
    return p;
}

static void append_uint(wmem_strbuf_t *out, guint32 value)
{
    char buf[11];
    wmem_strbuf_append(out, format_uint(buf, value));
}

static void append_int(wmem_strbuf_t *out, gint32 value)
{
    if (value < 0)
        wmem_strbuf_append_c(out, '-');
    append_uint(out, value < 0 ? 0u - (guint32)value : (guint32)value);
}

/* "V_TEMP child 5", or "I_BATTERY_LEVEL node" when the message is about the node itself. */
static void append_subject(wmem_strbuf_t *out, guint8 command, guint8 type, guint8 child)
{
    const gchar *name = try_val_to_str_ext(type, type_tables[command].names);
    if (name) {
        wmem_strbuf_append(out, name);
    } else {
        wmem_strbuf_append(out, "type ");
        append_uint(out, type);
    }
    if (child == MYS_NODE_ITSELF) {
        wmem_strbuf_append(out, " node");
    } else {
        wmem_strbuf_append(out, " child ");
        append_uint(out, child);
    }
}

/* Custom bytes as the library's logs write them: upper-case hex, no separators. */
static const char *upper_hex(wmem_allocator_t *scope, tvbuff_t *tvb, int offset, int len)
{
    static const char digits[] = "0123456789ABCDEF";
    char *text = (char *)wmem_alloc(scope, 2 * len + 1);
    for (int i = 0; i < len; i++) {
        guint8 byte = nrf24_get_byte(tvb, offset + i);
        text[2 * i] = digits[byte >> 4];
        text[2 * i + 1] = digits[byte & 0x0F];
    }
    text[2 * len] = '\0';
    return text;
}

/* Adds one value whose size fits its payload type and appends it to text the way
 * the library's logs write it: the UTF-8 text the tree shows, custom bytes in
 * upper-case hex, numbers in decimal, a float with as many decimals as its
 * precision byte asks for, at most 8. */
static void add_value(proto_tree *tree, tvbuff_t *tvb, packet_info *pinfo, int offset, guint8 payload_type, int len,
                      wmem_strbuf_t *text, mysensors_tap_info *info)
{
    int hf_value = *value_fields[payload_type];
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
            const char *value = upper_hex(pinfo->pool, tvb, offset, len);
            proto_tree_add_bytes_format_value(tree, hf_value, tvb, offset, len, NULL, "%s", value);
            wmem_strbuf_append(text, value);
        }
        break;
    case P_BYTE:
    case P_UINT16:
    case P_ULONG32:
        proto_tree_add_item_ret_uint(tree, hf_value, tvb, offset, len, ENC_LITTLE_ENDIAN, &unsigned_value);
        append_uint(text, unsigned_value);
        if (payload_type == P_BYTE && info) {
            info->has_number = TRUE;
            info->number = unsigned_value;
        }
        break;
    case P_INT16:
    case P_LONG32:
        proto_tree_add_item_ret_int(tree, hf_value, tvb, offset, len, ENC_LITTLE_ENDIAN, &signed_value);
        append_int(text, signed_value);
        break;
    case P_FLOAT32: {
        gfloat value = tvb_get_letohieee_float(tvb, offset);
        guint8 precision = nrf24_get_byte(tvb, offset + 4);
        gsize start = wmem_strbuf_get_len(text);
        wmem_strbuf_append_printf(text, "%.*f", (int)MIN(precision, MYS_MAX_DECIMALS), value);
        proto_tree_add_float_format_value(tree, hf_value, tvb, offset, 4, value, "%s",
                                          wmem_strbuf_get_str(text) + start);
        proto_item *pi = proto_tree_add_item(tree, hf_mysensors_value_precision, tvb, offset + 4, 1, ENC_NA);
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
        fault = record_fault(tvb, offset, end, &size);
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
        proto_tree_add_item(record_tree, *type_tables[command].hf, tvb, offset + 1, 1, ENC_NA);
        proto_item_set_hidden(proto_tree_add_item(record_tree, hf_mysensors_type, tvb, offset + 1, 1, ENC_NA));
        proto_tree_add_item(record_tree, hf_mysensors_child, tvb, offset + 2, 1, ENC_NA);
        wmem_strbuf_t *record = wmem_strbuf_new(pinfo->pool, "");
        append_subject(record, command, nrf24_get_byte(tvb, offset + 1), nrf24_get_byte(tvb, offset + 2));
        wmem_strbuf_append(record, ": ");
        add_value(record_tree, tvb, pinfo, offset + 3, payload_type, value_sizes[payload_type], record, NULL);
        proto_item_set_text(ri, "Record %u: %s", count + 1, wmem_strbuf_get_str(record));
    }
    append_uint(text, count);
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
    wmem_strbuf_append(text, upper_hex(scope, tvb, MYS_HEADER_LEN, 2));
}

/* Decodes the payload by its payload type; a length that does not fit the type is
 * flagged, and the bytes are shown as they are. Returns FALSE for a malformed payload. */
static gboolean dissect_payload(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, const mysensors_header *h,
                                wmem_strbuf_t *text, mysensors_tap_info *info)
{
    guint expected = expected_length(h);
    if (expected != 0 && h->length != expected) {
        proto_item *pi = proto_tree_add_item(tree, hf_mysensors_value_custom, tvb, MYS_HEADER_LEN, h->length, ENC_NA);
        if (is_signing_presentation(h))
            expert_add_info_format(pinfo, pi, &ei_mysensors_bad_length,
                                   "I_SIGNING_PRESENTATION takes 2 bytes of P_CUSTOM, the length field says %u",
                                   h->length);
        else
            expert_add_info_format(pinfo, pi, &ei_mysensors_bad_length,
                                   "%s takes %u byte%s, the length field says %u",
                                   val_to_str_const(h->payload_type, payload_types, "?"), expected,
                                   expected == 1 ? "" : "s", h->length);
        return FALSE;
    }
    if (is_signing_presentation(h))
        dissect_signing_presentation(tvb, tree, pinfo->pool, text);
    else if (is_multi_message(h))
        return dissect_multi_message(tvb, pinfo, tree, MYS_HEADER_LEN, MYS_HEADER_LEN + h->length, text);
    else
        add_value(tree, tvb, pinfo, MYS_HEADER_LEN, h->payload_type, h->length, text, info);
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
    proto_tree_add_item(tree, *type_tables[h->command].hf, tvb, 5, 1, ENC_NA);
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
    guint size = message_size(h);
    mysensors_tap_info *info = NULL;
    col_set_str(pinfo->cinfo, COL_PROTOCOL, "mysensors");
    if (have_tap_listener(mysensors_tap)) {
        info = wmem_new0(pinfo->pool, mysensors_tap_info);
        info->last = h->last;
        info->sender = h->sender;
        info->destination = h->destination;
        info->command = h->command;
        info->type = h->type;
        info->child = h->child;
        info->payload_type = h->payload_type;
        info->decrypted = decrypted;
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
    append_uint(summary, h->sender);
    wmem_strbuf_append(summary, UTF8_RIGHTWARDS_ARROW);
    append_uint(summary, h->destination);
    wmem_strbuf_append_c(summary, ' ');
    wmem_strbuf_append(summary, command_words[h->command]);
    wmem_strbuf_append_c(summary, ' ');
    append_subject(summary, h->command, h->type, h->child);
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
    col_add_str(pinfo->cinfo, COL_DEF_SRC, format_uint(last, h->last));
    if (info)
        tap_queue_packet(mysensors_tap, pinfo, info);
}

/* AES-128-CBC with an all-zero IV over the whole radio payload, as the library's
 * transport encrypts it; the plaintext is a new tvb on the packet scope, or NULL
 * when the host's libgcrypt refuses. */
static tvbuff_t *decrypt_payload(tvbuff_t *tvb, packet_info *pinfo)
{
    static const guint8 zero_iv[MYS_AES_BLOCK] = { 0 };
    guint len = tvb_captured_length(tvb);
    guint8 *plain = (guint8 *)wmem_alloc(pinfo->pool, len);
    gcry_cipher_hd_t cipher;
    if (gcry_cipher_open(&cipher, GCRY_CIPHER_AES128, GCRY_CIPHER_MODE_CBC, 0) != 0)
        return NULL;
    gboolean ok = gcry_cipher_setkey(cipher, aes_key, sizeof aes_key) == 0 &&
                  gcry_cipher_setiv(cipher, zero_iv, sizeof zero_iv) == 0 &&
                  gcry_cipher_decrypt(cipher, plain, len, tvb_get_ptr(tvb, 0, len), len) == 0;
    gcry_cipher_close(cipher);
    return ok ? tvb_new_child_real_data(tvb, plain, len, len) : NULL;
}

/* Member of the "nrf24" heuristic list: takes a payload only when it is a
 * plausible MySensors 2.x message, in clear or, with a key, after decryption. */
static nrf24_heur_result dissect_mysensors_heur(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree,
                                                void *data _U_)
{
    mysensors_header h;
    guint len = tvb_captured_length(tvb);
    if (len < MYS_HEADER_LEN || len > MYS_MAX_MESSAGE)
        return false;
    read_header(tvb, &h);
    if (mysensors_plausible(tvb, &h, len, FALSE)) {
        dissect_mysensors(tvb, pinfo, tree, &h, FALSE);
        return true;
    }
    if (!have_key || len % MYS_AES_BLOCK != 0)
        return false;
    tvbuff_t *clear = decrypt_payload(tvb, pinfo);
    if (clear == NULL)
        return false;
    read_header(clear, &h);
    if (!mysensors_plausible(clear, &h, len, TRUE))
        return false;
    add_new_data_source(pinfo, clear, "MySensors decrypted");
    dissect_mysensors(clear, pinfo, tree, &h, TRUE);
    return true;
}

/* The key preference: 32 hex digits, or the simple password zero-padded to 16
 * bytes as MY_ENCRYPTION_SIMPLE_PASSWD is. Anything else means no key. */
static void apply_preferences(void)
{
    const char *text = pref_key_text ? pref_key_text : "";
    size_t len = strlen(text);
    memset(aes_key, 0, sizeof aes_key);
    have_key = FALSE;
    if (len == 2 * MYS_AES_BLOCK) {
        have_key = TRUE;
        for (size_t i = 0; i < len && have_key; i++)
            have_key = g_ascii_isxdigit(text[i]);
        for (size_t i = 0; i < MYS_AES_BLOCK && have_key; i++)
            aes_key[i] = (guint8)(g_ascii_xdigit_value(text[2 * i]) << 4 | g_ascii_xdigit_value(text[2 * i + 1]));
    } else if (len > 0 && len <= MYS_AES_BLOCK) {
        memcpy(aes_key, text, len);
        have_key = TRUE;
    }
}

/* A node id as the Endpoints and Conversations tables show it. */
static int node_to_str(const address *addr, gchar *buf, int buf_len)
{
    return (int)g_snprintf(buf, buf_len, "%u", *(const guint8 *)addr->data) + 1;
}

static int node_str_len(const address *addr _U_)
{
    return 4;
}

static const char *node_col_filter(const address *addr _U_, nrf24_address_side is_src)
{
    return is_src ? "mysensors.sender" : "mysensors.destination";
}

static int node_len(void)
{
    return 1;
}

static const char *conversation_filter(conv_item_t *conv, conv_filter_type_e filter)
{
    if (conv->src_address.type != mysensors_address_type)
        return CONV_FILTER_INVALID;
    if (filter == CONV_FT_SRC_ADDRESS)
        return "mysensors.sender";
    if (filter == CONV_FT_DST_ADDRESS)
        return "mysensors.destination";
    if (filter == CONV_FT_ANY_ADDRESS)
        return "mysensors.node";
    return CONV_FILTER_INVALID;
}

static ct_dissector_info_t conversation_info = { &conversation_filter };


static const char *endpoint_filter(nrf24_endpoint_item *endpoint, conv_filter_type_e filter)
{
    if (endpoint->myaddress.type == mysensors_address_type && filter == CONV_FT_ANY_ADDRESS)
        return "mysensors.node";
    return CONV_FILTER_INVALID;
}

static nrf24_endpoint_info endpoint_info = { &endpoint_filter };

/* One conversation per sender and destination: the message flows of the network. */
static tap_packet_status conversation_packet(void *table, packet_info *pinfo, epan_dissect_t *edt _U_,
                                             const void *data NRF24_TAP_FLAGS)
{
    const mysensors_tap_info *info = (const mysensors_tap_info *)data;
    address src, dst;
    set_address(&src, mysensors_address_type, 1, &info->sender);
    set_address(&dst, mysensors_address_type, 1, &info->destination);
    add_conversation_table_data((conv_hash_t *)table, &src, &dst, 0, 0, 1, info->size, &pinfo->rel_ts,
                                &pinfo->abs_ts, &conversation_info, NRF24_CONVERSATION_NONE);
    return TAP_PACKET_REDRAW;
}

/* Every node heard: the sender, the destination and a repeater that transmitted the hop. */
static tap_packet_status endpoint_packet(void *table, packet_info *pinfo _U_, epan_dissect_t *edt _U_,
                                         const void *data NRF24_TAP_FLAGS)
{
    const mysensors_tap_info *info = (const mysensors_tap_info *)data;
    conv_hash_t *hash = (conv_hash_t *)table;
    address node;
    set_address(&node, mysensors_address_type, 1, &info->sender);
    nrf24_add_endpoint(hash, &node, 0, TRUE, 1, info->size, &endpoint_info, NRF24_ENDPOINT_NONE);
    set_address(&node, mysensors_address_type, 1, &info->destination);
    nrf24_add_endpoint(hash, &node, 0, FALSE, 1, info->size, &endpoint_info, NRF24_ENDPOINT_NONE);
    if (info->last != info->sender) {
        set_address(&node, mysensors_address_type, 1, &info->last);
        nrf24_add_endpoint(hash, &node, 0, TRUE, 1, info->size, &endpoint_info, NRF24_ENDPOINT_NONE);
    }
    return TAP_PACKET_REDRAW;
}

static const char *const stats_root = "MySensors nodes";

static void nodes_stats_init(stats_tree *st)
{
    stats_tree_create_node(st, stats_root, 0, STAT_DT_INT, TRUE);
}

/* Per sending node: messages by command, presented sensors with their types and
 * descriptions, library version, sketch name and version, last battery level and
 * parent. Texts that identify something become node names; levels are set, not summed. */
static tap_packet_status nodes_stats_packet(stats_tree *st, packet_info *pinfo, epan_dissect_t *edt _U_,
                                            const void *data NRF24_TAP_FLAGS)
{
    const mysensors_tap_info *info = (const mysensors_tap_info *)data;
    int root = tick_stat_node(st, stats_root, 0, TRUE);
    int node = tick_stat_node(st, wmem_strdup_printf(pinfo->pool, "Node %u", info->sender), root, TRUE);
    int commands_node = tick_stat_node(st, "Messages by command", node, TRUE);
    tick_stat_node(st, val_to_str_const(info->command, commands, "?"), commands_node, FALSE);
    const char *type_name = try_val_to_str_ext(info->type, type_tables[info->command].names);
    if (info->command == C_PRESENTATION && info->child != MYS_NODE_ITSELF) {
        int sensors = tick_stat_node(st, "Presented sensors", node, TRUE);
        tick_stat_node(st, wmem_strdup_printf(pinfo->pool, "Child %u: %s \"%s\"", info->child,
                                              type_name ? type_name : "?", info->text), sensors, FALSE);
    } else if (info->command == C_PRESENTATION) {
        tick_stat_node(st, wmem_strdup_printf(pinfo->pool, "%s, library %s", type_name ? type_name : "?", info->text),
                       node, FALSE);
    } else if (info->command == C_INTERNAL && info->type == I_SKETCH_NAME) {
        tick_stat_node(st, wmem_strdup_printf(pinfo->pool, "Sketch name: %s", info->text), node, FALSE);
    } else if (info->command == C_INTERNAL && info->type == I_SKETCH_VERSION) {
        tick_stat_node(st, wmem_strdup_printf(pinfo->pool, "Sketch version: %s", info->text), node, FALSE);
    } else if (info->command == C_INTERNAL && info->type == I_BATTERY_LEVEL && info->has_number) {
        set_stat_node(st, "Battery level (last, %)", node, FALSE, (gint)info->number);
    } else if (info->command == C_INTERNAL && info->type == I_DISCOVER_RESPONSE && info->has_number) {
        set_stat_node(st, "Parent (node id)", node, FALSE, (gint)info->number);
    }
    return TAP_PACKET_REDRAW;
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

    mysensors_tap = register_tap("mysensors");
    mysensors_address_type = address_type_dissector_register("AT_MYSENSORS", "MySensors node id", node_to_str,
                                                             node_str_len, NULL, node_col_filter, node_len, NULL,
                                                             NULL);
    register_conversation_table(proto_mysensors, TRUE, conversation_packet, endpoint_packet);
}

/* Joins the list that the nRF24 module offers its good payloads to. */
void proto_reg_handoff_mysensors(void)
{
    heur_dissector_add("nrf24", dissect_mysensors_heur, "MySensors over nRF24", "mysensors_nrf24", proto_mysensors,
                       HEURISTIC_ENABLE);
}

/* The statistics tree joins the host's Statistics menu and -z when the host
 * registers its tap listeners, as the host's own stats plug-in does. */
static void register_mysensors_stats(void)
{
    stats_tree_register_plugin("mysensors", "mysensors", "MySensors/Nodes", 0, nodes_stats_packet,
                               nodes_stats_init, NULL);
}

/* The entry point the host looks up after accepting the version symbols. */
void plugin_register(void)
{
    static tap_plugin stats_plugin;
    plugin_mysensors.register_protoinfo = proto_register_mysensors;
    plugin_mysensors.register_handoff = proto_reg_handoff_mysensors;
    proto_register_plugin(&plugin_mysensors);
    stats_plugin.register_tap_listener = register_mysensors_stats;
    tap_register_plugin(&stats_plugin);
}
