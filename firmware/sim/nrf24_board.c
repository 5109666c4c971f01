/*
 * A simulated sniffer board for the tests: simavr runs the real firmware ELF on
 * an ATmega328P at 16 MHz, with a model of the nRF24L01+ on its SPI bus and its
 * CSN (PB2), CE (PB1) and IRQ (PD2) pins, and a script that injects radio reads
 * and host commands at given simulated times.
 *
 * The board behaves as the parts' datasheets say, not as the firmware expects:
 * the AVR's register file and SRAM hold garbage at power-on (--seed), MCUSR says
 * why it reset; the radio ignores SPI for 100 ms after its supply comes up (and
 * after a supply dip, which also puts its registers back to their reset values);
 * it enters standby 4.5 ms after PWR_UP (a crystal of up to 100 mH) and listens
 * 130 us after CE rises; a match opens a 256-bit window at the radio's rate, during
 * which it hears nothing else, and the read enters the 3-deep RX FIFO at its end
 * (dropped without a flag when the FIFO is full), latching RPD and raising IRQ.
 *
 * Script, one event a line (times in microseconds of simulated time since reset,
 * in increasing order; '#' starts a comment):
 *   T read CH HEX [rate=250k|1m|2m] [rpd=0|1]
 *                     a frame's address matches at T on channel CH (sent at the rate, if given,
 *                     else at the radio's; rpd: above -64 dBm, default 1); HEX: the 32 bytes read
 *   T cmd TEXT        the host sends TEXT and a line end (one byte a UART frame)
 *   T send TEXT       the host sends TEXT alone (a line's start, its end to come later)
 *   T dip             the radio's supply dips: it resets alone
 *   T unplug          the radio goes: MISO reads high, IRQ floats (as --no-radio high from then on)
 *   T dump            prints the radio's registers
 *   T end             stops
 * Output, one record a line (times in microseconds, 4 decimals: exact cycles):
 *   uart FIRST LAST TEXT   a line from the board: start of its first byte, end of its last
 *   write T REG HEX        a W_REGISTER by the firmware (bytes in register order)
 *   heard T CH | missed T CH WHY   what became of an injected read (T: its IRQ, or when it was lost)
 *   fault T TEXT           the firmware broke a datasheet rule (timing, pull-ups, pins)
 *   dump T REG=HEX ...     the registers
 *   end T heard=N missed=N stack=BYTES static=BYTES asleep=CYCLES
 *                          (RAM: deepest stack, .data + .bss; cycles the CPU slept since the last event)
 * Options: --no-radio high|low (MISO held there, IRQ floating), --no-250k (an nRF24L01
 * without the +), --radio-on US (its supply comes up then, not at reset), --seed N
 * (power-on garbage), --mcusr N (reset flags, default 1: power-on; without power-on
 * or brown-out the radio kept its supply and is past its own reset), --optiboot N
 * (MCUSR cleared, N in r2, as that boot loader leaves them).
 */
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <avr_ioport.h>
#include <avr_spi.h>
#include <avr_uart.h>
#include <sim_avr.h>
#include <sim_elf.h>

#include "../nrf24l01.h"

#define F_CPU           16000000
#define CYCLES_PER_US   (F_CPU / 1000000)
#define US(n)           ((avr_cycle_count_t)(n) * CYCLES_PER_US)
#define MAX_EVENTS      200000
#define REG_COUNT       0x20
/* ATmega328P data addresses */
#define DDRB_ADDRESS    0x24
#define PORTB_ADDRESS   0x25
#define DDRD_ADDRESS    0x2A
#define PORTD_ADDRESS   0x2B
#define SPDR_ADDRESS    0x4E
#define MCUSR_ADDRESS   0x54
#define TCCR1A_ADDRESS  0x80
#define UCSR0A_ADDRESS  0xC0
#define UCSR0B_ADDRESS  0xC1
#define UBRR0L_ADDRESS  0xC4
#define UBRR0H_ADDRESS  0xC5
#define UDR0_ADDRESS    0xC6
#define MCUSR_PORF      0x01
#define MCUSR_BORF      0x04
#define RAM_START       0x100
#define RAM_END         0x8FF
/* nRF24L01+ timing */
#define RADIO_POR_US    100000          /* power-on reset: SPI ignored */
#define T_PD2STBY_US    4500            /* power down to standby, crystal up to 100 mH */
#define T_STBY2A_US     130             /* standby to RX */
#define T_PECE2CSN_US   4               /* CE rising to CSN low */
#define READ_BITS       256

enum event_kind { EV_READ, EV_CMD, EV_SEND, EV_DIP, EV_UNPLUG, EV_DUMP, EV_END };
enum { RATE_ANY = -1, RATE_250K, RATE_1M, RATE_2M };

struct event {
    avr_cycle_count_t at;
    uint8_t kind;
    uint8_t channel;
    int8_t rate;
    uint8_t rpd;
    uint8_t data[NRF24_PAYLOAD_MAX];
    char *text;
};

