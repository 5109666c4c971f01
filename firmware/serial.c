/*
 * The USART at SERIAL_BAUD. Output goes through a ring buffer emptied by the
 * UDRE interrupt; a caller checks serial_room(), then writes a whole line straight
 * into the buffer (serial_begin, serial_put, serial_end, which may be called along
 * the way to send what is written), so that lines are never cut and need no buffer
 * of their own. Input is queued by the RX interrupt.
 */
#include <avr/interrupt.h>
#include <avr/io.h>
#include <util/atomic.h>

#include "board.h"
#include "serial.h"

#define UCSR0B_ON   (_BV(RXEN0) | _BV(TXEN0) | _BV(RXCIE0))     /* UDRIE0 apart: on while output waits */

char serial_tx_buf[SERIAL_TX_SIZE];
char *volatile serial_tx_head = serial_tx_buf; /* next free byte; written by the main loop only */
static volatile char rx_buf[SERIAL_RX_SIZE];
_Static_assert(SERIAL_RX_SIZE <= 256 && (SERIAL_RX_SIZE & (SERIAL_RX_SIZE - 1)) == 0,
               "the RX interrupt wraps its one-byte index with a mask");
static volatile uint8_t rx_head, rx_tail;

void serial_init(void)
{
    UCSR0A = _BV(U2X0);                     /* before UBRR0: simavr takes the rate on its write */
    UBRR0 = SERIAL_UBRR;
    UCSR0C = _BV(UCSZ01) | _BV(UCSZ00);     /* 8N1 */
    serial_set_tail(serial_tx_buf);
    UCSR0B = UCSR0B_ON;
}

/* Free bytes in the output buffer (one slot stays empty to tell full from empty). */
uint16_t serial_room(void)
{
    char *head = serial_tx_head, *tail;
    ATOMIC_BLOCK(ATOMIC_RESTORESTATE) { tail = serial_tail(); }
    uint16_t used = head >= tail ? head - tail : SERIAL_TX_SIZE - (tail - head);
    return SERIAL_TX_SIZE - 1 - used;
}

char *serial_put_at;                    /* where serial_put writes; published by serial_end */

/* Starts a line; the caller has checked that it fits. */
void serial_begin(void)
{
    serial_put_at = serial_tx_head;
}

/* Hands what was written of the line to the UDRE interrupt; serial_put goes on after it. */
void serial_end(void)
{
    ATOMIC_BLOCK(ATOMIC_RESTORESTATE) {
        serial_tx_head = serial_put_at;
        UCSR0B |= _BV(UDRIE0);          /* not between the interrupt's own read and write of UCSR0B */
    }
}

/*
 * Holds the UDRE interrupt off while the radio is read, which must not be
 * stretched by an interrupt every byte; serial_feed() sends meanwhile.
 * Returns whether it was on, for serial_release().
 */
uint8_t serial_hold(void)
{
    uint8_t on;
    ATOMIC_BLOCK(ATOMIC_RESTORESTATE) {
        on = UCSR0B & _BV(UDRIE0);
        UCSR0B &= ~_BV(UDRIE0);
    }
    return on;
}

void serial_release(uint8_t was_on)
{
    ATOMIC_BLOCK(ATOMIC_RESTORESTATE) {
        if (was_on && serial_tail() != serial_tx_head)
            UCSR0B |= _BV(UDRIE0);
    }
}

/*
 * One byte a call, every 10 us (5 us at 2,000,000 baud) while there is output:
 * written out by hand, as it must neither leave the main loop too little time at
 * 2,000,000 baud nor hold INT0's time stamp up for long. 40 cycles from the
 * interrupt's start (46 when the line is all sent), with instructions that leave
 * SREG alone, so that it need not be saved; INT0 may come in after 33 (39).
 */
