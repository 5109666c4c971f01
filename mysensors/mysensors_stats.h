/* mysensors_stats.h
 * The network view of MySensors traffic: what each hop is (a new message, a
 * repeater's relay of one, a radio retransmission), the tap that feeds the
 * per-node statistics tree, and the Endpoints and Conversations tables.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#ifndef MYSENSORS_STATS_H
#define MYSENSORS_STATS_H

#include <epan/packet.h>

/* What a hop is to the statistics: each message is counted once, at the hop its
 * sender transmits; repeaters' hops and retransmissions apart. */
typedef enum {
    MYS_HOP_MESSAGE = 0,      /* the sender's own transmission (last == sender) */
    MYS_HOP_RELAY,            /* a repeater passing the message on */
    MYS_HOP_RETRANSMISSION,   /* the same radio frame again: same address, PID and CRC */
} mysensors_hop;

/* What one hop tells the statistics and the conversation tables. */
typedef struct {
    mysensors_hop hop;
    guint8 last;
    guint8 sender;
    guint8 destination;
    guint8 command;
    guint8 type;
    guint8 child;
    gboolean has_number;
    guint32 number;      /* the value of a P_BYTE payload */
    const char *text;    /* the value as Info shows it, on the packet scope */
    guint size;          /* bytes of the message */
} mysensors_tap_info;

extern int mysensors_tap;

/* The hop's kind, decided on the first pass from the nRF24 module's record of the
 * frame and the previous frame MySensors took on the same address, and kept
 * with the frame for later passes. */
mysensors_hop mysensors_classify_hop(packet_info *pinfo, int proto, guint8 last, guint8 sender);

/* The tap, the node address type and the Endpoints and Conversations tables. */
void mysensors_register_stats(int proto);

/* The statistics tree, registered when the host registers its tap listeners. */
void mysensors_register_stats_tree(void);

#endif /* MYSENSORS_STATS_H */
