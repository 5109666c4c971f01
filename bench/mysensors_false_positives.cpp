// How often the MySensors heuristic takes a payload that is not MySensors, and
// whether it reads every encrypted message as one. Dissected in process by the
// real libwireshark with both modules loaded, as tshark would dissect them:
// - random payloads of 7..32 bytes (uniform length, uniform bytes) under each
//   strictness, without a key;
// - with a key, random payloads of 16 and 32 bytes, the lengths decrypted first,
//   and of 7..32 bytes as above;
// - with the key, messages the library sends (random headers and values by its
//   rules) encrypted as its transport does, random bytes after the message:
//   each must come out decrypted, under each strictness.
// All from one fixed seed. Prints the figures; exits 1 when the default
// strictness takes more than 1 in 10,000 random payloads without the key, or an
// encrypted message is not decrypted.
//
// usage: mysensors_false_positives [PAYLOADS [SEED]]   (default 1000000 7)
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <gcrypt.h>

#include <random>
#include <string>
#include <vector>

#include "nrf24_epan.h"

namespace {

const double kBound = 1e-4;
const char kPassword[] = "mysecret";
const guint8 kAddress[5] = { 0xA8, 0xA8, 0xE1, 0xFC, 0x00 };

// Standard error as it was before the modules' trace lines were sent away.
int saved_stderr = -1;

[[noreturn]] void Abort(const char *what)
{
    dup2(saved_stderr, STDERR_FILENO);
    nrf24_epan::Fail(what, "");
}

struct Measure {
    guint64 taken = 0;
    double seconds = 0;
};

double CpuSeconds()
{
    timespec now;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

// The same payloads, in the same order, under the preferences set: random lengths
// from the list given, each equally likely.
Measure RunRandom(nrf24_epan::Session &session, guint64 count, guint64 seed, const std::vector<guint32> &lengths)
{
    std::mt19937_64 rng(seed);
    guint8 payload[32], frame[64];
    Measure measure;
    double start = CpuSeconds();
    for (guint64 i = 0; i < count; i++) {
        guint32 len = lengths[rng() % lengths.size()];
        for (guint32 j = 0; j < len; j++)
            payload[j] = (guint8)rng();
        guint32 bytes = nrf24_epan::BuildFrame(frame, kAddress, payload, len);
        measure.taken += session.Dissect(frame, bytes, false, "mysensors");
    }
    measure.seconds = CpuSeconds() - start;
    return measure;
}

// Types per command (MyMessage.h) and payload bytes per payload type, as the library's setters give them.
const int kTypes[] = { 40, 59, 59, 34, 8 };
const int kValueSizes[] = { 0, 1, 2, 2, 4, 4, 0, 5 };
const char kText[] = "abcdefghijklmnopqrstuvwxyz ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.,-";

// One message the library sends: a node reports to the gateway or the gateway
// passes a controller's message on, each straight to the other (the radio
// address ends in the destination). A node's internal and stream messages are
// about the node itself. Presentations and requests carry text,
// a request none; every other command any payload type at the length its setter
// gives, text and custom bytes of any length that fits.
guint32 LibraryMessage(std::mt19937_64 &rng, guint8 *out)
{
    guint8 node = (guint8)(1 + rng() % 254);
    bool uplink = rng() % 2;
    guint8 command = (guint8)(rng() % 5);
    guint8 type = (guint8)(rng() % kTypes[command]);
    guint8 payload_type = command == 0 || command == 2 ? 0 : (guint8)(rng() % 8);
    if (command == 1 && type == 57)                      // V_MULTI_MESSAGE has records of its own
        type = 0;
    if (command == 3 && type == 15 && payload_type == 6) // I_SIGNING_PRESENTATION: two bytes
        payload_type = 1;
    guint32 len = kValueSizes[payload_type];
    if (payload_type == 0 || payload_type == 6)
        len = command == 2 ? 0 : (guint32)(rng() % 26);
    if (payload_type == 6 && len == 0)
        len = 1;
    out[0] = uplink ? node : 0;
    out[1] = uplink ? node : 0;
    out[2] = uplink ? 0 : node;
    out[3] = (guint8)(len << 3 | 2);
    out[4] = (guint8)(payload_type << 5 | command);
    out[5] = type;
    guint8 child = (guint8)(rng() % 256);
    out[6] = uplink && (command == 3 || command == 4) ? 255 : child;   // a node's own: NODE_SENSOR_ID
    for (guint32 i = 0; i < len; i++)
        out[7 + i] = payload_type == 0 ? (guint8)kText[rng() % (sizeof kText - 1)] : (guint8)rng();
    return 7 + len;
}

// Library messages encrypted with the password's key as the library's transport
// does (AES-128-CBC, zero IV, 16 bytes up to 16, else 32; the rest of the last
// block filled with random bytes, as transportHALSend() does), sent to the radio address
// of its destination: how many are not shown decrypted.
guint64 RunEncrypted(nrf24_epan::Session &session, gcry_cipher_hd_t cipher, guint64 count, guint64 seed)
{
    static const guint8 zero_iv[16] = { 0 };
    std::mt19937_64 rng(seed);
    guint8 message[32], frame[64], address[5];
    guint64 missed = 0;
    memcpy(address, kAddress, sizeof address);
    for (guint64 i = 0; i < count; i++) {
        guint32 len = LibraryMessage(rng, message);
        guint32 size = len > 16 ? 32 : 16;
        address[4] = message[2];
        for (guint32 j = len; j < size; j++)
            message[j] = (guint8)rng();
        if (gcry_cipher_setiv(cipher, zero_iv, sizeof zero_iv) != 0 ||
            gcry_cipher_encrypt(cipher, message, size, NULL, 0) != 0)
            Abort("libgcrypt refuses to encrypt");
        guint32 bytes = nrf24_epan::BuildFrame(frame, address, message, size);
        missed += !session.Dissect(frame, bytes, true, "mysensors", "mysensors.decrypted");
    }
    return missed;
}

void PrintShare(FILE *out, const char *what, const Measure &measure, guint64 count)
{
    double share = (double)measure.taken / (double)count;
    fprintf(out, "  %-40s %" G_GUINT64_FORMAT " taken, %.2e (1 in %.0f)\n", what, measure.taken, share,
            measure.taken ? 1 / share : 0.0);
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
    guint64 encrypted = count / 10;
    FILE *out = stdout;

    static const char *const modules[] = { NRF24_MODULE, MYSENSORS_MODULE, NULL };
    nrf24_epan::InitHost(argv[0], modules);
    // The nRF24 module traces every frame to standard error: millions of lines here.
    saved_stderr = dup(STDERR_FILENO);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, STDERR_FILENO);
    close(null);
    nrf24_epan::Session session;
    std::vector<guint32> any_length, block_lengths = { 16, 32 };
    for (guint32 len = 7; len <= 32; len++)
        any_length.push_back(len);
    Measure strict = RunRandom(session, count, seed, any_length);
    nrf24_epan::SetPreference("mysensors.strictness:receiver");
    Measure receiver = RunRandom(session, count, seed, any_length);

    nrf24_epan::SetPreference("mysensors.strictness:sender");
    nrf24_epan::SetPreference((std::string("mysensors.key:") + kPassword).c_str());
    Measure keyed_strict = RunRandom(session, count, seed, block_lengths);
    Measure keyed_any_length = RunRandom(session, count, seed, any_length);
    gcry_cipher_hd_t cipher;
    guint8 key[16] = { 0 };
    memcpy(key, kPassword, strlen(kPassword));
    if (gcry_cipher_open(&cipher, GCRY_CIPHER_AES128, GCRY_CIPHER_MODE_CBC, 0) != 0 ||
        gcry_cipher_setkey(cipher, key, sizeof key) != 0)
        Abort("libgcrypt refuses AES-128-CBC");
    guint64 missed_strict = RunEncrypted(session, cipher, encrypted, seed);
    nrf24_epan::SetPreference("mysensors.strictness:receiver");
    Measure keyed_receiver = RunRandom(session, count, seed, block_lengths);
    guint64 missed_receiver = RunEncrypted(session, cipher, encrypted, seed);
    gcry_cipher_close(cipher);

    fprintf(out, "MySensors heuristic over %" G_GUINT64_FORMAT " random payloads per row (seed %" G_GUINT64_FORMAT
            "):\n", count, seed);
    PrintShare(out, "7..32 bytes, strictness sender (default):", strict, count);
    PrintShare(out, "7..32 bytes, strictness receiver:", receiver, count);
    PrintShare(out, "16/32 bytes, key set, sender (default):", keyed_strict, count);
    PrintShare(out, "16/32 bytes, key set, receiver:", keyed_receiver, count);
    PrintShare(out, "7..32 bytes, key set, sender (default):", keyed_any_length, count);
    fprintf(out, "  bound for the default strictness without a key: %.0e\n", kBound);
    fprintf(out, "Encrypted library messages not shown decrypted, of %" G_GUINT64_FORMAT ": %" G_GUINT64_FORMAT
            " (sender), %" G_GUINT64_FORMAT " (receiver)\n", encrypted, missed_strict, missed_receiver);
    fprintf(out, "  %.2f us of CPU per frame dissected (nrf24 and MySensors, no tree, no key)\n",
            1e6 * (strict.seconds + receiver.seconds) / (2.0 * (double)count));
    return (double)strict.taken / (double)count <= kBound && missed_strict == 0 && missed_receiver == 0 ? 0 : 1;
}
