/*
 * The USART at 1,000,000 baud. Output goes through a ring buffer emptied by the
 * UDRE interrupt; a caller checks serial_room() and writes a whole line or nothing,
 * so that lines are never cut. Input is queued by the RX interrupt.
 */
#include <avr/interrupt.h>
#include <avr/io.h>
#include <string.h>
#include <util/atomic.h>

#include "board.h"
#include "serial.h"

static char tx_buf[SERIAL_TX_SIZE];
static volatile uint16_t tx_head;       /* written by the main loop only */
static volatile uint16_t tx_tail;       /* written by the UDRE interrupt only */
static volatile char rx_buf[SERIAL_RX_SIZE];
static volatile uint8_t rx_head, rx_tail;

void serial_init(void)
{
    UCSR0A = _BV(U2X0);                     /* before UBRR0: simavr takes the rate on its write */
    UBRR0 = SERIAL_UBRR;
    UCSR0C = _BV(UCSZ01) | _BV(UCSZ00);     /* 8N1 */
    UCSR0B = _BV(RXEN0) | _BV(TXEN0) | _BV(RXCIE0);
}

/* Free bytes in the output buffer (one slot stays empty to tell full from empty). */
uint16_t serial_room(void)
{
    uint16_t head = tx_head, tail;
    ATOMIC_BLOCK(ATOMIC_RESTORESTATE) { tail = tx_tail; }
    uint16_t used = head >= tail ? head - tail : SERIAL_TX_SIZE - tail + head;
    return SERIAL_TX_SIZE - 1 - used;
}

/* Queues len bytes; the caller has checked that they fit. */
void serial_write(const char *text, uint8_t len)
{
    uint16_t head = tx_head;
    uint16_t first = SERIAL_TX_SIZE - head;
    if (first > len)
        first = len;
    memcpy(tx_buf + head, text, first);
    memcpy(tx_buf, text + first, len - first);
    head += len;
    if (head >= SERIAL_TX_SIZE)
        head -= SERIAL_TX_SIZE;
    ATOMIC_BLOCK(ATOMIC_RESTORESTATE) { tx_head = head; }
    UCSR0B |= _BV(UDRIE0);
}

ISR(USART_UDRE_vect)
{
    uint16_t tail = tx_tail;
    UDR0 = tx_buf[tail];
    if (++tail == SERIAL_TX_SIZE)
        tail = 0;
    tx_tail = tail;
    if (tail == tx_head)
        UCSR0B &= ~_BV(UDRIE0);
}

/*
 * Received bytes. When only one slot is left, the byte is dropped and
 * SERIAL_RX_LOST takes the slot, so that the reader knows where input went missing.
 */
ISR(USART_RX_vect)
{
    char c = UDR0;
    uint8_t next = (rx_head + 1) % SERIAL_RX_SIZE;
    if (next == rx_tail)
        return;
    if ((next + 1) % SERIAL_RX_SIZE == rx_tail)
        c = SERIAL_RX_LOST;
    rx_buf[rx_head] = c;
    rx_head = next;
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
