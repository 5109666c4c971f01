/* packet-nrf24-sniffer.cpp
 * Dissector for the sniffer header that the capture tools put in front of each
 * nRF24 frame (doc/sniffer-header.md): a version and a length, then little-endian
 * type-length-value items with the channel, data rate, mode, where the frame lay
 * in its read, how it was taken, whether its acknowledgement could be heard, the
 * reads lost before it and which sniffer heard it. The frame after the header goes
 * to "nrf24" unchanged. A tap feeds the per-channel statistics.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include <epan/exceptions.h>
#include <epan/expert.h>
#include "nrf24_plugin.h"
#include "nrf24_stats.h"
#include "nrf24_frame.h"
#include "nrf24_sniffer.h"
#include <wsutil/utf8_entities.h>

const gchar plugin_version[] = "1.0.0";

void proto_register_nrf24_sniffer(void);
void proto_reg_handoff_nrf24_sniffer(void);

#define HEADER_VERSION      1
#define FIXED_LEN           4
#define ITEM_HEAD_LEN       4
#define MAX_CHANNEL         125
#define BASE_FREQUENCY_MHZ  2400
/* Bits on the air besides the payload: preamble, address, control field, CRC. */
#define FRAME_BITS          (8 + 40 + 9 + 16)

enum item_type {
    ITEM_CHANNEL = 1,
    ITEM_RATE = 2,
    ITEM_MODE = 3,
    ITEM_BIT_OFFSET = 4,
    ITEM_READ_WINDOW = 5,
    ITEM_BOARD_CLOCK = 6,
    ITEM_TAKEN = 7,
    ITEM_ACK = 8,
    ITEM_LOST = 9,
    ITEM_RPD = 10,
    ITEM_SNIFFER = 11
};

#define LOST_FIFO_FULL    0x01
#define LOST_RADIO_RESET  0x02
#define LOST_BOARD_RESET  0x04

/* One frame as the channel statistics see it. */
struct sniffer_tap_info {
    nrf24_sniffer header;
    gboolean decoded;      /* the nRF24 module decoded the frame up to its CRC */
    gboolean crc_ok;
    guint64 address;
    guint8 payload_len;
};

static int proto_nrf24_sniffer = -1;
static int hf_version = -1;
static int hf_reserved = -1;
static int hf_length = -1;
static int hf_item_type = -1;
static int hf_item_length = -1;
static int hf_channel = -1;
static int hf_frequency = -1;
static int hf_rate = -1;
static int hf_mode = -1;
static int hf_preamble = -1;
static int hf_address_width = -1;
static int hf_bit_offset = -1;
static int hf_read_start = -1;
static int hf_read_end = -1;
static int hf_stamp_kind = -1;
static int hf_board_clock = -1;
static int hf_taken = -1;
static int hf_ack = -1;
static int hf_lost_reads = -1;
static int hf_lost_flags = -1;
static int hf_lost_fifo_full = -1;
static int hf_lost_radio_reset = -1;
static int hf_lost_board_reset = -1;
static int hf_rpd = -1;
static int hf_sniffer = -1;
static int hf_unknown_value = -1;
static gint ett_nrf24_sniffer = -1;
static gint ett_item = -1;
static gint ett_lost_flags = -1;
static expert_field ei_too_short = EI_INIT;
static expert_field ei_bad_length = EI_INIT;
static expert_field ei_unaligned = EI_INIT;
static expert_field ei_unknown_version = EI_INIT;
static expert_field ei_item_truncated = EI_INIT;
static expert_field ei_item_size = EI_INIT;
static expert_field ei_unknown_item = EI_INIT;
static expert_field ei_bad_value = EI_INIT;
static expert_field ei_no_frame = EI_INIT;
static expert_field ei_reads_lost = EI_INIT;
static expert_field ei_reads_may_be_missing = EI_INIT;

static dissector_handle_t nrf24_handle = NULL;
static int sniffer_tap = -1;

static const value_string item_types[] = {
    { ITEM_CHANNEL, "Channel" },
    { ITEM_RATE, "Data rate" },
    { ITEM_MODE, "Mode" },
    { ITEM_BIT_OFFSET, "Bit offset" },
    { ITEM_READ_WINDOW, "Read window" },
    { ITEM_BOARD_CLOCK, "Board clock" },
    { ITEM_TAKEN, "Taken" },
    { ITEM_ACK, "Ack observability" },
    { ITEM_LOST, "Lost reads" },
    { ITEM_RPD, "RPD" },
    { ITEM_SNIFFER, "Sniffer" },
    { 0, NULL }
};

