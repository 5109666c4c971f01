/* The board's microsecond clock: Timer1 at F_CPU/8, extended to 32 bits by its overflows. */
#ifndef CLOCK_H
#define CLOCK_H

#include <stdint.h>

void clock_init(void);
uint32_t clock_us(void);

#endif
