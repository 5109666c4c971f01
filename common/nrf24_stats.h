/* nrf24_stats.h
 * What the modules that feed Wireshark's statistics need from the host: taps,
 * stats trees, address types, Endpoints and Conversations tables, under the
 * names and signatures that differ between the supported Wireshark versions.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#ifndef NRF24_STATS_H
#define NRF24_STATS_H

#include "nrf24_host.h"

#include <epan/address_types.h>
#include <epan/conversation_table.h>
#include <epan/stats_tree.h>
#include <epan/tap.h>

/* Tap and stats-tree packet callbacks gain a flags argument from 4.0 on. */
#if NRF24_WS_AT_LEAST(4, 0)
#define NRF24_TAP_FLAGS , tap_flags_t flags _U_
#else
#define NRF24_TAP_FLAGS
#endif

/* 4.0 renamed the host list to endpoints and gave conversations a type of their own;
 * up to 3.4 both tables take an endpoint type. */
#if NRF24_WS_AT_LEAST(4, 0)
typedef et_dissector_info_t nrf24_endpoint_info;
typedef endpoint_item_t nrf24_endpoint_item;
#define nrf24_add_endpoint add_endpoint_table_data
#define NRF24_CONVERSATION_NONE CONVERSATION_NONE
#else
typedef hostlist_dissector_info_t nrf24_endpoint_info;
typedef hostlist_talker_t nrf24_endpoint_item;
#define nrf24_add_endpoint add_hostlist_table_data
#define NRF24_CONVERSATION_NONE ENDPOINT_NONE
#endif
#define NRF24_ENDPOINT_NONE ENDPOINT_NONE

/* An address type's column filter callback is told the side as a bool from 4.4 on. */
#if NRF24_WS_AT_LEAST(4, 4)
typedef bool nrf24_address_side;
#else
typedef gboolean nrf24_address_side;
#endif

#endif /* NRF24_STATS_H */
