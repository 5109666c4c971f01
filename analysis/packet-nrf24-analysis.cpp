/* packet-nrf24-analysis.cpp
 * Link analysis of nRF24 Enhanced ShockBurst captures, in the manner of TCP's:
 * a post-dissector that reads what the nRF24 module decoded (the record it attaches
 * to the packet, nrf24_frame.h), matches acknowledgements to packets, finds
 * retransmissions and PID gaps per address, and feeds a tap with per-address
 * statistics, Endpoints and Conversations. The nRF24 module does not know it.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include <epan/expert.h>
#include <epan/prefs.h>
#include "nrf24_frame.h"
#include "nrf24_sniffer.h"
#include "nrf24_plugin.h"
#include "nrf24_stats.h"
#include <wsutil/utf8_entities.h>

const gchar plugin_version[] = "1.0.0";

void proto_register_nrf24_analysis(void);
void proto_reg_handoff_nrf24_analysis(void);

#define NRF24_ADDR_LEN    5
#define NRF24_PID_COUNT   4
/* Bits on the air besides the payload: preamble, address, control field, CRC. */
#define NRF24_PREAMBLE_BITS  8
#define NRF24_FRAME_BITS     (NRF24_PREAMBLE_BITS + 8 * NRF24_ADDR_LEN + 9 + 16)
/* One radio in the promiscuous set-up: once it matches, it clocks a read of 256 bits
 * that starts 0..15 bits before the frame's address, and cannot match again before
 * the read ends. The receiver's acknowledgement starts 130 us after the packet ends. */
#define READ_BITS            256
#define READ_LEAD_MAX_BITS   15
#define ACK_DELAY_US         130

/* Where a packet's acknowledgement lies against the read that holds the packet. 1..4
 * are the sniffer header's values (nrf24_sniffer.h); 4 only a header can tell. */
enum ack_timing {
    ACK_IN_READ = 1,          /* wholly inside the packet's read: heard */
    ACK_ACROSS_READ_END = 2,  /* begins inside the read, ends after it: the radio cannot hear it */
    ACK_AFTER_READ = 3,       /* after the read, the radio searching again: heard */
    ACK_AFTER_READ_BLIND = 4, /* after the read, while another read ran: the radio cannot hear it */
    ACK_IN_OR_ACROSS = 5,     /* inside or across, by where the read began: not sure to be heard */
    ACK_ACROSS_OR_AFTER = 6   /* across or after, by where the read began: not sure to be heard */
};

/* What an answer about the air was worked out from, shown in the tree. */
enum air_source {
    FROM_RATE_PREFERENCE = 1,
    FROM_HEADER_RATE = 2,
    FROM_HEADER = 3
};

enum frame_kind {
    KIND_NONE,
    KIND_BAD_CRC,
    KIND_PACKET,
    KIND_ACK,
    KIND_UNMATCHED_ACK
};

#define FLAG_NOACK        0x01
#define FLAG_ACK_PAYLOAD  0x02

/* Ack times fit 19 signed bits: the ack window is capped at a quarter second. */
#define ACK_WINDOW_MAX_US  250000
#define RETRY_MAX          255
/* Records are kept in chunks of this many frames, allocated as the first pass reaches them. */
#define CHUNK_FRAMES       4096

/* What the first pass found for one frame, read back on every later pass: the rules
 * depend on the frames before, in the order the first pass reads them. acked_in is
 * filled in when the acknowledgement is seen, after the packet. */
struct frame_analysis {
    guint32 related;          /* a packet: the first try it repeats; an ack: the packet it acknowledges */
    guint32 acked_in;         /* a packet: the frame that acknowledged it */
    gint32 ack_time_us : 19;  /* from the end of the packet to the start of its acknowledgement */
    guint32 kind : 3;
    guint32 missing : 2;      /* packets never heard before this one (PID gap) */
    guint32 flags : 2;
    guint32 payload_len : 6;
    guint32 address : 24;     /* index into the address list */
    guint32 retry : 8;        /* 1.. for the retransmissions of one packet */
};
G_STATIC_ASSERT(sizeof(struct frame_analysis) == 16);

/* The last packet heard on one address: what the next frame there is compared with. */
struct address_state {
    guint64 address;
    guint32 index;                /* in the address list */
    struct frame_analysis *last;  /* NULL until a packet is heard */
    guint32 last_frame;
    guint32 first_try;            /* the first frame of the last packet's tries */
    nstime_t last_start;
    guint32 last_airtime_ns;
    guint16 last_crc;
    guint8 last_len;
    guint8 last_pid;
};

