/* A stand-in for the RF24 driver: the calls RF24Network and RF24Mesh make, on a
 * simulated air. Each transmission is recorded with the address it went to and
 * delivered to every other radio with a reading pipe open on that address. */
#ifndef RF24_STUB_H
#define RF24_STUB_H

#include <deque>
#include <vector>

#include "RF24_config.h"

typedef enum { RF24_1MBPS = 0, RF24_2MBPS, RF24_250KBPS } rf24_datarate_e;

class RF24 {
public:
    RF24() {}
    bool begin(void) { return true; }
    bool isValid(void) { return true; }
    void setChannel(uint8_t) {}
    bool setDataRate(rf24_datarate_e) { return true; }
    void setRetries(uint8_t, uint8_t) {}
    void enableDynamicPayloads(void) {}
    void setAutoAck(bool) {}
    void setAutoAck(uint8_t pipe, bool enable) { if (pipe == 0) pipe0_auto_ack = enable; }
    void openReadingPipe(uint8_t number, const uint8_t *address)
    {
        memcpy(pipes[number], address, 5);
        open[number] = true;
    }
    void startListening(void) {}
    void stopListening(void) {}
    void stopListening(const uint8_t *address) { memcpy(tx_address, address, 5); }
    bool available(void) { return !rx.empty(); }
    uint8_t getDynamicPayloadSize(void) { return rx.empty() ? 0 : (uint8_t)rx.front().size(); }
    void read(void *buf, uint8_t len)
    {
        memcpy(buf, rx.front().data(), rf24_min(len, rx.front().size()));
        rx.pop_front();
    }
    bool writeFast(const void *buf, uint8_t len, const bool multicast);
    bool txStandBy(uint32_t, bool = 0) { return true; }
    bool testRPD(void) { return true; }

    bool listens_on(const uint8_t *address) const
    {
        for (int i = 0; i < 6; i++)
            if (open[i] && memcmp(pipes[i], address, 5) == 0)
                return true;
        return false;
    }

    uint8_t pipes[6][5] = {};
    bool open[6] = {};
    uint8_t tx_address[5] = {};
    bool pipe0_auto_ack = false;
    std::deque<std::vector<uint8_t>> rx;
};

#endif
