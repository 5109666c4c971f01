/* The USART: interrupt-driven ring buffers for both directions. */
#ifndef SERIAL_H
#define SERIAL_H

#include <stdint.h>

#include <avr/io.h>

#define SERIAL_TX_SIZE 512
#define SERIAL_RX_SIZE 128
#define SERIAL_RX_LOST 0x00     /* in the input where bytes were dropped (a host never sends NUL) */

void serial_init(void);
uint16_t serial_room(void);
extern char serial_tx_buf[SERIAL_TX_SIZE];
extern char *volatile serial_tx_head;
extern char *serial_put_at;

/*
 * The next byte to send is kept in GPIOR1 (low byte) and GPIOR2 (high byte),
 * which the UDRE interrupt reads and writes in one cycle each. Written by that
 * interrupt, or by serial_feed() while it is held off.
 */
static inline char *serial_tail(void)
{
    return (char *)(GPIOR1 | (uint16_t)GPIOR2 << 8);
}

static inline void serial_set_tail(char *tail)
{
    GPIOR1 = (uint16_t)tail;
    GPIOR2 = (uint16_t)tail >> 8;
}

void serial_begin(void);
void serial_end(void);
uint8_t serial_hold(void);
void serial_release(uint8_t was_on);

/* While serial_hold() keeps the interrupt off: the next byte out, if UDR0 has room for it. */
static inline void serial_feed(void)
{
    char *tail = serial_tail();
    if ((UCSR0A & _BV(UDRE0)) && tail != serial_tx_head) {
        UDR0 = *tail++;
        serial_set_tail(tail == serial_tx_buf + SERIAL_TX_SIZE ? serial_tx_buf : tail);
    }
}

/* Where n bytes of the line begun can be written in one piece (serial_put_at), or NULL at the buffer's end. */
static inline char *serial_span(uint8_t n)
{
    return serial_put_at + n <= serial_tx_buf + SERIAL_TX_SIZE ? serial_put_at : 0;
}

/* One byte of the line begun; inlined, as every byte printed goes through it. */
static inline void serial_put(char c)
{
    *serial_put_at++ = c;
    if (serial_put_at == serial_tx_buf + SERIAL_TX_SIZE)
        serial_put_at = serial_tx_buf;
}
int serial_getc(void);
uint8_t serial_input_waiting(void);

#endif