static const value_string rates[] = {
    { 250, "250 kbit/s" },
    { 1000, "1 Mbit/s" },
    { 2000, "2 Mbit/s" },
    { 0, NULL }
};

static const value_string modes[] = {
    { NRF24_SNIFFER_MODE_PROMISCUOUS, "Promiscuous" },
    { NRF24_SNIFFER_MODE_ADDRESS, "Address mode" },
    { 0, NULL }
};

static const value_string stamp_kinds[] = {
    { 0, "Unknown" },
    { 1, "The radio's IRQ" },
    { 2, "Upper bound" },
    { 0, NULL }
};

static const value_string taken_kinds[] = {
    { 1, "Address mode" },
    { 2, "Address prefix" },
    { 3, "Confirmed address" },
    { 4, "Confirmed by a second frame" },
    { 5, "Unconfirmed" },
    { 0, NULL }
};

static const value_string ack_kinds[] = {
    { NRF24_SNIFFER_ACK_UNKNOWN, "Unknown" },
    { NRF24_SNIFFER_ACK_IN_READ, "Inside the read" },
    { NRF24_SNIFFER_ACK_STRADDLES, "Not observable: straddles the read's end" },
    { NRF24_SNIFFER_ACK_AFTER_READ, "Observable: after the read" },
    { NRF24_SNIFFER_ACK_BLIND, "Not observable: another read was running" },
    { 0, NULL }
};

static const value_string rpd_values[] = {
    { 0, "Below -64 dBm" },
    { 1, "Above -64 dBm" },
    { 0, NULL }
};

static nrf24_bitmask_field lost_flag_fields[] = {
    &hf_lost_fifo_full,
    &hf_lost_radio_reset,
    &hf_lost_board_reset,
    NULL
};

static hf_register_info hf[] = {
    { &hf_version,
      { "Version", "nrf24_sniffer.version",
        FT_UINT8, BASE_DEC, NULL, 0,
        NULL, HFILL }},
    { &hf_reserved,
      { "Reserved", "nrf24_sniffer.reserved",
        FT_UINT8, BASE_HEX, NULL, 0,
        NULL, HFILL }},
    { &hf_length,
      { "Header length", "nrf24_sniffer.length",
        FT_UINT16, BASE_DEC, NULL, 0,
        "The whole header in bytes: where the frame starts", HFILL }},
    { &hf_item_type,
      { "Item type", "nrf24_sniffer.item.type",
        FT_UINT16, BASE_DEC, VALS(item_types), 0,
        NULL, HFILL }},
    { &hf_item_length,
      { "Item length", "nrf24_sniffer.item.length",
        FT_UINT16, BASE_DEC, NULL, 0,
        "The item's value in bytes, without padding", HFILL }},
    { &hf_channel,
      { "Channel", "nrf24_sniffer.channel",
        FT_UINT8, BASE_DEC, NULL, 0,
        NULL, HFILL }},
    { &hf_frequency,
      { "Frequency (MHz)", "nrf24_sniffer.frequency",
        FT_UINT16, BASE_DEC, NULL, 0,
        "2400 MHz plus the channel", HFILL }},
    { &hf_rate,
      { "Data rate", "nrf24_sniffer.rate",
        FT_UINT16, BASE_DEC, VALS(rates), 0,
        "kbit/s", HFILL }},
    { &hf_mode,
      { "Mode", "nrf24_sniffer.mode",
        FT_UINT8, BASE_DEC, VALS(modes), 0,
        NULL, HFILL }},
    { &hf_preamble,
      { "Preamble", "nrf24_sniffer.preamble",
        FT_UINT8, BASE_HEX, NULL, 0,
        "The preamble byte the radio listened for", HFILL }},
    { &hf_address_width,
      { "Address width", "nrf24_sniffer.address_width",
        FT_UINT8, BASE_DEC, NULL, 0,
        "Bytes of the address the radio listened to", HFILL }},
    { &hf_bit_offset,
      { "Bit offset", "nrf24_sniffer.bit_offset",
        FT_UINT16, BASE_DEC, NULL, 0,
        "Where the frame's first bit lay in its read", HFILL }},
    { &hf_read_start,
      { "Read start (" UTF8_MICRO_SIGN "s)", "nrf24_sniffer.read_start",
        FT_UINT32, BASE_DEC, NULL, 0,
        "The first bit of the read's window on the board's 32-bit clock", HFILL }},
    { &hf_read_end,
      { "Read end (" UTF8_MICRO_SIGN "s)", "nrf24_sniffer.read_end",
        FT_UINT32, BASE_DEC, NULL, 0,
        "The read's time stamp on the board's 32-bit clock", HFILL }},
    { &hf_stamp_kind,
      { "Stamp", "nrf24_sniffer.stamp",
        FT_UINT8, BASE_DEC, VALS(stamp_kinds), 0,
        "What the read's time stamp is", HFILL }},
    { &hf_board_clock,
      { "Board clock (" UTF8_MICRO_SIGN "s)", "nrf24_sniffer.board_clock",
        FT_UINT64, BASE_DEC, NULL, 0,
        "The read's end on the board's clock, unwrapped", HFILL }},
    { &hf_taken,
      { "Taken", "nrf24_sniffer.taken",
        FT_UINT8, BASE_DEC, VALS(taken_kinds), 0,
        "How the frame was taken from its read", HFILL }},
    { &hf_ack,
      { "Ack observability", "nrf24_sniffer.ack",
        FT_UINT8, BASE_DEC, VALS(ack_kinds), 0,
        "Whether this radio could have heard the frame's acknowledgement", HFILL }},
    { &hf_lost_reads,
      { "Reads lost", "nrf24_sniffer.lost_reads",
        FT_UINT32, BASE_DEC, NULL, 0,
        "Reads the board could not print since the frame before", HFILL }},
    { &hf_lost_flags,
      { "Reads possibly missing", "nrf24_sniffer.lost_flags",
        FT_UINT8, BASE_HEX, NULL, 0,
        "Events since the frame before in which reads may have been lost, without a count", HFILL }},
    { &hf_lost_fifo_full,
      { "Radio FIFO full", "nrf24_sniffer.lost_flags.fifo_full",
        FT_BOOLEAN, 8, NULL, LOST_FIFO_FULL,
        NULL, HFILL }},
    { &hf_lost_radio_reset,
      { "Radio reset", "nrf24_sniffer.lost_flags.radio_reset",
        FT_BOOLEAN, 8, NULL, LOST_RADIO_RESET,
        NULL, HFILL }},
    { &hf_lost_board_reset,
      { "Board reset", "nrf24_sniffer.lost_flags.board_reset",
        FT_BOOLEAN, 8, NULL, LOST_BOARD_RESET,
        NULL, HFILL }},
    { &hf_rpd,
      { "RPD", "nrf24_sniffer.rpd",
        FT_UINT8, BASE_DEC, VALS(rpd_values), 0,
        "The radio's received power detector for the read", HFILL }},
    { &hf_sniffer,
      { "Sniffer", "nrf24_sniffer.sniffer",
        FT_STRING, BASE_NONE, NULL, 0,
        "The serial port of the sniffer that heard the frame", HFILL }},
    { &hf_unknown_value,
      { "Unknown item", "nrf24_sniffer.item.unknown",
        FT_BYTES, BASE_NONE, NULL, 0,
        "The value of an item this module does not know", HFILL }},
};

