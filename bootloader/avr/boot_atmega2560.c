/* SPDX-License-Identifier: BSD-2-Clause */
/*
 * The Tavrel boot loader for the ATmega2560 (16 MHz): UART0 at 115200 baud (U2X), the boot
 * loader in the 8 KiB boot section at the top of the flash (fuses BOOTSZ=00, BOOTRST
 * programmed), the program in the application section below it, from address 0.
 */
#include "../common/tavrel_boot.h"

#include <avr/boot.h>
#include <avr/interrupt.h>
#include <avr/io.h>
#include <avr/pgmspace.h>
#include <avr/wdt.h>

#ifndef BAUD_RATE
#define BAUD_RATE 115200UL
#endif

/* The application section ends where the boot section starts (BOOTSZ=00: 4096 words). */
#define APP_BYTES 0x3E000UL

int tavrel_chip_getc(uint16_t timeout_ms) {
    /* Whole milliseconds are counted on the free-running timer: no interrupt is needed. */
    uint16_t last = TCNT1;
    uint32_t ticks = 0;
    const uint32_t limit = (uint32_t)timeout_ms * (F_CPU / 1024UL) / 1000UL;
    while (!(UCSR0A & _BV(RXC0))) {
        if (timeout_ms != 0) {
            const uint16_t now = TCNT1;
            ticks += (uint16_t)(now - last);
            last = now;
            if (ticks >= limit) {
                return -1;
            }
        }
    }
    return UDR0;
}

void tavrel_chip_putc(uint8_t byte) {
    while (!(UCSR0A & _BV(UDRE0))) {
    }
    UCSR0A |= _BV(TXC0); /* cleared by writing one: set again once this byte has left */
    UDR0 = byte;
}

uint32_t tavrel_chip_app_bytes(void) {
    return APP_BYTES;
}

int tavrel_chip_write_block(uint32_t offset, const uint8_t* data) {
    for (uint32_t page = offset; page < offset + TAVREL_BLOCK_BYTES; page += SPM_PAGESIZE) {
        boot_page_erase_safe(page);
        boot_spm_busy_wait();
        for (uint16_t i = 0; i < SPM_PAGESIZE; i += 2) {
            const uint8_t* at = data + (page - offset) + i;
            boot_page_fill_safe(page + i, (uint16_t)at[0] | ((uint16_t)at[1] << 8));
        }
        boot_page_write_safe(page);
        boot_spm_busy_wait();
    }
    boot_rww_enable_safe(); /* the application section can be read again */
    for (uint16_t i = 0; i < TAVREL_BLOCK_BYTES; ++i) {
        if (pgm_read_byte_far(offset + i) != data[i]) {
            return -1;
        }
    }
    return 0;
}

void tavrel_chip_start_app(void) {
    if (UCSR0B & _BV(TXEN0)) {
        while (!(UCSR0A & _BV(TXC0))) {
        }
    }
    /* The UART stays as the boot loader set it (115200 baud, 8N1, U2X): a program sets it up
     * anew, and switching the transmitter off would leave its line floating meanwhile. */
    TCCR1B = 0;
    TCNT1 = 0;
    boot_rww_enable_safe();
#ifdef EIND
    EIND = 0;
#endif
    __asm__ __volatile__("jmp 0");
    for (;;) {
    }
}

int main(void) {
    cli();
    /* A program's watchdog stays on across the reset it caused, and would reset the boot loader
     * every few milliseconds: off first, once the reset's cause is cleared. */
    MCUSR = 0;
    wdt_disable();
    UBRR0 = (uint16_t)(F_CPU / (8UL * BAUD_RATE) - 1UL);
    UCSR0A = _BV(U2X0) | _BV(TXC0);
    UCSR0B = _BV(RXEN0) | _BV(TXEN0);
    UCSR0C = _BV(UCSZ01) | _BV(UCSZ00); /* 8 data bits, no parity, 1 stop bit */
    TCCR1A = 0;
    TCCR1B = _BV(CS12) | _BV(CS10); /* F_CPU / 1024 */
    tavrel_boot_run("tavrel-boot atmega2560 1.0");
}
