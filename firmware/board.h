/*
 * How the radio is wired to an Arduino Uno or Nano (ATmega328P, 16 MHz):
 * SCK D13/PB5, MISO D12/PB4, MOSI D11/PB3, CSN D10/PB2, CE D9/PB1, IRQ D2/PD2 (INT0).
 */
#ifndef BOARD_H
#define BOARD_H

#include <avr/io.h>

#define PIN_SCK     PB5
#define PIN_MISO    PB4
#define PIN_MOSI    PB3
#define PIN_CSN     PB2     /* also the SPI's SS: an output keeps the SPI in master mode */
#define PIN_CE      PB1
#define PIN_IRQ     PD2     /* INT0 */

/* 1,000,000 baud, or 2,000,000 (make SERIAL_BAUD=2000000): both exact at 16 MHz with U2X. */
#ifndef SERIAL_BAUD
#define SERIAL_BAUD 1000000UL
#endif
#define SERIAL_UBRR (F_CPU / 8 / SERIAL_BAUD - 1)
#if F_CPU % (8 * SERIAL_BAUD) != 0
#error "SERIAL_BAUD is not exact at this F_CPU"
#endif

#endif
