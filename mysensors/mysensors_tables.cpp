/* mysensors_tables.cpp
 * The MySensors 2.x names, kept by hand from the library's MyMessage.h (2.3):
 * its enums only grow at the end, one release in several years, so a copy to
 * check against the header when the library adds types is simpler than a build
 * step that needs the library's source.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include "mysensors_tables.h"

const value_string mysensors_node_ids[] = {
    { 0,   "Gateway" },
    { 255, "No id yet" },
    { 0, NULL }
};

const value_string mysensors_destination_ids[] = {
    { 0,   "Gateway" },
    { 255, "Broadcast" },
    { 0, NULL }
};

const value_string mysensors_child_ids[] = {
    { MYS_NODE_ITSELF, "Node itself" },
    { 0, NULL }
};

const value_string mysensors_commands[] = {
    { C_PRESENTATION, "C_PRESENTATION" },
    { C_SET,          "C_SET" },
    { C_REQ,          "C_REQ" },
    { C_INTERNAL,     "C_INTERNAL" },
    { C_STREAM,       "C_STREAM" },
    { 0, NULL }
};

const char *const mysensors_command_words[] = { "PRESENTATION", "SET", "REQ", "INTERNAL", "STREAM" };

const value_string mysensors_payload_types[] = {
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

static const value_string mysensors_sensor_types[] = {
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

static const value_string mysensors_var_types[] = {
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

static const value_string mysensors_internal_types[] = {
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

static const value_string mysensors_stream_types[] = {
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

value_string_ext mysensors_sensor_types_ext = VALUE_STRING_EXT_INIT(mysensors_sensor_types);
value_string_ext mysensors_var_types_ext = VALUE_STRING_EXT_INIT(mysensors_var_types);
value_string_ext mysensors_internal_types_ext = VALUE_STRING_EXT_INIT(mysensors_internal_types);
value_string_ext mysensors_stream_types_ext = VALUE_STRING_EXT_INIT(mysensors_stream_types);

const value_string mysensors_signature_ids[] = {
    { MYS_SIGNING_IDENTIFIER, "HMAC-SHA256" },
    { 0, NULL }
};

value_string_ext *const mysensors_type_names[] = {
    &mysensors_sensor_types_ext,
    &mysensors_var_types_ext,
    &mysensors_var_types_ext,
    &mysensors_internal_types_ext,
    &mysensors_stream_types_ext,
};

const guint8 mysensors_value_sizes[] = { 0, 1, 2, 2, 4, 4, 0, 5 };

const guint32 mysensors_unsigned_internal_types =
    1u << I_ID_REQUEST | 1u << I_ID_RESPONSE | 1u << I_FIND_PARENT_REQUEST | 1u << I_FIND_PARENT_RESPONSE |
    1u << I_SIGNING_PRESENTATION | 1u << I_NONCE_REQUEST | 1u << I_NONCE_RESPONSE | 1u << I_HEARTBEAT_REQUEST |
    1u << I_DISCOVER_REQUEST | 1u << I_DISCOVER_RESPONSE | 1u << I_HEARTBEAT_RESPONSE | 1u << I_PING |
    1u << I_PONG | 1u << I_REGISTRATION_REQUEST;
const guint32 mysensors_unsigned_stream_types =
    1u << ST_FIRMWARE_REQUEST | 1u << ST_FIRMWARE_RESPONSE | 1u << ST_SOUND | 1u << ST_IMAGE;