ISR(USART_UDRE_vect, ISR_NAKED)
{
    __asm__ volatile(
        "push r24\n\t"
        "push r30\n\t"
        "push r31\n\t"
        "in r30, %[tail_lo]\n\t"
        "in r31, %[tail_hi]\n\t"
        "ld r24, Z+\n\t"
        "sts %[udr], r24\n\t"
        "ldi r24, lo8(serial_tx_buf+%[size])\n\t"     /* past the end: back to the start */
        "cpse r30, r24\n\t"
        "rjmp 1f\n\t"
        "ldi r24, hi8(serial_tx_buf+%[size])\n\t"
        "cpse r31, r24\n\t"
        "rjmp 1f\n\t"
        "ldi r30, lo8(serial_tx_buf)\n\t"
        "ldi r31, hi8(serial_tx_buf)\n"
        "1:\n\t"
        "out %[tail_lo], r30\n\t"
        "out %[tail_hi], r31\n\t"
        "lds r24, serial_tx_head\n\t"                 /* all sent: the interrupt goes off */
        "cpse r24, r30\n\t"
        "rjmp 2f\n\t"
        "lds r24, serial_tx_head+1\n\t"
        "cpse r24, r31\n\t"
        "rjmp 2f\n\t"
        "ldi r24, %[off]\n\t"
        "sts %[ucsrb], r24\n"
        "2:\n\t"
        "sei\n\t"                          /* INT0 may come in while the registers are restored */
        "pop r31\n\t"
        "pop r30\n\t"
        "pop r24\n\t"
        "reti\n\t"
        :: [udr] "n"(_SFR_MEM_ADDR(UDR0)), [ucsrb] "n"(_SFR_MEM_ADDR(UCSR0B)), [size] "n"(SERIAL_TX_SIZE),
           [tail_lo] "I"(_SFR_IO_ADDR(GPIOR1)), [tail_hi] "I"(_SFR_IO_ADDR(GPIOR2)), [off] "n"(UCSR0B_ON));
}

/*
 * Received bytes. When only one slot is left, the byte is dropped and
 * SERIAL_RX_LOST takes the slot, so that the reader knows where input went
 * missing. Written out by hand, as INT0's time stamp waits for it: INT0 may come
 * in 44 cycles from the interrupt's start, once the byte is stored (the
 * compiler's version held it off for 97).
 */
ISR(USART_RX_vect, ISR_NAKED)
{
    __asm__ volatile(
        "push r24\n\t"
        "in r24, __SREG__\n\t"
        "push r24\n\t"
        "push r25\n\t"
        "push r30\n\t"
        "push r31\n\t"
        "lds r30, %[head]\n\t"
        "mov r25, r30\n\t"                /* the slot after it */
        "inc r25\n\t"
        "andi r25, %[mask]\n\t"
        "lds r31, %[tail]\n\t"
        "lds r24, %[udr]\n\t"
        "cp r25, r31\n\t"                 /* no slot left: dropped */
        "breq 2f\n\t"
        "dec r31\n\t"                     /* the last slot: the mark instead */
        "andi r31, %[mask]\n\t"
        "cpse r25, r31\n\t"
        "rjmp 1f\n\t"
        "ldi r24, %[lost]\n"
        "1:\n\t"
        "ldi r31, 0\n\t"
        "subi r30, lo8(-(%[buf]))\n\t"
        "sbci r31, hi8(-(%[buf]))\n\t"
        "st Z, r24\n\t"
        "sts %[head], r25\n"
        "2:\n\t"
        "sei\n\t"                          /* INT0 may come in while the registers are restored */
        "pop r31\n\t"
        "pop r30\n\t"
        "pop r25\n\t"
        "pop r24\n\t"
        "ori r24, 0x80\n\t"                /* SREG as it was, with interrupts still on */
        "out __SREG__, r24\n\t"
        "pop r24\n\t"
        "reti\n\t"
        :: [head] "i"(&rx_head), [tail] "i"(&rx_tail), [buf] "i"(rx_buf), [udr] "n"(_SFR_MEM_ADDR(UDR0)),
           [mask] "n"(SERIAL_RX_SIZE - 1), [lost] "n"(SERIAL_RX_LOST));
}

/* The next received byte (SERIAL_RX_LOST where bytes were dropped), or -1. */
int serial_getc(void)
{
    if (rx_tail == rx_head)
        return -1;
    char c = rx_buf[rx_tail];
    rx_tail = (rx_tail + 1) % SERIAL_RX_SIZE;
    return (unsigned char)c;
}

/* Whether received bytes wait: the main loop checks it with interrupts off before sleeping. */
uint8_t serial_input_waiting(void)
{
    return rx_tail != rx_head;
}
