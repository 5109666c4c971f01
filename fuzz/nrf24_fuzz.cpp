// libFuzzer target: every module of the project (the list comes from CMake),
// built with ASan and UBSan, in the real libwireshark. One input is a control
// byte, then a sequence of DLT_USER0 frames, each after a length byte, dissected
// in order, first without a tree and then again with one, in the capture-file
// session that every input shares (a fresh session per input costs the host's
// every init routine and megabytes: 4 inputs a second); frame numbers go on
// across inputs, so a module keeping state across frames sees one long capture.
// Bounds exceptions end in the host's "[Malformed Packet]" and are expected; a
// dissector bug, a sanitizer report or an allocation a module must not make aborts.
//
// Control byte: bits 0-2 zero leave the frames as they are; otherwise each
// frame's MySensors header is repaired (version 2, a known command, length field
// fitting the payload) and then its CRC, with the nRF24 module's own; bit 3 sets
// MySensors and RF24Network strictness to "sender" (the default), clear to
// "receiver", which takes more of the mutated messages into the decoding; bit 4 sets
// MySensors' encryption key; bit 5 enables the harness's own member of the heuristic
// list; bit 6 hands the frames to the sniffer-header module (DLT_USER1), each a
// header and a frame, repaired after the header when its length field falls inside;
// bit 7, with bits 0-2 zero, repairs the CRCs alone (RF24Network frames, whose
// header the MySensors repair would break).
#include <fcntl.h>
#include <unistd.h>

#include <sanitizer/allocator_interface.h>

#include "nrf24_epan.h"
#include "nrf24_fuzz_allocators.h"
#include "nrf24_fuzz_modules.h"

