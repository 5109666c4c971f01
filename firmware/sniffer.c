/*
 * nRF24 sniffer for ATmega328P boards: prints every read of an nRF24L01+ that
 * hears raw frames, and takes settings from the host, in the line protocol of
 * doc/sniffer-protocol.md (versions 1 and 2).
 *
 * The INT0 interrupt stamps the radio's IRQ edges. The main loop empties the
 * radio's RX FIFO into a queue of reads (counting those that find it full as
 * lost), prints each queued read as one whole line once it fits in the output
 * buffer, reads commands, hops channels and checks that the radio is still set
 * up. Only the main loop talks to the radio.
 */
#include <avr/interrupt.h>
#include <avr/io.h>
#include <avr/pgmspace.h>
#include <avr/sleep.h>
#include <avr/wdt.h>
#include <string.h>
#include <util/atomic.h>

#include "board.h"
#include "boot_config.h"
#include "clock.h"
#include "radio.h"
#include "serial.h"

#define FIRMWARE_VERSION    "2.0"
#define PROTOCOL_LATEST     2
#define COMMAND_MAX         80
#define HOP_MAX             16
#define DWELL_MAX_MS        60000U
#define LINE_MAX            140
#define LOST_LINE_MAX       17      /* "#lost 4294967295\n" */
#define FULL_LINE_MAX       15      /* "#full 0012d687\n" */
#define IRQ_LATENCY_MAX_US  5       /* from the IRQ's edge to INT0's stamp, at worst: the RX interrupt's 44
                                       cycles before it lets INT0 in, INT0's 11, rounding up (3.9 us), and
                                       a microsecond for the reading of the clock */
#define WATCH_OVERFLOWS     4       /* the radio is looked at every 4 clock overflows (131 ms), first set up at
                                       the first look: it ignores SPI for 100 ms after power-on */
#define REPORT_AFTER_TRIES  8       /* a radio that reset and does not answer for 1 s is reported */

static struct radio_settings settings = {
    .channel = BOOT_CHANNEL, .rate = RATE_250K, .addr_len = 0, .preamble = BOOT_PREAMBLE,
};
static uint8_t version = 1;             /* of the line protocol */
static uint8_t hop_list[HOP_MAX];
static uint8_t hop_count;               /* 0: not hopping */
static uint8_t hop_index;
static uint16_t dwell_ms;
static volatile uint16_t dwell_left;    /* counted down by the 1 ms tick while hopping */
static volatile uint8_t hop_due;

/*
 * Reads taken from the radio wait here to be printed, so that the radio's 3-deep
 * FIFO is emptied between two lines. Each carries the settings it was heard
 * with, its stamp's kind and RPD, how many reads were lost just before it (this
 * queue was full), and whether a #full line goes before it.
 */
#define QUEUE_SIZE 12
#define TAKEN_IRQ_STAMP     0x01    /* the stamp is its IRQ's */
#define TAKEN_RPD           0x02
#define TAKEN_RPD_KNOWN     0x04
#define TAKEN_FULL_BEFORE   0x08    /* "#full full_at" before it */
struct taken {
    uint32_t stamp;
    uint32_t full_at;
    uint16_t lost_before;
    uint8_t channel;
    uint8_t rate;
    uint8_t addr_len;
    uint8_t flags;
    uint8_t addr[NRF24_ADDR_MAX];
    uint8_t payload[NRF24_PAYLOAD_MAX];
};
static struct taken queue[QUEUE_SIZE];
static uint8_t queue_head, queue_count;
static uint16_t queue_lost;             /* lost after the last queued read */

/* The queue's slot n places after its head, without a division. */
static uint8_t queue_slot(uint8_t n)
{
    uint8_t slot = queue_head + n;
    return slot >= QUEUE_SIZE ? slot - QUEUE_SIZE : slot;
}
static uint32_t lost;                   /* reads not printed since the last #lost line */

/*
 * The radio's IRQ edges, stamped by INT0. An edge is the first read to arrive
 * after RX_DR was cleared; reads arriving while the line is low have none.
 */
#define EDGES 4
static volatile uint32_t edge_stamps[EDGES];
static volatile uint8_t edge_head;      /* written by INT0 only */
static uint8_t edge_tail;
static uint32_t edge_floor;             /* an edge stamped before this may be of a read already taken */
static volatile uint8_t irq_pending;
static uint8_t fifo_unfinished;         /* the last drain left reads in the FIFO */
static uint8_t full_ends;               /* bit n: the n-th read taken from now was the last in a FIFO found full */
static uint32_t full_times[NRF24_RX_FIFO_DEPTH];    /* when each of those FIFOs had room again */
static uint8_t full_pending;            /* a #full line for the next read queued, or alone */
static uint32_t full_pending_at;

