/* mysensors_rules.h
 * The MySensors message rules as plain functions over a tvb: reading the
 * header, what the library's receiver accepts, what its senders produce. The
 * dissector, the heuristic and the unit tests share them.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#ifndef MYSENSORS_RULES_H
#define MYSENSORS_RULES_H

#include <epan/tvbuff.h>

#include "mysensors_tables.h"

/* How much of the library's behaviour a payload must show to be taken. */
typedef enum { MYS_STRICT_SENDER, MYS_STRICT_RECEIVER } mysensors_strictness;

/* The header's fields, read once through the tvb. */
typedef struct {
    guint8 last;
    guint8 sender;
    guint8 destination;
    guint8 version;
    gboolean is_signed;
    guint8 length;
    guint8 command;
    gboolean echo_request;
    gboolean echo;
    guint8 payload_type;
    guint8 type;
    guint8 child;
} mysensors_header;

/* The caller has made sure the tvb holds a whole header. */
void mysensors_read_header(tvbuff_t *tvb, mysensors_header *h);

/* Bytes the library sends for this header: a signed message fills the radio payload. */
guint mysensors_message_size(const mysensors_header *h);

/* The signing presentation is the one P_CUSTOM message with a fixed size. */
gboolean mysensors_is_signing_presentation(const mysensors_header *h);
gboolean mysensors_is_multi_message(const mysensors_header *h);

/* Payload bytes the library gives this message, or 0 for any length. */
guint mysensors_expected_length(const mysensors_header *h);

/* Checks the multi-message record at offset as the library's parser does: what
 * is wrong with it, or NULL with its size. */
const char *mysensors_record_fault(tvbuff_t *tvb, int offset, int end, int *size);

/* Whether the library's senders produce this message (each check one of their rules). */
gboolean mysensors_library_sends(tvbuff_t *tvb, const mysensors_header *h);

/* The next hop of a frame whose radio address is unknown. */
#define MYS_NEXT_HOP_UNKNOWN (-1)

/* Whether the hop fits the radio address it was sent to, whose last byte is the
 * node the transmitter sent it to (the next hop), or MYS_NEXT_HOP_UNKNOWN. */
gboolean mysensors_hop_fits(const mysensors_header *h, int next_hop);

/* Whether a message of captured bytes (padded: the AES blocks a decrypted one
 * fills), sent to next_hop, is taken under the strictness given. */
gboolean mysensors_plausible(tvbuff_t *tvb, const mysensors_header *h, guint captured, gboolean padded,
                             int next_hop, mysensors_strictness strictness);

#endif /* MYSENSORS_RULES_H */
