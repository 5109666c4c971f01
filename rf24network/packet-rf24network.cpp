/* packet-rf24network.cpp
 * Dissector for RF24Network frames carried as nRF24 payloads: the 8-byte header
 * (from node, to node, message id, type, reserved), the tree's octal logical
 * addresses and the hop the radio address names, messages the library split into
 * fragments (reassembled), RF24Mesh's address exchanges (node ids kept beside
 * the addresses) and RF24Ethernet/RF24Gateway's external data, handed to the
 * host's IP dissector. Joins the heuristic list "nrf24" of the nRF24 module;
 * feeds a tap for a per-node statistics tree and the Endpoints and Conversations
 * tables.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include <epan/expert.h>
#include <epan/prefs.h>
#include "nrf24_plugin.h"
#include "nrf24_stats.h"
#include "nrf24_frame.h"
/* Up to 4.0 the reassembly header declares its functions without C linkage. */
extern "C" {
#include <epan/reassemble.h>
}

const gchar plugin_version[] = "1.0.0";

void proto_register_rf24network(void);
void proto_reg_handoff_rf24network(void);

#define RF24N_HEADER_LEN       8
#define RF24N_MAX_FRAME        32
#define RF24N_NUM_PIPES        6
#define RF24N_MAX_LEVELS       4
#define RF24N_MULTICAST        0100
#define RF24N_MULTICAST_LEVEL_2 010
#define RF24N_MULTICAST_LEVEL_4 01000
#define RF24N_DEFAULT_ADDRESS  04444
#define RF24N_PAD_BYTE         0xCC

/* Header types, by the names RF24Network.h and RF24Mesh.h give them. */
enum {
    MAX_USER_DEFINED_HEADER_TYPE = 127,
    NETWORK_ADDR_RESPONSE = 128,
    NETWORK_PING = 130,
    EXTERNAL_DATA_TYPE = 131,
    NETWORK_FIRST_FRAGMENT = 148,
    NETWORK_MORE_FRAGMENTS = 149,
    NETWORK_LAST_FRAGMENT = 150,
    NETWORK_ACK = 193,
    NETWORK_POLL = 194,
    NETWORK_REQ_ADDRESS = 195,
    MESH_ADDR_LOOKUP = 196,
    MESH_ADDR_RELEASE = 197,
    MESH_ID_LOOKUP = 198,
};

/* How much of the library's behaviour a payload must show to be taken. */
enum { RF24N_STRICT_SENDER, RF24N_STRICT_RECEIVER };

static int proto_rf24network = -1;
static int hf_rf24network_from = -1;
static int hf_rf24network_to = -1;
static int hf_rf24network_node = -1;
static int hf_rf24network_id = -1;
static int hf_rf24network_type = -1;
static int hf_rf24network_reserved = -1;
static int hf_rf24network_fragments_left = -1;
static int hf_rf24network_message_type = -1;
static int hf_rf24network_mesh_node_id = -1;
static int hf_rf24network_from_level = -1;
static int hf_rf24network_to_level = -1;
static int hf_rf24network_hop = -1;
static int hf_rf24network_pipe = -1;
static int hf_rf24network_multicast_level = -1;
static int hf_rf24network_from_node_id = -1;
static int hf_rf24network_to_node_id = -1;
static int hf_rf24network_payload = -1;
static int hf_rf24network_mesh_address = -1;
static int hf_rf24network_mesh_lookup_id = -1;
static int hf_rf24network_mesh_lookup_result = -1;
static int hf_rf24network_fragments = -1;
static int hf_rf24network_fragment = -1;
static int hf_rf24network_fragment_overlap = -1;
static int hf_rf24network_fragment_overlap_conflicts = -1;
static int hf_rf24network_fragment_multiple_tails = -1;
static int hf_rf24network_fragment_too_long_fragment = -1;
static int hf_rf24network_fragment_error = -1;
static int hf_rf24network_fragment_count = -1;
static int hf_rf24network_reassembled_in = -1;
static int hf_rf24network_reassembled_length = -1;
static int hf_rf24network_reassembled_data = -1;
static gint ett_rf24network = -1;
static gint ett_rf24network_fragment = -1;
static gint ett_rf24network_fragments = -1;
static expert_field ei_rf24network_off_route = EI_INIT;
static expert_field ei_rf24network_first_unseen = EI_INIT;

static int rf24network_tap = -1;
static int rf24network_address_type = -1;
static dissector_handle_t ip_handle;
static reassembly_table rf24network_reassembly_table;

static gint pref_strictness = RF24N_STRICT_SENDER;
static nrf24_pref_bool pref_reassemble = TRUE;

/* What the radio address says about the hop: the node and pipe the library derived
 * it from, or the multicast address of a level (the pipe 0 of its nodes). */
typedef struct {
    guint16 node;
    guint8 pipe;
    guint8 multicast_level;   /* 0 when the address is a node's pipe */
} rf24network_hop;

typedef struct {
    guint16 from;
    guint16 to;
    guint16 id;
    guint8 type;
    guint8 reserved;
} rf24network_header;

/* Kept per frame from the first pass: what earlier frames told about this one. */
typedef struct {
    guint8 fragments;         /* the message's fragment count, 0 when its first fragment was not seen */
    gint16 from_node_id;      /* the mesh node id of each address, -1 when unknown */
    gint16 to_node_id;
    gint32 asked;             /* what a lookup reply answers (a node id or an address), -1 when unknown */
} rf24network_frame_state;

/* What one message tells the statistics and the conversation tables. */
typedef struct {
    guint16 from;
    guint16 to;
    guint8 type;
    gboolean fragment;
    gboolean reassembled;
    guint size;
} rf24network_tap_info;

/* Per capture file: mesh node ids by address and what pending lookups asked (both
 * stored plus one, so that 0 means none), fragment counts. */
static wmem_map_t *node_ids;
static wmem_map_t *pending_lookups;
static wmem_map_t *fragment_counts;

static const guint8 address_translation[RF24N_NUM_PIPES] = { 0xc3, 0x3c, 0x33, 0xce, 0x3e, 0xe3 };