/* One frame as the tap's listeners see it. */
struct nrf24_tap_info {
    address addr;
    guint8 addr_bytes[NRF24_ADDR_LEN];
    const struct frame_analysis *analysis;
    gboolean later_pass;    /* the host had read the whole capture: a missing ack is known */
};

static int proto_nrf24_analysis = -1;
static int proto_nrf24_analysis_post = -1;
static int hf_retransmission_of = -1;
static int hf_retry = -1;
static int hf_acked_in = -1;
static int hf_ack_time = -1;
static int hf_acks_frame = -1;
static int hf_ack_payload = -1;
static int hf_no_ack_expected = -1;
static int hf_missing = -1;
static int hf_ack_observable = -1;
static int hf_ack_timing = -1;
static int hf_observability_source = -1;
static int hf_data_rate = -1;
static gint ett_nrf24_analysis = -1;
static gint ett_ack_observability = -1;
static expert_field ei_retransmission = EI_INIT;
static expert_field ei_no_ack_seen = EI_INIT;
static expert_field ei_unmatched_ack = EI_INIT;
static expert_field ei_pid_gap = EI_INIT;

static int proto_nrf24 = -1;

static int nrf24_tap = -1;
static int expert_tap = -1;
static int nrf24_address_type = -1;
static wmem_map_t *address_states = NULL;      /* address -> state */
static wmem_array_t *address_list = NULL;      /* index -> state */
static wmem_array_t *frame_chunks = NULL;      /* frame number / CHUNK_FRAMES -> records */

static guint pref_ack_window_us = 500;
static gint pref_data_rate = 250;
static guint pref_ack_payload_max = 0;
static nrf24_pref_bool pref_pid_gaps = FALSE;

static const enum_val_t data_rates[] = {
    { "250k", "250 kbit/s", 250 },
    { "1M", "1 Mbit/s", 1000 },
    { "2M", "2 Mbit/s", 2000 },
    { NULL, NULL, 0 }
};

static const value_string ack_timings[] = {
    { ACK_IN_READ, "Inside the packet's read" },
    { ACK_ACROSS_READ_END, "Across the end of the packet's read" },
    { ACK_AFTER_READ, "After the packet's read" },
    { ACK_AFTER_READ_BLIND, "After the packet's read, while another read ran" },
    { ACK_IN_OR_ACROSS, "Inside or across the end of the packet's read, by where the read began" },
    { ACK_ACROSS_OR_AFTER, "Across the end of or after the packet's read, by where the read began" },
    { 0, NULL }
};

static const value_string air_sources[] = {
    { FROM_RATE_PREFERENCE, "Data rate preference and payload length" },
    { FROM_HEADER_RATE, "Sniffer header's data rate and payload length" },
    { FROM_HEADER, "Sniffer header" },
    { 0, NULL }
};

static hf_register_info hf[] = {
    { &hf_retransmission_of,
      { "Retransmission of frame", "nrf24.analysis.retransmission_of",
        FT_FRAMENUM, BASE_NONE, NULL, 0,
        "The first try of the packet this frame repeats (same address, PID and CRC)", HFILL }},
    { &hf_retry,
      { "Retransmission number", "nrf24.analysis.retry",
        FT_UINT8, BASE_DEC, NULL, 0,
        "1 for the first retransmission of a packet, 2 for the second, ...", HFILL }},
    { &hf_acked_in,
      { "Acknowledged in frame", "nrf24.analysis.acked_in",
        FT_FRAMENUM, BASE_NONE, FRAMENUM_TYPE(FT_FRAMENUM_ACK), 0,
        NULL, HFILL }},
    { &hf_ack_time,
      { "Ack time (" UTF8_MICRO_SIGN "s)", "nrf24.analysis.ack_time",
        FT_INT32, BASE_DEC, NULL, 0,
        "Microseconds from the end of the packet to the start of its acknowledgement", HFILL }},
    { &hf_acks_frame,
      { "Acknowledges frame", "nrf24.analysis.acks_frame",
        FT_FRAMENUM, BASE_NONE, FRAMENUM_TYPE(FT_FRAMENUM_ACK), 0,
        NULL, HFILL }},
    { &hf_ack_payload,
      { "Ack payload", "nrf24.analysis.ack_payload",
        FT_BOOLEAN, BASE_NONE, NULL, 0,
        "Present on acknowledgements that carry a payload", HFILL }},
    { &hf_no_ack_expected,
      { "No acknowledgement expected", "nrf24.analysis.no_ack_expected",
        FT_NONE, BASE_NONE, NULL, 0,
        "Sent with the no-ack flag", HFILL }},
    { &hf_missing,
      { "Packets not heard", "nrf24.analysis.missing",
        FT_UINT8, BASE_DEC, NULL, 0,
        "Packets the PID sequence skips since the last packet on this address", HFILL }},
    { &hf_ack_observable,
      { "Ack observable", "nrf24.analysis.ack_observable",
        FT_BOOLEAN, BASE_NONE, NULL, 0,
        "Whether one radio could have heard the acknowledgement of this packet, which none was seen for", HFILL }},
    { &hf_ack_timing,
      { "Ack timing", "nrf24.analysis.ack_timing",
        FT_UINT8, BASE_DEC, VALS(ack_timings), 0,
        "Where the acknowledgement would lie against the read that holds the packet", HFILL }},
    { &hf_observability_source,
      { "Observability from", "nrf24.analysis.observability_source",
        FT_UINT8, BASE_DEC, VALS(air_sources), 0,
        "What the observability of the acknowledgement was worked out from", HFILL }},
    { &hf_data_rate,
      { "Data rate (kbit/s)", "nrf24.analysis.data_rate",
        FT_UINT16, BASE_DEC, NULL, 0,
        NULL, HFILL }},
};

