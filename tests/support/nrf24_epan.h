// A capture-file session in the real libwireshark with this project's modules
// loaded the way the host loads plug-ins, for programs that dissect frames in
// process: the fuzz target and the MySensors false-positive benchmark. Frames
// are DLT_USER0 frames, built or repaired with the nRF24 module's own CRC.
#ifndef NRF24_EPAN_H
#define NRF24_EPAN_H

#include <dlfcn.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <epan/column-info.h>
#include <epan/column.h>
#include <epan/epan.h>
#include <epan/epan_dissect.h>
#include <epan/frame_data.h>
#include <epan/packet.h>
#include <epan/prefs.h>
#include <epan/proto.h>
#include <epan/tvbuff.h>
#include <wiretap/wtap.h>
#include <wsutil/filesystem.h>
#include <wsutil/privileges.h>
#include <wsutil/wslog.h>

namespace nrf24_epan {

const int kAddressBits = 40;
const int kControlBits = 9;
const int kCrcBits = 16;

[[noreturn]] inline void Fail(const char *what, const char *detail)
{
    fprintf(stderr, "%s: %s%s\n", g_get_prgname(), what, detail);
    abort();
}

inline void InitError(const char *format, va_list ap)
{
    vfprintf(stderr, format, ap);
    fputc('\n', stderr);
}

typedef guint16 (*CrcFn)(tvbuff_t *, guint16);
inline CrcFn &Crc()
{
    static CrcFn crc;
    return crc;
}

// Registers one module as the host's plug-in loader would, whatever the uid; the
// nRF24 module's CRC is kept for building frames.
inline void LoadModule(const char *path)
{
    void *module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (module == NULL)
        Fail("cannot load a module: ", dlerror());
    auto plugin_register = reinterpret_cast<void (*)(void)>(dlsym(module, "plugin_register"));
    if (plugin_register == NULL)
        Fail("a module exports no plugin_register: ", path);
    plugin_register();
    if (CrcFn crc = reinterpret_cast<CrcFn>(dlsym(module, "nrf_crc16")))
        Crc() = crc;
}

// Every frame is stamped zero; the tree's time deltas ask for earlier frames.
inline const nstime_t *FrameTime(struct packet_provider_data *, guint32)
{
    static const nstime_t zero = {};
    return &zero;
}

// The host with the modules (a NULL-terminated list) registered, DLT_USER0 mapped
// to "nrf24" as the profile maps it and, when its module is loaded, DLT_USER1 to
// "nrf24_sniffer" (a frame behind a sniffer header); preferences from "name:value" strings.
inline void InitHost(const char *argv0, const char *const *modules, const proto_plugin *extra = NULL)
{
    char *name = g_path_get_basename(argv0);
    g_set_prgname(name);
    g_free(name);
    ws_log_init(g_get_prgname(), InitError);
    init_process_policies();
    char *error = configuration_init(argv0, NULL);
    if (error != NULL)
        Fail("configuration: ", error);
    wtap_init(FALSE);
    for (; *modules; modules++)
        LoadModule(*modules);
    if (extra)
        proto_register_plugin(extra);
    if (!epan_init(NULL, NULL, FALSE))
        Fail("epan_init failed", "");
    epan_load_settings();
    prefs_apply_all();
    dissector_handle_t nrf24 = find_dissector("nrf24");
    if (nrf24 == NULL || Crc() == NULL)
        Fail("the nRF24 module is not loaded", "");
    dissector_add_uint("wtap_encap", WTAP_ENCAP_USER0, nrf24);
    dissector_handle_t sniffer = find_dissector("nrf24_sniffer");
    if (sniffer != NULL)
        dissector_add_uint("wtap_encap", WTAP_ENCAP_USER1, sniffer);
}

// Sets one preference ("mysensors.strictness:receiver") and applies its module's.
inline void SetPreference(const char *setting)
{
    char *copy = g_strdup(setting);
    char *errmsg = NULL;
    if (prefs_set_pref(copy, &errmsg) != PREFS_SET_OK)
        Fail("cannot set preference ", setting);
    g_free(copy);
    g_free(errmsg);
    prefs_apply_all();
}

inline guint32 GetBits(const guint8 *data, guint32 offset, int count)
{
    guint32 value = 0;
    for (int i = 0; i < count; i++, offset++)
        value = value << 1 | ((data[offset / 8] >> (7 - offset % 8)) & 1);
    return value;
}

inline void PutBits(guint8 *data, guint32 offset, int count, guint32 value)
{
    for (int i = count - 1; i >= 0; i--, offset++) {
        guint8 bit = (guint8)(0x80 >> (offset % 8));
        data[offset / 8] = (guint8)(((value >> i) & 1) ? data[offset / 8] | bit : data[offset / 8] & ~bit);
    }
}

// Bits from the address to the end of the CRC for the payload length the control field says.
inline guint32 PacketBits(const guint8 *frame)
{
    return kAddressBits + kControlBits + 8 * (GetBits(frame, kAddressBits, 6)) + kCrcBits;
}

// Rewrites the CRC of a frame long enough to hold one, with the module's own CRC.
inline void FixCrc(guint8 *frame, guint32 len)
{
    if (len < 7 || (PacketBits(frame) + 7) / 8 > len)
        return;
    guint32 covered = PacketBits(frame) - kCrcBits;
    tvbuff_t *tvb = tvb_new_real_data(frame, len, len);
    guint16 crc = Crc()(tvb, (guint16)covered);
    tvb_free(tvb);
    PutBits(frame, covered, kCrcBits, crc);
}

// One frame: address, control field (payload length, PID 0, ack), payload, good CRC.
inline guint32 BuildFrame(guint8 *out, const guint8 address[5], const guint8 *payload, guint32 len)
{
    guint32 bytes = (kAddressBits + kControlBits + 8 * len + kCrcBits + 7) / 8;
    memset(out, 0, bytes);
    memcpy(out, address, 5);
    PutBits(out, kAddressBits, kControlBits, len << 3);
    for (guint32 i = 0; i < len; i++)
        PutBits(out, kAddressBits + kControlBits + 8 * i, 8, payload[i]);
    FixCrc(out, bytes);
    return bytes;
}

// One capture file: frames numbered from 1, dissected in order, with or without a tree.
class Session {
public:
    Session()
    {
        static const struct packet_provider_funcs funcs = { FrameTime, NULL, NULL, NULL };
        e_prefs *prefs = &::prefs;
        build_column_format_array(&columns_, prefs->num_cols, TRUE);
        session_ = epan_new(NULL, &funcs);
        plain_ = epan_dissect_new(session_, FALSE, FALSE);
        tree_ = epan_dissect_new(session_, TRUE, TRUE);
    }
    ~Session()
    {
        epan_dissect_free(plain_);
        epan_dissect_free(tree_);
        epan_free(session_);
        col_cleanup(&columns_);
    }
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    // Dissects one frame (DLT_USER0, or another encapsulation); returns whether the protocol
    // named took part in it and, when a field is named too, whether the frame's tree holds it
    // (with_tree only).
    bool Dissect(const guint8 *data, guint32 len, bool with_tree, const char *protocol = NULL,
                 const char *field = NULL, int encap = WTAP_ENCAP_USER0)
    {
        const char *const protocols[] = { protocol, NULL };
        return DissectFor(data, len, with_tree, protocol ? protocols : protocols + 1, field, encap) != 0;
    }

