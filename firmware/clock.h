/* The board's microsecond clock: Timer1 at F_CPU/8, extended to 32 bits by its overflows. */
#ifndef CLOCK_H
#define CLOCK_H

#include <stdint.h>

#include <avr/io.h>

#if F_CPU != 16000000UL
#error "the clock counts 2 Timer1 ticks a microsecond (16 MHz / 8)"
#endif

extern volatile uint32_t clock_overflows;

void clock_init(void);
uint32_t clock_us(void);

/*
 * The time of a Timer1 reading taken with interrupts off; an overflow not yet
 * counted is added. Two ticks a microsecond and 2^16 ticks an overflow make it
 * (overflows << 15) + ticks / 2: put together with byte moves and one shift,
 * as INT0 takes its stamp with it.
 */
static inline uint32_t clock_at(uint16_t ticks)
{
    uint32_t count = clock_overflows;
    if ((TIFR1 & _BV(TOV1)) && ticks < 0x8000)
        count++;
    union {
        uint32_t us;
        uint16_t half[2];
    } t;
    t.half[1] = count;
    t.half[0] = ticks;
    t.us >>= 1;
    if (count & 0x10000)
        t.us |= 0x80000000UL;
    return t.us;
}

#endif