static const range_string types[] = {
    { 0,                      64,                           "User message, no network ack" },
    { 65,                     MAX_USER_DEFINED_HEADER_TYPE, "User message, network ack" },
    { NETWORK_ADDR_RESPONSE,  NETWORK_ADDR_RESPONSE,        "NETWORK_ADDR_RESPONSE" },
    { NETWORK_PING,           NETWORK_PING,                 "NETWORK_PING" },
    { EXTERNAL_DATA_TYPE,     EXTERNAL_DATA_TYPE,           "EXTERNAL_DATA_TYPE" },
    { NETWORK_FIRST_FRAGMENT, NETWORK_FIRST_FRAGMENT,       "NETWORK_FIRST_FRAGMENT" },
    { NETWORK_MORE_FRAGMENTS, NETWORK_MORE_FRAGMENTS,       "NETWORK_MORE_FRAGMENTS" },
    { NETWORK_LAST_FRAGMENT,  NETWORK_LAST_FRAGMENT,        "NETWORK_LAST_FRAGMENT" },
    { NETWORK_ACK,            NETWORK_ACK,                  "NETWORK_ACK" },
    { NETWORK_POLL,           NETWORK_POLL,                 "NETWORK_POLL" },
    { NETWORK_REQ_ADDRESS,    NETWORK_REQ_ADDRESS,          "NETWORK_REQ_ADDRESS" },
    { MESH_ADDR_LOOKUP,       MESH_ADDR_LOOKUP,             "MESH_ADDR_LOOKUP" },
    { MESH_ADDR_RELEASE,      MESH_ADDR_RELEASE,            "MESH_ADDR_RELEASE" },
    { MESH_ID_LOOKUP,         MESH_ID_LOOKUP,               "MESH_ID_LOOKUP" },
    { 0, 0, NULL }
};

static const enum_val_t strictness_values[] = {
    { "sender",   "Only frames the library sends, on the radio address of their hop", RF24N_STRICT_SENDER },
    { "receiver", "Every frame the library's receiver keeps (valid addresses)", RF24N_STRICT_RECEIVER },
    { NULL, NULL, -1 }
};

/* A logical address as the library prints it: "0%o" (00, 05, 0145). */
static void format_address(gchar *buf, guint32 value)
{
    g_snprintf(buf, ITEM_LABEL_LENGTH, "0%o", value);
}

static const fragment_items rf24network_frag_items = {
    &ett_rf24network_fragment,
    &ett_rf24network_fragments,
    &hf_rf24network_fragments,
    &hf_rf24network_fragment,
    &hf_rf24network_fragment_overlap,
    &hf_rf24network_fragment_overlap_conflicts,
    &hf_rf24network_fragment_multiple_tails,
    &hf_rf24network_fragment_too_long_fragment,
    &hf_rf24network_fragment_error,
    &hf_rf24network_fragment_count,
    &hf_rf24network_reassembled_in,
    &hf_rf24network_reassembled_length,
    &hf_rf24network_reassembled_data,
    "RF24Network fragments"
};

