/* packet-nrf24.cpp
 * Dissector for nRF24 Enhanced ShockBurst frames as sent over the air: a 5-byte
 * address, a 9-bit packet control field, 0..63 payload bytes and a 16-bit CRC,
 * packed bit after bit. The payload is handed, byte-aligned, to the heuristic
 * sub-dissector list "nrf24".
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include <stdio.h>
#include <string.h>

#include "nrf24_plugin.h"
#include "nrf24_frame.h"

NRF24_EXPORT void proto_register_nrf24(void);
NRF24_EXPORT void proto_reg_handoff_nrf24(void);
NRF24_EXPORT guint16 nrf_crc16(tvbuff_t *tvb, const guint16 len_bits);

const gchar plugin_version[] = "3.2.3";

static int proto_nrf24 = -1;
static int hf_nrf24_nodeaddress = -1;
static int hf_nrf24_control = -1;
static int hf_nrf24_control_payloadlength = -1;
static int hf_nrf24_control_pid = -1;
static int hf_nrf24_control_noack = -1;
static int hf_nrf24_crc = -1;
static int hf_nrf24_crc_valid = -1;
static gint ett_nrf24 = -1;
static gint ett_nrf24_control = -1;
static heur_dissector_list_t heur_subdissector_list = NULL;

static const value_string noack_types[] = {
    { 0, "ACK" },
    { 1, "NO_ACK" },
    { 0, NULL }
};

static nrf24_bitmask_field control_fields[] = {
    &hf_nrf24_control_payloadlength,
    &hf_nrf24_control_pid,
    &hf_nrf24_control_noack,
    NULL
};

static hf_register_info hf[] = {
    { &hf_nrf24_nodeaddress,
      { "Node address", "nrf24.node",
        FT_UINT64, BASE_HEX, NULL, 0,
        NULL, HFILL }},
    { &hf_nrf24_control,
      { "Control field", "nrf24.ctrl",
        FT_UINT16, BASE_HEX, NULL, 0,
        NULL, HFILL }},
    { &hf_nrf24_control_payloadlength,
      { "Payload length", "nrf24.ctrl.len",
        FT_UINT16, BASE_DEC, NULL, 0xFC00,
        NULL, HFILL }},
    { &hf_nrf24_control_pid,
      { "PID", "nrf24.ctrl.pid",
        FT_UINT16, BASE_DEC, NULL, 0x0300,
        NULL, HFILL }},
    { &hf_nrf24_control_noack,
      { "No ack", "nrf24.ctrl.noack",
        FT_UINT16, BASE_DEC, VALS(noack_types), 0x0080,
        NULL, HFILL }},
    { &hf_nrf24_crc,
      { "CRC", "nrf24.crc",
        FT_UINT16, BASE_HEX, NULL, 0,
        NULL, HFILL }},
    { &hf_nrf24_crc_valid,
      { "CRC Valid", "nrf24.crcvalid",
        FT_BOOLEAN, BASE_NONE, NULL, 0,
        NULL, HFILL }},
};

static gint *ett[] = {
    &ett_nrf24,
    &ett_nrf24_control,
};

static proto_plugin plugin_nrf24;

/* Trace lines go to standard error: standard output belongs to the host, whose
 * packet list, PDML, JSON or capture written with -w - they would corrupt. */
static void trace(const char *line)
{
    fprintf(stderr, "%s\n", line);
}

/* The summary is composed here and copied by the Info column at once. */
static gchar col_info[100];

/* One shift of the CRC register, held in the top 16 bits of a 32-bit word so that
 * the bit shifted out is the sign: the polynomial is applied without a branch. */
static inline guint32 crc16_shift(guint32 reg)
{
    gint32 out = (gint32)reg >> 31;
    reg += reg;
    reg ^= (guint32)out & (0x1021u << 16);
    return reg;
}

/* CRC-16/CCITT-FALSE over the first len_bits bits of the frame, most significant
 * bit first, one shift per bit: each byte enters the register whole before its
 * eight shifts. The packet is not byte aligned, so the last byte counts only in part. */
guint16 nrf_crc16(tvbuff_t *tvb, const guint16 len_bits)
{
    if (len_bits == 0 || len_bits > 8 * tvb_captured_length(tvb))
        return 0xFFFF;
    guint32 reg = 0xFFFFu << 16;
    guint whole = len_bits / 8;
    for (guint i = 0; i < whole; i++) {
        reg ^= (guint32)nrf24_get_byte(tvb, i) << 24;
#pragma GCC unroll 8
        for (int b = 0; b < 8; b++)
            reg = crc16_shift(reg);
    }
    guint rest = len_bits % 8;
    if (rest != 0) {
        reg ^= (guint32)(nrf24_get_byte(tvb, whole) & (0xFF00u >> rest)) << 24;
        for (guint b = 0; b < rest; b++)
            reg = crc16_shift(reg);
    }
    return (guint16)(reg >> 16);
}