namespace {

const char *const kModules[] = { NRF24_FUZZ_MODULES NULL };
const char *const kAllocateNothing[] = { NRF24_FUZZ_ALLOCATE_NOTHING NULL };
const size_t kMaxFrames = 8;
const size_t kMaxFrame = 255;
const guint32 kMySensorsMinPayload = 7;
const guint32 kMySensorsMaxPayload = 32;
const guint32 kMySensorsLastCommand = 4;  // C_STREAM

nrf24_epan::Session *session;
heur_dtbl_entry_t *member;
int proto_member = -1;
int hf_member_word = -1;
guint8 last_control = 0;

// Figures printed at exit.
const guint32 kWarmUpInputs = 1000;
guint64 inputs;
guint64 dissections;
guint64 inputs_reaching_mysensors;
guint64 inputs_reaching_rf24network;
guint64 heap_calls;
guint64 scoped_allocations;
bool counting;
gint64 retained_after_warm_up;

// A member of the "nrf24" list that reads past short payloads (its bounds
// exception crosses the modules' frames) and takes payloads with an odd first byte.
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

void PrintFigures()
{
    fprintf(stderr, "nrf24_fuzz: %" G_GUINT64_FORMAT " inputs, %" G_GUINT64_FORMAT " dissections; MySensors took a "
            "frame of %" G_GUINT64_FORMAT " inputs (%.1f %%), RF24Network of %" G_GUINT64_FORMAT " (%.1f %%); scoped "
            "module allocations: %.3f per dissection; host heap allocations: %.3f per dissection; bytes retained "
            "after the first %u inputs: %" G_GINT64_FORMAT "\n",
            inputs, dissections, inputs_reaching_mysensors,
            inputs ? 100.0 * (double)inputs_reaching_mysensors / (double)inputs : 0.0, inputs_reaching_rf24network,
            inputs ? 100.0 * (double)inputs_reaching_rf24network / (double)inputs : 0.0,
            dissections ? (double)scoped_allocations / (double)dissections : 0.0,
            dissections ? (double)heap_calls / (double)dissections : 0.0, kWarmUpInputs, retained_after_warm_up);
}

// A frame made to carry a MySensors message plausible to the receiver's checks:
// a payload of 7..32 bytes that the frame holds (when it holds 7), version 2, a
// known command and, unless signed, the length field the payload's size gives.
void RepairMySensorsHeader(guint8 *frame, guint32 len)
{
    using namespace nrf24_epan;
    if (8 * len < kAddressBits + kControlBits + kCrcBits + 8 * kMySensorsMinPayload)
        return;
    guint32 room = (8 * len - kAddressBits - kControlBits - kCrcBits) / 8;
    guint32 payload_len = GetBits(frame, kAddressBits, 6);
    if (payload_len < kMySensorsMinPayload || payload_len > MIN(room, kMySensorsMaxPayload)) {
        payload_len = MIN(room, kMySensorsMaxPayload);
        PutBits(frame, kAddressBits, 6, payload_len);
    }
    guint32 offset = kAddressBits + kControlBits + 3 * 8;
    guint32 version_length = GetBits(frame, offset, 8);
    if (version_length & 0x04)
        version_length = (version_length & 0xFC) | 0x02;
    else
        version_length = (payload_len - kMySensorsMinPayload) << 3 | 0x02;
    PutBits(frame, offset, 8, version_length);
    guint32 command_echo_payload = GetBits(frame, offset + 8, 8);
    if ((command_echo_payload & 0x07) > kMySensorsLastCommand)
        PutBits(frame, offset + 8, 8, command_echo_payload - 4);
}

// Where the frame starts behind a sniffer header: its little-endian length field,
// when that falls inside the record; 0 otherwise.
guint32 SnifferHeaderLength(const guint8 *record, guint32 len)
{
    if (len < 4)
        return 0;
    guint32 header = (guint32)record[2] | (guint32)record[3] << 8;
    return header >= 4 && header < len ? header : 0;
}

// The MySensors preferences the control byte asks for, set only when they change.
void ApplyControl(guint8 control)
{
    if ((control ^ last_control) & 0x08) {
        nrf24_epan::SetPreference(control & 0x08 ? "mysensors.strictness:sender" : "mysensors.strictness:receiver");
        nrf24_epan::SetPreference(control & 0x08 ? "rf24network.strictness:sender"
                                                 : "rf24network.strictness:receiver");
    }
    if ((control ^ last_control) & 0x10)
        nrf24_epan::SetPreference(control & 0x10 ? "mysensors.key:mysecret" : "mysensors.key:");
    last_control = control;
    member->enabled = (control & 0x20) != 0;
}

// Which module called: one of those that must allocate nothing, or another.
bool CalledFromModuleThatAllocatesNothing(const void *caller)
{
    Dl_info info;
    if (dladdr(caller, &info) == 0 || info.dli_fname == NULL)
        return false;
    for (const char *const *path = kAllocateNothing; *path; path++)
        if (strcmp(info.dli_fname, *path) == 0)
            return true;
    return false;
}

// A wmem allocation from a module: none from a module that allocates nothing, and
// never without a scope (a NULL allocator is the plain heap, which nothing frees).
void CheckScoped(const void *caller, wmem_allocator_t *allocator, const char *name)
{
    if (CalledFromModuleThatAllocatesNothing(caller))
        nrf24_epan::Fail("a module that allocates nothing called ", name);
    if (allocator == NULL)
        nrf24_epan::Fail("a module allocated without a scope: ", name);
    scoped_allocations += counting;
}

}  // namespace