static const char *const reg_names[REG_COUNT] = {
    [CONFIG] = "CONFIG", [EN_AA] = "EN_AA", [EN_RXADDR] = "EN_RXADDR", [SETUP_AW] = "SETUP_AW",
    [SETUP_RETR] = "SETUP_RETR", [RF_CH] = "RF_CH", [RF_SETUP] = "RF_SETUP", [STATUS] = "STATUS",
    [OBSERVE_TX] = "OBSERVE_TX", [RPD] = "RPD", [RX_ADDR_P0] = "RX_ADDR_P0", [RX_ADDR_P1] = "RX_ADDR_P1",
    [RX_ADDR_P2] = "RX_ADDR_P2", [RX_ADDR_P3] = "RX_ADDR_P3", [RX_ADDR_P4] = "RX_ADDR_P4",
    [RX_ADDR_P5] = "RX_ADDR_P5", [TX_ADDR] = "TX_ADDR", [RX_PW_P0] = "RX_PW_P0", [RX_PW_P1] = "RX_PW_P1",
    [RX_PW_P2] = "RX_PW_P2", [RX_PW_P3] = "RX_PW_P3", [RX_PW_P4] = "RX_PW_P4", [RX_PW_P5] = "RX_PW_P5",
    [FIFO_STATUS] = "FIFO_STATUS", [DYNPD] = "DYNPD", [FEATURE] = "FEATURE",
};
static const char *const rate_names[] = { "250k", "1m", "2m" };

/*
 * The radio: registers (up to 5 bytes, least significant first), the RX FIFO, the
 * SPI transaction, its timing, and the read window a match opened.
 */
static struct {
    uint8_t reg[REG_COUNT][NRF24_ADDR_MAX];
    uint8_t status;                     /* RX_DR, TX_DS, MAX_RT */
    uint8_t rpd;
    uint8_t fifo[NRF24_RX_FIFO_DEPTH][NRF24_PAYLOAD_MAX];
    uint8_t fifo_count;
    uint8_t csn, ce, irq_level;
    uint8_t cmd;
    unsigned pos;
    uint8_t written[NRF24_ADDR_MAX];
    avr_cycle_count_t por_until, pwr_up_at, ce_rise_at;
    const struct event *window;         /* the read whose window is open, or NULL */
    avr_cycle_count_t window_end_at;
    uint8_t window_aborted;
} radio;

static avr_t *avr;
static avr_irq_t *irq_pin, *uart_in;
static int miso_stuck = -1;             /* -1: radio present; 0 or 1: no radio, MISO held there */
static int without_250k;                /* an nRF24L01 without the +: RF_DR_LOW stays 0 */
static struct event *events;
static size_t event_count, next_event;
static int done;
static avr_cycle_count_t end_cycle;
static unsigned heard, missed;
static char *host_bytes;                /* bytes still to send to the board */
static size_t host_len, host_pos;
static char uart_line[256];
static size_t uart_len;
static avr_cycle_count_t uart_first, uart_last;
static uint32_t noise_state = 1;        /* the garbage of power-on RAM and of a floating MISO */
static uint8_t poison[RAM_END + 1];     /* what RAM held at power-on */
static uint8_t faults_seen;
static avr_cycle_count_t asleep;        /* cycles the CPU slept since the last event */

static uint8_t noise(void)
{
    noise_state ^= noise_state << 13;
    noise_state ^= noise_state >> 17;
    noise_state ^= noise_state << 5;
    return noise_state >> 24;
}

static unsigned reg_width(uint8_t reg)
{
    return reg == RX_ADDR_P0 || reg == RX_ADDR_P1 || reg == TX_ADDR ? NRF24_ADDR_MAX : 1;
}

static void print_time(avr_cycle_count_t cycles)
{
    printf("%llu.%04llu", (unsigned long long)(cycles / CYCLES_PER_US),
           (unsigned long long)(cycles % CYCLES_PER_US * 10000 / CYCLES_PER_US));
}

/* A datasheet rule broken by the firmware. */
static void fault(const char *text, double us)
{
    printf("fault ");
    print_time(avr->cycle);
    printf(" %s", text);
    if (us >= 0)
        printf(" %.4f us", us);
    printf("\n");
}

/* Faults of the AVR's own pins: each reported once. */
enum { FAULT_MISO_PULLUP = 1, FAULT_IRQ_PULLUP = 2, FAULT_OC1A = 4, FAULT_OC1B = 8, FAULT_WGM1 = 16,
       FAULT_SPI_CLOCK = 32 };

