/*
 * A simulated sniffer board for the tests: simavr runs the real firmware ELF on
 * an ATmega328P at 16 MHz, with a model of the nRF24L01+ on its SPI bus and its
 * CSN (PB2), CE (PB1) and IRQ (PD2) pins, and a script that injects radio reads
 * and host commands at given simulated times.
 *
 * Script, one event a line (times in microseconds of simulated time since reset,
 * in increasing order; '#' starts a comment):
 *   T read CH HEX     a 32-byte read arrives on channel CH (heard if the radio listens there)
 *   T cmd TEXT        the host sends TEXT and a line end (one byte every 10 us)
 *   T send TEXT       the host sends TEXT alone (a line's start, its end to come later)
 *   T dump            prints the radio's registers
 *   T end             stops
 * Output, one record a line (times in microseconds, 4 decimals: exact cycles):
 *   uart FIRST LAST TEXT   a line from the board: start of its first byte, end of its last
 *   write T REG HEX        a W_REGISTER by the firmware (bytes in register order)
 *   heard T CH | missed T CH WHY   what became of an injected read
 *   dump T REG=HEX ...     the registers
 *   end T heard=N missed=N stack=BYTES static=BYTES   (RAM: deepest stack, .data + .bss)
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
#define UART_BYTE_US    10              /* 10 bits at 1,000,000 baud */
#define MAX_EVENTS      200000
#define REG_COUNT       0x20
#define SPDR_ADDRESS    0x4E            /* ATmega328P data addresses of SPDR and UDR0 */
#define UDR0_ADDRESS    0xC6
#define RAM_START       0x100
#define RAM_END         0x8FF
#define STACK_PAINT     0xA5            /* RAM never written keeps it: how deep the stack went */

enum event_kind { EV_READ, EV_CMD, EV_SEND, EV_DUMP, EV_END };