static gint *ett[] = {
    &ett_nrf24_analysis,
    &ett_ack_observability,
};

static ei_register_info ei[] = {
    { &ei_retransmission,
      { "nrf24.analysis.retransmission", PI_SEQUENCE, PI_NOTE,
        "Retransmission", EXPFILL }},
    { &ei_no_ack_seen,
      { "nrf24.analysis.no_ack_seen", PI_SEQUENCE, PI_WARN,
        "No acknowledgement seen", EXPFILL }},
    { &ei_unmatched_ack,
      { "nrf24.analysis.unmatched_ack", PI_SEQUENCE, PI_NOTE,
        "Acknowledgement of no packet heard", EXPFILL }},
    { &ei_pid_gap,
      { "nrf24.analysis.pid_gap", PI_SEQUENCE, PI_NOTE,
        "PID gap", EXPFILL }},
};

static proto_plugin plugin_nrf24_analysis;

/* The record of an nRF24 frame: made on the first pass, found on later ones. NULL for a
 * frame the first pass did not reach. A chunk is allocated when the first nRF24 frame
 * falls into it, so frames of other protocols take no memory. */
static struct frame_analysis *frame_record(guint32 num, gboolean make)
{
    guint chunk = num / CHUNK_FRAMES;
    struct frame_analysis *none = NULL;
    while (make && wmem_array_get_count(frame_chunks) <= chunk)
        wmem_array_append_one(frame_chunks, none);
    if (wmem_array_get_count(frame_chunks) <= chunk)
        return NULL;
    struct frame_analysis **records = (struct frame_analysis **)wmem_array_index(frame_chunks, chunk);
    if (*records == NULL && make)
        *records = wmem_alloc0_array(wmem_file_scope(), struct frame_analysis, CHUNK_FRAMES);
    return *records == NULL ? NULL : *records + num % CHUNK_FRAMES;
}

/* Time on the air of a frame with this payload at a data rate. */
static guint32 airtime_ns(guint8 payload_len, guint rate_kbps)
{
    return (guint32)((NRF24_FRAME_BITS + 8 * payload_len) * (1000000u / rate_kbps));
}

/* Where the acknowledgement of a packet with this payload lies against the packet's
 * read, in half bits from the start of the packet's preamble (130 us is 32.5 bits at
 * 250 kbit/s). The read ends 256 bits after it began, 0..15 bits before the address;
 * the longest acknowledgement is the one with the longest ack payload. */
static enum ack_timing ack_timing(guint8 payload_len, guint rate_kbps)
{
    guint ack_start = 2 * (NRF24_FRAME_BITS + 8 * payload_len) + ACK_DELAY_US * rate_kbps / 500;
    guint ack_end = ack_start + 2 * (NRF24_FRAME_BITS + 8 * pref_ack_payload_max);
    guint read_end_earliest = 2 * (NRF24_PREAMBLE_BITS - READ_LEAD_MAX_BITS + READ_BITS);
    guint read_end_latest = 2 * (NRF24_PREAMBLE_BITS + READ_BITS);
    if (ack_end <= read_end_earliest)
        return ACK_IN_READ;
    if (ack_start >= read_end_latest)
        return ACK_AFTER_READ;
    if (ack_end <= read_end_latest)
        return ACK_IN_OR_ACROSS;
    if (ack_start >= read_end_earliest)
        return ACK_ACROSS_OR_AFTER;
    return ACK_ACROSS_READ_END;
}

/* Whether one radio could have heard a packet's acknowledgement, and from what that
 * follows: the one place that decides it. Only an ack that is heard wherever the
 * read began counts as observable, so that a missing one is always worth a warning. */
struct ack_observability {
    enum ack_timing timing;
    enum air_source source;
    guint rate_kbps;
    gboolean observable;
};