/* Copies a constant text and returns its end: no formatter runs per frame. */
static inline gchar *put_text(gchar *p, const gchar *text)
{
    size_t n = strlen(text);
    memcpy(p, text, n);
    return p + n;
}

/* Writes value in decimal, as "%u" would, and returns the end. */
static gchar *put_decimal(gchar *p, guint value)
{
    gchar digits[10];
    int n = 0;
    do {
        digits[n++] = (gchar)('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n > 0)
        *p++ = digits[--n];
    return p;
}

/* The longest summary the arguments allow fits the buffer. */
G_STATIC_ASSERT(sizeof "Adr:0x0102030405, Len:255(ack), Pid:255, NoAck" <= sizeof col_info);

/* One-line packet summary for the Info column and the protocol item label. */
static const gchar *buildColInfo(guint64 nodeAddress, guint8 payloadLen, guint8 pid, gboolean noAck)
{
    static const gchar hex_digits[] = "0123456789abcdef";
    gchar *p = put_text(col_info, "Adr:0x");
    for (int shift = 36; shift >= 0; shift -= 4)
        *p++ = hex_digits[(nodeAddress >> shift) & 0xF];
    p = put_text(p, ", Len:");
    p = put_decimal(p, payloadLen);
    if (payloadLen == 0)
        p = put_text(p, "(ack)");
    p = put_text(p, ", Pid:");
    p = put_decimal(p, pid);
    p = put_text(p, noAck ? ", NoAck" : ", Ack");
    *p = '\0';
    return col_info;
}

/* Shares what was decoded with the modules that build on this one (nrf24_frame.h).
 * Like the summary, the record is module state rewritten for each frame: the
 * module allocates nothing, and readers use it only while the frame is dissected. */
static nrf24_frame frame_decoded;

static void attach_frame(packet_info *pinfo, guint64 nodeAddress, guint8 payloadLen, guint8 pid, guint8 noAck,
                         gboolean crc_ok, guint16 packet_crc, int bitoffset)
{
    frame_decoded.address = nodeAddress;
    frame_decoded.payload_len = payloadLen;
    frame_decoded.pid = pid;
    frame_decoded.no_ack = noAck != 0;
    frame_decoded.crc_ok = crc_ok;
    frame_decoded.crc = packet_crc;
    frame_decoded.payload_bit_offset = (guint)bitoffset;
    p_add_proto_data(pinfo->pool, pinfo, proto_nrf24, NRF24_FRAME_KEY, &frame_decoded);
}

/* The payload starts one bit past a byte boundary: copy it out aligned, show it
 * as its own data source, and offer it to the heuristic list only when the CRC
 * vouches for it. A payload nobody takes stays "nrf24" and is shown only as that
 * data source, which already holds its bytes. */
static void dissect_nrf24_payload(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree,
                                  int bitoffset, guint8 payloadLen, gboolean crc_ok)
{
    if (payloadLen == 0) {
        col_set_str(pinfo->cinfo, COL_PROTOCOL, "nrf24");
        return;
    }
    tvbuff_t *tvb_next = tvb_new_octet_aligned(tvb, bitoffset, 8 * payloadLen);
    add_new_data_source(pinfo, tvb_next, "NRF24 Payload Data");

    /* The sub-dissector that takes the payload labels the Protocol column itself. */
    heur_dtbl_entry_t *heur_entry = NULL;
    if (crc_ok && dissector_try_heuristic(heur_subdissector_list, tvb_next, pinfo, tree, &heur_entry, NULL))
        return;
    trace("  call_dissector");
    if (pinfo->want_pdu_tracking)
        pinfo->want_pdu_tracking--;
    col_set_str(pinfo->cinfo, COL_PROTOCOL, "nrf24");
}

/* Decodes one frame. The whole captured length counts as consumed, also bytes
 * after the CRC, so the host adds no trailing data item. */
static int dissect_nrf24(tvbuff_t *tvb, packet_info *pinfo, proto_tree *tree, void *data _U_)
{
    proto_item *ti = NULL;
    proto_tree *nrf24_tree = NULL;
    int bitoffset = 0;

    trace("dissect_nrf24");
    col_set_str(pinfo->cinfo, COL_PROTOCOL, "nrf24");
    col_add_fstr(pinfo->cinfo, COL_PACKET_LENGTH, "%d", tvb_captured_length(tvb));
    col_clear(pinfo->cinfo, COL_INFO);

    guint16 controlField = tvb_get_bits16(tvb, 40, 9, ENC_BIG_ENDIAN);
    guint8 payloadLen = (controlField >> 3) & 0x3F;
    guint8 pid = (controlField >> 1) & 3;
    guint8 noAck = controlField & 1;
    guint16 packetLenBits = 8 * payloadLen + 65;

    if (tree)
        ti = proto_tree_add_item(tree, proto_nrf24, tvb, 0, (packetLenBits + 7) / 8, ENC_NA);
    guint16 calc_crc = nrf_crc16(tvb, packetLenBits - 16);
    if (tree) {
        nrf24_tree = proto_item_add_subtree(ti, ett_nrf24);
        proto_tree_add_item(nrf24_tree, hf_nrf24_nodeaddress, tvb, (bitoffset + 7) / 8, 5, ENC_BIG_ENDIAN);
    }
    guint64 nodeAddress = tvb_get_ntoh64(tvb, 0) >> 24;
    bitoffset += 40;
    if (tree)
        proto_tree_add_bitmask(nrf24_tree, tvb, (bitoffset + 7) / 8, hf_nrf24_control, ett_nrf24_control,
                               control_fields, ENC_BIG_ENDIAN);
    bitoffset += 9;
    if (tree)
        proto_tree_add_bits_item(nrf24_tree, hf_nrf24_crc, tvb, bitoffset + 8 * payloadLen, 16, ENC_BIG_ENDIAN);
    guint16 packet_crc = tvb_get_bits16(tvb, bitoffset + 8 * payloadLen, 16, ENC_BIG_ENDIAN);
    gboolean crc_ok = calc_crc == packet_crc;
    attach_frame(pinfo, nodeAddress, payloadLen, pid, noAck, crc_ok, packet_crc, bitoffset);
    if (tree) {
        /* Up to 8 bytes from byte 7, but never past the packet: an ack frame ends at byte 8. */
        gint valid_len = MIN(8, (packetLenBits + 7) / 8 - (bitoffset + 7) / 8);
        proto_item *pi = proto_tree_add_boolean(nrf24_tree, hf_nrf24_crc_valid, tvb, (bitoffset + 7) / 8, valid_len,
                                                crc_ok);
        proto_item_set_generated(pi);
    }

    if (crc_ok) {
        trace("CRC OK");
        const gchar *info = buildColInfo(nodeAddress, payloadLen, pid, noAck != 0);
        col_add_str(pinfo->cinfo, COL_INFO, info);
        if (tree)
            proto_item_append_text(ti, " - %s", info);
        col_add_str(pinfo->cinfo, COL_DEF_SRC, "?");
        col_add_fstr(pinfo->cinfo, COL_DEF_DST, "%d", (int)(nodeAddress & 0xFF));
    } else {
        fprintf(stderr, "CRC ERR: [CRC calculated, CRC packet] = [%i, %i]\n", calc_crc, packet_crc);
        col_set_str(pinfo->cinfo, COL_INFO, "CRC Error");
    }

    dissect_nrf24_payload(tvb, pinfo, tree, bitoffset, payloadLen, crc_ok);
    trace("Done dissect_nrf24");
    return tvb_captured_length(tvb);
}

/* Registers the protocol, its fields and subtrees, the dissector "nrf24" (reached
 * by name only) and the heuristic list that payload decoders join. */
void proto_register_nrf24(void)
{
    proto_nrf24 = proto_register_protocol("NRF24", "nrf24", "nrf24");
    fprintf(stderr, "register_dissector proto_nrf24=%i\n", proto_nrf24);
    if (register_dissector("nrf24", dissect_nrf24, proto_nrf24) == NULL)
        trace("!!! register_dissector returned NULL");
    trace("register_heur_dissector_list");
    heur_subdissector_list = register_heur_dissector_list("nrf24", proto_nrf24);
    if (heur_subdissector_list == NULL)
        trace("!!!!!!! heur_subdissector_list=NULL");
    trace("proto_register_field_array");
    proto_register_field_array(proto_nrf24, hf, array_length(hf));
    trace("proto_register_subtree_array");
    proto_register_subtree_array(ett, array_length(ett));
}

/* Nothing to attach to: frames reach the dissector by its name. */
void proto_reg_handoff_nrf24(void)
{
    fprintf(stderr, "proto_reg_handoff_nrf24 (proto_nrf24=%i)\n", proto_nrf24);
    trace("Done proto_reg_handoff_nrf24");
}

/* The entry point the host looks up after accepting the version symbols. */
void plugin_register(void)
{
    trace("plugin_register");
    plugin_nrf24.register_protoinfo = proto_register_nrf24;
    plugin_nrf24.register_handoff = proto_reg_handoff_nrf24;
    proto_register_plugin(&plugin_nrf24);
    trace("Done plugin_register");
}