struct event {
    avr_cycle_count_t at;
    uint8_t kind;
    uint8_t channel;
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

/* The radio: registers (up to 5 bytes, least significant first), the RX FIFO, the SPI transaction. */
static struct {
    uint8_t reg[REG_COUNT][NRF24_ADDR_MAX];
    uint8_t status;                     /* RX_DR, TX_DS, MAX_RT */
    uint8_t fifo[NRF24_RX_FIFO_DEPTH][NRF24_PAYLOAD_MAX];
    uint8_t fifo_count;
    uint8_t csn, ce, irq_level;
    uint8_t cmd;
    unsigned pos;
    uint8_t written[NRF24_ADDR_MAX];
} radio;

static avr_t *avr;
static avr_irq_t *irq_pin, *uart_in;
static int miso_stuck = -1;             /* -1: radio present; 0 or 1: no radio, MISO held there */
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

static unsigned reg_width(uint8_t reg)
{
    return reg == RX_ADDR_P0 || reg == RX_ADDR_P1 || reg == TX_ADDR ? NRF24_ADDR_MAX : 1;
}

static void print_time(avr_cycle_count_t cycles)
{
    printf("%llu.%04llu", (unsigned long long)(cycles / CYCLES_PER_US),
           (unsigned long long)(cycles % CYCLES_PER_US * 10000 / CYCLES_PER_US));
}

/* The reset values of the register map. */
static void radio_reset(void)
{
    static const uint8_t resets[][2] = {
        { CONFIG, 0x08 }, { EN_AA, 0x3F }, { EN_RXADDR, 0x03 }, { SETUP_AW, 0x03 }, { SETUP_RETR, 0x03 },
        { RF_CH, 0x02 }, { RF_SETUP, 0x0E }, { RX_ADDR_P2, 0xC3 }, { RX_ADDR_P3, 0xC4 }, { RX_ADDR_P4, 0xC5 },
        { RX_ADDR_P5, 0xC6 },
    };
    memset(&radio, 0, sizeof radio);
    for (size_t i = 0; i < sizeof resets / sizeof resets[0]; i++)
        radio.reg[resets[i][0]][0] = resets[i][1];
    memset(radio.reg[RX_ADDR_P0], 0xE7, NRF24_ADDR_MAX);
    memset(radio.reg[TX_ADDR], 0xE7, NRF24_ADDR_MAX);
    memset(radio.reg[RX_ADDR_P1], 0xC2, NRF24_ADDR_MAX);
    radio.csn = 1;
    radio.irq_level = 1;
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
    return radio.reg[reg][index % reg_width(reg)];
}

/* One byte clocked by the firmware; returns the radio's answer on MISO. */
static uint8_t spi_byte(uint8_t value)
{
    uint8_t reply = 0xFF;
    if (miso_stuck >= 0)
        return miso_stuck ? 0xFF : 0x00;
    if (!radio.csn) {
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
    }
    return reply;
}

/*
 * simavr 1.6 completes every SPI byte 100 us after SPDR is written, whatever the
 * clock; the board's SPI runs at F_CPU/2. The model takes SPDR writes itself:
 * after 8 SPI clocks the answer is in SPDR and SPIF is set, as on the chip.
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
    spi_out = v;
    avr_cycle_timer_register(a, 8 * divider, spi_done, NULL);
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
    if (reg == STATUS)
        radio.status &= ~(radio.written[0] & (STATUS_RX_DR | STATUS_TX_DS | STATUS_MAX_RT));
    else if (reg != FIFO_STATUS && reg != OBSERVE_TX && reg != RPD)
        memcpy(radio.reg[reg], radio.written, len);
    update_irq();
}

static void csn_changed(struct avr_irq_t *irq, uint32_t value, void *param)
{
    (void)irq, (void)param;
    value = value ? 1 : 0;
    if (value == radio.csn)
        return;
    radio.csn = value;
    if (!value) {
        radio.pos = 0;
        return;
    }
    if (radio.pos && (radio.cmd & 0xE0) == W_REGISTER)
        commit_write();
    if (radio.cmd == R_RX_PAYLOAD && radio.pos > 1 && radio.fifo_count) {
        memmove(radio.fifo[0], radio.fifo[1], sizeof radio.fifo[0] * (NRF24_RX_FIFO_DEPTH - 1));
        radio.fifo_count--;
    }
}

static void ce_changed(struct avr_irq_t *irq, uint32_t value, void *param)
{
    (void)irq, (void)param;
    radio.ce = value ? 1 : 0;
}

/* An injected read reaches the antenna: kept if the radio listens on its channel and has room. */
static void arrive(const struct event *ev)
{
    const char *why = NULL;
    uint8_t config = radio.reg[CONFIG][0];
    if (miso_stuck >= 0) {
        /* no radio: the unconnected IRQ line picks up a glitch, which the firmware must ignore */
        avr_raise_irq(irq_pin, 0);
        avr_raise_irq(irq_pin, 1);
        why = "no-radio";
    }
    else if (!(config & CONFIG_PWR_UP) || !(config & CONFIG_PRIM_RX) || !radio.ce)
        why = "not-receiving";
    else if (radio.reg[RF_CH][0] != ev->channel)
        why = "other-channel";
    else if (radio.fifo_count == NRF24_RX_FIFO_DEPTH)
        why = "fifo-full";
    printf(why ? "missed " : "heard ");
    print_time(avr->cycle);
    printf(" %u%s%s\n", ev->channel, why ? " " : "", why ? why : "");
    if (why) {
        missed++;
        return;
    }
    heard++;
    memcpy(radio.fifo[radio.fifo_count++], ev->data, NRF24_PAYLOAD_MAX);
    radio.status |= STATUS_RX_DR;
    update_irq();
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

/* Sends the host's bytes one UART frame apart. */
static avr_cycle_count_t host_send(struct avr_t *a, avr_cycle_count_t when, void *param)
{
    (void)a, (void)when, (void)param;
    if (host_pos >= host_len)
        return 0;
    avr_raise_irq(uart_in, (uint8_t)host_bytes[host_pos++]);
    return host_pos < host_len ? when + UART_BYTE_US * CYCLES_PER_US : 0;
}

static avr_cycle_count_t run_events(struct avr_t *a, avr_cycle_count_t when, void *param)
{
    (void)a, (void)param;
    while (next_event < event_count && events[next_event].at <= avr->cycle) {
        struct event *ev = &events[next_event++];
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
 * simavr 1.6 counts a parity bit that 8N1 does not have (11 bits a byte); the
 * line's 10 bits a byte are put back whenever the firmware sends.
 */
static avr_uart_t *uart;

static void uart_byte(struct avr_irq_t *irq, uint32_t value, void *param)
{
    (void)irq, (void)param;
    uart->cycles_per_byte = UART_BYTE_US * CYCLES_PER_US;
    if (uart_len == 0)
        uart_first = avr->cycle;
    uart_last = avr->cycle;
    if (value == '\n' || uart_len == sizeof uart_line - 1) {
        printf("uart ");
        print_time(uart_first);
        printf(" ");
        print_time(uart_last + UART_BYTE_US * CYCLES_PER_US);
        printf(" %.*s%s\n", (int)uart_len, uart_line, value == '\n' ? "" : " [no line end]");
        uart_len = 0;
        return;
    }
    uart_line[uart_len++] = value;
}

/* The deepest the stack went: from the end of .data and .bss up, the first byte no longer painted. */
static unsigned static_end;

static unsigned stack_used(void)
{
    unsigned a = static_end;
    while (a <= RAM_END && avr->data[a] == STACK_PAINT)
        a++;
    return RAM_END + 1 - a;
}

/* Simulated time runs as fast as the host can: a sleeping CPU skips to its next event. */
static void no_sleep(avr_t *a, avr_cycle_count_t how_long)
{
    (void)a, (void)how_long;
}

static void fail(const char *what, unsigned line)
{
    fprintf(stderr, "nrf24_board: line %u: %s\n", line, what);
    exit(2);
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
            fail("expected: TIME_US read|cmd|send|dump|end ...", line);
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
            if (p[2 * NRF24_PAYLOAD_MAX])
                fail("read: more than 32 bytes", line);
        } else if (strcmp(word, "cmd") == 0 || strcmp(word, "send") == 0) {
            ev->kind = strcmp(word, "cmd") == 0 ? EV_CMD : EV_SEND;
            ev->text = strdup(p);
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

int main(int argc, char **argv)
{
    int arg = 1;
    if (arg + 1 < argc && strcmp(argv[arg], "--no-radio") == 0) {
        if (strcmp(argv[arg + 1], "high") == 0)
            miso_stuck = 1;
        else if (strcmp(argv[arg + 1], "low") == 0)
            miso_stuck = 0;
        else
            argc = 0;
        arg += 2;
    }
    if (argc != arg + 2 || strcmp(argv[1], "--help") == 0) {
        fprintf(stderr, "usage: nrf24_board [--no-radio high|low] FIRMWARE.elf SCRIPT|-\n"
                        "example: printf '5000 cmd c 5\\n9000 dump\\n9000 end\\n' | nrf24_board sniffer.elf -\n");
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
    avr_irq_register_notify(avr_io_getirq(avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUTPUT), uart_byte, NULL);
    uart = avr->io[AVR_DATA_TO_IO(UDR0_ADDRESS)].w.param;
    uart_in = avr_io_getirq(avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_INPUT);
    spi = avr->io[AVR_DATA_TO_IO(SPDR_ADDRESS)].w.param;
    avr->io[AVR_DATA_TO_IO(SPDR_ADDRESS)].w.c = spdr_write;
    avr_irq_register_notify(avr_io_getirq(avr, AVR_IOCTL_IOPORT_GETIRQ('B'), 2), csn_changed, NULL);
    avr_irq_register_notify(avr_io_getirq(avr, AVR_IOCTL_IOPORT_GETIRQ('B'), 1), ce_changed, NULL);
    irq_pin = avr_io_getirq(avr, AVR_IOCTL_IOPORT_GETIRQ('D'), 2);
    radio_reset();
    avr_raise_irq(irq_pin, 1);
    memset(avr->data + RAM_START, STACK_PAINT, RAM_END + 1 - RAM_START);
    avr_cycle_timer_register(avr, events[0].at ? events[0].at : 1, run_events, NULL);

    while (!done) {
        int state = avr_run(avr);
        if (state == cpu_Done || state == cpu_Crashed) {
            fprintf(stderr, "nrf24_board: the firmware stopped (%s)\n", state == cpu_Done ? "done" : "crashed");
            return 1;
        }
    }
    printf("end ");
    print_time(end_cycle);
    printf(" heard=%u missed=%u stack=%u static=%u\n", heard, missed, stack_used(), static_end - RAM_START);
    return 0;
}
