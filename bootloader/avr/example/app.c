/* SPDX-License-Identifier: BSD-2-Clause */
/*
 * An example program for the Tavrel boot loader on the ATmega2560: it says which version it is
 * on UART0 (115200 baud), then counts the seconds, so that an update can check that the new
 * program runs (tavrel-flash --expect 'v1\.0 ready').
 */
#include <avr/io.h>
#include <avr/wdt.h>
#include <stdint.h>
#include <util/delay.h>

#ifndef APP_VERSION
#define APP_VERSION "1.0"
#endif

static void put_text(const char* text) {
    while (*text != '\0') {
        while (!(UCSR0A & _BV(UDRE0))) {
        }
        UDR0 = (uint8_t)*text++;
    }
}

static void put_number(uint16_t value) {
    char digits[6];
    uint8_t n = 0;
    do {
        digits[n++] = (char)('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n > 0) {
        const char one[2] = {digits[--n], '\0'};
        put_text(one);
    }
}

int main(void) {
    UBRR0 = (uint16_t)(F_CPU / (8UL * 115200UL) - 1UL);
    UCSR0A = _BV(U2X0) | _BV(TXC0); /* TXC cleared: set again once the banner is out */
    UCSR0B = _BV(TXEN0);
    UCSR0C = _BV(UCSZ01) | _BV(UCSZ00);
    put_text("Tavrel example v" APP_VERSION " ready\r\n");
#ifdef APP_WATCHDOG
    /* A program that resets the chip through the watchdog: the boot loader must stay usable. */
    while (!(UCSR0A & _BV(TXC0))) {
    }
    wdt_enable(WDTO_15MS);
#endif
    for (uint16_t second = 1;; ++second) {
        _delay_ms(1000);
        put_text("count ");
        put_number(second);
        put_text("\r\n");
    }
}