static void check_pins(void)
{
    static const struct { uint8_t bit; const char *text; } checks[] = {
        { FAULT_MISO_PULLUP, "pull-up on MISO (PB4): current into the radio's pin" },
        { FAULT_IRQ_PULLUP, "pull-up on IRQ (PD2): current into the radio's pin" },
        { FAULT_OC1A, "Timer1 drives CE (OC1A, TCCR1A)" },
        { FAULT_OC1B, "Timer1 drives CSN (OC1B, TCCR1A)" },
        { FAULT_WGM1, "Timer1 not in normal mode (TCCR1A WGM11:10)" },
    };
    uint8_t *d = avr->data;
    uint8_t now = 0;
    if (!(d[DDRB_ADDRESS] & 0x10) && (d[PORTB_ADDRESS] & 0x10))
        now |= FAULT_MISO_PULLUP;
    if (!(d[DDRD_ADDRESS] & 0x04) && (d[PORTD_ADDRESS] & 0x04))
        now |= FAULT_IRQ_PULLUP;
    if (d[TCCR1A_ADDRESS] & 0xC0)
        now |= FAULT_OC1A;
    if (d[TCCR1A_ADDRESS] & 0x30)
        now |= FAULT_OC1B;
    if (d[TCCR1A_ADDRESS] & 0x03)
        now |= FAULT_WGM1;
    for (size_t i = 0; i < sizeof checks / sizeof checks[0]; i++)
        if ((now & checks[i].bit) && !(faults_seen & checks[i].bit))
            fault(checks[i].text, -1);
    faults_seen |= now;
}

/* The reset values of the register map: at power-on and after a supply dip. */
static void radio_reset(void)
{
    static const uint8_t resets[][2] = {
        { CONFIG, 0x08 }, { EN_AA, 0x3F }, { EN_RXADDR, 0x03 }, { SETUP_AW, 0x03 }, { SETUP_RETR, 0x03 },
        { RF_CH, 0x02 }, { RF_SETUP, 0x0E }, { RX_ADDR_P2, 0xC3 }, { RX_ADDR_P3, 0xC4 }, { RX_ADDR_P4, 0xC5 },
        { RX_ADDR_P5, 0xC6 },
    };
    uint8_t csn = radio.csn, ce = radio.ce, irq_level = radio.irq_level;
    memset(&radio, 0, sizeof radio);
    for (size_t i = 0; i < sizeof resets / sizeof resets[0]; i++)
        radio.reg[resets[i][0]][0] = resets[i][1];
    memset(radio.reg[RX_ADDR_P0], 0xE7, NRF24_ADDR_MAX);
    memset(radio.reg[TX_ADDR], 0xE7, NRF24_ADDR_MAX);
    memset(radio.reg[RX_ADDR_P1], 0xC2, NRF24_ADDR_MAX);
    radio.csn = csn;
    radio.ce = ce;
    radio.irq_level = irq_level;
    radio.por_until = avr->cycle + US(RADIO_POR_US);
}

static int in_reset(void)
{
    return avr->cycle < radio.por_until;
}

static uint8_t status_byte(void)
{
    uint8_t pipe = radio.fifo_count ? 0 : STATUS_RX_P_NO_EMPTY;
    return radio.status | pipe;
}

static uint8_t fifo_status_byte(void)
{
    return FIFO_STATUS_TX_EMPTY | (radio.fifo_count == NRF24_RX_FIFO_DEPTH ? FIFO_STATUS_RX_FULL : 0)
           | (radio.fifo_count == 0 ? FIFO_STATUS_RX_EMPTY : 0);
}

/* The IRQ line is active low while an unmasked interrupt flag is set. */
static void update_irq(void)
{
    uint8_t active = radio.status & ~radio.reg[CONFIG][0]
                     & (STATUS_RX_DR | STATUS_TX_DS | STATUS_MAX_RT);
    uint8_t level = active ? 0 : 1;
    if (miso_stuck >= 0)
        level = 1;
    if (level != radio.irq_level) {
        radio.irq_level = level;
        avr_raise_irq(irq_pin, level);
    }
}

static uint8_t read_register_byte(uint8_t reg, unsigned index)
{
    if (reg == STATUS)
        return status_byte();
    if (reg == FIFO_STATUS)
        return fifo_status_byte();
    if (reg == RPD)
        return radio.rpd;
    return radio.reg[reg][index % reg_width(reg)];
}

/* What the AVR reads on MISO when the radio does not drive it. */
static uint8_t undriven_miso(void)
{
    uint8_t *d = avr->data;
    if (!(d[DDRB_ADDRESS] & 0x10) && (d[PORTB_ADDRESS] & 0x10))
        return 0xFF;
    return noise();
}

/* One byte clocked by the firmware; returns the radio's answer on MISO. */
static uint8_t spi_byte(uint8_t value)
{
    uint8_t reply = 0xFF;
    check_pins();
    if (miso_stuck >= 0)
        return miso_stuck ? 0xFF : 0x00;
    if (in_reset() || radio.csn)
        return undriven_miso();
    if (radio.pos == 0) {
        radio.cmd = value;
        reply = status_byte();
        if (value == FLUSH_RX)
            radio.fifo_count = 0;
    } else {
        unsigned index = radio.pos - 1;
        uint8_t reg = radio.cmd & REGISTER_MASK;
        if ((radio.cmd & 0xE0) == R_REGISTER)
            reply = read_register_byte(reg, index);
        else if ((radio.cmd & 0xE0) == W_REGISTER && index < reg_width(reg))
            radio.written[index] = value;
        else if (radio.cmd == R_RX_PAYLOAD)
            reply = radio.fifo_count ? radio.fifo[0][index % NRF24_PAYLOAD_MAX] : 0;
    }
    radio.pos++;
    return reply;
}

