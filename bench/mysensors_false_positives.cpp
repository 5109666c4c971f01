// How often the MySensors heuristic takes a payload that is not MySensors: random
// payloads of 7..32 bytes (uniform length, uniform bytes, fixed seed) in frames with
// good CRCs, dissected in process by the real libwireshark with both modules
// loaded, as tshark would dissect them. Prints the share taken under each
// strictness; exits 1 when the default strictness takes more than 1 in 10,000.
//
// usage: mysensors_false_positives [PAYLOADS [SEED]]   (default 1000000 7)
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <random>

#include "nrf24_epan.h"

namespace {

const double kBound = 1e-4;

struct Measure {
    guint64 taken = 0;
    double seconds = 0;
};

// The same payloads, in the same order, under the strictness given.
Measure Run(nrf24_epan::Session &session, guint64 count, guint64 seed)
{
    static const guint8 address[5] = { 0xA8, 0xA8, 0xE1, 0xFC, 0x00 };
    std::mt19937_64 rng(seed);
    guint8 payload[32], frame[64];
    Measure measure;
    timespec start, end;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &start);
    for (guint64 i = 0; i < count; i++) {
        guint32 len = 7 + (guint32)(rng() % 26);
        for (guint32 j = 0; j < len; j++)
            payload[j] = (guint8)rng();
        guint32 bytes = nrf24_epan::BuildFrame(frame, address, payload, len);
        measure.taken += session.Dissect(frame, bytes, false, "mysensors");
    }
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &end);
    measure.seconds = (double)(end.tv_sec - start.tv_sec) + (double)(end.tv_nsec - start.tv_nsec) / 1e9;
    return measure;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc > 3 || (argc > 1 && atoll(argv[1]) <= 0)) {
        fprintf(stderr, "usage: %s [PAYLOADS [SEED]]\nexample: %s 1000000 7\n", argv[0], argv[0]);
        return 2;
    }
    guint64 count = argc > 1 ? (guint64)atoll(argv[1]) : 1000000;
    guint64 seed = argc > 2 ? (guint64)atoll(argv[2]) : 7;
    // The modules trace every frame to stdout; the figures go to the original stdout.
    FILE *out = fdopen(dup(STDOUT_FILENO), "w");
    int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    close(null);

    static const char *const modules[] = { NRF24_MODULE, MYSENSORS_MODULE, NULL };
    nrf24_epan::InitHost(argv[0], modules);
    nrf24_epan::Session session;
    Measure strict = Run(session, count, seed);
    nrf24_epan::SetPreference("mysensors.strictness:receiver");
    Measure receiver = Run(session, count, seed);

    double share = (double)strict.taken / (double)count;
    fprintf(out, "MySensors heuristic over %" G_GUINT64_FORMAT " random payloads of 7..32 bytes (seed %" G_GUINT64_FORMAT
            "):\n", count, seed);
    fprintf(out, "  strictness sender (default): %" G_GUINT64_FORMAT " taken, %.2e (1 in %.0f); bound %.0e\n",
            strict.taken, share, strict.taken ? 1 / share : 0.0, kBound);
    fprintf(out, "  strictness receiver:         %" G_GUINT64_FORMAT " taken, %.2e (1 in %.0f)\n", receiver.taken,
            (double)receiver.taken / (double)count, receiver.taken ? (double)count / (double)receiver.taken : 0.0);
    fprintf(out, "  %.2f us of CPU per frame dissected (nrf24 and MySensors, no tree)\n",
            1e6 * (strict.seconds + receiver.seconds) / (2.0 * (double)count));
    fclose(out);
    return share <= kBound ? 0 : 1;
}
