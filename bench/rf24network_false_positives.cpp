// How often the RF24Network heuristic takes a payload that is not RF24Network, and
// what the module adds to a frame's cost. Random payloads of 8..32 bytes (uniform
// length, uniform bytes, fixed seed) in frames with good CRCs, dissected in process
// by the real libwireshark with the nRF24, MySensors and RF24Network modules
// loaded, as tshark would dissect them: on the master's pipe 4 address (every
// header from node 04's subtree fits its hop there, the worst case) and on random
// addresses. Then the libraries' own vectors, dissected without a tree with the
// module enabled (with and without reassembly) and disabled. Prints the figures; exits 1 when the default
// strictness takes more than 1 in 10,000 on the master's address.
//
// usage: rf24network_false_positives VECTORS [PAYLOADS [SEED]]   (default 1000000 7)
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "nrf24_epan.h"

namespace {

const double kBound = 1e-4;

double CpuSeconds()
{
    timespec now;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

// Payloads taken by RF24Network among count random ones; a random address per frame when address is NULL.
guint64 Taken(nrf24_epan::Session &session, const guint8 *address, guint64 count, guint64 seed)
{
    std::mt19937_64 rng(seed);
    guint8 payload[32], frame[64], random_address[5];
    guint64 taken = 0;
    for (guint64 i = 0; i < count; i++) {
        if (address == NULL)
            for (guint8 &byte : random_address)
                byte = (guint8)rng();
        guint32 len = 8 + (guint32)(rng() % 25);
        for (guint32 j = 0; j < len; j++)
            payload[j] = (guint8)rng();
        guint32 bytes = nrf24_epan::BuildFrame(frame, address ? address : random_address, payload, len);
        taken += session.Dissect(frame, bytes, false, "rf24network");
    }
    return taken;
}

struct Vector {
    guint8 frame[64];
    guint32 len;
};

// The frames of vectors.txt ("addr=... payload=..." lines), built with the nRF24 module's CRC.
std::vector<Vector> ReadVectors(const char *path)
{
    std::vector<Vector> vectors;
    FILE *f = fopen(path, "r");
    if (f == NULL)
        nrf24_epan::Fail("cannot read ", path);
    char line[512];
    while (fgets(line, sizeof line, f)) {
        char addr_hex[11], payload_hex[65];
        if (sscanf(line, "addr=%10s payload=%64s", addr_hex, payload_hex) != 2)
            continue;
        guint8 address[5], payload[32];
        for (int i = 0; i < 5; i++)
            address[i] = (guint8)std::stoul(std::string(addr_hex + 2 * i, 2), NULL, 16);
        guint32 len = (guint32)strlen(payload_hex) / 2;
        for (guint32 i = 0; i < len; i++)
            payload[i] = (guint8)std::stoul(std::string(payload_hex + 2 * i, 2), NULL, 16);
        Vector v;
        v.len = nrf24_epan::BuildFrame(v.frame, address, payload, len);
        vectors.push_back(v);
    }
    fclose(f);
    return vectors;
}

// CPU seconds per frame over passes of the vectors, each pass a capture file of its own.
double PerFrame(const std::vector<Vector> &vectors, int passes)
{
    double seconds = 0;
    for (int pass = 0; pass < passes; pass++) {
        nrf24_epan::Session session;
        double start = CpuSeconds();
        for (const Vector &v : vectors)
            session.Dissect(v.frame, v.len, false);
        seconds += CpuSeconds() - start;
    }
    return seconds / (double)(passes * vectors.size());
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2 || argc > 4 || (argc > 2 && atoll(argv[2]) <= 0)) {
        fprintf(stderr, "usage: %s VECTORS [PAYLOADS [SEED]]\nexample: %s tests/vectors/rf24network/vectors.txt "
                "1000000 7\n", argv[0], argv[0]);
        return 2;
    }
    guint64 count = argc > 2 ? (guint64)atoll(argv[2]) : 1000000;
    guint64 seed = argc > 3 ? (guint64)atoll(argv[3]) : 7;
    FILE *out = fdopen(dup(STDOUT_FILENO), "w");
    int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    close(null);

    static const char *const modules[] = { NRF24_MODULE, MYSENSORS_MODULE, RF24NETWORK_MODULE, NULL };
    static const guint8 master_pipe_4[5] = { 0xCC, 0xCC, 0xCC, 0xCC, 0x3E };
    nrf24_epan::InitHost(argv[0], modules);
    std::vector<Vector> vectors = ReadVectors(argv[1]);
    guint64 sender, sender_random, receiver, receiver_random;
    {
        nrf24_epan::Session session;
        sender = Taken(session, master_pipe_4, count, seed);
        sender_random = Taken(session, NULL, count, seed);
    }
    double with_module = PerFrame(vectors, 200);
    nrf24_epan::SetPreference("rf24network.reassemble:FALSE");
    double no_reassembly = PerFrame(vectors, 200);
    nrf24_epan::SetPreference("rf24network.reassemble:TRUE");
    proto_set_decoding(proto_get_id_by_filter_name("rf24network"), FALSE);
    double without_module = PerFrame(vectors, 200);
    proto_set_decoding(proto_get_id_by_filter_name("rf24network"), TRUE);
    nrf24_epan::SetPreference("rf24network.strictness:receiver");
    {
        nrf24_epan::Session session;
        receiver = Taken(session, master_pipe_4, count, seed);
        receiver_random = Taken(session, NULL, count, seed);
    }

    double share = (double)sender / (double)count;
    fprintf(out, "RF24Network heuristic over %" G_GUINT64_FORMAT " random payloads of 8..32 bytes (seed %"
            G_GUINT64_FORMAT "):\n", count, seed);
    fprintf(out, "  strictness sender (default), master's pipe 4: %" G_GUINT64_FORMAT " taken, %.2e; bound %.0e\n",
            sender, share, kBound);
    fprintf(out, "  strictness sender (default), random address:  %" G_GUINT64_FORMAT " taken, %.2e\n",
            sender_random, (double)sender_random / (double)count);
    fprintf(out, "  strictness receiver, master's pipe 4:         %" G_GUINT64_FORMAT " taken, %.2e\n", receiver,
            (double)receiver / (double)count);
    fprintf(out, "  strictness receiver, random address:          %" G_GUINT64_FORMAT " taken, %.2e\n",
            receiver_random, (double)receiver_random / (double)count);
    fprintf(out, "The libraries' %zu vector frames without a tree, 200 passes, us per frame:\n", vectors.size());
    fprintf(out, "  with the module: %.2f (its share %.0f %%, with the host's IP and TCP it calls)\n",
            1e6 * with_module, 100.0 * (with_module - without_module) / with_module);
    fprintf(out, "  with the module, reassembly off: %.2f (its share %.0f %%)\n", 1e6 * no_reassembly,
            100.0 * (no_reassembly - without_module) / no_reassembly);
    fprintf(out, "  without the module: %.2f\n", 1e6 * without_module);
    fclose(out);
    return share <= kBound ? 0 : 1;
}