/* The data rate the frame was heard at: the sniffer header's, else the preference. */
static guint frame_rate_kbps(const nrf24_sniffer *header)
{
    return header != NULL && (header->present & NRF24_SNIFFER_HAS_RATE) ? header->rate_kbps : (guint)pref_data_rate;
}

/* The sniffer header's verdict where it has one (the capture tool saw the reads);
 * otherwise the timing from the data rate and the payload length. */
static struct ack_observability ack_observability(packet_info *pinfo, guint8 payload_len)
{
    const nrf24_sniffer *header = nrf24_sniffer_lookup(pinfo);
    struct ack_observability answer;
    answer.rate_kbps = frame_rate_kbps(header);
    if (header != NULL && (header->present & NRF24_SNIFFER_HAS_ACK) && header->ack != NRF24_SNIFFER_ACK_UNKNOWN) {
        answer.source = FROM_HEADER;
        answer.timing = (enum ack_timing)header->ack;
    } else {
        answer.source = header != NULL && (header->present & NRF24_SNIFFER_HAS_RATE) ? FROM_HEADER_RATE
                                                                                     : FROM_RATE_PREFERENCE;
        answer.timing = ack_timing(payload_len, answer.rate_kbps);
    }
    answer.observable = answer.timing == ACK_IN_READ || answer.timing == ACK_AFTER_READ;
    return answer;
}

/* The state of one address, made on its first frame. */
static struct address_state *address_state_get(guint64 address)
{
    struct address_state *state = (struct address_state *)wmem_map_lookup(address_states, &address);
    if (state == NULL) {
        state = wmem_new0(wmem_file_scope(), struct address_state);
        state->address = address;
        state->index = wmem_array_get_count(address_list);
        wmem_map_insert(address_states, &state->address, state);
        wmem_array_append_one(address_list, state);
    }
    return state;
}

/* Nanoseconds from the end of the last packet on the address to the start of this frame. */
static gint64 after_last_packet_ns(const struct address_state *state, const nstime_t *start)
{
    gint64 ns = (gint64)(start->secs - state->last_start.secs) * 1000000000 + (start->nsecs - state->last_start.nsecs);
    return ns - state->last_airtime_ns;
}

/* Whether a frame starting now is within the ack window of the last packet on the
 * address, which asked for an acknowledgement and has none yet. */
static gboolean awaits_ack(const struct address_state *state, const nstime_t *start, guint8 pid)
{
    if (state->last == NULL || state->last->acked_in != 0 || (state->last->flags & FLAG_NOACK) || state->last_pid != pid)
        return FALSE;
    if (nstime_cmp(start, &state->last_start) < 0)
        return FALSE;
    return after_last_packet_ns(state, start) <= (gint64)MIN(pref_ack_window_us, ACK_WINDOW_MAX_US) * 1000;
}

/* The first-pass rules: each good frame is an acknowledgement of the last packet on its
 * address, an acknowledgement of nothing heard, or a packet (a new one or a try again). */
static void analyse_frame(packet_info *pinfo, struct frame_analysis *fa, struct address_state *state, guint8 len,
                          guint8 pid, gboolean noack, guint16 crc)
{
    const nstime_t *start = &pinfo->abs_ts;
    gboolean same_as_last = state->last != NULL && state->last_pid == pid && state->last_crc == crc &&
                            state->last_len == len;

    if (!same_as_last && len <= pref_ack_payload_max && awaits_ack(state, start, pid)) {
        fa->kind = KIND_ACK;
        fa->related = state->last_frame;
        fa->ack_time_us = (gint32)(after_last_packet_ns(state, start) / 1000);
        if (len > 0)
            fa->flags |= FLAG_ACK_PAYLOAD;
        state->last->acked_in = pinfo->num;
        state->last->ack_time_us = fa->ack_time_us;
        return;
    }
    if (len == 0) {
        fa->kind = KIND_UNMATCHED_ACK;
        return;
    }

    fa->kind = KIND_PACKET;
    if (noack)
        fa->flags |= FLAG_NOACK;
    if (same_as_last && !(state->last->flags & FLAG_NOACK)) {
        fa->related = state->first_try;
        fa->retry = MIN(state->last->retry + 1, RETRY_MAX);
    } else {
        /* The next PID is one up; the same PID with other content means three packets lost.
         * Only where one transmitter sends to the address: ESB cannot tell several apart. */
        if (state->last != NULL && pref_pid_gaps)
            fa->missing = (pid - state->last_pid + NRF24_PID_COUNT - 1) % NRF24_PID_COUNT;
        state->first_try = pinfo->num;
    }
    state->last = fa;
    state->last_frame = pinfo->num;
    state->last_start = *start;
    state->last_airtime_ns = airtime_ns(len, frame_rate_kbps(nrf24_sniffer_lookup(pinfo)));
    state->last_crc = crc;
    state->last_len = len;
    state->last_pid = pid;
}