/*
 * simavr 1.6 completes every SPI byte 100 us after SPDR is written, whatever the
 * clock; the model takes SPDR writes itself: after 8 SPI clocks at the rate SPCR
 * and SPSR set, the answer is in SPDR and SPIF is set, as on the chip.
 */
static avr_spi_t *spi;
static uint8_t spi_out;

static avr_cycle_count_t spi_done(struct avr_t *a, avr_cycle_count_t when, void *param)
{
    (void)when, (void)param;
    spi->input_data_register = spi_byte(spi_out);
    avr_raise_interrupt(a, &spi->spi);
    return 0;
}

static void spdr_write(struct avr_t *a, avr_io_addr_t addr, uint8_t v, void *param)
{
    (void)param;
    static const uint8_t dividers[4] = { 4, 16, 64, 128 };
    avr_regbit_clear(a, spi->spi.raised);
    avr_core_watch_write(a, addr, v);
    unsigned divider = dividers[a->data[spi->r_spcr] & 3];
    if (avr_regbit_get(a, spi->spr[2]))
        divider /= 2;
    if (divider < 4 && !(faults_seen & FAULT_SPI_CLOCK)) {
        faults_seen |= FAULT_SPI_CLOCK;
        fault("SPI clock above 4 MHz: the radio's 3.3 V MISO leaves the 5 V AVR no set-up margin", -1);
    }
    spi_out = v;
    avr_cycle_timer_register(a, 8 * divider, spi_done, NULL);
}

static int rate_of_setup(uint8_t rf_setup)
{
    return rf_setup & RF_SETUP_RF_DR_LOW ? RATE_250K : rf_setup & RF_SETUP_RF_DR_HIGH ? RATE_2M : RATE_1M;
}

/* The end of a W_REGISTER: the bytes written take effect, STATUS flags clear on 1. */
static void commit_write(void)
{
    uint8_t reg = radio.cmd & REGISTER_MASK;
    unsigned len = radio.pos - 1;
    if (len == 0)
        return;
    if (len > reg_width(reg))
        len = reg_width(reg);
    printf("write ");
    print_time(avr->cycle);
    printf(" %s ", reg_names[reg] ? reg_names[reg] : "?");
    for (unsigned i = 0; i < len; i++)
        printf("%02x", radio.written[i]);
    printf("\n");
    if (reg == STATUS) {
        radio.status &= ~(radio.written[0] & (STATUS_RX_DR | STATUS_TX_DS | STATUS_MAX_RT));
    } else if (reg != FIFO_STATUS && reg != OBSERVE_TX && reg != RPD) {
        if (reg == CONFIG && (radio.written[0] & CONFIG_PWR_UP) && !(radio.reg[CONFIG][0] & CONFIG_PWR_UP))
            radio.pwr_up_at = avr->cycle;
        if (memcmp(radio.reg[reg], radio.written, len) != 0)
            radio.window_aborted = 1;
        memcpy(radio.reg[reg], radio.written, len);
        if (reg == RF_SETUP && without_250k)
            radio.reg[RF_SETUP][0] &= ~RF_SETUP_RF_DR_LOW;
    }
    update_irq();
}

static void csn_changed(struct avr_irq_t *irq, uint32_t value, void *param)
{
    (void)irq, (void)param;
    check_pins();
    if (faults_seen & FAULT_OC1B)
        value = 1;                      /* the pin is the timer's: CSN never goes low */
    value = value ? 1 : 0;
    if (value == radio.csn)
        return;
    radio.csn = value;
    if (in_reset() || miso_stuck >= 0)
        return;
    if (!value) {
        if (radio.ce && avr->cycle - radio.ce_rise_at < US(T_PECE2CSN_US))
            fault("CSN low too soon after CE rose:", (avr->cycle - radio.ce_rise_at) / (double)CYCLES_PER_US);
        radio.pos = 0;
        return;
    }
    if (radio.pos && (radio.cmd & 0xE0) == W_REGISTER)
        commit_write();
    if (radio.cmd == R_RX_PAYLOAD && radio.pos > 1 && radio.fifo_count) {
        memmove(radio.fifo[0], radio.fifo[1], sizeof radio.fifo[0] * (NRF24_RX_FIFO_DEPTH - 1));
        radio.fifo_count--;
    }
    radio.pos = 0;
}