static gint *ett[] = {
    &ett_nrf24_sniffer,
    &ett_item,
    &ett_lost_flags,
};

static ei_register_info ei[] = {
    { &ei_too_short,
      { "nrf24_sniffer.too_short", PI_MALFORMED, PI_ERROR,
        "Shorter than the header's fixed part", EXPFILL }},
    { &ei_bad_length,
      { "nrf24_sniffer.bad_length", PI_MALFORMED, PI_ERROR,
        "Header length under 4 or past the end of the packet: no frame", EXPFILL }},
    { &ei_unaligned,
      { "nrf24_sniffer.unaligned", PI_MALFORMED, PI_WARN,
        "Header length is not a multiple of 4", EXPFILL }},
    { &ei_unknown_version,
      { "nrf24_sniffer.unknown_version", PI_UNDECODED, PI_WARN,
        "Unknown header version: items not decoded", EXPFILL }},
    { &ei_item_truncated,
      { "nrf24_sniffer.item_truncated", PI_MALFORMED, PI_ERROR,
        "Item passes the header's end", EXPFILL }},
    { &ei_item_size,
      { "nrf24_sniffer.item_size", PI_MALFORMED, PI_ERROR,
        "Item of the wrong size: skipped", EXPFILL }},
    { &ei_unknown_item,
      { "nrf24_sniffer.unknown_item", PI_UNDECODED, PI_NOTE,
        "Unknown item type: skipped", EXPFILL }},
    { &ei_bad_value,
      { "nrf24_sniffer.bad_value", PI_PROTOCOL, PI_WARN,
        "Value out of range", EXPFILL }},
    { &ei_no_frame,
      { "nrf24_sniffer.no_frame", PI_MALFORMED, PI_ERROR,
        "No frame after the header", EXPFILL }},
    { &ei_reads_lost,
      { "nrf24_sniffer.reads_lost", PI_SEQUENCE, PI_WARN,
        "Reads lost before this frame", EXPFILL }},
    { &ei_reads_may_be_missing,
      { "nrf24_sniffer.reads_may_be_missing", PI_SEQUENCE, PI_NOTE,
        "Reads may be missing before this frame", EXPFILL }},
};