/* A packet that asked for an acknowledgement and got none: a warning only where one
 * radio could have heard the acknowledgement; either way the tree says which it was
 * and what that was worked out from. */
static void add_missing_ack_items(packet_info *pinfo, proto_item *ti, proto_tree *at, const struct frame_analysis *fa)
{
    struct ack_observability answer = ack_observability(pinfo, fa->payload_len);
    if (answer.observable)
        expert_add_info(pinfo, ti, &ei_no_ack_seen);
    proto_item *pi = proto_tree_add_boolean(at, hf_ack_observable, NULL, 0, 0, answer.observable);
    proto_item_set_generated(pi);
    proto_tree *ot = proto_item_add_subtree(pi, ett_ack_observability);
    pi = proto_tree_add_uint(ot, hf_ack_timing, NULL, 0, 0, answer.timing);
    proto_item_set_generated(pi);
    pi = proto_tree_add_uint(ot, hf_observability_source, NULL, 0, 0, answer.source);
    proto_item_set_generated(pi);
    pi = proto_tree_add_uint(ot, hf_data_rate, NULL, 0, 0, answer.rate_kbps);
    proto_item_set_generated(pi);
}

/* The generated items of one analysed frame, when there is something to say. "No
 * acknowledgement seen" needs the whole capture, so it shows once the first pass is
 * over, as TCP's "ACKed in" does. Only when someone looks: a visible tree, a filter or
 * column on these fields, or the expert infos' listener. */
static void add_analysis_items(proto_tree *tree, packet_info *pinfo, const struct frame_analysis *fa)
{
    if (fa->kind == KIND_PACKET && fa->retry == 0 && fa->missing == 0 && !(fa->flags & FLAG_NOACK) &&
        fa->acked_in == 0 && !PINFO_FD_VISITED(pinfo))
        return;
    if (!proto_field_is_referenced(tree, proto_nrf24_analysis) && !have_tap_listener(expert_tap))
        return;
    proto_item *ti = proto_tree_add_item(tree, proto_nrf24_analysis, NULL, 0, 0, ENC_NA);
    proto_item_set_generated(ti);
    proto_tree *at = proto_item_add_subtree(ti, ett_nrf24_analysis);
    proto_item *pi;

    if (fa->kind == KIND_UNMATCHED_ACK) {
        expert_add_info(pinfo, ti, &ei_unmatched_ack);
        return;
    }
    if (fa->kind == KIND_ACK) {
        pi = proto_tree_add_uint(at, hf_acks_frame, NULL, 0, 0, fa->related);
        proto_item_set_generated(pi);
        pi = proto_tree_add_int(at, hf_ack_time, NULL, 0, 0, fa->ack_time_us);
        proto_item_set_generated(pi);
        if (fa->flags & FLAG_ACK_PAYLOAD) {
            pi = proto_tree_add_boolean(at, hf_ack_payload, NULL, 0, 0, TRUE);
            proto_item_set_generated(pi);
        }
        return;
    }
    if (fa->retry != 0) {
        pi = proto_tree_add_uint(at, hf_retransmission_of, NULL, 0, 0, fa->related);
        proto_item_set_generated(pi);
        expert_add_info_format(pinfo, pi, &ei_retransmission, "Retransmission %u of frame %u", fa->retry,
                               fa->related);
        pi = proto_tree_add_uint(at, hf_retry, NULL, 0, 0, fa->retry);
        proto_item_set_generated(pi);
    }
    if (fa->missing != 0) {
        pi = proto_tree_add_uint(at, hf_missing, NULL, 0, 0, fa->missing);
        proto_item_set_generated(pi);
        expert_add_info_format(pinfo, pi, &ei_pid_gap, "PID gap: %u packet%s not heard", fa->missing,
                               fa->missing == 1 ? "" : "s");
    }
    if (fa->flags & FLAG_NOACK) {
        pi = proto_tree_add_item(at, hf_no_ack_expected, NULL, 0, 0, ENC_NA);
        proto_item_set_generated(pi);
    } else if (fa->acked_in != 0) {
        pi = proto_tree_add_uint(at, hf_acked_in, NULL, 0, 0, fa->acked_in);
        proto_item_set_generated(pi);
        pi = proto_tree_add_int(at, hf_ack_time, NULL, 0, 0, fa->ack_time_us);
        proto_item_set_generated(pi);
    } else if (PINFO_FD_VISITED(pinfo)) {
        add_missing_ack_items(pinfo, ti, at, fa);
    }
}

