/* mysensors_tables.h
 * The MySensors 2.x protocol's numbers and names, as the library's MyMessage.h
 * defines them: header layout, commands, payload types, the type tables of each
 * command, and what the library's senders do with them.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#ifndef MYSENSORS_TABLES_H
#define MYSENSORS_TABLES_H

#include <epan/packet.h>

#define MYS_HEADER_LEN   7
#define MYS_MAX_MESSAGE  32
#define MYS_MAX_PAYLOAD  (MYS_MAX_MESSAGE - MYS_HEADER_LEN)
#define MYS_VERSION      2
#define MYS_NODE_ITSELF  255
#define MYS_GATEWAY      0
#define MYS_BROADCAST    255
#define MYS_MAX_DECIMALS 8
#define MYS_MAX_BATTERY_LEVEL 100
#define MYS_SIGNING_IDENTIFIER 1
#define MYS_AES_BLOCK    16

enum { C_PRESENTATION, C_SET, C_REQ, C_INTERNAL, C_STREAM };
enum { P_STRING, P_BYTE, P_INT16, P_UINT16, P_LONG32, P_ULONG32, P_CUSTOM, P_FLOAT32 };
enum { I_BATTERY_LEVEL = 0, I_ID_REQUEST = 3, I_ID_RESPONSE = 4, I_FIND_PARENT_REQUEST = 7,
       I_FIND_PARENT_RESPONSE = 8, I_SKETCH_NAME = 11, I_SKETCH_VERSION = 12, I_SIGNING_PRESENTATION = 15,
       I_NONCE_REQUEST = 16, I_NONCE_RESPONSE = 17, I_HEARTBEAT_REQUEST = 18, I_DISCOVER_REQUEST = 20,
       I_DISCOVER_RESPONSE = 21, I_HEARTBEAT_RESPONSE = 22, I_PING = 24, I_PONG = 25,
       I_REGISTRATION_REQUEST = 26 };
enum { ST_FIRMWARE_REQUEST = 2, ST_FIRMWARE_RESPONSE = 3, ST_SOUND = 4, ST_IMAGE = 5 };
#define V_MULTI_MESSAGE 57

extern const value_string mysensors_node_ids[];
extern const value_string mysensors_destination_ids[];
extern const value_string mysensors_child_ids[];
extern const value_string mysensors_commands[];
extern const value_string mysensors_payload_types[];
extern const value_string mysensors_signature_ids[];
extern value_string_ext mysensors_sensor_types_ext;
extern value_string_ext mysensors_var_types_ext;
extern value_string_ext mysensors_internal_types_ext;
extern value_string_ext mysensors_stream_types_ext;

/* The command as the Info column says it: short, the type name tells the rest. */
extern const char *const mysensors_command_words[];

/* The command selects the table the type byte is read through. */
extern value_string_ext *const mysensors_type_names[];

/* Payload bytes each payload type takes, as the library's setters give them; 0 for the two of any length. */
extern const guint8 mysensors_value_sizes[];

/* Messages the library never signs (its skipSign list), by type bit. */
extern const guint32 mysensors_unsigned_internal_types;
extern const guint32 mysensors_unsigned_stream_types;

#endif /* MYSENSORS_TABLES_H */
