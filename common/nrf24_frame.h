/* nrf24_frame.h
 * What the nRF24 module decoded from a frame, for the modules that build on it:
 * the payload's sub-dissectors, the link analysis and any other post-dissector.
 * The nRF24 module attaches the record to the packet (packet scope) before it
 * hands the payload on; a module reads it back with nrf24_frame_lookup() while
 * the same packet is dissected (a sub-dissector, a post-dissector), and copies
 * what it keeps: the next frame overwrites the record. Each pass of the host
 * decodes the frame afresh. Frames too short to reach the CRC get none.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#ifndef NRF24_FRAME_H
#define NRF24_FRAME_H

#include "nrf24_layer.h"

typedef struct nrf24_frame {
    guint64 address;         /* the 5-byte address, as "nrf24.node" shows it */
    guint8 payload_len;      /* 0..63; 0 for an acknowledgement */
    guint8 pid;              /* 0..3 */
    gboolean no_ack;         /* the sender asked for no acknowledgement */
    gboolean crc_ok;         /* the received CRC matches the one computed */
    guint16 crc;             /* the received CRC */
    guint payload_bit_offset; /* where the payload starts in the frame, in bits (not byte aligned) */
} nrf24_frame;

/* The key below the nRF24 protocol's id under which the record is attached. */
#define NRF24_FRAME_KEY 0

/* The nRF24 protocol's id once the first lookup found it. */
static int nrf24_frame_proto = -1;

/* The record of the frame being dissected, or NULL when the packet holds no
 * decoded nRF24 frame. Cheap enough to ask on every packet of any capture. */
static inline const nrf24_frame *nrf24_frame_lookup(packet_info *pinfo)
{
    return (const nrf24_frame *)nrf24_layer_record(pinfo, &nrf24_frame_proto, "nrf24", NRF24_FRAME_KEY);
}

#endif /* NRF24_FRAME_H */