// The modules are linked with their allocator calls wrapped to here. The heap
// allocators abort: no module may call them.
#define NRF24_ALLOCATOR_TRAP(name) \
    extern "C" __attribute__((visibility("default"))) void __wrap_##name() \
    { \
        nrf24_epan::Fail("a module called ", #name); \
    }
NRF24_FUZZ_ALLOCATORS(NRF24_ALLOCATOR_TRAP)

// The wmem allocators are checked, then called.
#define NRF24_SCOPED(ret, name, params, args) \
    extern "C" __attribute__((visibility("default"))) ret __wrap_##name params \
    { \
        CheckScoped(__builtin_return_address(0), allocator, #name); \
        return name args; \
    }
NRF24_SCOPED(void *, wmem_alloc, (wmem_allocator_t *allocator, const size_t size), (allocator, size))
NRF24_SCOPED(void *, wmem_alloc0, (wmem_allocator_t *allocator, const size_t size), (allocator, size))
NRF24_SCOPED(void *, wmem_realloc, (wmem_allocator_t *allocator, void *ptr, const size_t size),
             (allocator, ptr, size))
NRF24_SCOPED(gchar *, wmem_strdup, (wmem_allocator_t *allocator, const gchar *src), (allocator, src))
NRF24_SCOPED(gchar *, wmem_strndup, (wmem_allocator_t *allocator, const gchar *src, const size_t len),
             (allocator, src, len))
NRF24_SCOPED(gchar *, wmem_strdup_vprintf, (wmem_allocator_t *allocator, const gchar *fmt, va_list ap),
             (allocator, fmt, ap))
NRF24_SCOPED(wmem_strbuf_t *, wmem_strbuf_new, (wmem_allocator_t *allocator, const gchar *str), (allocator, str))

extern "C" __attribute__((visibility("default"))) gchar *__wrap_wmem_strdup_printf(wmem_allocator_t *allocator,
                                                                                   const gchar *fmt, ...)
{
    CheckScoped(__builtin_return_address(0), allocator, "wmem_strdup_printf");
    va_list ap;
    va_start(ap, fmt);
    gchar *text = wmem_strdup_vprintf(allocator, fmt, ap);
    va_end(ap);
    return text;
}

// ASan calls this on every heap allocation in the process.
extern "C" void __sanitizer_malloc_hook(const volatile void *, size_t)
{
    heap_calls += counting;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***argv)
{
    // The modules trace every frame to stdout; the fuzzer reports on stderr.
    int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    close(null);
    setenv("WIRESHARK_ABORT_ON_DISSECTOR_BUG", "1", 1);
    setenv("WIRESHARK_ABORT_ON_TOO_MANY_ITEMS", "1", 1);
    static const proto_plugin member_plugin = { MemberRegister, MemberHandoff };
    nrf24_epan::InitHost((*argv)[0], kModules, &member_plugin);
    if (member == NULL)
        nrf24_epan::Fail("no member in the heuristic list \"nrf24\"", "");
    last_control = 0x08;
    ApplyControl(0);
    session = new nrf24_epan::Session;
    atexit(PrintFigures);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    guint8 control = data[0];
    ApplyControl(control);
    // The frames, copied so that their CRCs and headers can be repaired.
    guint8 frames[kMaxFrames][kMaxFrame];
    guint32 lengths[kMaxFrames];
    size_t count = 0;
    for (size_t offset = 1; offset < size && count < kMaxFrames; count++) {
        guint32 len = (guint32)MIN((size_t)data[offset], size - offset - 1);
        memcpy(frames[count], data + offset + 1, len);
        lengths[count] = len;
        if (control & 0x07) {
            guint32 start = (control & 0x40) ? SnifferHeaderLength(frames[count], len) : 0;
            RepairMySensorsHeader(frames[count] + start, len - start);
            nrf24_epan::FixCrc(frames[count] + start, len - start);
        } else if (control & 0x80) {
            guint32 start = (control & 0x40) ? SnifferHeaderLength(frames[count], len) : 0;
            nrf24_epan::FixCrc(frames[count] + start, len - start);
        }
        offset += 1 + len;
    }

    size_t live_before = __sanitizer_get_current_allocated_bytes();
    counting = true;
    static const char *const networks[] = { "mysensors", "rf24network", NULL };
    guint32 reached = 0;
    for (int with_tree = 0; with_tree < 2; with_tree++)
        for (size_t i = 0; i < count; i++, dissections++)
            reached |= session->DissectFor(frames[i], lengths[i], with_tree, networks, NULL,
                                           (control & 0x40) ? WTAP_ENCAP_USER1 : WTAP_ENCAP_USER0);
    counting = false;
    inputs++;
    inputs_reaching_mysensors += reached & 1;
    inputs_reaching_rf24network += reached >> 1 & 1;
    if (inputs > kWarmUpInputs)
        retained_after_warm_up += (gint64)__sanitizer_get_current_allocated_bytes() - (gint64)live_before;
    return 0;
}