static void ce_changed(struct avr_irq_t *irq, uint32_t value, void *param)
{
    (void)irq, (void)param;
    check_pins();
    if (faults_seen & FAULT_OC1A)
        value = 0;
    value = value ? 1 : 0;
    if (value == radio.ce)
        return;
    radio.ce = value;
    if (!value) {
        radio.window_aborted = 1;
        return;
    }
    radio.ce_rise_at = avr->cycle;
    if (!in_reset() && (radio.reg[CONFIG][0] & CONFIG_PWR_UP) && avr->cycle - radio.pwr_up_at < US(T_PD2STBY_US))
        fault("CE high before the radio is in standby, after PWR_UP:",
              (avr->cycle - radio.pwr_up_at) / (double)CYCLES_PER_US);
}

static avr_cycle_count_t window_end(struct avr_t *a, avr_cycle_count_t when, void *param);

/* Why the radio does not hear a match now, or NULL when it does. */
static const char *not_listening(const struct event *ev)
{
    uint8_t config = radio.reg[CONFIG][0];
    if (in_reset() || !(config & CONFIG_PWR_UP) || !(config & CONFIG_PRIM_RX) || !radio.ce)
        return "not-receiving";
    if (avr->cycle < radio.pwr_up_at + US(T_PD2STBY_US) || avr->cycle < radio.ce_rise_at + US(T_STBY2A_US))
        return "settling";
    if (radio.reg[RF_CH][0] != ev->channel)
        return "other-channel";
    if (ev->rate != RATE_ANY && ev->rate != rate_of_setup(radio.reg[RF_SETUP][0]))
        return "other-rate";
    if (radio.window && avr->cycle >= radio.window_end_at)
        window_end(avr, avr->cycle, (void *)radio.window);     /* it ends as this match begins */
    if (radio.window)
        return "blind";
    return NULL;
}

static void report(const char *what, const struct event *ev, const char *why)
{
    printf("%s ", what);
    print_time(avr->cycle);
    printf(" %u%s%s\n", ev->channel, why ? " " : "", why ? why : "");
}

/* The end of a read window: the read enters the FIFO, unless the radio stopped listening meanwhile. */
static avr_cycle_count_t window_end(struct avr_t *a, avr_cycle_count_t when, void *param)
{
    (void)a, (void)when;
    const struct event *ev = param;
    if (radio.window != ev)
        return 0;                       /* ended already, by a match in the same cycle */
    const char *why = radio.window_aborted || in_reset() ? "aborted"
                      : radio.fifo_count == NRF24_RX_FIFO_DEPTH ? "fifo-full" : NULL;
    radio.window = NULL;
    report(why ? "missed" : "heard", ev, why);
    if (why) {
        missed++;
        return 0;
    }
    heard++;
    memcpy(radio.fifo[radio.fifo_count++], ev->data, NRF24_PAYLOAD_MAX);
    radio.rpd = ev->rpd;
    radio.status |= STATUS_RX_DR;
    update_irq();
    return 0;
}

/* A frame's address matches at the antenna: a read window opens if the radio listens there. */
static void arrive(const struct event *ev)
{
    static const unsigned window_us[] = { [RATE_250K] = READ_BITS * 4, [RATE_1M] = READ_BITS,
                                          [RATE_2M] = READ_BITS / 2 };
    const char *why;
    if (miso_stuck >= 0) {
        /* no radio: the unconnected IRQ line picks up a glitch, which the firmware must ignore */
        avr_raise_irq(irq_pin, 0);
        avr_raise_irq(irq_pin, 1);
        why = "no-radio";
    } else {
        why = not_listening(ev);
    }
    if (why) {
        report("missed", ev, why);
        missed++;
        return;
    }
    radio.window = ev;
    radio.window_aborted = 0;
    radio.window_end_at = avr->cycle + US(window_us[rate_of_setup(radio.reg[RF_SETUP][0])]);
    avr_cycle_timer_register(avr, radio.window_end_at - avr->cycle, window_end, (void *)ev);
}

static void dump(void)
{
    printf("dump ");
    print_time(avr->cycle);
    for (unsigned reg = 0; reg < REG_COUNT; reg++) {
        if (!reg_names[reg])
            continue;
        printf(" %s=", reg_names[reg]);
        for (unsigned i = 0; i < reg_width(reg); i++)
            printf("%02x", read_register_byte(reg, i));
    }
    printf("\n");
}

/* One UART frame (10 bits) at the rate the firmware set: UBRR0 and U2X0. */
static avr_cycle_count_t uart_byte_cycles(void)
{
    unsigned ubrr = avr->data[UBRR0L_ADDRESS] | (avr->data[UBRR0H_ADDRESS] & 0x0F) << 8;
    unsigned per_bit = (avr->data[UCSR0A_ADDRESS] & 0x02 ? 8 : 16) * (ubrr + 1);
    return 10 * per_bit;
}

/* Sends the host's bytes one UART frame apart. */
static avr_cycle_count_t host_send(struct avr_t *a, avr_cycle_count_t when, void *param)
{
    (void)a, (void)when, (void)param;
    if (host_pos >= host_len)
        return 0;
    avr_raise_irq(uart_in, (uint8_t)host_bytes[host_pos++]);
    return host_pos < host_len ? when + uart_byte_cycles() : 0;
}

