/*
 * nRF24 sniffer for ATmega328P boards: prints every read of an nRF24L01+ that
 * hears raw frames, and takes settings from the host, in the line protocol of
 * doc/sniffer-protocol.md (version 1).
 *
 * The INT0 interrupt stamps the radio's IRQ. The main loop empties the radio's RX
 * FIFO into a queue of reads (counting those that find it full as lost), prints
 * each queued read as one whole line once it fits in the output buffer, reads
 * commands and hops channels. Only the main loop talks to the radio.
 */
#include <avr/interrupt.h>
#include <avr/io.h>
#include <avr/pgmspace.h>
#include <avr/sleep.h>
#include <string.h>

#include "board.h"
#include "boot_config.h"
#include "clock.h"
#include "radio.h"
#include "serial.h"

#define PROTOCOL_VERSION    1
#define COMMAND_MAX         80
#define HOP_MAX             16
#define DWELL_MAX_MS        60000U
#define LINE_MAX            140
#define LOST_LINE_MAX       17      /* "#lost 4294967295\n" */

static struct radio_settings settings = {
    .channel = BOOT_CHANNEL, .rate = RATE_250K, .addr_len = 0, .preamble = BOOT_PREAMBLE,
};
static uint8_t hop_list[HOP_MAX];
static uint8_t hop_count;               /* 0: not hopping */
static uint8_t hop_index;
static uint16_t dwell_ms;
static volatile uint16_t dwell_left;    /* counted down by the 1 ms tick while hopping */
static volatile uint8_t hop_due;

/*
 * Reads taken from the radio wait here to be printed, so that the radio's 3-deep
 * FIFO is emptied between two lines. Each carries the settings it was heard
 * with and how many reads were lost just before it (this queue was full).
 */
#define QUEUE_SIZE 16
struct taken {
    uint32_t stamp;
    uint16_t lost_before;
    uint8_t channel;
    uint8_t addr_len;
    uint8_t addr[NRF24_ADDR_MAX];
    uint8_t payload[NRF24_PAYLOAD_MAX];
};
static struct taken queue[QUEUE_SIZE];
static uint8_t queue_head, queue_count;
static uint16_t queue_lost;             /* lost after the last queued read */

static uint8_t radio_ok;
static uint32_t lost;                   /* reads not printed since the last #lost line */
static volatile uint32_t irq_stamp;     /* the first IRQ since the radio's FIFO was last looked into */
static volatile uint8_t irq_fresh;      /* irq_stamp is of such an IRQ */
static volatile uint8_t irq_pending;

static const char hex_digits[] PROGMEM = "0123456789abcdef";
static const char *const rate_names[] = { [RATE_250K] = "250k", [RATE_1M] = "1m", [RATE_2M] = "2m" };

static void drain_radio(void);
static void flush_lost(void);

/* Status lines are never dropped: waits for room, taking the radio's reads meanwhile. */
static void write_status(const char *line, uint8_t len)
{
    while (serial_room() < len)
        if (irq_pending && radio_ok)
            drain_radio();
    serial_write(line, len);
}

/* The radio's IRQ: the timer is read first thing, so that the stamp is the edge's time. */
ISR(INT0_vect)
{
    uint16_t ticks = TCNT1;
    if (!irq_fresh) {
        irq_stamp = clock_at(ticks);
        irq_fresh = 1;
    }
    irq_pending = 1;
}

/* 1 ms tick (Timer0, CTC), running only while hopping. */
ISR(TIMER0_COMPA_vect)
{
    if (dwell_left && --dwell_left == 0) {
        dwell_left = dwell_ms;
        hop_due = 1;
    }
}

/* Starts the dwell tick: 16 MHz / 64 / 250 = exactly 1 kHz. */
static void tick_start(void)
{
    TCCR0A = _BV(WGM01);
    OCR0A = F_CPU / 64 / 1000 - 1;
    TCNT0 = 0;
    TIFR0 = _BV(OCF0A);
    TIMSK0 = _BV(OCIE0A);
    TCCR0B = _BV(CS01) | _BV(CS00);
}

/* Stops the dwell tick: not hopping any more. */
static void tick_stop(void)
{
    TCCR0B = 0;
    TIMSK0 = 0;
    hop_due = 0;
}

/* Two hex digits; inlined, as the 32 bytes of every read go through it. */
static inline __attribute__((always_inline)) char *put_hex(char *p, uint8_t byte)
{
    *p++ = pgm_read_byte(&hex_digits[byte >> 4]);
    *p++ = pgm_read_byte(&hex_digits[byte & 15]);
    return p;
}

