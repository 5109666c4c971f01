/*
 * The radio on the hardware SPI (mode 0, 4 MHz). Every setter writes its
 * registers and reads them back: a radio that does not answer (not wired, no
 * power, MISO stuck or floating, still in its power-on reset) makes it fail.
 * Registers are written in standby (CE low) only; radio_listen() goes back to RX.
 *
 * No pull-ups on MISO and IRQ: both are push-pull outputs of a 3.3 V chip, and a
 * pull-up to 5 V on a 5 V board would feed current into its pins. The radio's
 * high level (VDD - 0.3 V = 3.0 V) is just the ATmega's guaranteed input-high at
 * 5 V, so edges are slow and marginal: at 8 MHz the MISO set-up time left after
 * the radio's 60 ns SCK-to-data delay and the slow rise is about 4 ns, at 4 MHz
 * (125 ns half periods) over 50 ns. A 32-byte read takes 70 us at 4 MHz.
 */
#include <avr/io.h>
#include <util/delay.h>

#include "board.h"
#include "boot_config.h"
#include "radio.h"
#include "serial.h"

#define CSN_LOW()   (PORTB &= ~_BV(PIN_CSN))
#define CSN_HIGH()  (PORTB |= _BV(PIN_CSN))
#define CE_LOW()    (PORTB &= ~_BV(PIN_CE))
#define CE_HIGH()   (PORTB |= _BV(PIN_CE))

#define T_PD2STBY_US  4500  /* power down to standby: 4.5 ms with a crystal of up to 100 mH (1.5 ms under 30 mH) */
#define T_STBY2A_US   130   /* standby to RX mode */
#define T_PECE2CSN_US 4     /* CE rising to CSN low */

struct radio_row {
    uint8_t reg;
    uint8_t value;
};

#define BOOT_ROW(reg, value) { reg, value },
static const struct radio_row boot_rows[] = { BOOT_CONFIG_ROWS };
#undef BOOT_ROW
#define CONFIG_ROW (boot_rows[sizeof boot_rows / sizeof boot_rows[0] - 1])

static uint8_t spi_transfer(uint8_t out)
{
    SPDR = out;
    while (!(SPSR & _BV(SPIF)))
        ;
    return SPDR;
}

/* Writes a register; returns STATUS as it was before the write. */
static uint8_t write_register(uint8_t reg, const uint8_t *data, uint8_t len)
{
    CSN_LOW();
    uint8_t status = spi_transfer(W_REGISTER | reg);
    while (len--)
        spi_transfer(*data++);
    CSN_HIGH();
    return status;
}

static void read_register(uint8_t reg, uint8_t *data, uint8_t len)
{
    CSN_LOW();
    spi_transfer(R_REGISTER | reg);
    while (len--)
        *data++ = spi_transfer(NOP);
    CSN_HIGH();
}

static uint8_t read_byte(uint8_t reg)
{
    uint8_t value;
    read_register(reg, &value, 1);
    return value;
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
    CSN_HIGH();
    CE_LOW();
    SPCR = _BV(SPE) | _BV(MSTR);            /* F_CPU / 4 = 4 MHz: the MISO set-up margin, above */
    EICRA = _BV(ISC01);                     /* INT0 on the falling edge */
}

/* Standby: the radio stops listening (a read window open now is lost), its registers may be written. */
void radio_standby(void)
{
    CE_LOW();
}

/* Back to RX (130 us to settle); the radio takes no SPI command for 4 us after CE rises. */
void radio_listen(void)
{
    CE_HIGH();
    _delay_us(T_PECE2CSN_US);
}

/* The radio's RF_CH; in standby. */
uint8_t radio_set_channel(uint8_t channel)
{
    return put_byte(RF_CH, channel);
}

/*
 * RF_SETUP; in standby. A chip that answers but keeps RF_DR_LOW at 0 (an
 * nRF24L01 without the +) cannot take 250 kbps.
 */
