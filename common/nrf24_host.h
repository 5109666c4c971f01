/* nrf24_host.h
 * The version switches for the host interfaces that differ between the
 * supported Wireshark versions. Declares nothing of its own: every source file
 * of a module may include it.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#ifndef NRF24_HOST_H
#define NRF24_HOST_H

#include <epan/packet.h>
#include <epan/proto.h>

/* The host's version comes from its CMake package (3.4 has no ws_version.h). */
#define NRF24_WS_AT_LEAST(major, minor) \
    (NRF24_WS_MAJOR > (major) || (NRF24_WS_MAJOR == (major) && NRF24_WS_MINOR >= (minor)))

/* 3.2 took the bitmask field list as const int **, later hosts as int * const *. */
#if NRF24_WS_AT_LEAST(3, 4)
typedef int *const nrf24_bitmask_field;
#else
typedef const int *nrf24_bitmask_field;
#endif

/* 4.4 renamed tvb_get_guint8 (same function) and deprecates the old name. */
#if NRF24_WS_AT_LEAST(4, 4)
#define nrf24_get_byte tvb_get_uint8
#else
#define nrf24_get_byte tvb_get_guint8
#endif

/* 4.4 gives heuristic sub-dissectors a bool result instead of gboolean. */
#if NRF24_WS_AT_LEAST(4, 4)
typedef bool nrf24_heur_result;
#else
typedef gboolean nrf24_heur_result;
#endif

/* 4.4 keeps a boolean preference in a bool instead of a gboolean. */
#if NRF24_WS_AT_LEAST(4, 4)
typedef bool nrf24_pref_bool;
#else
typedef gboolean nrf24_pref_bool;
#endif

#endif /* NRF24_HOST_H */