static hf_register_info hf[] = {
    { &hf_rf24network_from,
      { "From", "rf24network.from",
        FT_UINT16, BASE_CUSTOM, CF_FUNC(format_address), 0,
        "Logical address of the node the message comes from", HFILL }},
    { &hf_rf24network_to,
      { "To", "rf24network.to",
        FT_UINT16, BASE_CUSTOM, CF_FUNC(format_address), 0,
        "Logical address the message is for (0100: multicast)", HFILL }},
    { &hf_rf24network_node,
      { "Node", "rf24network.node",
        FT_UINT16, BASE_CUSTOM, CF_FUNC(format_address), 0,
        "From or to", HFILL }},
    { &hf_rf24network_id,
      { "Message id", "rf24network.id",
        FT_UINT16, BASE_DEC, NULL, 0,
        NULL, HFILL }},
    { &hf_rf24network_type,
      { "Type", "rf24network.type",
        FT_UINT8, BASE_DEC | BASE_RANGE_STRING, RVALS(types), 0,
        NULL, HFILL }},
    { &hf_rf24network_reserved,
      { "Reserved", "rf24network.reserved",
        FT_UINT8, BASE_HEX, NULL, 0,
        "Not set by the library for this type", HFILL }},
    { &hf_rf24network_fragments_left,
      { "Fragments left", "rf24network.fragments_left",
        FT_UINT8, BASE_DEC, NULL, 0,
        "This fragment and those after it (the whole count in the first)", HFILL }},
    { &hf_rf24network_message_type,
      { "Message type", "rf24network.message_type",
        FT_UINT8, BASE_DEC | BASE_RANGE_STRING, RVALS(types), 0,
        "Type of the fragmented message, carried by its last fragment", HFILL }},
    { &hf_rf24network_mesh_node_id,
      { "Mesh node id", "rf24network.mesh.node_id",
        FT_UINT8, BASE_DEC, NULL, 0,
        "Node id of the node asking for an address", HFILL }},
    { &hf_rf24network_from_level,
      { "From level", "rf24network.from_level",
        FT_UINT8, BASE_DEC, NULL, 0,
        "Depth of the sender in the tree (00 is level 0)", HFILL }},
    { &hf_rf24network_to_level,
      { "To level", "rf24network.to_level",
        FT_UINT8, BASE_DEC, NULL, 0,
        "Depth of the destination in the tree", HFILL }},
    { &hf_rf24network_hop,
      { "Hop", "rf24network.hop",
        FT_UINT16, BASE_CUSTOM, CF_FUNC(format_address), 0,
        "Node whose pipe address the frame went to", HFILL }},
    { &hf_rf24network_pipe,
      { "Pipe", "rf24network.pipe",
        FT_UINT8, BASE_DEC, NULL, 0,
        "Pipe of the hop the frame went to", HFILL }},
    { &hf_rf24network_multicast_level,
      { "Multicast level", "rf24network.multicast_level",
        FT_UINT8, BASE_DEC, NULL, 0,
        "The frame went to the address every node of this level listens on (its pipe 0)", HFILL }},
    { &hf_rf24network_from_node_id,
      { "From node id", "rf24network.from_node_id",
        FT_UINT8, BASE_DEC, NULL, 0,
        "Mesh node id the sender's address was given to", HFILL }},
    { &hf_rf24network_to_node_id,
      { "To node id", "rf24network.to_node_id",
        FT_UINT8, BASE_DEC, NULL, 0,
        "Mesh node id the destination's address was given to", HFILL }},
    { &hf_rf24network_payload,
      { "Payload", "rf24network.payload",
        FT_BYTES, BASE_NONE, NULL, 0,
        NULL, HFILL }},
    { &hf_rf24network_mesh_address,
      { "Address", "rf24network.mesh.address",
        FT_UINT16, BASE_CUSTOM, CF_FUNC(format_address), 0,
        "Logical address given, looked up or asked about", HFILL }},
    { &hf_rf24network_mesh_lookup_id,
      { "Node id", "rf24network.mesh.lookup_id",
        FT_UINT8, BASE_DEC, NULL, 0,
        "Node id looked up or answered", HFILL }},
    { &hf_rf24network_mesh_lookup_result,
      { "Result", "rf24network.mesh.lookup_result",
        FT_INT16, BASE_DEC, NULL, 0,
        "The master's answer: -2 when it knows none", HFILL }},
    { &hf_rf24network_fragments,
      { "Fragments", "rf24network.fragments",
        FT_NONE, BASE_NONE, NULL, 0,
        NULL, HFILL }},
    { &hf_rf24network_fragment,
      { "Fragment", "rf24network.fragment",
        FT_FRAMENUM, BASE_NONE, NULL, 0,
        NULL, HFILL }},
    { &hf_rf24network_fragment_overlap,
      { "Fragment overlap", "rf24network.fragment.overlap",
        FT_BOOLEAN, BASE_NONE, NULL, 0,
        "Fragment heard more than once", HFILL }},
    { &hf_rf24network_fragment_overlap_conflicts,
      { "Conflicting data in fragment overlap", "rf24network.fragment.overlap.conflict",
        FT_BOOLEAN, BASE_NONE, NULL, 0,
        NULL, HFILL }},
    { &hf_rf24network_fragment_multiple_tails,
      { "Multiple last fragments", "rf24network.fragment.multiple_tails",
        FT_BOOLEAN, BASE_NONE, NULL, 0,
        NULL, HFILL }},
    { &hf_rf24network_fragment_too_long_fragment,
      { "Fragment too long", "rf24network.fragment.too_long_fragment",
        FT_BOOLEAN, BASE_NONE, NULL, 0,
        NULL, HFILL }},
    { &hf_rf24network_fragment_error,
      { "Defragmentation error", "rf24network.fragment.error",
        FT_FRAMENUM, BASE_NONE, NULL, 0,
        NULL, HFILL }},
    { &hf_rf24network_fragment_count,
      { "Fragment count", "rf24network.fragment.count",
        FT_UINT32, BASE_DEC, NULL, 0,
        NULL, HFILL }},
    { &hf_rf24network_reassembled_in,
      { "Reassembled in", "rf24network.reassembled.in",
        FT_FRAMENUM, BASE_NONE, NULL, 0,
        NULL, HFILL }},
    { &hf_rf24network_reassembled_length,
      { "Reassembled length", "rf24network.reassembled.length",
        FT_UINT32, BASE_DEC, NULL, 0,
        NULL, HFILL }},
    { &hf_rf24network_reassembled_data,
      { "Reassembled data", "rf24network.reassembled.data",
        FT_BYTES, BASE_NONE, NULL, 0,
        NULL, HFILL }},
};

static gint *ett[] = {
    &ett_rf24network,
    &ett_rf24network_fragment,
    &ett_rf24network_fragments,
};

static ei_register_info ei[] = {
    { &ei_rf24network_off_route,
      { "rf24network.off_route", PI_PROTOCOL, PI_WARN,
        "The radio address is not one the library uses for a hop between these nodes", EXPFILL }},
    { &ei_rf24network_first_unseen,
      { "rf24network.first_fragment_unseen", PI_SEQUENCE, PI_NOTE,
        "The first fragment of this message was not heard: it cannot be reassembled", EXPFILL }},
};

static proto_plugin plugin_rf24network;

/* Octal digits of a logical address: its level in the tree. */
static guint level_of(guint16 node)
{
    guint level = 0;
    for (; node; node >>= 3)
        level++;
    return level;
}

static gboolean is_multicast(guint16 node)
{
    return node == RF24N_MULTICAST || node == RF24N_MULTICAST_LEVEL_2 || node == RF24N_MULTICAST_LEVEL_4;
}

/* The library's is_valid_address: up to four octal digits 1..5, or a multicast address. */
static gboolean valid_address(guint16 node)
{
    if (is_multicast(node))
        return TRUE;
    guint count = 0;
    for (; node; node >>= 3, count++) {
        guint digit = node & 7;
        if (digit < 1 || digit > RF24N_NUM_PIPES - 1)
            return FALSE;
    }
    return count <= RF24N_MAX_LEVELS;
}

/* Whether node is ancestor (or the same) of descendant: its digits are the descendant's lowest ones. */
static gboolean is_ancestor_or_self(guint16 node, guint16 descendant)
{
    guint level = level_of(node);
    return level <= level_of(descendant) && (descendant & ((1u << (3 * level)) - 1)) == node;
}

static int translation_index(guint8 byte)
{
    for (int i = 0; i < RF24N_NUM_PIPES; i++)
        if (address_translation[i] == byte)
            return i;
    return -1;
}

/* Reverses the library's pipe_address(): the radio writes the address bytes least
 * significant first, so byte 0 is the pipe's translation, bytes 1..4 the node's
 * octal digits from the lowest, 0xCC after the last. Pipe 0 of a node below the
 * master is its level's multicast address: 0xCC, then the level's translation.
 * FALSE for an address the library never derives. */