static uint8_t radio_ok;
static uint8_t radio_fault;             /* enum radio_result last reported */
static uint8_t booted;                  /* the first set-up was tried */
static uint8_t setup_tries;             /* since the radio was found reset */
static uint8_t reset_found;
static uint32_t reset_found_at;
static uint8_t last_watch;              /* low byte of clock_overflows at the last look */

static const char hex_digits[] PROGMEM = "0123456789abcdef";
static const char *const rate_names[] = { [RATE_250K] = "250k", [RATE_1M] = "1m", [RATE_2M] = "2m" };

static void drain_radio(void);

/* Reads wait in the radio's FIFO: an IRQ came, or the last drain left some. */
static uint8_t radio_has_reads(void)
{
    return (irq_pending || fifo_unfinished) && radio_ok;
}

/*
 * Keeps MCUSR for the #boot line in GPIOR0 (which the C run-time leaves alone)
 * and clears it, which also lets the watchdog be turned off after a watchdog
 * reset. Optiboot clears MCUSR itself and passes its value on in r2, untouched
 * by the C run-time up to here.
 */
__attribute__((naked, used, section(".init3"))) static void save_reset_flags(void)
{
    uint8_t passed;
    __asm__ volatile("mov %0, r2" : "=r"(passed));
    GPIOR0 = MCUSR ? MCUSR : passed <= 0x0F ? passed : 0;
    MCUSR = 0;
    wdt_disable();
}

/*
 * The radio's IRQ. The timer is read 4 cycles into the handler, before any
 * register is saved for the C code (which would take 34 cycles first), then the
 * handler goes on in int0_stamp, with interrupts still off.
 */
static volatile uint16_t edge_ticks;

ISR(INT0_vect, ISR_NAKED)
{
    __asm__ volatile(
        "push r24\n\t"
        "lds r24, %[tcnt1l]\n\t"          /* also latches TCNT1H */
        "sts %[ticks], r24\n\t"
        "lds r24, %[tcnt1h]\n\t"
        "sts %[ticks]+1, r24\n\t"
        "pop r24\n\t"
        "rjmp int0_stamp\n\t"
        :: [tcnt1l] "n"(_SFR_MEM_ADDR(TCNT1L)), [tcnt1h] "n"(_SFR_MEM_ADDR(TCNT1H)), [ticks] "i"(&edge_ticks));
}

/*
 * The rest of INT0's handler: it saves what it uses and returns with reti. The
 * stamp is the timer's reading rounded up to the microsecond, so that it is never
 * earlier than the edge. (At 0xffff the overflow is counted: TOV1 is set by now.)
 */
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmisspelled-isr"
void int0_stamp(void) __attribute__((signal, used));
void int0_stamp(void)
{
    uint8_t head = edge_head;
    edge_stamps[head % EDGES] = clock_at(edge_ticks + 1);
    edge_head = head + 1;
    irq_pending = 1;
}
#pragma GCC diagnostic pop

/* 1 ms tick (Timer0, CTC), running only while hopping; INT0 may interrupt it. */
ISR(TIMER0_COMPA_vect, ISR_NOBLOCK)
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
static inline __attribute__((always_inline)) void put_hex(uint8_t byte)
{
    serial_put(pgm_read_byte(&hex_digits[byte >> 4]));
    serial_put(pgm_read_byte(&hex_digits[byte & 15]));
}

/* A 32-bit time in 8 hex digits. */
static void put_time(uint32_t t)
{
    put_hex(t >> 24);
    put_hex(t >> 16);
    put_hex(t >> 8);
    put_hex(t);
}

/*
 * Decimal digits, for the numbers of status lines: by subtracting powers of ten,
 * as a 32-bit division takes 40 us, and #lost lines are printed while reads
 * arrive every 150 us.
 */
static void put_dec(uint32_t value)
{
    static const uint32_t powers[] PROGMEM = { 1000000000, 100000000, 10000000, 1000000, 100000, 10000, 1000,
                                                100, 10 };
    uint8_t leading = 1;
    for (uint8_t i = 0; i < sizeof powers / sizeof powers[0]; i++) {
        uint32_t power = pgm_read_dword(&powers[i]);
        char digit = '0';
        while (value >= power) {
            value -= power;
            digit++;
        }
        if (digit != '0' || !leading) {
            serial_put(digit);
            leading = 0;
        }
    }
    serial_put('0' + value);
}