/* Decimal digits, for the few numbers of status lines (a 32-bit division each). */
static char *put_dec(char *p, uint32_t value)
{
    char digits[10];
    uint8_t n = 0;
    do {
        digits[n++] = '0' + value % 10;
        value /= 10;
    } while (value);
    while (n)
        *p++ = digits[--n];
    return p;
}

/* Text in RAM (the rate names). */
static char *put_str(char *p, const char *s)
{
    while (*s)
        *p++ = *s++;
    return p;
}

/* Text kept in flash, where the constant strings of status lines live. */
static char *put_str_P(char *p, const char *s)
{
    char c;
    while ((c = pgm_read_byte(s++)))
        *p++ = c;
    return p;
}

/* Digits of a channel number (0..125), without a 32-bit division. */
static char *put_channel(char *p, uint8_t ch)
{
    if (ch >= 100) {
        *p++ = '1';
        ch -= 100;
        *p++ = '0' + ch / 10;
    } else if (ch >= 10) {
        *p++ = '0' + ch / 10;
    }
    *p++ = '0' + ch % 10;
    return p;
}

/* The settings line: at boot and after every command taken. */
static void print_status(void)
{
    char line[LINE_MAX];
    char *p = put_str_P(line, PSTR("#sniffer v="));
    p = put_dec(p, PROTOCOL_VERSION);
    p = put_str_P(p, PSTR(" ch="));
    p = put_channel(p, settings.channel);
    p = put_str_P(p, PSTR(" rate="));
    p = put_str(p, rate_names[settings.rate]);
    if (settings.addr_len == 0) {
        p = put_str_P(p, PSTR(" mode=p pre="));
        p = put_hex(p, settings.preamble);
    } else {
        p = put_str_P(p, PSTR(" mode=a addr="));
        for (uint8_t i = 0; i < settings.addr_len; i++)
            p = put_hex(p, settings.addr[i]);
    }
    p = put_str_P(p, PSTR(" hop="));
    if (hop_count == 0)
        *p++ = '-';
    for (uint8_t i = 0; i < hop_count; i++) {
        if (i)
            *p++ = ',';
        p = put_channel(p, hop_list[i]);
    }
    p = put_str_P(p, PSTR(" dwell="));
    p = put_dec(p, hop_count ? dwell_ms : 0);
    *p++ = '\n';
    write_status(line, p - line);
}

/* The radio did not read back what was written to it. */
static void print_radio_error(void)
{
    static const char text[] = "#error radio: no answer on SPI\n";
    write_status(text, sizeof text - 1);
}

/* "#error command: WHY "COMMAND"", the command's non-printable bytes shown as '?'. */
static void print_command_error(const char *why, const char *cmd)
{
    char line[LINE_MAX];
    char *p = put_str_P(line, PSTR("#error command: "));
    p = put_str_P(p, why);
    if (cmd) {
        *p++ = ' ';
        *p++ = '"';
        for (; *cmd; cmd++)
            *p++ = (*cmd >= ' ' && *cmd <= '~') ? *cmd : '?';
        *p++ = '"';
    }
    *p++ = '\n';
    write_status(line, p - line);
}

/* "#lost N" once there is room for it; until then reads keep being counted. */
static void flush_lost(void)
{
    if (!lost)
        return;
    char line[LOST_LINE_MAX];
    char *p = put_str_P(line, PSTR("#lost "));
    p = put_dec(p, lost);
    *p++ = '\n';
    if (serial_room() >= (uint16_t)(p - line)) {
        serial_write(line, p - line);
        lost = 0;
    }
}

/* The length of a read's line, line end included. */
static uint8_t read_line_length(const struct taken *r)
{
    return 8 + 1 + 1 + (r->channel >= 10) + (r->channel >= 100) + 1 + 1 + 1
           + 2 * (r->addr_len + NRF24_PAYLOAD_MAX) + 1;
}

/* One read as one line; the caller has made sure that it fits. */
static void print_read(const struct taken *r)
{
    char line[LINE_MAX];
    char *p = put_hex(line, r->stamp >> 24);
    p = put_hex(p, r->stamp >> 16);
    p = put_hex(p, r->stamp >> 8);
    p = put_hex(p, r->stamp);
    *p++ = ' ';
    p = put_channel(p, r->channel);
    *p++ = ' ';
    *p++ = r->addr_len ? 'a' : 'p';
    *p++ = ' ';
    for (uint8_t i = 0; i < r->addr_len; i++)
        p = put_hex(p, r->addr[i]);
    for (uint8_t i = 0; i < NRF24_PAYLOAD_MAX; i++) {
        p = put_hex(p, r->payload[i]);
        if ((i & 7) == 7 && irq_pending && radio_ok)
            drain_radio();          /* keep the radio's FIFO empty at the fastest air rates */
    }
    *p++ = '\n';
    serial_write(line, p - line);
}