static gboolean decode_hop(guint64 radio_address, rf24network_hop *hop)
{
    guint8 bytes[5];
    for (int i = 0; i < 5; i++)
        bytes[i] = (guint8)(radio_address >> (8 * i));
    hop->node = 0;
    hop->pipe = 0;
    hop->multicast_level = 0;
    if (bytes[0] == RF24N_PAD_BYTE) {
        int level = translation_index(bytes[1]);
        if (level < 1 || level > RF24N_MAX_LEVELS)
            return FALSE;
        for (int i = 2; i < 5; i++)
            if (bytes[i] != RF24N_PAD_BYTE)
                return FALSE;
        hop->multicast_level = (guint8)level;
        return TRUE;
    }
    int pipe = translation_index(bytes[0]);
    if (pipe < 0)
        return FALSE;
    hop->pipe = (guint8)pipe;
    gboolean ended = FALSE;
    for (int i = 1; i < 5; i++) {
        if (bytes[i] == RF24N_PAD_BYTE) {
            ended = TRUE;
            continue;
        }
        int digit = translation_index(bytes[i]);
        if (ended || digit < 1)
            return FALSE;
        hop->node |= (guint16)(digit << (3 * (i - 1)));
    }
    return pipe != 0 || hop->node == 0;
}

/* Messages that carry the application's data, whole or in fragments. */
static gboolean carries_data(guint8 type)
{
    return type <= MAX_USER_DEFINED_HEADER_TYPE || type == EXTERNAL_DATA_TYPE ||
           (type >= NETWORK_FIRST_FRAGMENT && type <= NETWORK_LAST_FRAGMENT);
}

/* Whether the library sends a frame with this header to this hop. Up the tree a
 * node writes to its parent on the pipe named by its own top digit; down, to a
 * child's pipe 5; a direct write (mesh joining, polls, multicast) goes to pipe 0
 * of a node, that is the master's or a level's multicast address, and so does an
 * application's write through a node it names (write() with writeDirect). Frames
 * from the joining address 04444 are relayed upward by any node that heard them on
 * its level's address, and a network ack goes up from the last router. */
static gboolean hop_fits(const rf24network_header *h, const rf24network_hop *hop)
{
    if (hop->multicast_level)
        return h->to == RF24N_MULTICAST || level_of(h->to) == hop->multicast_level || carries_data(h->type);
    if (hop->pipe == 0)
        return h->to == 0 || h->to == RF24N_MULTICAST;
    if (hop->pipe == RF24N_NUM_PIPES - 1 && hop->node != 0 && is_ancestor_or_self(hop->node, h->to))
        return TRUE;
    guint level = level_of(hop->node);
    if (level >= RF24N_MAX_LEVELS)
        return FALSE;
    guint16 child = (guint16)(hop->node | hop->pipe << (3 * level));
    if (h->type == NETWORK_ACK)
        return is_ancestor_or_self(hop->node, h->to);
    return (h->from == RF24N_DEFAULT_ADDRESS || is_ancestor_or_self(child, h->from)) &&
           !is_ancestor_or_self(child, h->to);
}

/* Frame sizes the library's senders give each type, and what it puts in the
 * reserved byte where it uses it. */
static gboolean library_sends(tvbuff_t *tvb, const rf24network_header *h, guint len)
{
    if (is_multicast(h->from))
        return FALSE;
    switch (h->type) {
    case NETWORK_FIRST_FRAGMENT:
    case NETWORK_MORE_FRAGMENTS:
        return len == RF24N_MAX_FRAME && h->reserved >= 2;
    case NETWORK_LAST_FRAGMENT:
        return len > RF24N_HEADER_LEN && (h->reserved <= MAX_USER_DEFINED_HEADER_TYPE ||
                                          h->reserved == EXTERNAL_DATA_TYPE);
    case EXTERNAL_DATA_TYPE:
        return len > RF24N_HEADER_LEN;
    case NETWORK_ACK:
    case NETWORK_PING:
        return len == RF24N_HEADER_LEN;
    case NETWORK_POLL:
        return len == RF24N_HEADER_LEN && (h->to == RF24N_MULTICAST || h->to == RF24N_DEFAULT_ADDRESS);
    case NETWORK_REQ_ADDRESS:
        return len == RF24N_HEADER_LEN && h->reserved != 0;
    case MESH_ADDR_RELEASE:
        return len == RF24N_HEADER_LEN && h->to == 0;
    case NETWORK_ADDR_RESPONSE:
        return len == RF24N_HEADER_LEN + 2 && h->reserved != 0 &&
               valid_address(tvb_get_letohs(tvb, RF24N_HEADER_LEN));
    case MESH_ADDR_LOOKUP:
        return h->from == 0 ? len == RF24N_HEADER_LEN + 2 : len == RF24N_HEADER_LEN + 1 && h->to == 0;
    case MESH_ID_LOOKUP:
        return len == RF24N_HEADER_LEN + 2 && (h->from == 0 || h->to == 0);
    default:
        return h->type <= MAX_USER_DEFINED_HEADER_TYPE;
    }
}

/* The library's receiver keeps a frame of a whole header with valid addresses;
 * the sender's rules and the hop come on top unless the user turned strictness down. */
static gboolean rf24network_plausible(tvbuff_t *tvb, packet_info *pinfo, const rf24network_header *h, guint len,
                                      rf24network_hop *hop, gboolean *hop_known)
{
    if (!valid_address(h->from) || !valid_address(h->to))
        return FALSE;
    const nrf24_frame *frame = nrf24_frame_lookup(pinfo);
    *hop_known = frame != NULL && decode_hop(frame->address, hop);
    if (pref_strictness == RF24N_STRICT_RECEIVER)
        return TRUE;
    return *hop_known && hop_fits(h, hop) && library_sends(tvb, h, len);
}

static guint32 message_key(const rf24network_header *h)
{
    return (guint32)h->from << 16 | h->id;
}

static gint16 node_id_of(guint16 address)
{
    if (address == 0)
        return 0;
    return (gint16)(GPOINTER_TO_INT(wmem_map_lookup(node_ids, GUINT_TO_POINTER((guint)address))) - 1);
}

static void keep_node_id(guint address, gint node_id)
{
    wmem_map_insert(node_ids, GUINT_TO_POINTER(address), GINT_TO_POINTER(node_id + 1));
}

/* First pass: what the frame teaches about the mesh and the fragments, and what
 * was known when it was sent. */