/* The first pass over a frame: its record from what the nRF24 module decoded. A frame
 * with a bad CRC is only counted. */
static void first_pass(packet_info *pinfo, const nrf24_frame *frame, struct frame_analysis *fa)
{
    struct address_state *state = address_state_get(frame->address);
    fa->address = state->index;
    fa->payload_len = frame->payload_len;
    if (frame->crc_ok)
        analyse_frame(pinfo, fa, state, frame->payload_len, frame->pid, frame->no_ack, frame->crc);
    else
        fa->kind = KIND_BAD_CRC;
}

/* Runs after every dissector on every frame of every capture: a packet without an nRF24
 * frame costs one lookup of what the nRF24 module attached to it. Analyses the nRF24
 * frames the first time the host shows them, and shows the stored result on every pass. */
static int dissect_nrf24_analysis(tvbuff_t *tvb _U_, packet_info *pinfo, proto_tree *tree, void *data _U_)
{
    const nrf24_frame *frame = nrf24_frame_lookup(pinfo);
    if (frame == NULL)
        return 0;
    /* The host names the protocol of expert infos after it (and restores it after the call). */
    pinfo->current_proto = "nRF24 analysis";
    struct frame_analysis *fa = frame_record(pinfo->num, !PINFO_FD_VISITED(pinfo));
    if (fa == NULL)
        return 0;
    if (!PINFO_FD_VISITED(pinfo) && fa->kind == KIND_NONE)
        first_pass(pinfo, frame, fa);
    if (fa->kind == KIND_NONE)
        return 0;
    if (fa->kind != KIND_BAD_CRC)
        add_analysis_items(tree, pinfo, fa);

    if (have_tap_listener(nrf24_tap)) {
        struct nrf24_tap_info *info = wmem_new(pinfo->pool, struct nrf24_tap_info);
        guint64 address = (*(struct address_state **)wmem_array_index(address_list, fa->address))->address;
        for (int i = 0; i < NRF24_ADDR_LEN; i++)
            info->addr_bytes[i] = (guint8)(address >> (8 * (NRF24_ADDR_LEN - 1 - i)));
        set_address(&info->addr, nrf24_address_type, NRF24_ADDR_LEN, info->addr_bytes);
        info->analysis = fa;
        info->later_pass = PINFO_FD_VISITED(pinfo);
        tap_queue_packet(nrf24_tap, pinfo, info);
    }
    return 0;
}

/* The address as the nRF24 module's nrf24.node field writes it, so that it filters. */
static int nrf24_addr_to_str(const address *addr, gchar *buf, int buf_len)
{
    static const gchar hex_digits[] = "0123456789abcdef";
    const guint8 *bytes = (const guint8 *)addr->data;
    if (buf_len < 2 + 2 * NRF24_ADDR_LEN + 1)
        return 0;
    gchar *p = buf;
    *p++ = '0';
    *p++ = 'x';
    for (int i = 0; i < NRF24_ADDR_LEN; i++) {
        *p++ = hex_digits[bytes[i] >> 4];
        *p++ = hex_digits[bytes[i] & 0xF];
    }
    *p = '\0';
    return (int)(p - buf + 1);
}

/* Length of the address text with its terminating NUL. */
static int nrf24_addr_str_len(const address *addr _U_)
{
    return 2 + 2 * NRF24_ADDR_LEN + 1;
}

/* The address is always 5 bytes. */
static int nrf24_addr_len(void)
{
    return NRF24_ADDR_LEN;
}

/* Filter field of an address in the Conversations window. */
static const char *nrf24_conv_filter_type(conv_item_t *conv _U_, conv_filter_type_e filter)
{
    return filter == CONV_FT_ANY_ADDRESS || filter == CONV_FT_SRC_ADDRESS || filter == CONV_FT_DST_ADDRESS
               ? "nrf24.node" : CONV_FILTER_INVALID;
}

/* Filter field of an address in the Endpoints window. */
static const char *nrf24_endpoint_filter_type(nrf24_endpoint_item *endpoint _U_, conv_filter_type_e filter)
{
    return filter == CONV_FT_ANY_ADDRESS ? "nrf24.node" : CONV_FILTER_INVALID;
}

static ct_dissector_info_t nrf24_ct_info = { &nrf24_conv_filter_type };
static nrf24_endpoint_info nrf24_endpoint_dissector_info = { &nrf24_endpoint_filter_type };

/* Whether a frame was sent by the receiver at its address (an acknowledgement) rather
 * than to it. */
static gboolean sent_by_receiver(const struct nrf24_tap_info *info)
{
    return info->analysis->kind == KIND_ACK || info->analysis->kind == KIND_UNMATCHED_ACK;
}

