/* The USART: interrupt-driven ring buffers for both directions. */
#ifndef SERIAL_H
#define SERIAL_H

#include <stdint.h>

#define SERIAL_TX_SIZE 512
#define SERIAL_RX_SIZE 128
#define SERIAL_RX_LOST 0x00     /* in the input where bytes were dropped (a host never sends NUL) */

void serial_init(void);
uint16_t serial_room(void);
extern char serial_tx_buf[SERIAL_TX_SIZE];
extern char *serial_put_at;

void serial_begin(void);
void serial_end(void);

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
