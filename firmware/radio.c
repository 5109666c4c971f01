/*
 * The radio on the hardware SPI (mode 0, 8 MHz). Every setter writes its
 * registers and reads them back: a radio that does not answer (not wired, no
 * power, MISO stuck high or low) makes it return 0.
 */
#include <avr/io.h>
#include <util/delay.h>

#include "board.h"
#include "boot_config.h"
#include "radio.h"

#define CSN_LOW()   (PORTB &= ~_BV(PIN_CSN))
#define CSN_HIGH()  (PORTB |= _BV(PIN_CSN))
#define CE_LOW()    (PORTB &= ~_BV(PIN_CE))
#define CE_HIGH()   (PORTB |= _BV(PIN_CE))

#define T_PD2STBY_US 1500   /* power down to standby: 1.5 ms */
#define T_STBY2A_US  130    /* standby to RX mode: 130 us */

struct radio_row {
    uint8_t reg;
    uint8_t value;
};

#define BOOT_ROW(reg, value) { reg, value },
static const struct radio_row boot_rows[] = { BOOT_CONFIG_ROWS };
#undef BOOT_ROW

static uint8_t spi_transfer(uint8_t out)
{
    SPDR = out;
    while (!(SPSR & _BV(SPIF)))
        ;
    return SPDR;
}

static void write_register(uint8_t reg, const uint8_t *data, uint8_t len)
{
    CSN_LOW();
    spi_transfer(W_REGISTER | reg);
    while (len--)
        spi_transfer(*data++);
    CSN_HIGH();
}

static void read_register(uint8_t reg, uint8_t *data, uint8_t len)
{
    CSN_LOW();
    spi_transfer(R_REGISTER | reg);
    while (len--)
        *data++ = spi_transfer(NOP);
    CSN_HIGH();
}

/* Writes a register and tells whether it reads back the same. */
static uint8_t put_checked(uint8_t reg, const uint8_t *data, uint8_t len)
{
    uint8_t back[NRF24_ADDR_MAX];
    write_register(reg, data, len);
    read_register(reg, back, len);
    for (uint8_t i = 0; i < len; i++)
        if (back[i] != data[i])
            return 0;
    return 1;
}

static uint8_t put_byte(uint8_t reg, uint8_t value)
{
    return put_checked(reg, &value, 1);
}

static void command(uint8_t cmd)
{
    CSN_LOW();
    spi_transfer(cmd);
    CSN_HIGH();
}

void radio_init(void)
{
    DDRB |= _BV(PIN_SCK) | _BV(PIN_MOSI) | _BV(PIN_CSN) | _BV(PIN_CE);
    PORTB |= _BV(PIN_MISO);                 /* pull-up: a missing radio reads 0xFF, never noise */
    CSN_HIGH();
    CE_LOW();
    PORTD |= _BV(PIN_IRQ);                  /* pull-up on the open IRQ line */
    SPCR = _BV(SPE) | _BV(MSTR);
    SPSR = _BV(SPI2X);                      /* F_CPU / 2 = 8 MHz (the radio takes 10) */
    EICRA = _BV(ISC01);                     /* INT0 on the falling edge */
}

/* The radio's RF_CH, out of receive mode while the synthesiser moves. */
uint8_t radio_set_channel(uint8_t channel)
{
    CE_LOW();
    uint8_t ok = put_byte(RF_CH, channel);
    CE_HIGH();
    return ok;
}

uint8_t radio_set_rate(uint8_t rate)
{
    static const uint8_t rate_bits[] = {
        [RATE_250K] = RF_SETUP_RF_DR_LOW,
        [RATE_1M] = 0,
        [RATE_2M] = RF_SETUP_RF_DR_HIGH,
    };
    CE_LOW();
    uint8_t ok = put_byte(RF_SETUP, rate_bits[rate] | RF_SETUP_RF_PWR_0DBM);
    CE_HIGH();
    return ok;
}

/*
 * SETUP_AW and RX_ADDR_P0. The register holds the address least significant byte
 * first, and the radio puts the most significant byte on the air first, so the
 * bytes go in reversed. Promiscuous: the reserved width 0 matches 2 bytes, which
 * are set to hear 0x00 and then the preamble. All 5 bytes are written, the unused
 * ones 0, so that the register holds one value per setting.
 */
uint8_t radio_set_address(const struct radio_settings *s)
{
    uint8_t reg[NRF24_ADDR_MAX] = { 0 };
    uint8_t aw;
    if (s->addr_len == 0) {
        reg[0] = s->preamble;
        reg[1] = 0x00;
        aw = SETUP_AW_2_BYTES;
    } else {
        for (uint8_t i = 0; i < s->addr_len; i++)
            reg[i] = s->addr[s->addr_len - 1 - i];
        aw = s->addr_len - 2;           /* SETUP_AW_3_BYTES .. SETUP_AW_5_BYTES */
    }
    CE_LOW();
    uint8_t ok = put_byte(SETUP_AW, aw) & put_checked(RX_ADDR_P0, reg, sizeof reg);
    CE_HIGH();
    return ok;
}

/* The whole configuration, from power-down: the table, then the settings, then RX mode. */
uint8_t radio_configure(const struct radio_settings *s)
{
    uint8_t ok = 1;
    CE_LOW();
    ok &= put_byte(CONFIG, 0);
    for (uint8_t i = 0; i < sizeof boot_rows / sizeof boot_rows[0] - 1; i++)
        ok &= put_byte(boot_rows[i].reg, boot_rows[i].value);
    ok &= radio_set_channel(s->channel);
    ok &= radio_set_rate(s->rate);
    ok &= radio_set_address(s);
    CE_LOW();
    command(FLUSH_RX);
    radio_clear_rx_dr();
    const struct radio_row *last = &boot_rows[sizeof boot_rows / sizeof boot_rows[0] - 1];
    ok &= put_byte(last->reg, last->value);
    _delay_us(T_PD2STBY_US);
    CE_HIGH();
    _delay_us(T_STBY2A_US);
    return ok;
}

/* Reads the oldest read of the RX FIFO into payload; 0 when the FIFO is empty. */
uint8_t radio_take(uint8_t *payload)
{
    uint8_t fifo;
    read_register(FIFO_STATUS, &fifo, 1);
    if (fifo & FIFO_STATUS_RX_EMPTY)
        return 0;
    CSN_LOW();
    spi_transfer(R_RX_PAYLOAD);
    uint8_t *end = payload + NRF24_PAYLOAD_MAX;
    SPDR = NOP;
    while (payload < end) {         /* the next byte starts as soon as one is in */
        while (!(SPSR & _BV(SPIF)))
            ;
        uint8_t in = SPDR;
        if (payload + 1 < end)
            SPDR = NOP;
        *payload++ = in;
    }
    CSN_HIGH();
    return 1;
}

/* Acknowledges RX_DR, which releases the IRQ line (STATUS bits clear on writing 1). */
void radio_clear_rx_dr(void)
{
    uint8_t v = STATUS_RX_DR;
    write_register(STATUS, &v, 1);
}