static proto_plugin plugin_nrf24_sniffer;

/* Like the nRF24 module's frame record, the header's record is module state
 * rewritten for each packet and attached to it for the packet's dissection. */
static nrf24_sniffer header_decoded;

/* The value's size that each known item must have: 0 for the sniffer's name (any
 * size), -1 for a type this module does not know. */
static int item_size(guint type)
{
    switch (type) {
    case ITEM_CHANNEL:
    case ITEM_TAKEN:
    case ITEM_ACK:
    case ITEM_RPD:
        return 1;
    case ITEM_RATE:
    case ITEM_MODE:
    case ITEM_BIT_OFFSET:
        return 2;
    case ITEM_READ_WINDOW:
        return 9;
    case ITEM_BOARD_CLOCK:
        return 8;
    case ITEM_LOST:
        return 5;
    case ITEM_SNIFFER:
        return 0;
    default:
        return -1;
    }
}

/* Little-endian numbers from the header's bytes, which the caller has bounds-checked
 * once as a whole: a header of a dozen items costs no check per read. */
static inline guint16 le16(const guint8 *p)
{
    return (guint16)(p[0] | p[1] << 8);
}

static inline guint32 le32(const guint8 *p)
{
    return (guint32)le16(p) | (guint32)le16(p + 2) << 16;
}

static inline guint64 le64(const guint8 *p)
{
    return (guint64)le32(p) | (guint64)le32(p + 4) << 32;
}

/* Reads one known item of the right size into the record; a value the header
 * cannot mean stays out of it. The value has the item's size. */
static gboolean read_item(const guint8 *value, guint type, nrf24_sniffer *rec)
{
    guint8 first = value[0];
    switch (type) {
    case ITEM_CHANNEL:
        rec->channel = first;
        if (first > MAX_CHANNEL)
            return FALSE;
        rec->present |= NRF24_SNIFFER_HAS_CHANNEL;
        return TRUE;
    case ITEM_RATE:
        rec->rate_kbps = le16(value);
        if (rec->rate_kbps != 250 && rec->rate_kbps != 1000 && rec->rate_kbps != 2000)
            return FALSE;
        rec->present |= NRF24_SNIFFER_HAS_RATE;
        return TRUE;
    case ITEM_MODE:
        rec->mode = first;
        rec->mode_detail = value[1];
        if (!(first == NRF24_SNIFFER_MODE_PROMISCUOUS && (rec->mode_detail == 0xAA || rec->mode_detail == 0x55)) &&
            !(first == NRF24_SNIFFER_MODE_ADDRESS && rec->mode_detail >= 3 && rec->mode_detail <= 5))
            return FALSE;
        rec->present |= NRF24_SNIFFER_HAS_MODE;
        return TRUE;
    case ITEM_BIT_OFFSET:
        rec->bit_offset = le16(value);
        rec->present |= NRF24_SNIFFER_HAS_BIT_OFFSET;
        return TRUE;
    case ITEM_READ_WINDOW:
        rec->read_start = le32(value);
        rec->read_end = le32(value + 4);
        rec->stamp_kind = value[8];
        if (rec->stamp_kind > 2)
            return FALSE;
        rec->present |= NRF24_SNIFFER_HAS_READ_WINDOW;
        return TRUE;
    case ITEM_BOARD_CLOCK:
        rec->board_clock = le64(value);
        rec->present |= NRF24_SNIFFER_HAS_BOARD_CLOCK;
        return TRUE;
    case ITEM_TAKEN:
        rec->taken = first;
        if (first < 1 || first > 5)
            return FALSE;
        rec->present |= NRF24_SNIFFER_HAS_TAKEN;
        return TRUE;
    case ITEM_ACK:
        rec->ack = first;
        if (first > NRF24_SNIFFER_ACK_BLIND)
            return FALSE;
        rec->present |= NRF24_SNIFFER_HAS_ACK;
        return TRUE;
    case ITEM_LOST:
        rec->lost_reads = le32(value);
        rec->lost_flags = value[4];
        rec->present |= NRF24_SNIFFER_HAS_LOST;
        return TRUE;
    case ITEM_RPD:
        rec->rpd = first;
        if (first > 1)
            return FALSE;
        rec->present |= NRF24_SNIFFER_HAS_RPD;
        return TRUE;
    default:
        return TRUE;
    }
}

