/* nrf24_layer.h
 * How a module reads the record another module attached to the packet being
 * dissected (nrf24_frame.h, nrf24_sniffer.h): one mechanism for both.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#ifndef NRF24_LAYER_H
#define NRF24_LAYER_H

#include <epan/packet.h>
#include <epan/proto_data.h>

/* The record the protocol of filter_name attached to the packet under key, or NULL.
 * *proto caches the protocol's id, looked up at the first packet (every module has
 * registered by then); it stays -1 while that module is not loaded. A packet that
 * never reached the protocol (every packet of other captures) is told by its short
 * list of layers before the packet's data is searched: cheap on every packet. */
static inline void *nrf24_layer_record(packet_info *pinfo, int *proto, const char *filter_name, guint32 key)
{
    if (*proto == -1)
        *proto = proto_get_id_by_filter_name(filter_name);
    if (*proto == -1 || wmem_list_find(pinfo->layers, GINT_TO_POINTER(*proto)) == NULL)
        return NULL;
    return p_get_proto_data(pinfo->pool, pinfo, *proto, key);
}

#endif /* NRF24_LAYER_H */
