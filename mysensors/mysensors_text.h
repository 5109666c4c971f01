/* mysensors_text.h
 * Values and subjects written as the library's logs write them, without printf:
 * Info is built for every frame.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#ifndef MYSENSORS_TEXT_H
#define MYSENSORS_TEXT_H

#include <epan/packet.h>

/* Decimal digits of value, written backwards from the end of buf (at least 11 bytes). */
const char *mysensors_format_uint(char *buf, guint32 value);
void mysensors_append_uint(wmem_strbuf_t *out, guint32 value);
void mysensors_append_int(wmem_strbuf_t *out, gint32 value);

/* "V_TEMP child 5", or "I_BATTERY_LEVEL node" when the message is about the node itself. */
void mysensors_append_subject(wmem_strbuf_t *out, guint8 command, guint8 type, guint8 child);

/* Custom bytes as the library's logs write them: upper-case hex, no separators. */
const char *mysensors_upper_hex(wmem_allocator_t *scope, tvbuff_t *tvb, int offset, int len);

#endif /* MYSENSORS_TEXT_H */