/*
 * Prints the oldest queued read once the output buffer has room for its line
 * (and for the #lost line of the reads lost before it); until then it waits in
 * the queue. With none queued, reads lost behind the last one are reported.
 */
static void print_queued(void)
{
    if (queue_count) {
        const struct taken *r = &queue[queue_head];
        if (serial_room() < (uint16_t)(read_line_length(r) + (lost || r->lost_before ? LOST_LINE_MAX : 0)))
            return;
        lost += r->lost_before;
        flush_lost();
        print_read(r);
        queue_head = (queue_head + 1) % QUEUE_SIZE;
        queue_count--;
    } else if (queue_lost) {
        lost += queue_lost;
        queue_lost = 0;
    }
}

/*
 * Takes the reads in the RX FIFO into the queue, or counts them lost when the
 * queue is full; at most a FIFO's worth at a time, so that reads arriving back
 * to back do not hold up the output. RX_DR is cleared first, so that a read
 * arriving meanwhile raises a new IRQ. The IRQ's stamp goes to the first read
 * only if the IRQ came after the last look into the FIFO (else its read was
 * taken then); any other read is stamped when it is taken, never before it arrived.
 */
static void drain_radio(void)
{
    static uint8_t spill[NRF24_PAYLOAD_MAX];
    uint32_t stamp;
    uint8_t fresh;
    cli();
    stamp = irq_stamp;
    fresh = irq_fresh;
    irq_pending = 0;
    sei();
    radio_clear_rx_dr();
    for (uint8_t n = 0; n < NRF24_RX_FIFO_DEPTH; n++) {
        struct taken *r = queue_count < QUEUE_SIZE ? &queue[(queue_head + queue_count) % QUEUE_SIZE] : NULL;
        if (!fresh)
            stamp = clock_us();
        fresh = 0;
        cli();
        irq_fresh = 0;
        sei();
        if (!radio_take(r ? r->payload : spill))
            return;
        if (!r) {
            queue_lost++;
        } else {
            r->stamp = stamp;
            r->lost_before = queue_lost;
            r->channel = settings.channel;
            r->addr_len = settings.addr_len;
            memcpy(r->addr, settings.addr, NRF24_ADDR_MAX);
            queue_lost = 0;
            queue_count++;
        }
    }
    irq_pending = 1;                /* reads kept coming: the rest after a line is printed */
}

/* The next channel of the hop list, at the end of a dwell; a radio gone silent is reported. */
static void hop_next(void)
{
    hop_due = 0;
    hop_index = (hop_index + 1) % hop_count;
    settings.channel = hop_list[hop_index];
    if (radio_ok && !(radio_ok = radio_set_channel(settings.channel)))
        print_radio_error();
}

/* Parses a decimal number up to max; returns the text after it, or NULL. */
static const char *parse_dec(const char *p, uint16_t max, uint16_t *value)
{
    uint32_t v = 0;
    if (*p < '0' || *p > '9')
        return NULL;
    while (*p >= '0' && *p <= '9') {
        v = v * 10 + (*p++ - '0');
        if (v > max)
            return NULL;
    }
    *value = v;
    return p;
}

/* One hex digit, either case; -1 for anything else. */
static int8_t hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

/* Parses hex bytes up to the end of the text; returns how many, or 0 on bad text. */
static uint8_t parse_hex(const char *p, uint8_t *out, uint8_t max)
{
    uint8_t n = 0;
    while (*p) {
        int8_t hi = hex_value(p[0]), lo = hi < 0 ? -1 : hex_value(p[1]);
        if (lo < 0 || n == max)
            return 0;
        out[n++] = hi << 4 | lo;
        p += 2;
    }
    return n;
}

/*
 * One command line. Everything is parsed and checked into a copy of the settings
 * before anything changes, so a bad command changes nothing.
 */