/* The item's value as fields below its subtree, and a summary on the subtree's line. */
static void show_item(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, proto_item *ti, guint type, int at,
                      guint len, const nrf24_sniffer *rec)
{
    proto_item *pi;
    switch (type) {
    case ITEM_CHANNEL:
        proto_tree_add_item(tree, hf_channel, tvb, at, 1, ENC_NA);
        pi = proto_tree_add_uint(tree, hf_frequency, tvb, at, 1, BASE_FREQUENCY_MHZ + rec->channel);
        proto_item_set_generated(pi);
        proto_item_append_text(ti, ": %u (%u MHz)", rec->channel, BASE_FREQUENCY_MHZ + rec->channel);
        break;
    case ITEM_RATE:
        proto_tree_add_item(tree, hf_rate, tvb, at, 2, ENC_LITTLE_ENDIAN);
        proto_item_append_text(ti, ": %s", val_to_str_const(rec->rate_kbps, rates, "unknown"));
        break;
    case ITEM_MODE:
        proto_tree_add_item(tree, hf_mode, tvb, at, 1, ENC_NA);
        if (rec->mode == NRF24_SNIFFER_MODE_ADDRESS) {
            proto_tree_add_item(tree, hf_address_width, tvb, at + 1, 1, ENC_NA);
            proto_item_append_text(ti, ": address mode, %u-byte address", rec->mode_detail);
        } else {
            proto_tree_add_item(tree, hf_preamble, tvb, at + 1, 1, ENC_NA);
            proto_item_append_text(ti, ": %s, preamble 0x%02x", val_to_str_const(rec->mode, modes, "unknown"),
                                   rec->mode_detail);
        }
        break;
    case ITEM_BIT_OFFSET:
        proto_tree_add_item(tree, hf_bit_offset, tvb, at, 2, ENC_LITTLE_ENDIAN);
        proto_item_append_text(ti, ": %u", rec->bit_offset);
        break;
    case ITEM_READ_WINDOW:
        proto_tree_add_item(tree, hf_read_start, tvb, at, 4, ENC_LITTLE_ENDIAN);
        proto_tree_add_item(tree, hf_read_end, tvb, at + 4, 4, ENC_LITTLE_ENDIAN);
        proto_tree_add_item(tree, hf_stamp_kind, tvb, at + 8, 1, ENC_NA);
        proto_item_append_text(ti, ": %u.." "%u " UTF8_MICRO_SIGN "s", rec->read_start, rec->read_end);
        break;
    case ITEM_BOARD_CLOCK:
        proto_tree_add_item(tree, hf_board_clock, tvb, at, 8, ENC_LITTLE_ENDIAN);
        proto_item_append_text(ti, ": %" G_GUINT64_FORMAT " " UTF8_MICRO_SIGN "s", rec->board_clock);
        break;
    case ITEM_TAKEN:
        proto_tree_add_item(tree, hf_taken, tvb, at, 1, ENC_NA);
        proto_item_append_text(ti, ": %s", val_to_str_const(rec->taken, taken_kinds, "unknown"));
        break;
    case ITEM_ACK:
        proto_tree_add_item(tree, hf_ack, tvb, at, 1, ENC_NA);
        proto_item_append_text(ti, ": %s", val_to_str_const(rec->ack, ack_kinds, "unknown"));
        break;
    case ITEM_LOST:
        pi = proto_tree_add_item(tree, hf_lost_reads, tvb, at, 4, ENC_LITTLE_ENDIAN);
        if (rec->lost_reads != 0)
            expert_add_info_format(pinfo, pi, &ei_reads_lost, "%u reads lost before this frame", rec->lost_reads);
        pi = proto_tree_add_bitmask(tree, tvb, at + 4, hf_lost_flags, ett_lost_flags, lost_flag_fields, ENC_NA);
        if (rec->lost_flags & (LOST_FIFO_FULL | LOST_RADIO_RESET | LOST_BOARD_RESET))
            expert_add_info(pinfo, pi, &ei_reads_may_be_missing);
        proto_item_append_text(ti, ": %u", rec->lost_reads);
        break;
    case ITEM_RPD:
        proto_tree_add_item(tree, hf_rpd, tvb, at, 1, ENC_NA);
        proto_item_append_text(ti, ": %s", val_to_str_const(rec->rpd, rpd_values, "unknown"));
        break;
    case ITEM_SNIFFER: {
        const guint8 *name = NULL;
        proto_tree_add_item_ret_string(tree, hf_sniffer, tvb, at, (gint)len, ENC_UTF_8 | ENC_NA, pinfo->pool, &name);
        proto_item_append_text(ti, ": %s", name);
        break;
    }
    default:
        if (len != 0)
            proto_tree_add_item(tree, hf_unknown_value, tvb, at, (gint)len, ENC_NA);
        expert_add_info_format(pinfo, ti, &ei_unknown_item, "Unknown item type %u: skipped", type);
        break;
    }
}

