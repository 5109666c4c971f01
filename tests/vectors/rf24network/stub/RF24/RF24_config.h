/* RF24_config.h for the vector generator: what RF24Network and RF24Mesh take from
 * the RF24 driver's configuration on Linux, with a virtual clock instead of the
 * system's. millis() advances the clock by one and lets every idle node of the
 * simulated air process what it has received (generate.cpp). */
#ifndef RF24_STUB_CONFIG_H
#define RF24_STUB_CONFIG_H

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#define RF24_LINUX
#define PSTR(x) (x)
#define printf_P printf
#define sprintf_P sprintf
#define PRIPSTR "%s"
#define _BV(x) (1 << (x))
#define rf24_min(a, b) ((a) < (b) ? (a) : (b))
#define rf24_max(a, b) ((a) > (b) ? (a) : (b))

uint32_t millis(void);
void delay(uint32_t ms);
void delayMicroseconds(uint32_t us);

#endif