static void run_command(const char *cmd)
{
    struct radio_settings next = settings;
    uint8_t next_hops[HOP_MAX];
    uint8_t next_hop_count = hop_count;
    uint16_t next_dwell = dwell_ms, value;
    const char *p;
    const char *why = NULL;
    uint8_t hop_changed = 0;

    if (strcmp(cmd, "?") == 0) {
        /* nothing changes; a radio that did not answer is tried again */
    } else if (cmd[0] && cmd[1] == ' ' && cmd[2]) {
        const char *arg = cmd + 2;
        switch (cmd[0]) {
        case 'c':
            p = parse_dec(arg, RF_CH_MAX, &value);
            if (!p || *p)
                why = PSTR("bad channel");
            next.channel = value;
            next_hop_count = 0;
            hop_changed = 1;
            break;
        case 'r':
            if (strcmp(arg, "250k") == 0)
                next.rate = RATE_250K;
            else if (strcmp(arg, "1m") == 0)
                next.rate = RATE_1M;
            else if (strcmp(arg, "2m") == 0)
                next.rate = RATE_2M;
            else
                why = PSTR("bad rate");
            break;
        case 'p':
            if (parse_hex(arg, &next.preamble, 1) != 1 || (next.preamble != 0xAA && next.preamble != 0x55))
                why = PSTR("bad preamble");
            next.addr_len = 0;
            break;
        case 'a':
            next.addr_len = parse_hex(arg, next.addr, NRF24_ADDR_MAX);
            if (next.addr_len < 3)
                why = PSTR("bad address");
            break;
        case 'h':
            next_hop_count = 0;
            p = arg;
            do {
                p = next_hop_count == HOP_MAX ? NULL : parse_dec(p, RF_CH_MAX, &value);
                if (p)
                    next_hops[next_hop_count++] = value;
            } while (p && *p == ',' && *++p);
            if (!p || *p != ' ' || !(p = parse_dec(p + 1, DWELL_MAX_MS, &next_dwell)) || *p || next_dwell == 0)
                why = PSTR("bad hop list");
            else
                next.channel = next_hops[0];
            hop_changed = 1;
            break;
        default:
            why = PSTR("unknown command");
        }
    } else {
        why = PSTR("unknown command");
    }
    if (why) {
        print_command_error(why, cmd);
        return;
    }

    uint8_t was_ok = radio_ok;
    if (!was_ok) {
        radio_ok = radio_configure(&next);
    } else {
        if (next.channel != settings.channel)
            radio_ok &= radio_set_channel(next.channel);
        if (next.rate != settings.rate)
            radio_ok &= radio_set_rate(next.rate);
        if (next.addr_len != settings.addr_len || next.preamble != settings.preamble
            || memcmp(next.addr, settings.addr, next.addr_len) != 0)
            radio_ok &= radio_set_address(&next);
    }
    settings = next;
    if (hop_changed) {
        tick_stop();
        hop_count = next_hop_count;
        if (hop_count) {
            memcpy(hop_list, next_hops, hop_count);
            hop_index = 0;
            dwell_ms = next_dwell;
            dwell_left = dwell_ms;
            tick_start();
        }
    }
    if (radio_ok && !was_ok)
        EIMSK = _BV(INT0);
    if (!radio_ok)
        EIMSK = 0;
    print_status();
    if (!radio_ok)
        print_radio_error();
}

/*
 * Gathers command bytes into a line; a line too long, or in which input was
 * dropped (up to the next line end received), is refused whole.
 */
static void read_commands(void)
{
    static char cmd[COMMAND_MAX + 1];
    static uint8_t len, too_long, overrun;
    int c;
    while ((c = serial_getc()) >= 0) {
        if (c == SERIAL_RX_LOST) {
            overrun = 1;
        } else if (c == '\n' || c == '\r') {
            cmd[len] = 0;
            if (overrun)
                print_command_error(PSTR("input overrun"), NULL);
            else if (too_long)
                print_command_error(PSTR("too long"), NULL);
            else if (len)
                run_command(cmd);
            len = 0;
            too_long = 0;
            overrun = 0;
        } else if (len < COMMAND_MAX) {
            cmd[len++] = c;
        } else {
            too_long = 1;
        }
    }
}

int main(void)
{
    clock_init();
    serial_init();
    radio_init();
    sei();
    radio_ok = radio_configure(&settings);
    print_status();
    if (radio_ok)
        EIMSK = _BV(INT0);
    else
        print_radio_error();

    set_sleep_mode(SLEEP_MODE_IDLE);
    for (;;) {
        if (irq_pending && radio_ok)
            drain_radio();
        print_queued();
        if (hop_due)
            hop_next();
        flush_lost();
        read_commands();
        /* Sleeps only if nothing is left, checked with interrupts off: work an interrupt
           brought after its check (a byte received) would otherwise wait for the next one. */
        cli();
        if (!irq_pending && !hop_due && !queue_count && !queue_lost && !(lost && serial_room() >= LOST_LINE_MAX)
            && !serial_input_waiting()) {
            sleep_enable();
            sei();
            sleep_cpu();
            sleep_disable();
        }
        sei();
    }
}