/* The items between the fixed part and the header's end. An item that does not fit
 * ends the walk (the ones before it stay decoded); one of the wrong size or of an
 * unknown type is skipped. Nothing is read outside [FIXED_LEN, end). */
static void dissect_items(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, int end, nrf24_sniffer *rec)
{
    const guint8 *header = tvb_get_ptr(tvb, 0, end);
    int offset = FIXED_LEN;
    while (offset < end) {
        if (end - offset < ITEM_HEAD_LEN) {
            proto_tree_add_expert(tree, pinfo, &ei_item_truncated, tvb, offset, end - offset);
            return;
        }
        guint type = le16(header + offset);
        guint len = le16(header + offset + 2);
        int at = offset + ITEM_HEAD_LEN;
        if ((int)len > end - at) {
            proto_tree_add_expert_format(tree, pinfo, &ei_item_truncated, tvb, offset, end - offset,
                                         "Item of type %u with %u bytes passes the header's end", type, len);
            return;
        }
        int next = at + (int)((len + 3) & ~3u);
        int size = item_size(type);
        gboolean fits = size <= 0 || (guint)size == len;
        gboolean valid = !fits || size <= 0 || read_item(header + at, type, rec);
        if (tree) {
            proto_item *ti;
            proto_tree *item_tree = proto_tree_add_subtree_format(tree, tvb, offset, MIN(next, end) - offset, ett_item,
                                                                  &ti, "%s", val_to_str_const(type, item_types, ""));
            if (size < 0)
                proto_item_append_text(ti, "Unknown item %u", type);
            proto_tree_add_item(item_tree, hf_item_type, tvb, offset, 2, ENC_LITTLE_ENDIAN);
            proto_item *len_item = proto_tree_add_item(item_tree, hf_item_length, tvb, offset + 2, 2,
                                                       ENC_LITTLE_ENDIAN);
            if (!fits)
                expert_add_info_format(pinfo, len_item, &ei_item_size, "%s item of %u bytes, expected %d: skipped",
                                       val_to_str_const(type, item_types, "?"), len, size);
            else
                show_item(tvb, pinfo, item_tree, ti, type, at, len, rec);
            if (!valid)
                expert_add_info(pinfo, ti, &ei_bad_value);
        }
        offset = next;
    }
}

/* Hands the frame to "nrf24", then queues it for the channel statistics with what
 * the nRF24 module decoded; also when the module stops at a frame too short to decode. */
static void dissect_frame(tvbuff_t *frame, packet_info *pinfo, proto_tree *tree)
{
    if (nrf24_handle == NULL) {
        call_data_dissector(frame, pinfo, tree);
        return;
    }
    if (!have_tap_listener(sniffer_tap)) {
        call_dissector(nrf24_handle, frame, pinfo, tree);
        return;
    }
    TRY {
        call_dissector(nrf24_handle, frame, pinfo, tree);
    }
    FINALLY {
        struct sniffer_tap_info *info = wmem_new0(pinfo->pool, struct sniffer_tap_info);
        info->header = header_decoded;
        const nrf24_frame *decoded = nrf24_frame_lookup(pinfo);
        if (decoded != NULL) {
            info->decoded = TRUE;
            info->crc_ok = decoded->crc_ok;
            info->address = decoded->address;
            info->payload_len = decoded->payload_len;
        }
        tap_queue_packet(sniffer_tap, pinfo, info);
    }
    ENDTRY;
}

/* Decodes the header and hands the frame after it on. A header whose length is
 * known gives the frame whatever else is wrong with it; the whole captured length
 * counts as consumed. */