/* Text in RAM (the rate names). */
static void put_str(const char *s)
{
    while (*s)
        serial_put(*s++);
}

/* Text kept in flash, where the constant strings of status lines live. */
static void put_str_P(const char *s)
{
    char c;
    while ((c = pgm_read_byte(s++)))
        serial_put(c);
}

/* Digits of a channel number (0..125), without a 32-bit division. */
static void put_channel(uint8_t ch)
{
    if (ch >= 100) {
        serial_put('1');
        ch -= 100;
        serial_put('0' + ch / 10);
    } else if (ch >= 10) {
        serial_put('0' + ch / 10);
    }
    serial_put('0' + ch % 10);
}

/*
 * Starts a status line, which is never dropped: waits for room for the longest,
 * taking the radio's reads meanwhile. serial_end() finishes it.
 */
static void begin_status(void)
{
    while (serial_room() < LINE_MAX)
        if (radio_has_reads())
            drain_radio();
    serial_begin();
}

static void end_line(void)
{
    serial_put('\n');
    serial_end();
}

/* "#boot reset=..." from MCUSR's flags: the first line after every reset. */
static void print_boot(void)
{
    static const char names[] PROGMEM = "power-on\0external\0brown-out\0watchdog";
    begin_status();
    put_str_P(PSTR("#boot reset="));
    const char *name = names;
    uint8_t reset_flags = GPIOR0, listed = 0;
    for (uint8_t bit = 1; bit <= 8; bit <<= 1) {
        if (reset_flags & bit) {
            if (listed++)
                serial_put(',');
            put_str_P(name);
        }
        name += strlen_P(name) + 1;
    }
    if (!listed)
        put_str_P(PSTR("unknown"));
    end_line();
}

/* The settings line: at boot and after every command taken. */
static void print_status(void)
{
    begin_status();
    put_str_P(PSTR("#sniffer v="));
    put_dec(version);
    put_str_P(PSTR(" fw=" FIRMWARE_VERSION " ch="));
    put_channel(settings.channel);
    put_str_P(PSTR(" rate="));
    put_str(rate_names[settings.rate]);
    if (settings.addr_len == 0) {
        put_str_P(PSTR(" mode=p pre="));
        put_hex(settings.preamble);
    } else {
        put_str_P(PSTR(" mode=a addr="));
        for (uint8_t i = 0; i < settings.addr_len; i++)
            put_hex(settings.addr[i]);
    }
    put_str_P(PSTR(" hop="));
    if (hop_count == 0)
        serial_put('-');
    for (uint8_t i = 0; i < hop_count; i++) {
        if (i)
            serial_put(',');
        put_channel(hop_list[i]);
    }
    put_str_P(PSTR(" dwell="));
    put_dec(hop_count ? dwell_ms : 0);
    end_line();
}

/* What keeps the radio from working (radio_fault). */
static void print_radio_error(void)
{
    begin_status();
    put_str_P(radio_fault == RADIO_NO_250K ? PSTR("#error radio: no 250 kbps") : PSTR("#error radio: no answer on SPI"));
    end_line();
}

/* "#error command: WHY "COMMAND"", the command's non-printable bytes shown as '?'. */
static void print_command_error(const char *why, const char *cmd)
{
    begin_status();
    put_str_P(PSTR("#error command: "));
    put_str_P(why);
    if (cmd) {
        serial_put(' ');
        serial_put('"');
        for (; *cmd; cmd++)
            serial_put((*cmd >= ' ' && *cmd <= '~') ? *cmd : '?');
        serial_put('"');
    }
    end_line();
}

/* "#lost N" once there is room for it; until then reads keep being counted. */
static void flush_lost(void)
{
    if (!lost || serial_room() < LOST_LINE_MAX)
        return;
    serial_begin();
    put_str_P(PSTR("#lost "));
    put_dec(lost);
    end_line();
    lost = 0;
}

/* "#full TIME" (version 2); the caller has made sure that it fits. */
static void print_full(uint32_t at)
{
    if (version < 2)
        return;
    serial_begin();
    put_str_P(PSTR("#full "));
    put_time(at);
    end_line();
}

