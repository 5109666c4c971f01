/* nrf24_plugin.h
 * The plug-in contract: the exported symbols the host's loader looks up, with
 * the version switches of nrf24_host.h. It defines symbols, so exactly one
 * translation unit of each module includes it (the one that registers the
 * module, defining its own plugin_version and plugin_register); the module's
 * other files include nrf24_host.h.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#ifndef NRF24_PLUGIN_H
#define NRF24_PLUGIN_H

#include "nrf24_host.h"

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