    // Dissects one frame; returns which of the protocols named (a NULL-terminated
    // list) took part in it, bit i for protocols[i]; none when a field is named that
    // the frame's tree lacks (with_tree only).
    guint32 DissectFor(const guint8 *data, guint32 len, bool with_tree, const char *const *protocols,
                       const char *field = NULL, int encap = WTAP_ENCAP_USER0)
    {
        epan_dissect_t *edt = with_tree ? tree_ : plain_;
        wtap_rec rec = {};
        rec.rec_type = REC_TYPE_PACKET;
        rec.presence_flags = WTAP_HAS_TS | WTAP_HAS_CAP_LEN;
        rec.rec_header.packet_header.caplen = len;
        rec.rec_header.packet_header.len = len;
        rec.rec_header.packet_header.pkt_encap = encap;
        frame_data fd;
        frame_data_init(&fd, ++frames_, &rec, 0, 0);
        // As tshark does: post-dissectors (the link analysis) get the fields they ask for in the tree.
        if (with_tree)
            prime_epan_dissect_with_postdissector_wanted_hfids(edt);
        epan_dissect_run(edt, WTAP_FILE_TYPE_SUBTYPE_UNKNOWN, &rec, tvb_new_real_data(data, len, len), &fd,
                         &columns_);
        guint32 found = 0;
        for (guint32 i = 0; protocols[i]; i++)
            found |= (guint32)proto_is_frame_protocol(edt->pi.layers, protocols[i]) << i;
        if (found && field) {
            GPtrArray *items = proto_find_first_finfo(edt->tree, proto_registrar_get_id_byname(field));
            if (!items || items->len == 0)
                found = 0;
            if (items)
                g_ptr_array_free(items, TRUE);
        }
        epan_dissect_reset(edt);
        frame_data_destroy(&fd);
        return found;
    }

private:
    column_info columns_ = {};
    epan_t *session_;
    epan_dissect_t *plain_;
    epan_dissect_t *tree_;
    guint32 frames_ = 0;
};

}  // namespace nrf24_epan

#endif  // NRF24_EPAN_H