/* The length of a read's line, line end included. */
static uint8_t read_line_length(const struct taken *r)
{
    uint8_t len = 8 + 1 + 1 + (r->channel >= 10) + (r->channel >= 100) + 1 + 1 + 1
                  + 2 * (r->addr_len + NRF24_PAYLOAD_MAX) + 1;
    if (version >= 2)
        len += 1 + (r->rate == RATE_250K ? 4 : 2) + 2 + 2;
    return len;
}

/* One read as one line; the caller has made sure that it fits. */
static void print_read(const struct taken *r)
{
    serial_begin();
    put_time(r->stamp);
    serial_put(' ');
    put_channel(r->channel);
    serial_put(' ');
    serial_put(r->addr_len ? 'a' : 'p');
    serial_put(' ');
    for (uint8_t i = 0; i < r->addr_len; i++)
        put_hex(r->addr[i]);
    for (const uint8_t *in = r->payload; in < r->payload + NRF24_PAYLOAD_MAX; in += 8) {
        char *out = serial_span(16);
        if (out) {                  /* the common case, without a wrap to look for at each digit */
            for (uint8_t i = 0; i < 8; i++) {
                *out++ = pgm_read_byte(&hex_digits[in[i] >> 4]);
                *out++ = pgm_read_byte(&hex_digits[in[i] & 15]);
            }
            serial_put_at = out == serial_tx_buf + SERIAL_TX_SIZE ? serial_tx_buf : out;
        } else {
            for (uint8_t i = 0; i < 8; i++)
                put_hex(in[i]);
        }
        serial_end();               /* the line so far goes out while the rest is written */
        if (radio_has_reads())
            drain_radio();          /* keep the radio's FIFO empty at the fastest air rates */
    }
    if (version >= 2) {
        serial_put(' ');
        put_str(rate_names[r->rate]);
        serial_put(' ');
        serial_put(!(r->flags & TAKEN_RPD_KNOWN) ? '-' : r->flags & TAKEN_RPD ? '1' : '0');
        serial_put(' ');
        serial_put(r->flags & TAKEN_IRQ_STAMP ? 'i' : 'u');
    }
    end_line();
}

/*
 * Prints the oldest queued read once the output buffer has room for its line
 * (and for the #lost and #full lines before it); until then it waits in the
 * queue. With none queued, reads lost behind the last one are reported, then a
 * #full line that no read followed.
 */
static void print_queued(void)
{
    if (queue_count) {
        const struct taken *r = &queue[queue_head];
        uint16_t need = read_line_length(r) + (lost || r->lost_before ? LOST_LINE_MAX : 0)
                        + (r->flags & TAKEN_FULL_BEFORE ? FULL_LINE_MAX : 0);
        if (serial_room() < need)
            return;
        lost += r->lost_before;
        flush_lost();
        if (r->flags & TAKEN_FULL_BEFORE)
            print_full(r->full_at);
        print_read(r);
        queue_head = queue_slot(1);
        queue_count--;
    } else if (queue_lost) {
        lost += queue_lost;
        queue_lost = 0;
    } else if (full_pending && !lost && serial_room() >= FULL_LINE_MAX) {
        print_full(full_pending_at);
        full_pending = 0;
    }
}

/*
 * Takes the reads in the RX FIFO into the queue, or drops and counts them when
 * the queue is full (a dropped read costs a tenth of a read taken, so that an
 * overloaded board keeps its line busy); at most a FIFO's worth at a time, so
 * that reads arriving back to back do not hold up the output, unless the FIFO is
 * full (the radio drops reads then: the reads that were in it are followed by a
 * #full line).
 *
 * RX_DR is cleared first, so that a read arriving from then on raises a new
 * IRQ. A read's stamp is never earlier than its arrival: the IRQ's own stamp
 * for the first read after the FIFO was last found empty, when its edge came
 * after that; for any other read, the end of the clear when the IRQ line shows
 * that nothing arrived since (the read was there before), else the moment the
 * FIFO was seen holding it. RPD is kept for a read only when no other read came
 * in before it was looked at.
 */
