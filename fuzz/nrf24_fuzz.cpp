// libFuzzer target: each input is one DLT_USER0 frame, dissected by the real
// libwireshark through the sanitized nrf24 module, once without and once with a
// tree. Bounds exceptions end in the host's frame dissector ("[Malformed Packet]")
// and are expected; a dissector bug, a sanitizer report or a module allocation
// aborts.
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <sanitizer/allocator_interface.h>

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

#include "nrf24_fuzz_allocators.h"

namespace {

epan_t *session;
epan_dissect_t *edt_plain;
epan_dissect_t *edt_tree;
column_info columns;
heur_dtbl_entry_t *member;
int proto_member = -1;
int hf_member_word = -1;
guint32 dissections;

// The host's heap use inside the dissections, for the figures printed at exit.
const guint32 kWarmUpDissections = 1000;
guint64 heap_calls;
bool counting;
gint64 retained_after_warm_up;

[[noreturn]] void Fail(const char *what, const char *detail)
{
    fprintf(stderr, "nrf24_fuzz: %s%s\n", what, detail);
    abort();
}

void InitError(const char *format, va_list ap)
{
    vfprintf(stderr, format, ap);
    fputc('\n', stderr);
}

// A member of the "nrf24" list that reads past short payloads (its bounds
// exception crosses the module's frames) and takes payloads with an odd first byte.
gboolean MemberDissect(tvbuff_t *tvb, packet_info *, proto_tree *tree, void *)
{
    guint32 word = tvb_get_ntohl(tvb, 0);
    proto_tree_add_uint(tree, hf_member_word, tvb, 0, 4, word);
    return (word >> 24) & 1;
}

void MemberRegister()
{
    static hf_register_info hf[] = {
        { &hf_member_word, { "First word", "nrf24fuzz.word", FT_UINT32, BASE_HEX, NULL, 0, NULL, HFILL }},
    };
    proto_member = proto_register_protocol("nrf24 fuzz member", "nrf24fuzz", "nrf24fuzz");
    proto_register_field_array(proto_member, hf, array_length(hf));
}

void FindMember(const gchar *, heur_dtbl_entry_t *entry, gpointer)
{
    if (entry->protocol == find_protocol_by_id(proto_member))
        member = entry;
}

void MemberHandoff()
{
    heur_dissector_add("nrf24", MemberDissect, "nrf24 fuzz member", "nrf24fuzz_heur", proto_member,
                       HEURISTIC_ENABLE);
    heur_dissector_table_foreach("nrf24", FindMember, NULL);
}

// The module registers itself as a plug-in would, whatever the uid.
void LoadModule()
{
    void *module = dlopen(NRF24_FUZZ_MODULE, RTLD_NOW | RTLD_LOCAL);
    if (module == NULL)
        Fail("cannot load the module: ", dlerror());
    auto plugin_register = reinterpret_cast<void (*)(void)>(dlsym(module, "plugin_register"));
    if (plugin_register == NULL)
        Fail("the module exports no plugin_register", "");
    plugin_register();
    static const proto_plugin member_plugin = { MemberRegister, MemberHandoff };
    proto_register_plugin(&member_plugin);
}

// Every frame is stamped zero; the tree's time deltas ask for earlier frames.
const nstime_t *FrameTime(struct packet_provider_data *, guint32)
{
    static const nstime_t zero = {};
    return &zero;
}

// One frame through the host's frame dissector: "wtap_encap" maps DLT_USER0 to "nrf24".
void Dissect(epan_dissect_t *edt, const uint8_t *data, guint32 len)
{
    size_t live_before = __sanitizer_get_current_allocated_bytes();
    counting = true;
    wtap_rec rec = {};
    rec.rec_type = REC_TYPE_PACKET;
    rec.presence_flags = WTAP_HAS_TS | WTAP_HAS_CAP_LEN;
    rec.rec_header.packet_header.caplen = len;
    rec.rec_header.packet_header.len = len;
    rec.rec_header.packet_header.pkt_encap = WTAP_ENCAP_USER0;
    frame_data fd;
    frame_data_init(&fd, ++dissections, &rec, 0, 0);
    epan_dissect_run(edt, WTAP_FILE_TYPE_SUBTYPE_UNKNOWN, &rec, tvb_new_real_data(data, len, len), &fd, &columns);
    epan_dissect_reset(edt);
    frame_data_destroy(&fd);
    counting = false;
    if (dissections > kWarmUpDissections)
        retained_after_warm_up += (gint64)__sanitizer_get_current_allocated_bytes() - (gint64)live_before;
}

void PrintHeapFigures()
{
    fprintf(stderr, "nrf24_fuzz: %u dissections, module allocator calls: 0, host heap allocations: %.3f per "
            "dissection, bytes retained after the first %u: %" G_GINT64_FORMAT "\n",
            dissections, dissections ? (double)heap_calls / dissections : 0.0, kWarmUpDissections,
            retained_after_warm_up);
}

}  // namespace

// The module is linked with its allocator calls wrapped to here: it must make none.
#define NRF24_ALLOCATOR_TRAP(name) \
    extern "C" __attribute__((visibility("default"))) void __wrap_##name() { Fail("module called ", #name); }
NRF24_FUZZ_ALLOCATORS(NRF24_ALLOCATOR_TRAP)

// ASan calls this on every heap allocation in the process.
extern "C" void __sanitizer_malloc_hook(const volatile void *, size_t)
{
    heap_calls += counting;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***argv)
{
    // The module traces every frame to stdout; the fuzzer reports on stderr.
    int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    close(null);
    setenv("WIRESHARK_ABORT_ON_DISSECTOR_BUG", "1", 1);
    setenv("WIRESHARK_ABORT_ON_TOO_MANY_ITEMS", "1", 1);
    g_set_prgname("nrf24_fuzz");
    ws_log_init("nrf24_fuzz", InitError);
    init_process_policies();
    char *error = configuration_init((*argv)[0], NULL);
    if (error != NULL)
        Fail("configuration: ", error);
    wtap_init(FALSE);
    LoadModule();
    if (!epan_init(NULL, NULL, FALSE))
        Fail("epan_init failed", "");
    e_prefs *prefs = epan_load_settings();
    build_column_format_array(&columns, prefs->num_cols, TRUE);
    prefs_apply_all();
    dissector_handle_t nrf24 = find_dissector("nrf24");
    if (nrf24 == NULL || member == NULL)
        Fail("no dissector \"nrf24\" or no member in its heuristic list", "");
    dissector_add_uint("wtap_encap", WTAP_ENCAP_USER0, nrf24);
    static const struct packet_provider_funcs funcs = { FrameTime, NULL, NULL, NULL };
    session = epan_new(NULL, &funcs);
    edt_plain = epan_dissect_new(session, FALSE, FALSE);
    edt_tree = epan_dissect_new(session, TRUE, TRUE);
    atexit(PrintHeapFigures);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The member of the heuristic list is there for every other input, chosen by
    // a hash so that both sides see every kind of frame.
    guint32 hash = 2166136261u;
    for (size_t i = 0; i < size; i++)
        hash = (hash ^ data[i]) * 16777619u;
    member->enabled = (hash >> 16) & 1;
    guint32 len = (guint32)MIN(size, 65535);
    Dissect(edt_plain, data, len);
    Dissect(edt_tree, data, len);
    return 0;
}