static rf24network_frame_state *learn(tvbuff_t *tvb, packet_info *pinfo, const rf24network_header *h, guint len)
{
    rf24network_frame_state *state = wmem_new0(wmem_file_scope(), rf24network_frame_state);
    guint32 key = message_key(h);
    state->from_node_id = node_id_of(h->from);
    state->to_node_id = node_id_of(h->to);
    state->asked = -1;
    if (h->type == NETWORK_FIRST_FRAGMENT)
        wmem_map_insert(fragment_counts, GUINT_TO_POINTER(key), GUINT_TO_POINTER((guint)h->reserved));
    if (h->type == NETWORK_FIRST_FRAGMENT || h->type == NETWORK_MORE_FRAGMENTS || h->type == NETWORK_LAST_FRAGMENT)
        state->fragments = (guint8)GPOINTER_TO_UINT(wmem_map_lookup(fragment_counts, GUINT_TO_POINTER(key)));

    if (h->type == NETWORK_ADDR_RESPONSE && len >= RF24N_HEADER_LEN + 2) {
        keep_node_id(tvb_get_letohs(tvb, RF24N_HEADER_LEN), h->reserved);
    } else if ((h->type == MESH_ADDR_LOOKUP || h->type == MESH_ID_LOOKUP) && h->to == 0 && len > RF24N_HEADER_LEN) {
        gint asked = h->type == MESH_ADDR_LOOKUP ? nrf24_get_byte(tvb, RF24N_HEADER_LEN)
                                                 : tvb_get_letohs(tvb, RF24N_HEADER_LEN);
        wmem_map_insert(pending_lookups, GUINT_TO_POINTER(key), GINT_TO_POINTER(asked + 1));
    } else if ((h->type == MESH_ADDR_LOOKUP || h->type == MESH_ID_LOOKUP) && h->from == 0 &&
               len >= RF24N_HEADER_LEN + 2) {
        /* The master answers in the request's own header, sent back. */
        guint32 request = (guint32)h->to << 16 | h->id;
        gint asked = GPOINTER_TO_INT(wmem_map_lookup(pending_lookups, GUINT_TO_POINTER(request))) - 1;
        if (asked >= 0) {
            gint16 answer = (gint16)tvb_get_letohs(tvb, RF24N_HEADER_LEN);
            state->asked = asked;
            if (answer > 0 && h->type == MESH_ADDR_LOOKUP)
                keep_node_id((guint)answer, asked);
            else if (answer > 0)
                keep_node_id((guint)asked, answer);
        }
    } else if (h->type == MESH_ADDR_RELEASE) {
        wmem_map_remove(node_ids, GUINT_TO_POINTER((guint)h->from));
    }
    p_add_proto_data(wmem_file_scope(), pinfo, proto_rf24network, 0, state);
    return state;
}

/* Digits without a formatter: Info is built for every frame, and printf would
 * cost more than the rest of the module's work on it. */
static void append_number(wmem_strbuf_t *out, guint value, guint base)
{
    char buf[12], *p = buf + sizeof buf - 1;
    *p = '\0';
    do {
        *--p = (char)('0' + value % base);
        value /= base;
    } while (value);
    wmem_strbuf_append(out, p);
}

/* "x of y" for a fragment. */
static void append_fragment_number(wmem_strbuf_t *out, guint number, guint count)
{
    wmem_strbuf_append(out, ", fragment ");
    append_number(out, number, 10);
    wmem_strbuf_append(out, " of ");
    append_number(out, count, 10);
}

static void add_address(proto_tree *tree, int hf, int hf_id, int hf_level, tvbuff_t *tvb, int offset,
                        guint16 address, gint16 node_id)
{
    proto_item *item = proto_tree_add_item(tree, hf, tvb, offset, 2, ENC_LITTLE_ENDIAN);
    if (node_id >= 0)
        proto_item_append_text(item, " (node %d)", node_id);
    proto_item_set_hidden(proto_tree_add_item(tree, hf_rf24network_node, tvb, offset, 2, ENC_LITTLE_ENDIAN));
    proto_item_set_generated(proto_tree_add_uint(tree, hf_level, tvb, offset, 2, level_of(address)));
    if (node_id >= 0)
        proto_item_set_generated(proto_tree_add_uint(tree, hf_id, tvb, offset, 2, (guint32)node_id));
}

/* The reserved byte means what the type makes of it. */
static void add_reserved(proto_tree *tree, tvbuff_t *tvb, const rf24network_header *h)
{
    int hf_reserved = hf_rf24network_reserved;
    if (h->type == NETWORK_FIRST_FRAGMENT || h->type == NETWORK_MORE_FRAGMENTS)
        hf_reserved = hf_rf24network_fragments_left;
    else if (h->type == NETWORK_LAST_FRAGMENT)
        hf_reserved = hf_rf24network_message_type;
    else if (h->type == NETWORK_REQ_ADDRESS || h->type == NETWORK_ADDR_RESPONSE)
        hf_reserved = hf_rf24network_mesh_node_id;
    proto_tree_add_item(tree, hf_reserved, tvb, 7, 1, ENC_NA);
}

static void add_hop(proto_tree *tree, proto_item *ti, tvbuff_t *tvb, packet_info *pinfo, const rf24network_header *h,
                    const rf24network_hop *hop, gboolean hop_known)
{
    if (!hop_known)
        return;
    if (hop->multicast_level) {
        proto_item_set_generated(proto_tree_add_uint(tree, hf_rf24network_multicast_level, tvb, 0, 0,
                                                     hop->multicast_level));
    } else {
        proto_item_set_generated(proto_tree_add_uint(tree, hf_rf24network_hop, tvb, 0, 0, hop->node));
        proto_item_set_generated(proto_tree_add_uint(tree, hf_rf24network_pipe, tvb, 0, 0, hop->pipe));
    }
    if (!hop_fits(h, hop))
        expert_add_info(pinfo, ti, &ei_rf24network_off_route);
}

