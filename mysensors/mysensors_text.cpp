/* mysensors_text.cpp
 * Values and subjects written as the library's logs write them, for Info, the
 * tree and the statistics.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include "nrf24_host.h"
#include "mysensors_tables.h"
#include "mysensors_text.h"

/* Decimal digits without a formatter: Info is built for every frame, and printf
 * would cost more than the rest of the module. buf holds at least 11 bytes. */
const char *mysensors_format_uint(char *buf, guint32 value)
{
    char *p = buf + 10;
    *p = '\0';
    do {
        *--p = (char)('0' + value % 10);
        value /= 10;
    } while (value);
    return p;
}

void mysensors_append_uint(wmem_strbuf_t *out, guint32 value)
{
    char buf[11];
    wmem_strbuf_append(out, mysensors_format_uint(buf, value));
}

void mysensors_append_int(wmem_strbuf_t *out, gint32 value)
{
    if (value < 0)
        wmem_strbuf_append_c(out, '-');
    mysensors_append_uint(out, value < 0 ? 0u - (guint32)value : (guint32)value);
}

/* "V_TEMP child 5", or "I_BATTERY_LEVEL node" when the message is about the node itself. */
void mysensors_append_subject(wmem_strbuf_t *out, guint8 command, guint8 type, guint8 child)
{
    const gchar *name = try_val_to_str_ext(type, mysensors_type_names[command]);
    if (name) {
        wmem_strbuf_append(out, name);
    } else {
        wmem_strbuf_append(out, "type ");
        mysensors_append_uint(out, type);
    }
    if (child == MYS_NODE_ITSELF) {
        wmem_strbuf_append(out, " node");
    } else {
        wmem_strbuf_append(out, " child ");
        mysensors_append_uint(out, child);
    }
}

/* Custom bytes as the library's logs write them: upper-case hex, no separators. */
const char *mysensors_upper_hex(wmem_allocator_t *scope, tvbuff_t *tvb, int offset, int len)
{
    static const char digits[] = "0123456789ABCDEF";
    char *text = (char *)wmem_alloc(scope, 2 * len + 1);
    for (int i = 0; i < len; i++) {
        guint8 byte = nrf24_get_byte(tvb, offset + i);
        text[2 * i] = digits[byte >> 4];
        text[2 * i + 1] = digits[byte & 0x0F];
    }
    text[2 * len] = '\0';
    return text;
}
