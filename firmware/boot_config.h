/*
 * The radio's configuration as the firmware sets it, one row a register: the
 * registers that never change, then CONFIG last (it powers the receiver up).
 * RF_CH, RF_SETUP, SETUP_AW and RX_ADDR_P0 follow the settings (channel, rate,
 * mode) and are written by radio_apply(). The tests parse this table.
 */
#ifndef BOOT_CONFIG_H
#define BOOT_CONFIG_H

#include "nrf24l01.h"

#define BOOT_CHANNEL    76      /* MySensors' default channel */
#define BOOT_PREAMBLE   0xAA    /* frames whose address starts with a 1 bit */

#define BOOT_CONFIG_ROWS \
    BOOT_ROW(EN_AA,      0x00)                                   /* no auto-acknowledgement: never transmit */ \
    BOOT_ROW(EN_RXADDR,  EN_RXADDR_ERX_P0)                       /* only pipe 0 */ \
    BOOT_ROW(SETUP_RETR, 0x00)                                   /* no retransmission */ \
    BOOT_ROW(RX_PW_P0,   NRF24_PAYLOAD_MAX)                      /* static 32-byte reads */ \
    BOOT_ROW(DYNPD,      0x00)                                   /* no dynamic payloads */ \
    BOOT_ROW(FEATURE,    0x00)                                   /* no payload with ack, no dynamic length */ \
    BOOT_ROW(CONFIG,     CONFIG_MASK_TX_DS | CONFIG_MASK_MAX_RT | CONFIG_PWR_UP | CONFIG_PRIM_RX) /* CRC off, receiver on, IRQ on RX_DR only */

#endif
