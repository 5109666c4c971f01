/*
 * nRF24L01+ SPI commands, register addresses and bits, named as in the
 * nRF24L01+ datasheet v1.0 (its SPI command set and register map).
 * Shared by the firmware and the simulated radio of the tests.
 */
#ifndef NRF24L01_H
#define NRF24L01_H

/* SPI commands */
#define R_REGISTER      0x00 /* 000A AAAA: read register A */
#define W_REGISTER      0x20 /* 001A AAAA: write register A */
#define REGISTER_MASK   0x1F
#define R_RX_PAYLOAD    0x61
#define W_TX_PAYLOAD    0xA0
#define FLUSH_TX        0xE1
#define FLUSH_RX        0xE2
#define NOP             0xFF

/* Registers */
#define CONFIG          0x00
#define EN_AA           0x01
#define EN_RXADDR       0x02
#define SETUP_AW        0x03
#define SETUP_RETR      0x04
#define RF_CH           0x05
#define RF_SETUP        0x06
#define STATUS          0x07
#define OBSERVE_TX      0x08
#define RPD             0x09
#define RX_ADDR_P0      0x0A
#define RX_ADDR_P1      0x0B
#define RX_ADDR_P2      0x0C
#define RX_ADDR_P3      0x0D
#define RX_ADDR_P4      0x0E
#define RX_ADDR_P5      0x0F
#define TX_ADDR         0x10
#define RX_PW_P0        0x11
#define RX_PW_P1        0x12
#define RX_PW_P2        0x13
#define RX_PW_P3        0x14
#define RX_PW_P4        0x15
#define RX_PW_P5        0x16
#define FIFO_STATUS     0x17
#define DYNPD           0x1C
#define FEATURE         0x1D

/* CONFIG */
#define CONFIG_MASK_RX_DR   (1 << 6)
#define CONFIG_MASK_TX_DS   (1 << 5)
#define CONFIG_MASK_MAX_RT  (1 << 4)
#define CONFIG_EN_CRC       (1 << 3)
#define CONFIG_CRCO         (1 << 2)
#define CONFIG_PWR_UP       (1 << 1)
#define CONFIG_PRIM_RX      (1 << 0)

/* EN_RXADDR */
#define EN_RXADDR_ERX_P0    (1 << 0)

/* SETUP_AW: address width; 0 is the reserved value that makes the radio match 2 bytes */
#define SETUP_AW_2_BYTES    0x00
#define SETUP_AW_3_BYTES    0x01
#define SETUP_AW_4_BYTES    0x02
#define SETUP_AW_5_BYTES    0x03

/* RF_CH */
#define RF_CH_MAX           125

/* RF_SETUP */
#define RF_SETUP_CONT_WAVE  (1 << 7)
#define RF_SETUP_RF_DR_LOW  (1 << 5)
#define RF_SETUP_PLL_LOCK   (1 << 4)
#define RF_SETUP_RF_DR_HIGH (1 << 3)
#define RF_SETUP_RF_PWR_0DBM (3 << 1)

/* STATUS */
#define STATUS_RX_DR        (1 << 6)
#define STATUS_TX_DS        (1 << 5)
#define STATUS_MAX_RT       (1 << 4)
#define STATUS_RX_P_NO_MASK (7 << 1)
#define STATUS_RX_P_NO_EMPTY (7 << 1)
#define STATUS_TX_FULL      (1 << 0)

/* FIFO_STATUS */
#define FIFO_STATUS_TX_REUSE (1 << 6)
#define FIFO_STATUS_TX_FULL  (1 << 5)
#define FIFO_STATUS_TX_EMPTY (1 << 4)
#define FIFO_STATUS_RX_FULL  (1 << 1)
#define FIFO_STATUS_RX_EMPTY (1 << 0)

/* Sizes */
#define NRF24_PAYLOAD_MAX   32
#define NRF24_ADDR_MAX      5
#define NRF24_RX_FIFO_DEPTH 3

#endif
