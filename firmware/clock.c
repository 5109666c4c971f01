/* The board's microsecond clock: counts from reset, wraps every 2^32 us (71.6 minutes). */
#include <avr/interrupt.h>
#include <avr/io.h>

#include "clock.h"

#define CLOCK_START_TICKS 2

volatile uint32_t clock_overflows;

/*
 * Starts Timer1 before the C run-time runs, so that the clock counts from reset.
 * The register file holds garbage at power-on and the run-time zeroes r1 only
 * later (.init2): TCCR1A = 0 compiles to a store of r1, which could otherwise
 * hand CE and CSN to the timer's compare outputs or change its mode. The timer
 * starts 9 cycles after the reset and is set to 2 ticks 6 cycles later: the clock
 * reads the time since the reset to within a cycle.
 */
__attribute__((naked, used, section(".init1"))) static void clock_start(void)
{
    __asm__ volatile("clr __zero_reg__");
    TCCR1A = 0;
    TCCR1B = _BV(CS11);
    TCNT1 = CLOCK_START_TICKS;
}

/* Counts the overflows from here on (RAM is now cleared). */
void clock_init(void)
{
    TIMSK1 = _BV(TOIE1);
}

/*
 * Counts an overflow: written out by hand so that it holds INT0's time stamp up
 * for 22 cycles but once in 256, 38 at most (the compiler's version took 62).
 */
ISR(TIMER1_OVF_vect, ISR_NAKED)
{
    __asm__ volatile(
        "push r24\n\t"
        "in r24, __SREG__\n\t"
        "push r24\n\t"
        "lds r24, clock_overflows\n\t"
        "inc r24\n\t"
        "sts clock_overflows, r24\n\t"
        "brne 1f\n\t"
        "lds r24, clock_overflows+1\n\t"
        "inc r24\n\t"
        "sts clock_overflows+1, r24\n\t"
        "brne 1f\n\t"
        "lds r24, clock_overflows+2\n\t"
        "inc r24\n\t"
        "sts clock_overflows+2, r24\n\t"
        "brne 1f\n\t"
        "lds r24, clock_overflows+3\n\t"
        "inc r24\n\t"
        "sts clock_overflows+3, r24\n"
        "1:\n\t"
        "sei\n\t"                          /* INT0 may come in while the registers are restored */
        "pop r24\n\t"
        "ori r24, 0x80\n\t"                /* SREG as it was, with interrupts still on */
        "out __SREG__, r24\n\t"
        "pop r24\n\t"
        "reti\n\t");
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