/* The mesh's payloads, and the summary in the library's words. */
static void dissect_mesh(tvbuff_t *tvb, proto_tree *tree, const rf24network_header *h,
                         const rf24network_frame_state *state, wmem_strbuf_t *summary)
{
    guint len = tvb_captured_length(tvb);
    if (h->type == NETWORK_REQ_ADDRESS) {
        wmem_strbuf_append_printf(summary, " for node %u", h->reserved);
    } else if (h->type == NETWORK_ADDR_RESPONSE && len >= RF24N_HEADER_LEN + 2) {
        proto_tree_add_item(tree, hf_rf24network_mesh_address, tvb, RF24N_HEADER_LEN, 2, ENC_LITTLE_ENDIAN);
        wmem_strbuf_append_printf(summary, ": node %u gets 0%o", h->reserved, tvb_get_letohs(tvb, RF24N_HEADER_LEN));
    } else if (h->type == MESH_ADDR_LOOKUP && h->to == 0 && len > RF24N_HEADER_LEN) {
        proto_tree_add_item(tree, hf_rf24network_mesh_lookup_id, tvb, RF24N_HEADER_LEN, 1, ENC_NA);
        wmem_strbuf_append_printf(summary, " of node %u", nrf24_get_byte(tvb, RF24N_HEADER_LEN));
    } else if (h->type == MESH_ID_LOOKUP && h->to == 0 && len >= RF24N_HEADER_LEN + 2) {
        proto_tree_add_item(tree, hf_rf24network_mesh_address, tvb, RF24N_HEADER_LEN, 2, ENC_LITTLE_ENDIAN);
        wmem_strbuf_append_printf(summary, " of 0%o", tvb_get_letohs(tvb, RF24N_HEADER_LEN));
    } else if ((h->type == MESH_ADDR_LOOKUP || h->type == MESH_ID_LOOKUP) && len >= RF24N_HEADER_LEN + 2) {
        gint16 answer = (gint16)tvb_get_letohs(tvb, RF24N_HEADER_LEN);
        proto_tree_add_item(tree, hf_rf24network_mesh_lookup_result, tvb, RF24N_HEADER_LEN, 2, ENC_LITTLE_ENDIAN);
        if (state->asked >= 0 && h->type == MESH_ADDR_LOOKUP)
            proto_item_set_generated(proto_tree_add_uint(tree, hf_rf24network_mesh_lookup_id, tvb, 0, 0,
                                                         (guint32)state->asked));
        else if (state->asked >= 0)
            proto_item_set_generated(proto_tree_add_uint(tree, hf_rf24network_mesh_address, tvb, 0, 0,
                                                         (guint32)state->asked));
        if (answer < 0)
            wmem_strbuf_append_printf(summary, ": %d", answer);
        else if (h->type == MESH_ADDR_LOOKUP)
            wmem_strbuf_append_printf(summary, ": 0%o", answer);
        else
            wmem_strbuf_append_printf(summary, ": node %d", answer);
    }
}

/* External data is an IP packet (RF24Ethernet's and RF24Gateway's TUN mode);
 * anything else goes to the data dissector. */
static void dissect_message(tvbuff_t *message, packet_info *pinfo, proto_tree *tree, guint8 type)
{
    if (type == EXTERNAL_DATA_TYPE && ip_handle && tvb_captured_length(message) >= 20 &&
        nrf24_get_byte(message, 0) >> 4 == 4)
        call_dissector(ip_handle, message, pinfo, tree);
    else
        call_data_dissector(message, pinfo, tree);
}

/* Adds a fragment to its message, reassembling when the first fragment gave the
 * count: numbered from 0 in the order the library sends them (the reserved byte
 * counts down to 2, the last fragment carries the message's type instead).
 * Returns the message when this frame completes it. */
static tvbuff_t *reassemble(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, proto_item *ti,
                            const rf24network_header *h, const rf24network_frame_state *state,
                            wmem_strbuf_t *summary)
{
    guint count = state->fragments;
    gboolean last = h->type == NETWORK_LAST_FRAGMENT;
    if (h->type == NETWORK_FIRST_FRAGMENT)
        append_fragment_number(summary, 1, h->reserved);
    else if (count && !last && h->reserved <= count)
        append_fragment_number(summary, count - h->reserved + 1, count);
    else if (count && last)
        append_fragment_number(summary, count, count);
    if (count == 0 || (!last && h->reserved > count)) {
        expert_add_info(pinfo, ti, &ei_rf24network_first_unseen);
        return NULL;
    }
    guint32 number = last ? count - 1 : count - h->reserved;
    gboolean save_fragmented = pinfo->fragmented;
    pinfo->fragmented = TRUE;
    fragment_head *head = fragment_add_seq_check(&rf24network_reassembly_table, tvb, RF24N_HEADER_LEN, pinfo,
                                                 message_key(h), NULL, number,
                                                 tvb_captured_length_remaining(tvb, RF24N_HEADER_LEN), !last);
    tvbuff_t *message = process_reassembled_data(tvb, RF24N_HEADER_LEN, pinfo, "Reassembled RF24Network message",
                                                 head, &rf24network_frag_items, NULL, tree);
    pinfo->fragmented = save_fragmented;
    if (message)
        wmem_strbuf_append_printf(summary, ", message of %u bytes reassembled", tvb_captured_length(message));
    return message;
}

/* Decodes a frame the heuristic has accepted. Source and Destination become the
 * message's logical addresses (the reassembly and conversation keys too); Info
 * keeps the radio summary and gets the library's own header text appended. The
 * header's items are added only when there is a tree. */
