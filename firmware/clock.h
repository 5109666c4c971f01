/* The board's microsecond clock: Timer1 at F_CPU/8, extended to 32 bits by its overflows. */
#ifndef CLOCK_H
#define CLOCK_H

#include <stdint.h>

#include <avr/io.h>

#define CLOCK_TICKS_PER_US      (F_CPU / 8 / 1000000UL)     /* 2 at 16 MHz: a resolution of 0.5 us */
#define CLOCK_US_PER_OVERFLOW   (65536UL / CLOCK_TICKS_PER_US)

extern volatile uint32_t clock_overflows;

void clock_init(void);
uint32_t clock_us(void);

/* The time of a Timer1 reading taken with interrupts off; an overflow not yet counted is added. */
static inline uint32_t clock_at(uint16_t ticks)
{
    uint32_t count = clock_overflows;
    if ((TIFR1 & _BV(TOV1)) && ticks < 0x8000)
        count++;
    return count * CLOCK_US_PER_OVERFLOW + ticks / CLOCK_TICKS_PER_US;
}

#endif
