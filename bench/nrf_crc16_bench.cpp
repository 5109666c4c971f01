// nrf_crc16 in the built module, over frames of 0, 32 and 63 payload bytes: the time
// per frame (Google Benchmark), or with --calls N PAYLOAD a fixed number of calls
// for callgrind to count (bench/run.sh runs it with --toggle-collect=nrf_crc16).
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include <benchmark/benchmark.h>

#include <epan/tvbuff.h>

namespace {

using CrcFn = guint16 (*)(tvbuff_t *, guint16);

constexpr unsigned kMaxPayload = 63;

// The routine as other modules reach it: looked up by name in the loaded module,
// the one built beside this program unless NRF24_MODULE names another build.
CrcFn LoadCrc()
{
    const char *path = getenv("NRF24_MODULE");
    void *module = dlopen(path != nullptr ? path : NRF24_MODULE, RTLD_NOW | RTLD_LOCAL);
    void *symbol = module != nullptr ? dlsym(module, "nrf_crc16") : nullptr;
    if (symbol == nullptr) {
        fprintf(stderr, "nrf_crc16_bench: %s\n", dlerror());
        exit(2);
    }
    return reinterpret_cast<CrcFn>(symbol);
}

// Random bytes for the longest frame; a frame with a shorter payload is a prefix.
const guint8 *FrameBytes()
{
    static guint8 bytes[9 + kMaxPayload];
    static bool filled = false;
    if (!filled) {
        std::mt19937 random(2026);
        for (guint8 &byte : bytes)
            byte = static_cast<guint8>(random());
        filled = true;
    }
    return bytes;
}

// A host buffer holding a frame with the given payload length; the dissector asks
// for the CRC over its address, control field and payload: 49 + 8 x payload bits.
tvbuff_t *NewFrame(unsigned payload, guint16 *len_bits)
{
    *len_bits = static_cast<guint16>(49 + 8 * payload);
    return tvb_new_real_data(FrameBytes(), 9 + payload, static_cast<gint>(9 + payload));
}

void BM_NrfCrc16(benchmark::State &state)
{
    static const CrcFn nrf_crc16 = LoadCrc();
    guint16 len_bits = 0;
    tvbuff_t *tvb = NewFrame(static_cast<unsigned>(state.range(0)), &len_bits);
    for (auto _ : state)
        benchmark::DoNotOptimize(nrf_crc16(tvb, len_bits));
    state.counters["bits"] = len_bits;
    tvb_free(tvb);
}
BENCHMARK(BM_NrfCrc16)->ArgName("payload")->Arg(0)->Arg(32)->Arg(63);

// --calls N PAYLOAD: N calls over one frame, nothing else after start-up.
int RunCalls(const char *calls_text, const char *payload_text)
{
    char *end_calls = nullptr, *end_payload = nullptr;
    long calls = strtol(calls_text, &end_calls, 10);
    long payload = strtol(payload_text, &end_payload, 10);
    if (*end_calls != '\0' || calls < 1 || *end_payload != '\0' || payload < 0 || payload > kMaxPayload) {
        fprintf(stderr, "nrf_crc16_bench: --calls N PAYLOAD wants N >= 1 and PAYLOAD 0..%u\n", kMaxPayload);
        return 2;
    }
    const CrcFn nrf_crc16 = LoadCrc();
    guint16 len_bits = 0;
    tvbuff_t *tvb = NewFrame(static_cast<unsigned>(payload), &len_bits);
    guint16 sum = 0;
    for (long i = 0; i < calls; i++)
        sum = static_cast<guint16>(sum + nrf_crc16(tvb, len_bits));
    tvb_free(tvb);
    printf("%u bits, checksum of the results %u\n", len_bits, sum);
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && strcmp(argv[1], "--calls") == 0) {
        if (argc != 4) {
            fprintf(stderr, "usage: nrf_crc16_bench --calls N PAYLOAD (or Google Benchmark options)\n");
            return 2;
        }
        return RunCalls(argv[2], argv[3]);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 2;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