uint8_t radio_set_rate(uint8_t rate)
{
    static const uint8_t rate_bits[] = {
        [RATE_250K] = RF_SETUP_RF_DR_LOW,
        [RATE_1M] = 0,
        [RATE_2M] = RF_SETUP_RF_DR_HIGH,
    };
    uint8_t value = rate_bits[rate] | RF_SETUP_RF_PWR_0DBM;
    write_register(RF_SETUP, &value, 1);
    uint8_t back = read_byte(RF_SETUP);
    if (back == value)
        return RADIO_OK;
    return back == (value & ~RF_SETUP_RF_DR_LOW) ? RADIO_NO_250K : RADIO_NO_ANSWER;
}

/*
 * SETUP_AW and RX_ADDR_P0; in standby. The register holds the address least
 * significant byte first, and the radio puts the most significant byte on the
 * air first, so the bytes go in reversed. Promiscuous: the reserved width 0
 * matches 2 bytes, which are set to hear 0x00 and then the preamble. All 5 bytes
 * are written, the unused ones 0, so that the register holds one value per setting.
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
    return put_byte(SETUP_AW, aw) & put_checked(RX_ADDR_P0, reg, sizeof reg);
}

/*
 * The whole configuration, from power-down: the table, then the settings, then
 * RX mode once the crystal runs. An enum radio_result.
 */
uint8_t radio_configure(const struct radio_settings *s)
{
    uint8_t ok = 1;
    CE_LOW();
    ok &= put_byte(CONFIG, 0);
    for (uint8_t i = 0; i < sizeof boot_rows / sizeof boot_rows[0] - 1; i++)
        ok &= put_byte(boot_rows[i].reg, boot_rows[i].value);
    ok &= radio_set_channel(s->channel);
    ok &= radio_set_address(s);
    uint8_t rate = radio_set_rate(s->rate);
    command(FLUSH_RX);
    radio_clear_rx_dr();
    ok &= put_byte(CONFIG_ROW.reg, CONFIG_ROW.value);
    if (!ok)
        return RADIO_NO_ANSWER;
    _delay_us(T_PD2STBY_US);
    radio_listen();
    _delay_us(T_STBY2A_US);
    return rate;
}

/* Whether the radio still holds CONFIG as set: a radio that reset on its own comes back powered down. */
uint8_t radio_still_configured(void)
{
    return read_byte(CONFIG) == CONFIG_ROW.value;
}

uint8_t radio_fifo_status(void)
{
    return read_byte(FIFO_STATUS);
}

/*
 * Reads the oldest read of the RX FIFO (which holds one) into payload. The next
 * byte is started as soon as one is in, so that the SPI never idles; the caller
 * holds the serial line's interrupt off, and the line is fed from here meanwhile.
 */
void radio_take(uint8_t *payload)
{
    uint8_t *in = payload;
    CSN_LOW();
    spi_transfer(R_RX_PAYLOAD);
    SPDR = NOP;
    for (uint8_t left = NRF24_PAYLOAD_MAX; left; left--) {
        serial_feed();              /* the serial line keeps going while its interrupt is held off */
        while (!(SPSR & _BV(SPIF)))
            ;
        uint8_t byte = SPDR;
        if (left > 1)
            SPDR = NOP;
        *in++ = byte;
    }
    CSN_HIGH();
}

/*
 * Drops the oldest read of the RX FIFO (which holds one) in 5 us rather than
 * the 70 of a whole read: R_RX_PAYLOAD reads 1 to 32 bytes, and the radio
 * deletes the payload once it is read.
 */
void radio_drop(void)
{
    CSN_LOW();
    spi_transfer(R_RX_PAYLOAD);
    spi_transfer(NOP);
    CSN_HIGH();
}

/* The received power detector: 1 above -64 dBm, latched by the latest read. */
uint8_t radio_rpd(void)
{
    return read_byte(RPD) & 1;
}

/* Acknowledges RX_DR, which releases the IRQ line (STATUS bits clear on writing 1); returns STATUS before. */
uint8_t radio_clear_rx_dr(void)
{
    uint8_t v = STATUS_RX_DR;
    return write_register(STATUS, &v, 1);
}
