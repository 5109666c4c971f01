/* nrf24_plugin.h
 * What every module of this project needs from the host: the version switches
 * for the interfaces that differ between the supported Wireshark versions, and
 * the plug-in contract (the exported symbols the host's loader looks up).
 * Each module is one translation unit that includes this once, defines its own
 * plugin_version and plugin_register, and gets the rest from here.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#ifndef NRF24_PLUGIN_H
#define NRF24_PLUGIN_H

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

/* 4.4 asks a module what kind it is; without an answer it lists the module as "unknown". */
#if NRF24_WS_AT_LEAST(4, 4)
#include <wsutil/plugins.h>
#define NRF24_DESCRIBES_ITSELF 1
#endif

/* The module's exported symbols take the host's own export macros: a module is a DLL on
 * Windows, while the epan headers above declared the host's symbols as imports. The
 * _DEF form: a declaration with extern "C" in front is already extern. */
#ifndef WS_BUILD_DLL
#define WS_BUILD_DLL
#endif
#define RESET_SYMBOL_EXPORT
#include <ws_symbol_export.h>
#undef RESET_SYMBOL_EXPORT
#define NRF24_EXPORT extern "C" WS_DLL_PUBLIC_DEF

NRF24_EXPORT const gchar plugin_version[];
NRF24_EXPORT const int plugin_want_major;
NRF24_EXPORT const int plugin_want_minor;
NRF24_EXPORT void plugin_register(void);
#ifdef NRF24_DESCRIBES_ITSELF
NRF24_EXPORT uint32_t plugin_describe(void);
#endif

/* The host refuses a module built for another major.minor; the build says which. */
const int plugin_want_major = NRF24_WS_MAJOR;
const int plugin_want_minor = NRF24_WS_MINOR;

#ifdef NRF24_DESCRIBES_ITSELF
/* The host's plug-in list shows the module's kind from this answer. */
uint32_t plugin_describe(void)
{
    return WS_PLUGIN_DESC_DISSECTOR;
}
#endif

#endif /* NRF24_PLUGIN_H */