static void drain_radio(void)
{
    cli();
    irq_pending = 0;
    sei();
    uint8_t edge_usable = 0;
    uint32_t edge = 0, cleared = 0;
    if (queue_count == QUEUE_SIZE) {
        edge_tail = edge_head;          /* the reads will be dropped: edge_floor refuses their edges later */
        radio_clear_rx_dr();
    } else {
        uint32_t before_clear = clock_us();
        radio_clear_rx_dr();
        cleared = clock_us();
        while ((int32_t)(clock_us() - before_clear) < IRQ_LATENCY_MAX_US)
            ;                           /* an edge from before the clear is stamped first */
        uint8_t head = edge_head;       /* a stamp is in place before INT0 moves the head past it */
        if ((uint8_t)(head - edge_tail) > EDGES)
            edge_tail = head - EDGES;
        while (edge_tail != head) {
            uint32_t stamp;
            ATOMIC_BLOCK(ATOMIC_RESTORESTATE) { stamp = edge_stamps[edge_tail % EDGES]; }
            if ((int32_t)(stamp - before_clear) >= 0)
                break;
            edge = stamp;
            edge_tail++;
            edge_usable = 1;
        }
        if (fifo_unfinished || (int32_t)(edge - edge_floor) <= 0)
            edge_usable = 0;
    }

    struct taken *last = NULL;
    for (uint8_t n = 0;; n++) {
        uint8_t fifo = radio_fifo_status();
        uint32_t checked = clock_us();
        if (fifo & FIFO_STATUS_RX_EMPTY) {
            if (last)
                last->flags |= TAKEN_RPD_KNOWN;
            edge_floor = checked + IRQ_LATENCY_MAX_US;
            fifo_unfinished = 0;
            return;
        }
        if (n >= NRF24_RX_FIFO_DEPTH && !(fifo & FIFO_STATUS_RX_FULL)) {
            fifo_unfinished = 1;        /* the rest after some output; a full FIFO is emptied at once */
            return;
        }
        uint8_t flags = 0;
        uint32_t stamp = checked;
        if (n == 0 && edge_usable) {
            stamp = edge;
            flags = TAKEN_IRQ_STAMP;
        } else if (PIND & _BV(PIN_IRQ)) {
            stamp = cleared;            /* no read arrived since the clear */
        }
        if (!(PIND & _BV(PIN_IRQ)))
            edge_floor = clock_us() + IRQ_LATENCY_MAX_US;   /* its edge may be of the read taken now */

        last = queue_count < QUEUE_SIZE ? &queue[queue_slot(queue_count)] : NULL;
        if (!last) {
            radio_drop();               /* it could not be printed: counted, at little cost */
            queue_lost++;
        } else {
            uint8_t sending = serial_hold(); /* the read is out in 70 us, in which fewer than two reads arrive */
            radio_take(last->payload);
            serial_release(sending);
            last->stamp = stamp;
            last->flags = flags | (radio_rpd() ? TAKEN_RPD : 0);
            last->lost_before = queue_lost;
            last->channel = settings.channel;
            last->rate = settings.rate;
            last->addr_len = settings.addr_len;
            memcpy(last->addr, settings.addr, NRF24_ADDR_MAX);
            if (full_pending) {
                last->flags |= TAKEN_FULL_BEFORE;
                last->full_at = full_pending_at;
                full_pending = 0;
            }
            queue_lost = 0;
            queue_count++;
        }
        if (fifo & FIFO_STATUS_RX_FULL) {
            full_ends |= 1 << (NRF24_RX_FIFO_DEPTH - 1);
            full_times[NRF24_RX_FIFO_DEPTH - 1] = clock_us();   /* room again: drops came before this */
        }
        if (full_ends) {
            if (full_ends & 1) {
                full_pending = 1;
                full_pending_at = full_times[0];
            }
            full_ends >>= 1;
            memmove(full_times, full_times + 1, sizeof full_times - sizeof full_times[0]);
        }
    }
}

/* Empties the FIFO of a radio in standby: the reads heard with the settings about to change. */
static void drain_all(void)
{
    if (!radio_ok)
        return;
    do
        drain_radio();
    while (fifo_unfinished);
}

/* The radio works: reads from here on. */
static void radio_started(void)
{
    radio_ok = 1;
    radio_fault = RADIO_OK;
    reset_found = 0;
    edge_tail = edge_head;
    edge_floor = clock_us();
    fifo_unfinished = 0;
    full_ends = 0;
    EIFR = _BV(INTF0);
    EIMSK = _BV(INT0);
}

/* The radio stopped working: no reads until a set-up succeeds. */
static void radio_stopped(uint8_t fault)
{
    EIMSK = 0;
    radio_ok = 0;
    radio_fault = fault;
}