static avr_cycle_count_t run_events(struct avr_t *a, avr_cycle_count_t when, void *param)
{
    (void)a, (void)param;
    while (next_event < event_count && events[next_event].at <= avr->cycle) {
        struct event *ev = &events[next_event++];
        if (ev->kind != EV_END)
            asleep = 0;
        switch (ev->kind) {
        case EV_READ:
            arrive(ev);
            break;
        case EV_CMD:
        case EV_SEND: {
            size_t len = strlen(ev->text), pending = host_len - host_pos;
            size_t line_end = ev->kind == EV_CMD;
            char *bytes = malloc(pending + len + 1);
            memcpy(bytes, host_bytes + host_pos, pending);
            memcpy(bytes + pending, ev->text, len);
            bytes[pending + len] = '\n';
            free(host_bytes);
            host_bytes = bytes;
            host_pos = 0;
            host_len = pending + len + line_end;
            if (!pending)
                avr_cycle_timer_register(avr, 1, host_send, NULL);
            break;
        }
        case EV_DIP:
            radio_reset();
            update_irq();
            break;
        case EV_UNPLUG:
            miso_stuck = 1;
            break;
        case EV_DUMP:
            dump();
            break;
        case EV_END:
            done = 1;
            end_cycle = ev->at;
            return 0;
        }
    }
    return next_event < event_count ? when + (events[next_event].at - avr->cycle) : 0;
}

/*
 * The UART's transmitter as the ATmega328P has it: UDR0 is a one-byte buffer in
 * front of the shift register, so UDRE is set again as soon as a byte moves on
 * into the shift register, and the interrupt has a whole frame (10 bits: simavr
 * 1.6 would count a parity bit that 8N1 does not have) to write the next one.
 * simavr would raise UDRE only once a byte has left.
 */
static avr_uart_t *uart;
static avr_cycle_count_t tx_free_at;    /* when the shift register is empty */
static int tx_waiting = -1;             /* the byte in UDR0 waiting for the shift register, or -1 */

static void uart_byte(uint8_t value)
{
    avr_cycle_count_t byte_cycles = uart_byte_cycles();
    if (uart_len == 0)
        uart_first = avr->cycle;
    uart_last = avr->cycle;
    if (value == '\n' || uart_len == sizeof uart_line - 1) {
        printf("uart ");
        print_time(uart_first);
        printf(" ");
        print_time(uart_last + byte_cycles);
        printf(" %.*s%s\n", (int)uart_len, uart_line, value == '\n' ? "" : " [no line end]");
        uart_len = 0;
        return;
    }
    uart_line[uart_len++] = value;
}

static avr_cycle_count_t tx_shifted(struct avr_t *a, avr_cycle_count_t when, void *param);

/* A byte enters the shift register: it is on the line from now, and UDR0 is free again. */
static void tx_shift(uint8_t value)
{
    tx_free_at = avr->cycle + uart_byte_cycles();
    uart_byte(value);
    avr_cycle_timer_register(avr, uart_byte_cycles(), tx_shifted, NULL);
    avr_raise_interrupt(avr, &uart->udrc);
}

static avr_cycle_count_t tx_shifted(struct avr_t *a, avr_cycle_count_t when, void *param)
{
    (void)a, (void)when, (void)param;
    if (tx_waiting >= 0) {
        uint8_t value = tx_waiting;
        tx_waiting = -1;
        tx_shift(value);
    }
    return 0;
}

/* UDR0 holds a byte: UDRE0 clear, its interrupt not pending (simavr keeps the flag otherwise). */
static void udre_clear(struct avr_t *a)
{
    avr_clear_interrupt(a, &uart->udrc);
    avr_regbit_clear(a, uart->udrc.raised);
}

/* simavr raises UDRE when UDRIE is set, as if UDR0 were always empty then: not while a byte waits in it. */
static avr_io_write_t ucsrb_write_simavr;
static void *ucsrb_param;

static void ucsrb_write(struct avr_t *a, avr_io_addr_t addr, uint8_t v, void *param)
{
    (void)param;
    ucsrb_write_simavr(a, addr, v, ucsrb_param);
    if (tx_waiting >= 0)
        udre_clear(a);
}

static void udr_write(struct avr_t *a, avr_io_addr_t addr, uint8_t v, void *param)
{
    (void)addr, (void)param;
    udre_clear(a);
    if (tx_waiting >= 0)
        fault("UDR0 written while full: a byte is lost", -1);
    if (a->cycle >= tx_free_at)
        tx_shift(v);
    else
        tx_waiting = v;
}

/* The deepest the stack went: from the end of .data and .bss up, the first byte that lost its power-on value. */
static unsigned static_end;

static unsigned stack_used(void)
{
    unsigned a = static_end;
    while (a <= RAM_END && avr->data[a] == poison[a])
        a++;
    return RAM_END + 1 - a;
}

