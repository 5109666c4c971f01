/* The nRF24L01+ on the SPI bus, configured to hear frames rather than receive them. */
#ifndef RADIO_H
#define RADIO_H

#include <stdint.h>

#include "nrf24l01.h"

enum radio_rate { RATE_250K, RATE_1M, RATE_2M };

/* What a set-up found: the radio works, does not answer, or answers but lacks 250 kbps. */
enum radio_result { RADIO_OK, RADIO_NO_ANSWER, RADIO_NO_250K };

struct radio_settings {
    uint8_t channel;
    uint8_t rate;                       /* enum radio_rate */
    uint8_t addr_len;                   /* 0: promiscuous; 3..5: address mode */
    uint8_t preamble;                   /* promiscuous: 0xAA or 0x55 */
    uint8_t addr[NRF24_ADDR_MAX];       /* address mode: first byte on the air first */
};

void radio_init(void);
uint8_t radio_configure(const struct radio_settings *s);
void radio_standby(void);
void radio_listen(void);
uint8_t radio_set_channel(uint8_t channel);
uint8_t radio_set_rate(uint8_t rate);
uint8_t radio_set_address(const struct radio_settings *s);
uint8_t radio_still_configured(void);
uint8_t radio_fifo_status(void);
void radio_take(uint8_t *payload);
void radio_drop(void);
uint8_t radio_rpd(void);
uint8_t radio_clear_rx_dr(void);

#endif