/* The next channel of the hop list, at the end of a dwell; a radio gone silent is reported. */
static void hop_next(void)
{
    hop_due = 0;
    hop_index = (hop_index + 1) % hop_count;
    if (radio_ok) {
        radio_standby();
        drain_all();                    /* with the channel they were heard on */
    }
    settings.channel = hop_list[hop_index];
    if (!radio_ok)
        return;
    if (radio_set_channel(settings.channel)) {
        radio_listen();
    } else {
        radio_stopped(RADIO_NO_ANSWER);
        print_radio_error();
    }
}

/*
 * Every 131 ms: a radio that works must still hold its CONFIG (one that reset on
 * its own comes back powered down); one that does not is set up again. A radio
 * found reset is reported once it works again (#radio), or as an error if it
 * does not answer for a second; the first set-up, at boot, is reported at once.
 */
static void watch_radio(void)
{
    uint32_t now = clock_us();
    cli();
    if (!irq_pending)
        edge_floor = now;               /* no edge waits: keeps the floor within the clock's half range */
    sei();
    if (radio_ok) {
        if (radio_still_configured())
            return;
        radio_stopped(RADIO_OK);
        reset_found = 1;
        reset_found_at = clock_us();
        setup_tries = 0;
    }
    uint8_t result = radio_configure(&settings);
    if (result == RADIO_OK) {
        if (reset_found && version >= 2) {
            begin_status();
            put_str_P(PSTR("#radio reset "));
            put_time(reset_found_at);
            end_line();
        }
        radio_started();
        print_status();
        return;
    }
    if (setup_tries < REPORT_AFTER_TRIES)
        setup_tries++;
    if (!booted)
        print_status();
    if (result != radio_fault && (!reset_found || setup_tries == REPORT_AFTER_TRIES)) {
        radio_stopped(result);
        print_radio_error();
    }
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
 * before anything changes, so a bad command changes nothing. The reads still in
 * the radio's FIFO are taken with the settings they were heard with first.
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
        case 'v':
            p = parse_dec(arg, PROTOCOL_LATEST, &value);
            if (!p || *p || value < 1)
                why = PSTR("bad version");
            else
                version = value;
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

    if (hop_changed) {                  /* the dwell counts from here, as the hops that follow do */
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
    uint8_t result = RADIO_OK;
    if (!radio_ok) {
        result = radio_configure(&next);
    } else if (memcmp(&next, &settings, sizeof next) != 0) {
        radio_standby();
        drain_all();
        uint8_t ok = 1;
        if (next.channel != settings.channel)
            ok &= radio_set_channel(next.channel);
        if (next.rate != settings.rate)
            result = radio_set_rate(next.rate);
        if (next.addr_len != settings.addr_len || next.preamble != settings.preamble
            || memcmp(next.addr, settings.addr, next.addr_len) != 0)
            ok &= radio_set_address(&next);
        if (!ok)
            result = RADIO_NO_ANSWER;
        radio_listen();
    }
    settings = next;
    if (result == RADIO_OK && !radio_ok)
        radio_started();
    else if (result != RADIO_OK)
        radio_stopped(result);
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

/* Whether the clock overflowed WATCH_OVERFLOWS times since the radio was last looked at. */
static uint8_t watch_due(void)
{
    uint8_t now = *(volatile uint8_t *)&clock_overflows;     /* one byte: read at once */
    if ((uint8_t)(now - last_watch) < WATCH_OVERFLOWS)
        return 0;
    last_watch = now;
    return 1;
}

int main(void)
{
    clock_init();
    serial_init();
    radio_init();
    sei();
    print_boot();

    set_sleep_mode(SLEEP_MODE_IDLE);
    for (;;) {
        if (radio_has_reads())
            drain_radio();
        print_queued();
        if (hop_due)
            hop_next();
        flush_lost();
        if (booted)
            read_commands();
        if (watch_due()) {
            watch_radio();
            booted = 1;
        }
        /* Sleeps only if nothing is left, what interrupts bring checked with interrupts off: work
           an interrupt brought after its check (a byte received) would otherwise wait for the next
           one. The rest is checked before: INT0 waits while interrupts are off, and its stamp with it. */
        uint8_t idle = !queue_count && !queue_lost && !full_pending && !(lost && serial_room() >= LOST_LINE_MAX)
                       && !(fifo_unfinished && radio_ok);
        cli();
        if (idle && !(irq_pending && radio_ok) && !hop_due && !(booted && serial_input_waiting())) {
            sleep_enable();
            sei();
            sleep_cpu();
            sleep_disable();
        }
        sei();
    }
}
