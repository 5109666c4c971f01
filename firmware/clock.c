/* The board's microsecond clock: counts from reset, wraps every 2^32 us (71.6 minutes). */
#include <avr/interrupt.h>
#include <avr/io.h>

#include "clock.h"

volatile uint32_t clock_overflows;

/*
 * Starts Timer1 before the C run-time runs, so that the clock counts from reset.
 * The register file holds garbage at power-on and the run-time zeroes r1 only
 * later (.init2): TCCR1A = 0 compiles to a store of r1, which could otherwise
 * hand CE and CSN to the timer's compare outputs or change its mode.
 */
__attribute__((naked, used, section(".init1"))) static void clock_start(void)
{
    __asm__ volatile("clr __zero_reg__");
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
    clock_overflows++;
}

/* The time now. */
uint32_t clock_us(void)
{
    uint8_t sreg = SREG;
    cli();
    uint32_t now = clock_at(TCNT1);
    SREG = sreg;
    return now;
}
