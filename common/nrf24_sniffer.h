/* nrf24_sniffer.h
 * What the sniffer header in front of a frame said (doc/sniffer-header.md), for
 * the modules that build on it: the link analysis takes the data rate and whether
 * the frame's acknowledgement could have been heard from here. The sniffer-header
 * module attaches the record to the packet (packet scope) before it hands the
 * frame to "nrf24"; a module reads it back with nrf24_sniffer_lookup() while the
 * same packet is dissected (a sub-dissector of nRF24, a post-dissector), and
 * copies what it keeps: the next frame overwrites the record. Frames without the
 * header get none; items the header lacked are clear in `present`.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#ifndef NRF24_SNIFFER_H
#define NRF24_SNIFFER_H

#include "nrf24_layer.h"

/* Bits of nrf24_sniffer.present: which items the header held (and were well formed). */
#define NRF24_SNIFFER_HAS_CHANNEL      0x001
#define NRF24_SNIFFER_HAS_RATE         0x002
#define NRF24_SNIFFER_HAS_MODE         0x004
#define NRF24_SNIFFER_HAS_BIT_OFFSET   0x008
#define NRF24_SNIFFER_HAS_READ_WINDOW  0x010
#define NRF24_SNIFFER_HAS_BOARD_CLOCK  0x020
#define NRF24_SNIFFER_HAS_TAKEN        0x040
#define NRF24_SNIFFER_HAS_ACK          0x080
#define NRF24_SNIFFER_HAS_LOST         0x100
#define NRF24_SNIFFER_HAS_RPD          0x200

/* Whether the frame's acknowledgement could have been heard by the sniffer's radio. */
enum nrf24_sniffer_ack {
    NRF24_SNIFFER_ACK_UNKNOWN = 0,
    NRF24_SNIFFER_ACK_IN_READ = 1,     /* inside the frame's own read: the radio heard that time */
    NRF24_SNIFFER_ACK_STRADDLES = 2,   /* across the read's end: not observable */
    NRF24_SNIFFER_ACK_AFTER_READ = 3,  /* after the read, the radio searching: observable */
    NRF24_SNIFFER_ACK_BLIND = 4        /* after the read, another read running: not observable */
};

enum nrf24_sniffer_mode {
    NRF24_SNIFFER_MODE_PROMISCUOUS = 0,
    NRF24_SNIFFER_MODE_ADDRESS = 1
};

typedef struct nrf24_sniffer {
    guint32 present;          /* NRF24_SNIFFER_HAS_* */
    guint8 channel;           /* 0..125: 2400 + channel MHz */
    guint16 rate_kbps;        /* 250, 1000 or 2000 */
    guint8 mode;              /* enum nrf24_sniffer_mode */
    guint8 mode_detail;       /* the preamble byte (promiscuous) or the address width (address mode) */
    guint16 bit_offset;       /* the frame's first bit in its read */
    guint8 stamp_kind;        /* 0 unknown, 1 the radio's IRQ, 2 an upper bound */
    guint32 read_start;       /* the read's window on the board's 32-bit clock, microseconds */
    guint32 read_end;
    guint64 board_clock;      /* the read's end on the board's clock unwrapped, microseconds */
    guint8 taken;             /* how the frame was taken from its read (doc/sniffer-header.md) */
    guint8 ack;               /* enum nrf24_sniffer_ack */
    guint32 lost_reads;       /* reads the board could not print since the frame before */
    guint8 lost_flags;        /* 0x01 FIFO full, 0x02 radio reset, 0x04 board reset */
    guint8 rpd;               /* 1: received power above -64 dBm */
} nrf24_sniffer;

/* The key below the sniffer-header protocol's id under which the record is attached. */
#define NRF24_SNIFFER_KEY 0

/* The sniffer-header protocol's id once the first lookup found it. */
static int nrf24_sniffer_proto = -1;

/* The record of the frame being dissected, or NULL when the packet had no sniffer
 * header. Cheap enough to ask on every packet of any capture. */
static inline const nrf24_sniffer *nrf24_sniffer_lookup(packet_info *pinfo)
{
    return (const nrf24_sniffer *)nrf24_layer_record(pinfo, &nrf24_sniffer_proto, "nrf24_sniffer",
                                                     NRF24_SNIFFER_KEY);
}

#endif /* NRF24_SNIFFER_H */
