/* mysensors_stats.cpp
 * Counts MySensors messages rather than radio frames: a message once, at the
 * hop its sender transmits; a repeater's hops and the radio's retransmissions
 * are counted apart, in the statistics tree only.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include "nrf24_stats.h"
#include "nrf24_frame.h"
#include "mysensors_stats.h"
#include "mysensors_tables.h"

int mysensors_tap = -1;
static int mysensors_address_type = -1;

/* The last frame MySensors took on one nRF24 address, per capture file. */
typedef struct {
    guint8 pid;
    guint16 crc;
} last_frame;

static wmem_map_t *last_frames;

mysensors_hop mysensors_classify_hop(packet_info *pinfo, int proto, guint8 last, guint8 sender)
{
    if (PINFO_FD_VISITED(pinfo))
        return (mysensors_hop)GPOINTER_TO_UINT(p_get_proto_data(wmem_file_scope(), pinfo, proto, 0));
    mysensors_hop hop = last == sender ? MYS_HOP_MESSAGE : MYS_HOP_RELAY;
    const nrf24_frame *frame = nrf24_frame_lookup(pinfo);
    if (frame) {
        last_frame *previous = (last_frame *)wmem_map_lookup(last_frames, &frame->address);
        if (previous == NULL) {
            guint64 *address = wmem_new(wmem_file_scope(), guint64);
            *address = frame->address;
            previous = wmem_new(wmem_file_scope(), last_frame);
            wmem_map_insert(last_frames, address, previous);
        } else if (previous->pid == frame->pid && previous->crc == frame->crc) {
            hop = MYS_HOP_RETRANSMISSION;
        }
        previous->pid = frame->pid;
        previous->crc = frame->crc;
    }
    /* Most hops are messages: only the others are kept, NULL reads back as a message. */
    if (hop != MYS_HOP_MESSAGE)
        p_add_proto_data(wmem_file_scope(), pinfo, proto, 0, GUINT_TO_POINTER(hop));
    return hop;
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
    if (info->hop != MYS_HOP_MESSAGE)
        return TAP_PACKET_DONT_REDRAW;
    address src, dst;
    set_address(&src, mysensors_address_type, 1, &info->sender);
    set_address(&dst, mysensors_address_type, 1, &info->destination);
    add_conversation_table_data((conv_hash_t *)table, &src, &dst, 0, 0, 1, info->size, &pinfo->rel_ts,
                                &pinfo->abs_ts, &conversation_info, NRF24_CONVERSATION_NONE);
    return TAP_PACKET_REDRAW;
}

/* Every node that sends or is sent a message. */
static tap_packet_status endpoint_packet(void *table, packet_info *pinfo _U_, epan_dissect_t *edt _U_,
                                         const void *data NRF24_TAP_FLAGS)
{
    const mysensors_tap_info *info = (const mysensors_tap_info *)data;
    if (info->hop != MYS_HOP_MESSAGE)
        return TAP_PACKET_DONT_REDRAW;
    conv_hash_t *hash = (conv_hash_t *)table;
    address node;
    set_address(&node, mysensors_address_type, 1, &info->sender);
    nrf24_add_endpoint(hash, &node, 0, TRUE, 1, info->size, &endpoint_info, NRF24_ENDPOINT_NONE);
    set_address(&node, mysensors_address_type, 1, &info->destination);
    nrf24_add_endpoint(hash, &node, 0, FALSE, 1, info->size, &endpoint_info, NRF24_ENDPOINT_NONE);
    return TAP_PACKET_REDRAW;
}

static const char *const stats_root = "MySensors nodes";

static void nodes_stats_init(stats_tree *st)
{
    stats_tree_create_node(st, stats_root, 0, STAT_DT_INT, TRUE);
}

/* What a message says about its sender: presented sensors with their types and
 * descriptions, library version, sketch name and version, battery levels (a
 * value node: count, average, minimum, maximum) and parent. Texts that identify
 * something become node names. */
static void add_message_content(stats_tree *st, packet_info *pinfo, int node, const mysensors_tap_info *info)
{
    const char *type_name = try_val_to_str_ext(info->type, mysensors_type_names[info->command]);
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
        avg_stat_node_add_value_int(st, "Battery level (%)", node, FALSE, (gint)info->number);
    } else if (info->command == C_INTERNAL && info->type == I_DISCOVER_RESPONSE && info->has_number) {
        tick_stat_node(st, wmem_strdup_printf(pinfo->pool, "Parent: node %u", info->number), node, FALSE);
    }
}

/* Per node: the messages it sent, by command, and what they say; the hops it
 * relayed for other senders and the frames it sent again, apart. The root and
 * each node count messages only. */
static tap_packet_status nodes_stats_packet(stats_tree *st, packet_info *pinfo, epan_dissect_t *edt _U_,
                                            const void *data NRF24_TAP_FLAGS)
{
    const mysensors_tap_info *info = (const mysensors_tap_info *)data;
    gboolean message = info->hop == MYS_HOP_MESSAGE;
    int root = increase_stat_node(st, stats_root, 0, TRUE, message ? 1 : 0);
    char *name = wmem_strdup_printf(pinfo->pool, "Node %u", info->last);
    int node = increase_stat_node(st, name, root, TRUE, message ? 1 : 0);
    if (info->hop == MYS_HOP_RELAY) {
        tick_stat_node(st, "Relayed hops", node, FALSE);
    } else if (info->hop == MYS_HOP_RETRANSMISSION) {
        tick_stat_node(st, "Retransmissions", node, FALSE);
    } else {
        int commands_node = tick_stat_node(st, "Messages by command", node, TRUE);
        tick_stat_node(st, val_to_str_const(info->command, mysensors_commands, "?"), commands_node, FALSE);
        add_message_content(st, pinfo, node, info);
    }
    return TAP_PACKET_REDRAW;
}

void mysensors_register_stats(int proto)
{
    last_frames = wmem_map_new_autoreset(wmem_epan_scope(), wmem_file_scope(), g_int64_hash, g_int64_equal);
    mysensors_tap = register_tap("mysensors");
    mysensors_address_type = address_type_dissector_register("AT_MYSENSORS", "MySensors node id", node_to_str,
                                                             node_str_len, NULL, node_col_filter, node_len, NULL,
                                                             NULL);
    register_conversation_table(proto, TRUE, conversation_packet, endpoint_packet);
}

void mysensors_register_stats_tree(void)
{
    stats_tree_register_plugin("mysensors", "mysensors", "MySensors/Nodes", 0, nodes_stats_packet,
                               nodes_stats_init, NULL);
}