static int dissect_nrf24_sniffer(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, void *data _U_)
{
    guint captured = tvb_captured_length(tvb);
    if (captured < FIXED_LEN) {
        col_set_str(pinfo->cinfo, COL_PROTOCOL, "nrf24_sniffer");
        col_set_str(pinfo->cinfo, COL_INFO, "Malformed sniffer header");
        proto_item *ti = proto_tree_add_item(tree, proto_nrf24_sniffer, tvb, 0, -1, ENC_NA);
        expert_add_info(pinfo, ti, &ei_too_short);
        return captured;
    }
    guint version = nrf24_get_byte(tvb, 0);
    guint length = tvb_get_letohs(tvb, 2);
    gboolean length_ok = length >= FIXED_LEN && length <= captured;

    proto_item *ti = NULL;
    proto_tree *header_tree = NULL;
    if (tree) {
        ti = proto_tree_add_item(tree, proto_nrf24_sniffer, tvb, 0, length_ok ? (gint)length : -1, ENC_NA);
        header_tree = proto_item_add_subtree(ti, ett_nrf24_sniffer);
        proto_tree_add_item(header_tree, hf_version, tvb, 0, 1, ENC_NA);
        proto_tree_add_item(header_tree, hf_reserved, tvb, 1, 1, ENC_NA);
        proto_item *len_item = proto_tree_add_item(header_tree, hf_length, tvb, 2, 2, ENC_LITTLE_ENDIAN);
        if (!length_ok)
            expert_add_info_format(pinfo, len_item, &ei_bad_length,
                                   "Header length %u in a packet of %u bytes: no frame", length, captured);
        else if (length % 4 != 0)
            expert_add_info(pinfo, len_item, &ei_unaligned);
    }
    if (!length_ok) {
        col_set_str(pinfo->cinfo, COL_PROTOCOL, "nrf24_sniffer");
        col_set_str(pinfo->cinfo, COL_INFO, "Malformed sniffer header");
        return captured;
    }

    memset(&header_decoded, 0, sizeof header_decoded);
    if (version == HEADER_VERSION)
        dissect_items(tvb, pinfo, header_tree, (int)length, &header_decoded);
    else if (tree)
        expert_add_info_format(pinfo, ti, &ei_unknown_version, "Unknown header version %u: items not decoded",
                               version);
    p_add_proto_data(pinfo->pool, pinfo, proto_nrf24_sniffer, NRF24_SNIFFER_KEY, &header_decoded);

    if (length == captured) {
        col_set_str(pinfo->cinfo, COL_PROTOCOL, "nrf24_sniffer");
        col_set_str(pinfo->cinfo, COL_INFO, "No frame after the sniffer header");
        if (tree)
            expert_add_info(pinfo, ti, &ei_no_frame);
        return captured;
    }
    dissect_frame(tvb_new_subset_remaining(tvb, (gint)length), pinfo, tree);
    return captured;
}

static const gchar st_channels[] = "nRF24 channels";
static const gchar st_airtime[] = "Air time by channel (us)";
static const gchar st_addresses[] = "Addresses heard";
static const gchar st_crc_errors[] = "CRC errors";
static const gchar st_lost[] = "Lost reads";
static const gchar st_unknown_channel[] = "Channel unknown";
/* Where frames without a channel item count their addresses. */
#define UNKNOWN_CHANNEL 0xFF

/* The addresses already counted per channel, one set per statistics tree (the
 * tree itself keeps only counters), in a memory pool of its own that a new count
 * or the tree's end frees. Keys are the channel above the 40-bit address. */
struct tree_addresses {
    wmem_allocator_t *pool;
    wmem_map_t *seen;
};
static wmem_map_t *addresses_by_tree = NULL;  /* stats_tree -> struct tree_addresses */
/* Every tree makes its two roots first: their ids are the same in each. */
static int st_node_channels = -1;
static int st_node_airtime = -1;

/* A new tree, or the same one counting again: its address sets start empty. */
static void channel_stats_init(stats_tree *st)
{
    st_node_channels = stats_tree_create_node(st, st_channels, 0, STAT_DT_INT, TRUE);
    st_node_airtime = stats_tree_create_node(st, st_airtime, 0, STAT_DT_INT, TRUE);
    if (addresses_by_tree == NULL)
        addresses_by_tree = wmem_map_new(wmem_epan_scope(), g_direct_hash, g_direct_equal);
    struct tree_addresses *addresses = (struct tree_addresses *)wmem_map_lookup(addresses_by_tree, st);
    if (addresses == NULL) {
        addresses = wmem_new(wmem_epan_scope(), struct tree_addresses);
        wmem_map_insert(addresses_by_tree, st, addresses);
    } else {
        wmem_destroy_allocator(addresses->pool);
    }
    addresses->pool = wmem_allocator_new(WMEM_ALLOCATOR_SIMPLE);
    addresses->seen = wmem_map_new(addresses->pool, g_int64_hash, g_int64_equal);
}