/* One conversation per address: port 0 is the side that transmits packets to it,
 * port 1 the receiver that acknowledges them, so the two directions stay apart. The
 * host makes the first frame's sender side A: an acknowledgement first adds nothing
 * from the transmitting side, so that side A is always the transmitter. */
static tap_packet_status nrf24_conversation_packet(void *tapdata, packet_info *pinfo, epan_dissect_t *edt _U_,
                                                   const void *data NRF24_TAP_FLAGS)
{
    const struct nrf24_tap_info *info = (const struct nrf24_tap_info *)data;
    conv_hash_t *hash = (conv_hash_t *)tapdata;
    guint32 from = 0;
    if (sent_by_receiver(info)) {
        add_conversation_table_data(hash, &info->addr, &info->addr, 0, 1, 0, 0, &pinfo->rel_ts, &pinfo->abs_ts,
                                    &nrf24_ct_info, NRF24_CONVERSATION_NONE);
        from = 1;
    }
    add_conversation_table_data(hash, &info->addr, &info->addr, from, 1 - from, 1, pinfo->fd->pkt_len,
                                &pinfo->rel_ts, &pinfo->abs_ts, &nrf24_ct_info, NRF24_CONVERSATION_NONE);
    return TAP_PACKET_REDRAW;
}

/* One endpoint per address: acknowledgements are sent by it, everything else is sent to it. */
static tap_packet_status nrf24_endpoint_packet(void *tapdata, packet_info *pinfo, epan_dissect_t *edt _U_,
                                               const void *data NRF24_TAP_FLAGS)
{
    const struct nrf24_tap_info *info = (const struct nrf24_tap_info *)data;
    nrf24_add_endpoint((conv_hash_t *)tapdata, &info->addr, 0, sent_by_receiver(info), 1, pinfo->fd->pkt_len,
                       &nrf24_endpoint_dissector_info, NRF24_ENDPOINT_NONE);
    return TAP_PACKET_REDRAW;
}

static const gchar st_addresses[] = "nRF24 addresses";
static const gchar st_payload_bytes[] = "Payload bytes";
static const gchar st_acks[] = "Acknowledgements";
static const gchar st_acks_missing[] = "Acks missing";
static const gchar st_acks_not_observable[] = "Acks not observable";
static const gchar st_noack[] = "No-ack frames";
static const gchar st_crc_errors[] = "CRC errors";
static const gchar st_retransmissions[] = "Retransmissions";
static const gchar st_ack_time[] = "Ack time (us)";
static int st_node_addresses = -1;

/* The root node; one child per address is made as the address is first seen. */
static void nrf24_stats_init(stats_tree *st)
{
    st_node_addresses = stats_tree_create_node(st, st_addresses, 0, STAT_DT_INT, TRUE);
}

/* Counts one frame under its address; every address gets every row. */
static tap_packet_status nrf24_stats_packet(stats_tree *st, packet_info *pinfo, epan_dissect_t *edt _U_,
                                            const void *data NRF24_TAP_FLAGS)
{
    const struct nrf24_tap_info *info = (const struct nrf24_tap_info *)data;
    gchar name[2 + 2 * NRF24_ADDR_LEN + 1];
    nrf24_addr_to_str(&info->addr, name, sizeof name);

    tick_stat_node(st, st_addresses, 0, TRUE);
    int node = tick_stat_node(st, name, st_node_addresses, TRUE);
    const struct frame_analysis *fa = info->analysis;
    gboolean crc_ok = fa->kind != KIND_BAD_CRC;
    gboolean ack = fa->kind == KIND_ACK;
    increase_stat_node(st, st_payload_bytes, node, FALSE, crc_ok ? fa->payload_len : 0);
    increase_stat_node(st, st_acks, node, FALSE, ack ? 1 : 0);
    /* Whether a packet's acknowledgement is missing is known once the whole capture was read
     * (the host marks a frame visited before its taps run, so the pass is the one it was
     * dissected in). */
    gboolean unacked = fa->kind == KIND_PACKET && !(fa->flags & FLAG_NOACK) && fa->acked_in == 0 &&
                       info->later_pass;
    gboolean observable = unacked && ack_observability(pinfo, fa->payload_len).observable;
    increase_stat_node(st, st_acks_missing, node, FALSE, observable ? 1 : 0);
    increase_stat_node(st, st_acks_not_observable, node, FALSE, unacked && !observable ? 1 : 0);
    increase_stat_node(st, st_noack, node, FALSE, (fa->flags & FLAG_NOACK) ? 1 : 0);
    increase_stat_node(st, st_crc_errors, node, FALSE, crc_ok ? 0 : 1);
    increase_stat_node(st, st_retransmissions, node, FALSE, fa->retry != 0 ? 1 : 0);
    if (ack)
        avg_stat_node_add_value_int(st, st_ack_time, node, FALSE, fa->ack_time_us);
    else
        increase_stat_node(st, st_ack_time, node, FALSE, 0);
    return TAP_PACKET_REDRAW;
}

