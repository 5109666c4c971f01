/* mysensors_decrypt.h
 * The transport encryption of MySensors networks built with
 * MY_RF24_ENABLE_ENCRYPTION: the key from the user's preference, and the
 * decryption of a radio payload with it.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#ifndef MYSENSORS_DECRYPT_H
#define MYSENSORS_DECRYPT_H

#include <epan/packet.h>

#include "mysensors_tables.h"

/* Takes the key preference: 32 hex digits, or the simple password zero-padded to
 * 16 bytes as MY_ENCRYPTION_SIMPLE_PASSWD is; anything else means no key. The
 * cipher is opened here, once per change of the key. Returns whether a key is set. */
gboolean mysensors_set_key(const char *text);

/* Whether a payload of len bytes may be an encrypted message: a key is set and
 * the payload fills one or two AES blocks, as the library sends them. */
gboolean mysensors_may_decrypt(guint len);

/* The payload decrypted as the library's receiver does it, a new tvb on the
 * packet scope, or NULL when the host's libgcrypt refuses. */
tvbuff_t *mysensors_decrypt(tvbuff_t *tvb, packet_info *pinfo);

#endif /* MYSENSORS_DECRYPT_H */