/* Simulated time runs as fast as the host can: a sleeping CPU skips to its next event. */
static void no_sleep(avr_t *a, avr_cycle_count_t how_long)
{
    (void)a;
    asleep += how_long;
}

static void fail(const char *what, unsigned line)
{
    fprintf(stderr, "nrf24_board: line %u: %s\n", line, what);
    exit(2);
}

/* The options of a read after its bytes: rate=250k|1m|2m, rpd=0|1. */
static void read_options(struct event *ev, char *p, unsigned line)
{
    ev->rate = RATE_ANY;
    ev->rpd = 1;
    for (char *word = strtok(p, " "); word; word = strtok(NULL, " ")) {
        if (strncmp(word, "rate=", 5) == 0) {
            for (int r = RATE_250K; r <= RATE_2M; r++)
                if (strcmp(word + 5, rate_names[r]) == 0)
                    ev->rate = r;
            if (ev->rate == RATE_ANY)
                fail("read: rate= takes 250k, 1m or 2m", line);
        } else if (strcmp(word, "rpd=0") == 0 || strcmp(word, "rpd=1") == 0) {
            ev->rpd = word[4] - '0';
        } else {
            fail("read: unknown option (rate=, rpd=)", line);
        }
    }
}

static void read_script(FILE *in)
{
    char text[512];
    unsigned line = 0;
    avr_cycle_count_t last = 0;
    events = calloc(MAX_EVENTS, sizeof *events);
    while (fgets(text, sizeof text, in)) {
        line++;
        text[strcspn(text, "\r\n")] = 0;
        char *p = text + strspn(text, " \t");
        if (!*p || *p == '#')
            continue;
        if (event_count == MAX_EVENTS)
            fail("too many events", line);
        struct event *ev = &events[event_count++];
        char word[8];
        double us;
        int used;
        if (sscanf(p, "%lf %7s %n", &us, word, &used) < 2 || us < 0)
            fail("expected: TIME_US read|cmd|send|dip|unplug|dump|end ...", line);
        ev->at = (avr_cycle_count_t)(us * CYCLES_PER_US + 0.5);
        if (ev->at < last)
            fail("times must not decrease", line);
        last = ev->at;
        p += used;
        if (strcmp(word, "read") == 0) {
            unsigned ch;
            int n;
            ev->kind = EV_READ;
            if (sscanf(p, "%u %n", &ch, &n) < 1 || ch > RF_CH_MAX)
                fail("read: expected CH (0..125) and 32 bytes of hex", line);
            ev->channel = ch;
            p += n;
            for (unsigned i = 0; i < NRF24_PAYLOAD_MAX; i++) {
                unsigned byte;
                if (sscanf(p + 2 * i, "%2x", &byte) != 1)
                    fail("read: expected 32 bytes of hex", line);
                ev->data[i] = byte;
            }
            p += 2 * NRF24_PAYLOAD_MAX;
            if (*p && *p != ' ')
                fail("read: more than 32 bytes", line);
            read_options(ev, p, line);
        } else if (strcmp(word, "cmd") == 0 || strcmp(word, "send") == 0) {
            ev->kind = strcmp(word, "cmd") == 0 ? EV_CMD : EV_SEND;
            ev->text = strdup(p);
        } else if (strcmp(word, "dip") == 0) {
            ev->kind = EV_DIP;
        } else if (strcmp(word, "unplug") == 0) {
            ev->kind = EV_UNPLUG;
        } else if (strcmp(word, "dump") == 0) {
            ev->kind = EV_DUMP;
        } else if (strcmp(word, "end") == 0) {
            ev->kind = EV_END;
        } else {
            fail("unknown event", line);
        }
    }
    if (!event_count || events[event_count - 1].kind != EV_END)
        fail("the script must finish with an end event", line);
}

/* Power-on: the register file and SRAM hold whatever they came up with; MCUSR and r2 as given. */
static void power_on(int mcusr, int optiboot)
{
    for (unsigned a = 0; a <= RAM_END; a++)
        if (a < 32 || a >= RAM_START)
            avr->data[a] = poison[a] = noise();
    avr->data[MCUSR_ADDRESS] = mcusr;
    if (optiboot >= 0) {
        avr->data[MCUSR_ADDRESS] = 0;   /* Optiboot clears MCUSR and passes its value on in r2 */
        avr->data[2] = optiboot;
    }
}

static const char usage[] =
    "usage: nrf24_board [--no-radio high|low] [--no-250k] [--radio-on US] [--seed N] [--mcusr N | --optiboot N] FIRMWARE.elf SCRIPT|-\n"
    "example: printf '120000 cmd c 5\\n125000 dump\\n125000 end\\n' | nrf24_board sniffer.elf -\n";