/* A new file: empty per-frame records and address list on the new file scope. The
 * host's expert tap is registered after the hand-offs, so it is looked up here. */
static void init_nrf24_analysis(void)
{
    expert_tap = find_tap_id("expert");
    frame_chunks = wmem_array_new(wmem_file_scope(), sizeof(struct frame_analysis *));
    address_list = wmem_array_new(wmem_file_scope(), sizeof(struct address_state *));
}

/* Registers the protocol, its generated fields, expert infos and preferences, the
 * per-address state (emptied by the host between files) and the address type. */
void proto_register_nrf24_analysis(void)
{
    proto_nrf24_analysis = proto_register_protocol("nRF24 link analysis", "nRF24 analysis", "nrf24.analysis");
    proto_nrf24_analysis_post = proto_register_protocol_in_name_only(
        "nRF24 link analysis (post-dissector)", "nRF24 analysis", "nrf24.analysis.post", proto_nrf24_analysis,
        FT_PROTOCOL);
    proto_register_field_array(proto_nrf24_analysis, hf, array_length(hf));
    proto_register_subtree_array(ett, array_length(ett));
    expert_module_t *expert = expert_register_protocol(proto_nrf24_analysis);
    expert_register_field_array(expert, ei, array_length(ei));

    module_t *prefs = prefs_register_protocol(proto_nrf24_analysis, NULL);
    prefs_register_uint_preference(prefs, "ack_window", "Ack window (" UTF8_MICRO_SIGN "s)",
                                   "Longest time from the end of a packet to the start of its acknowledgement",
                                   10, &pref_ack_window_us);
    prefs_register_enum_preference(prefs, "data_rate", "Data rate",
                                   "Air data rate of the link, which gives each frame's time on the air",
                                   &pref_data_rate, data_rates, FALSE);
    prefs_register_uint_preference(prefs, "ack_payload_max", "Longest ack payload (bytes)",
                                   "0: acknowledgements carry no payload, so only an empty frame is one; "
                                   "on a link with ack payloads, the longest of them",
                                   10, &pref_ack_payload_max);
    prefs_register_bool_preference(prefs, "pid_gaps", "Note PID gaps",
                                   "Note packets the PID sequence skips; only sound where one transmitter sends "
                                   "to each address, as several that share one interleave their PIDs",
                                   &pref_pid_gaps);

    address_states = wmem_map_new_autoreset(wmem_epan_scope(), wmem_file_scope(), g_int64_hash, g_int64_equal);
    register_init_routine(init_nrf24_analysis);
    nrf24_address_type = address_type_dissector_register("AT_NRF24", "nRF24 address", nrf24_addr_to_str,
                                                         nrf24_addr_str_len, NULL, NULL,
                                                         nrf24_addr_len, NULL, NULL);
}

/* Runs only beside the nRF24 module: registers the post-dissector, which asks the host
 * for no fields (it reads the frame's record, so the host builds no tree for it), and
 * names the tap, the statistics and the tables after "nrf24". The post-dissector's
 * handle belongs to a protocol in name only, enabled with the analysis: the host then
 * calls it without keeping a protocol layer for it, which it does for every frame of
 * every capture. */
void proto_reg_handoff_nrf24_analysis(void)
{
    proto_nrf24 = proto_get_id_by_filter_name("nrf24");
    if (proto_nrf24 < 0)
        return;

    register_postdissector(create_dissector_handle(dissect_nrf24_analysis, proto_nrf24_analysis_post));

    nrf24_tap = register_tap("nrf24");
    /* Sorted by name: addresses in ascending order, each with its rows alphabetically. */
    stats_tree_register_plugin("nrf24", "nrf24_addresses", "nRF24/Addresses",
                               ST_SORT_COL_NAME << ST_FLG_SRTCOL_SHIFT, nrf24_stats_packet, nrf24_stats_init, NULL);
    register_conversation_table(proto_nrf24, TRUE, nrf24_conversation_packet, nrf24_endpoint_packet);
}

/* The entry point the host looks up after accepting the version symbols. */
void plugin_register(void)
{
    plugin_nrf24_analysis.register_protoinfo = proto_register_nrf24_analysis;
    plugin_nrf24_analysis.register_handoff = proto_reg_handoff_nrf24_analysis;
    proto_register_plugin(&plugin_nrf24_analysis);
}