static void dissect_rf24network(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, const rf24network_header *h,
                                const rf24network_hop *hop, gboolean hop_known)
{
    guint len = tvb_captured_length(tvb);
    rf24network_frame_state *state = (rf24network_frame_state *)p_get_proto_data(wmem_file_scope(), pinfo,
                                                                                 proto_rf24network, 0);
    if (!state)
        state = learn(tvb, pinfo, h, len);
    col_set_str(pinfo->cinfo, COL_PROTOCOL, "rf24network");
    set_address(&pinfo->src, rf24network_address_type, 2, wmem_memdup(pinfo->pool, &h->from, 2));
    set_address(&pinfo->dst, rf24network_address_type, 2, wmem_memdup(pinfo->pool, &h->to, 2));

    proto_item *ti = NULL;
    proto_tree *net_tree = NULL;
    if (tree) {
        ti = proto_tree_add_item(tree, proto_rf24network, tvb, 0, -1, ENC_NA);
        net_tree = proto_item_add_subtree(ti, ett_rf24network);
        add_address(net_tree, hf_rf24network_from, hf_rf24network_from_node_id, hf_rf24network_from_level, tvb, 0,
                    h->from, state->from_node_id);
        add_address(net_tree, hf_rf24network_to, hf_rf24network_to_node_id, hf_rf24network_to_level, tvb, 2,
                    h->to, state->to_node_id);
        proto_tree_add_item(net_tree, hf_rf24network_id, tvb, 4, 2, ENC_LITTLE_ENDIAN);
        proto_tree_add_item(net_tree, hf_rf24network_type, tvb, 6, 1, ENC_NA);
        add_reserved(net_tree, tvb, h);
        add_hop(net_tree, ti, tvb, pinfo, h, hop, hop_known);
    }

    /* " [RF24NetworkHeader::toString: the type's name and what the message says]". */
    wmem_strbuf_t *summary = wmem_strbuf_new(pinfo->pool, " [id ");
    append_number(summary, h->id, 10);
    wmem_strbuf_append(summary, " from 0");
    append_number(summary, h->from, 8);
    wmem_strbuf_append(summary, " to 0");
    append_number(summary, h->to, 8);
    wmem_strbuf_append(summary, " type ");
    append_number(summary, h->type, 10);
    wmem_strbuf_append(summary, ": ");
    wmem_strbuf_append(summary, rval_to_str_const(h->type, types, "unknown type"));
    dissect_mesh(tvb, net_tree, h, state, summary);

    gboolean fragment = h->type == NETWORK_FIRST_FRAGMENT || h->type == NETWORK_MORE_FRAGMENTS ||
                        h->type == NETWORK_LAST_FRAGMENT;
    tvbuff_t *message = NULL;
    guint8 message_type = h->type;
    if (fragment) {
        if (pref_reassemble)
            message = reassemble(tvb, pinfo, net_tree, ti, h, state, summary);
        if (!message)
            proto_tree_add_item(net_tree, hf_rf24network_payload, tvb, RF24N_HEADER_LEN, -1, ENC_NA);
        message_type = h->reserved;
    } else if (len > RF24N_HEADER_LEN && (h->type <= MAX_USER_DEFINED_HEADER_TYPE || h->type == EXTERNAL_DATA_TYPE)) {
        message = tvb_new_subset_remaining(tvb, RF24N_HEADER_LEN);
    }

    if (ti)
        proto_item_append_text(ti, ", %s", wmem_strbuf_get_str(summary) + 2);
    wmem_strbuf_append_c(summary, ']');
    col_append_str(pinfo->cinfo, COL_INFO, wmem_strbuf_get_str(summary));
    if (have_tap_listener(rf24network_tap)) {
        rf24network_tap_info *info = wmem_new0(pinfo->pool, rf24network_tap_info);
        info->from = h->from;
        info->to = h->to;
        info->type = h->type;
        info->fragment = fragment;
        info->reassembled = fragment && message != NULL;
        info->size = len;
        tap_queue_packet(rf24network_tap, pinfo, info);
    }
    if (message && (message_type <= MAX_USER_DEFINED_HEADER_TYPE || message_type == EXTERNAL_DATA_TYPE))
        dissect_message(message, pinfo, tree, message_type);
}

static void read_header(tvbuff_t *tvb, rf24network_header *h)
{
    h->from = tvb_get_letohs(tvb, 0);
    h->to = tvb_get_letohs(tvb, 2);
    h->id = tvb_get_letohs(tvb, 4);
    h->type = nrf24_get_byte(tvb, 6);
    h->reserved = nrf24_get_byte(tvb, 7);
}

/* Member of the "nrf24" heuristic list: takes a payload only when it is a
 * plausible RF24Network frame on a plausible radio address. */
static nrf24_heur_result dissect_rf24network_heur(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree,
                                                  void *data _U_)
{
    rf24network_header h;
    rf24network_hop hop = { 0, 0, 0 };
    gboolean hop_known = FALSE;
    guint len = tvb_captured_length(tvb);
    if (len < RF24N_HEADER_LEN || len > RF24N_MAX_FRAME)
        return false;
    read_header(tvb, &h);
    if (!rf24network_plausible(tvb, pinfo, &h, len, &hop, &hop_known))
        return false;
    dissect_rf24network(tvb, pinfo, tree, &h, &hop, hop_known);
    return true;
}

/* The per-file maps start empty with each capture file. */
static void init_tables(void)
{
    node_ids = wmem_map_new(wmem_file_scope(), g_direct_hash, g_direct_equal);
    pending_lookups = wmem_map_new(wmem_file_scope(), g_direct_hash, g_direct_equal);
    fragment_counts = wmem_map_new(wmem_file_scope(), g_direct_hash, g_direct_equal);
}

/* A logical address as the Endpoints and Conversations tables and the columns show it. */
static int address_to_text(const address *addr, gchar *buf, int buf_len)
{
    guint16 node;
    memcpy(&node, addr->data, sizeof node);
    return (int)g_snprintf(buf, buf_len, "0%o", node) + 1;
}

static int address_text_len(const address *addr _U_)
{
    return 8;
}

static const char *address_col_filter(const address *addr _U_, nrf24_address_side is_src)
{
    return is_src ? "rf24network.from" : "rf24network.to";
}

static int address_len(void)
{
    return 2;
}

static const char *conversation_filter(conv_item_t *conv, conv_filter_type_e filter)
{
    if (conv->src_address.type != rf24network_address_type)
        return CONV_FILTER_INVALID;
    if (filter == CONV_FT_SRC_ADDRESS)
        return "rf24network.from";
    if (filter == CONV_FT_DST_ADDRESS)
        return "rf24network.to";
    if (filter == CONV_FT_ANY_ADDRESS)
        return "rf24network.node";
    return CONV_FILTER_INVALID;
}