int main(int argc, char **argv)
{
    int arg = 1, mcusr = MCUSR_PORF, optiboot = -1;
    long radio_on_us = 0;
    while (arg + 1 < argc && strncmp(argv[arg], "--", 2) == 0) {
        const char *option = argv[arg], *value = argv[arg + 1];
        if (strcmp(option, "--no-250k") == 0) {
            without_250k = 1;
            arg++;
            continue;
        }
        char *end;
        long n = strtol(value, &end, 0);
        if (strcmp(option, "--no-radio") == 0 && (strcmp(value, "high") == 0 || strcmp(value, "low") == 0))
            miso_stuck = strcmp(value, "high") == 0;
        else if (strcmp(option, "--seed") == 0 && !*end && n > 0 && n <= 0x7FFFFFFF)
            noise_state = n;
        else if (strcmp(option, "--radio-on") == 0 && !*end && n >= 0)
            radio_on_us = n;
        else if (strcmp(option, "--mcusr") == 0 && !*end && n >= 0 && n <= 0x0F)
            mcusr = n;
        else if (strcmp(option, "--optiboot") == 0 && !*end && n >= 0 && n <= 0x0F)
            optiboot = n;
        else
            argc = 0;
        arg += 2;
    }
    if (argc != arg + 2) {
        fputs(usage, stderr);
        return 2;
    }
    FILE *in = strcmp(argv[arg + 1], "-") == 0 ? stdin : fopen(argv[arg + 1], "r");
    if (!in) {
        fprintf(stderr, "nrf24_board: %s: %s\n", argv[arg + 1], strerror(errno));
        return 2;
    }
    read_script(in);

    elf_firmware_t firmware;
    memset(&firmware, 0, sizeof firmware);
    if (elf_read_firmware(argv[arg], &firmware) != 0) {
        fprintf(stderr, "nrf24_board: %s: not a readable AVR ELF\n", argv[arg]);
        return 2;
    }
    avr = avr_make_mcu_by_name("atmega328p");
    if (!avr) {
        fprintf(stderr, "nrf24_board: simavr has no atmega328p\n");
        return 2;
    }
    avr_init(avr);
    avr->frequency = F_CPU;
    avr->sleep = no_sleep;
    avr->log = LOG_ERROR;
    avr_load_firmware(avr, &firmware);
    static_end = RAM_START + firmware.datasize + firmware.bsssize;

    uint32_t flags = 0;
    avr_ioctl(avr, AVR_IOCTL_UART_SET_FLAGS('0'), &flags);
    uart = avr->io[AVR_DATA_TO_IO(UDR0_ADDRESS)].w.param;
    avr->io[AVR_DATA_TO_IO(UDR0_ADDRESS)].w.c = udr_write;
    ucsrb_write_simavr = avr->io[AVR_DATA_TO_IO(UCSR0B_ADDRESS)].w.c;
    ucsrb_param = avr->io[AVR_DATA_TO_IO(UCSR0B_ADDRESS)].w.param;
    avr->io[AVR_DATA_TO_IO(UCSR0B_ADDRESS)].w.c = ucsrb_write;
    uart_in = avr_io_getirq(avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_INPUT);
    spi = avr->io[AVR_DATA_TO_IO(SPDR_ADDRESS)].w.param;
    avr->io[AVR_DATA_TO_IO(SPDR_ADDRESS)].w.c = spdr_write;
    avr_irq_register_notify(avr_io_getirq(avr, AVR_IOCTL_IOPORT_GETIRQ('B'), 2), csn_changed, NULL);
    avr_irq_register_notify(avr_io_getirq(avr, AVR_IOCTL_IOPORT_GETIRQ('B'), 1), ce_changed, NULL);
    irq_pin = avr_io_getirq(avr, AVR_IOCTL_IOPORT_GETIRQ('D'), 2);
    power_on(mcusr, optiboot);
    radio.csn = 1;
    radio.irq_level = 1;
    radio_reset();
    if (!((optiboot >= 0 ? optiboot : mcusr) & (MCUSR_PORF | MCUSR_BORF)) && !radio_on_us)
        radio.por_until = 0;            /* only the AVR reset: the radio kept its supply */
    radio.por_until += US(radio_on_us);
    avr_raise_irq(irq_pin, 1);
    avr_cycle_timer_register(avr, events[0].at ? events[0].at : 1, run_events, NULL);

    while (!done) {
        int state = avr_run(avr);
        if (state == cpu_Done || state == cpu_Crashed) {
            fprintf(stderr, "nrf24_board: the firmware stopped (%s)\n", state == cpu_Done ? "done" : "crashed");
            return 1;
        }
    }
    check_pins();
    if (getenv("NRF24_BOARD_PC")) fprintf(stderr, "pc=%04x eifr=%02x eimsk=%02x sreg=%02x\n", avr->pc, avr->data[0x3c], avr->data[0x3d], avr->data[0x5f]);
    printf("end ");
    print_time(end_cycle);
    printf(" heard=%u missed=%u stack=%u static=%u asleep=%llu\n", heard, missed, stack_used(),
           static_end - RAM_START, (unsigned long long)asleep);
    return 0;
}