static void channel_stats_cleanup(stats_tree *st)
{
    struct tree_addresses *addresses = addresses_by_tree != NULL
        ? (struct tree_addresses *)wmem_map_remove(addresses_by_tree, st) : NULL;
    if (addresses != NULL)
        wmem_destroy_allocator(addresses->pool);
}

/* Whether the address was first heard on the channel now. */
static gboolean first_heard(stats_tree *st, guint8 channel, guint64 address)
{
    struct tree_addresses *addresses = (struct tree_addresses *)wmem_map_lookup(addresses_by_tree, st);
    gint64 key = (gint64)(((guint64)channel << 40) | address);
    if (addresses == NULL || wmem_map_contains(addresses->seen, &key))
        return FALSE;
    gint64 *stored = wmem_new(addresses->pool, gint64);
    *stored = key;
    wmem_map_insert(addresses->seen, stored, stored);
    return TRUE;
}

/* Counts one frame under its channel, and its time on the air (from the header's
 * data rate and the frame's length) under the air-time root, whose percentages
 * are then each channel's share of the air time heard. */
static tap_packet_status channel_stats_packet(stats_tree *st, packet_info *pinfo, epan_dissect_t *edt _U_,
                                              const void *data NRF24_TAP_FLAGS)
{
    const struct sniffer_tap_info *info = (const struct sniffer_tap_info *)data;
    const nrf24_sniffer *header = &info->header;
    gboolean has_channel = (header->present & NRF24_SNIFFER_HAS_CHANNEL) != 0;
    const gchar *name = has_channel
        ? wmem_strdup_printf(pinfo->pool, "Channel %u (%u MHz)", header->channel, BASE_FREQUENCY_MHZ + header->channel)
        : st_unknown_channel;

    tick_stat_node(st, st_channels, 0, TRUE);
    int node = tick_stat_node(st, name, st_node_channels, TRUE);
    gboolean good = info->decoded && info->crc_ok;
    increase_stat_node(st, st_addresses, node, FALSE,
                       good && first_heard(st, has_channel ? header->channel : UNKNOWN_CHANNEL, info->address) ? 1 : 0);
    increase_stat_node(st, st_crc_errors, node, FALSE, info->decoded && !info->crc_ok ? 1 : 0);
    increase_stat_node(st, st_lost, node, FALSE, (gint)MIN(header->lost_reads, (guint32)G_MAXINT));
    if (info->decoded && (header->present & NRF24_SNIFFER_HAS_RATE)) {
        gint airtime_us = (gint)((FRAME_BITS + 8u * info->payload_len) * 1000u / header->rate_kbps);
        increase_stat_node(st, st_airtime, 0, TRUE, airtime_us);
        increase_stat_node(st, name, st_node_airtime, FALSE, airtime_us);
    }
    return TAP_PACKET_REDRAW;
}

/* Registers the protocol, its fields, subtrees, expert infos and tap, and the
 * dissector that exported-PDU captures name. */
void proto_register_nrf24_sniffer(void)
{
    proto_nrf24_sniffer = proto_register_protocol("nRF24 sniffer header", "nRF24 sniffer", "nrf24_sniffer");
    proto_register_field_array(proto_nrf24_sniffer, hf, array_length(hf));
    proto_register_subtree_array(ett, array_length(ett));
    expert_module_t *expert = expert_register_protocol(proto_nrf24_sniffer);
    expert_register_field_array(expert, ei, array_length(ei));
    register_dissector("nrf24_sniffer", dissect_nrf24_sniffer, proto_nrf24_sniffer);
    sniffer_tap = register_tap("nrf24_sniffer");
}

/* The frame after the header goes to the nRF24 module by its name. */
void proto_reg_handoff_nrf24_sniffer(void)
{
    nrf24_handle = find_dissector("nrf24");
}

/* The statistics tree joins the host's Statistics menu and -z when the host
 * registers its tap listeners. */
static void register_channel_stats(void)
{
    stats_tree_register_plugin("nrf24_sniffer", "nrf24_channels", "nRF24/Channels",
                               ST_SORT_COL_NAME << ST_FLG_SRTCOL_SHIFT, channel_stats_packet, channel_stats_init,
                               channel_stats_cleanup);
}

/* The entry point the host looks up after accepting the version symbols. */
void plugin_register(void)
{
    static tap_plugin stats_plugin;
    plugin_nrf24_sniffer.register_protoinfo = proto_register_nrf24_sniffer;
    plugin_nrf24_sniffer.register_handoff = proto_reg_handoff_nrf24_sniffer;
    proto_register_plugin(&plugin_nrf24_sniffer);
    stats_plugin.register_tap_listener = register_channel_stats;
    tap_register_plugin(&stats_plugin);
}