static ct_dissector_info_t conversation_info = { &conversation_filter };

static const char *endpoint_filter(nrf24_endpoint_item *endpoint, conv_filter_type_e filter)
{
    if (endpoint->myaddress.type == rf24network_address_type && filter == CONV_FT_ANY_ADDRESS)
        return "rf24network.node";
    return CONV_FILTER_INVALID;
}

static nrf24_endpoint_info endpoint_info = { &endpoint_filter };

/* One conversation per sender and destination: the message flows of the network. */
static tap_packet_status conversation_packet(void *table, packet_info *pinfo, epan_dissect_t *edt _U_,
                                             const void *data NRF24_TAP_FLAGS)
{
    const rf24network_tap_info *info = (const rf24network_tap_info *)data;
    address src, dst;
    set_address(&src, rf24network_address_type, 2, &info->from);
    set_address(&dst, rf24network_address_type, 2, &info->to);
    add_conversation_table_data((conv_hash_t *)table, &src, &dst, 0, 0, 1, info->size, &pinfo->rel_ts,
                                &pinfo->abs_ts, &conversation_info, NRF24_CONVERSATION_NONE);
    return TAP_PACKET_REDRAW;
}

static tap_packet_status endpoint_packet(void *table, packet_info *pinfo _U_, epan_dissect_t *edt _U_,
                                         const void *data NRF24_TAP_FLAGS)
{
    const rf24network_tap_info *info = (const rf24network_tap_info *)data;
    conv_hash_t *hash = (conv_hash_t *)table;
    address node;
    set_address(&node, rf24network_address_type, 2, &info->from);
    nrf24_add_endpoint(hash, &node, 0, TRUE, 1, info->size, &endpoint_info, NRF24_ENDPOINT_NONE);
    set_address(&node, rf24network_address_type, 2, &info->to);
    nrf24_add_endpoint(hash, &node, 0, FALSE, 1, info->size, &endpoint_info, NRF24_ENDPOINT_NONE);
    return TAP_PACKET_REDRAW;
}

static const char *const stats_root = "RF24Network nodes";

static void nodes_stats_init(stats_tree *st)
{
    stats_tree_create_node(st, stats_root, 0, STAT_DT_INT, TRUE);
}

/* Per sending node: messages by type, fragments, reassembled messages, network acks. */
static tap_packet_status nodes_stats_packet(stats_tree *st, packet_info *pinfo, epan_dissect_t *edt _U_,
                                            const void *data NRF24_TAP_FLAGS)
{
    const rf24network_tap_info *info = (const rf24network_tap_info *)data;
    int root = tick_stat_node(st, stats_root, 0, TRUE);
    int node = tick_stat_node(st, wmem_strdup_printf(pinfo->pool, "Node 0%o", info->from), root, TRUE);
    int by_type = tick_stat_node(st, "Messages by type", node, TRUE);
    if (info->type <= MAX_USER_DEFINED_HEADER_TYPE)
        tick_stat_node(st, wmem_strdup_printf(pinfo->pool, "User type %u", info->type), by_type, FALSE);
    else
        tick_stat_node(st, rval_to_str_const(info->type, types, "unknown type"), by_type, FALSE);
    if (info->fragment)
        tick_stat_node(st, "Fragments", node, FALSE);
    if (info->reassembled)
        tick_stat_node(st, "Reassembled messages", node, FALSE);
    if (info->type == NETWORK_ACK)
        tick_stat_node(st, "Network acks", node, FALSE);
    return TAP_PACKET_REDRAW;
}

/* Registers the protocol with its fields, subtrees, expert infos, preferences,
 * reassembly table, tap, address type and tables. */
void proto_register_rf24network(void)
{
    proto_rf24network = proto_register_protocol("RF24Network", "RF24Network", "rf24network");
    proto_register_field_array(proto_rf24network, hf, array_length(hf));
    proto_register_subtree_array(ett, array_length(ett));
    expert_module_t *expert_rf24network = expert_register_protocol(proto_rf24network);
    expert_register_field_array(expert_rf24network, ei, array_length(ei));

    module_t *prefs = prefs_register_protocol(proto_rf24network, NULL);
    prefs_register_enum_preference(prefs, "strictness", "Payloads to take",
                                   "Only what the library's senders produce on the radio address of the hop (few "
                                   "false positives), or every frame its receiver keeps (any radio address)",
                                   &pref_strictness, strictness_values, FALSE);
    prefs_register_bool_preference(prefs, "reassemble", "Reassemble fragmented messages",
                                   "Put a fragmented message back together in the frame of its last fragment",
                                   &pref_reassemble);

    reassembly_table_register(&rf24network_reassembly_table, &addresses_reassembly_table_functions);
    register_init_routine(init_tables);
    rf24network_tap = register_tap("rf24network");
    rf24network_address_type = address_type_dissector_register("AT_RF24NETWORK", "RF24Network logical address",
                                                               address_to_text, address_text_len, NULL,
                                                               address_col_filter, address_len, NULL, NULL);
    register_conversation_table(proto_rf24network, TRUE, conversation_packet, endpoint_packet);
}

/* Joins the list that the nRF24 module offers its good payloads to. */
void proto_reg_handoff_rf24network(void)
{
    ip_handle = find_dissector("ip");
    heur_dissector_add("nrf24", dissect_rf24network_heur, "RF24Network over nRF24", "rf24network_nrf24",
                       proto_rf24network, HEURISTIC_ENABLE);
}

static void register_rf24network_stats(void)
{
    stats_tree_register_plugin("rf24network", "rf24network", "RF24Network/Nodes", 0, nodes_stats_packet,
                               nodes_stats_init, NULL);
}

/* The entry point the host looks up after accepting the version symbols. */
void plugin_register(void)
{
    static tap_plugin stats_plugin;
    plugin_rf24network.register_protoinfo = proto_register_rf24network;
    plugin_rf24network.register_handoff = proto_reg_handoff_rf24network;
    proto_register_plugin(&plugin_rf24network);
    stats_plugin.register_tap_listener = register_rf24network_stats;
    tap_register_plugin(&stats_plugin);
}
