/* The USART: interrupt-driven ring buffers for both directions. */
#ifndef SERIAL_H
#define SERIAL_H

#include <stdint.h>

#define SERIAL_TX_SIZE 1152
#define SERIAL_RX_SIZE 64

void serial_init(void);
uint16_t serial_room(void);
void serial_write(const char *text, uint8_t len);
void serial_write_wait(const char *text, uint8_t len);
int serial_getc(void);
uint8_t serial_rx_overrun(void);

#endif
