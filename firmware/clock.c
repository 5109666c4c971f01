/* The board's microsecond clock: counts from reset, wraps every 2^32 us (71.6 minutes). */
#include <avr/interrupt.h>
#include <avr/io.h>

#include "clock.h"

#define TICKS_PER_US    (F_CPU / 8 / 1000000UL)     /* 2 at 16 MHz: a resolution of 0.5 us */
#define US_PER_OVERFLOW (65536UL / TICKS_PER_US)

static volatile uint32_t overflows;

/* Starts Timer1 before the C run-time clears RAM, so that the clock counts from reset. */
__attribute__((naked, used, section(".init1"))) static void clock_start(void)
{
    TCCR1A = 0;
    TCCR1B = _BV(CS11);
}

/* Counts the overflows from here on (RAM is now cleared). */
void clock_init(void)
{
    TIMSK1 = _BV(TOIE1);
}

ISR(TIMER1_OVF_vect)
{
    overflows++;
}

/* The time now; an overflow not yet counted (interrupts off, or its ISR pending) is added. */
uint32_t clock_us(void)
{
    uint8_t sreg = SREG;
    cli();
    uint16_t ticks = TCNT1;
    uint32_t count = overflows;
    if ((TIFR1 & _BV(TOV1)) && ticks < 0x8000)
        count++;
    SREG = sreg;
    return count * US_PER_OVERFLOW + ticks / TICKS_PER_US;
}
