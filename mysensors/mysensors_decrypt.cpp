/* mysensors_decrypt.cpp
 * AES-128-CBC with an all-zero IV over the whole radio payload, as the library's
 * transport encrypts it (16 bytes for messages up to 16, else 32).
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#include <string.h>

#include <wsutil/wsgcrypt.h>

#include "mysensors_decrypt.h"

static gcry_cipher_hd_t cipher;
static gboolean have_cipher;
static guint8 current_key[MYS_AES_BLOCK];

/* The 16 key bytes the preference stands for, or FALSE when it names no key. */
static gboolean parse_key(const char *text, guint8 key[MYS_AES_BLOCK])
{
    size_t len = strlen(text);
    memset(key, 0, MYS_AES_BLOCK);
    if (len == 2 * MYS_AES_BLOCK) {
        for (size_t i = 0; i < len; i++)
            if (!g_ascii_isxdigit(text[i]))
                return FALSE;
        for (size_t i = 0; i < MYS_AES_BLOCK; i++)
            key[i] = (guint8)(g_ascii_xdigit_value(text[2 * i]) << 4 | g_ascii_xdigit_value(text[2 * i + 1]));
        return TRUE;
    }
    if (len > 0 && len <= MYS_AES_BLOCK) {
        memcpy(key, text, len);
        return TRUE;
    }
    return FALSE;
}

gboolean mysensors_set_key(const char *text)
{
    guint8 key[MYS_AES_BLOCK];
    if (!parse_key(text ? text : "", key)) {
        if (have_cipher)
            gcry_cipher_close(cipher);
        have_cipher = FALSE;
        return FALSE;
    }
    if (have_cipher && memcmp(key, current_key, sizeof key) == 0)
        return TRUE;
    if (have_cipher)
        gcry_cipher_close(cipher);
    have_cipher = gcry_cipher_open(&cipher, GCRY_CIPHER_AES128, GCRY_CIPHER_MODE_CBC, 0) == 0;
    if (have_cipher && gcry_cipher_setkey(cipher, key, sizeof key) != 0) {
        gcry_cipher_close(cipher);
        have_cipher = FALSE;
    }
    memcpy(current_key, key, sizeof key);
    return have_cipher;
}

gboolean mysensors_may_decrypt(guint len)
{
    return have_cipher && (len == MYS_AES_BLOCK || len == 2 * MYS_AES_BLOCK);
}

tvbuff_t *mysensors_decrypt(tvbuff_t *tvb, packet_info *pinfo)
{
    static const guint8 zero_iv[MYS_AES_BLOCK] = { 0 };
    guint len = tvb_captured_length(tvb);
    guint8 *plain = (guint8 *)wmem_alloc(pinfo->pool, len);
    if (gcry_cipher_setiv(cipher, zero_iv, sizeof zero_iv) != 0 ||
        gcry_cipher_decrypt(cipher, plain, len, tvb_get_ptr(tvb, 0, len), len) != 0)
        return NULL;
    return tvb_new_child_real_data(tvb, plain, len, len);
}
