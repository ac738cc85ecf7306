/* SPDX-License-Identifier: BSD-2-Clause */
/*
 * An example program for the Tavrel boot loader on the mps2-an385 board: it says which version
 * it is on UART0 (115200 baud), then counts the seconds, so that an update can check that the
 * new program runs (tavrel-flash --expect 'v1\.0 ready'). Linked to start at 0x8000.
 */
#include "../cmsdk_uart.h"

#ifndef APP_VERSION
#define APP_VERSION "1.0"
#endif

#define SYST_CSR (*(volatile uint32_t*)0xE000E010u)
#define SYST_RVR (*(volatile uint32_t*)0xE000E014u)
#define SYST_CVR (*(volatile uint32_t*)0xE000E018u)

static void put_text(const char* text) {
    while (*text != '\0') {
        uart_putc((uint8_t)*text++);
    }
}

static void put_number(uint32_t value) {
    char digits[10];
    int n = 0;
    do {
        digits[n++] = (char)('0' + value % 10u);
        value /= 10u;
    } while (value != 0u);
    while (n > 0) {
        uart_putc((uint8_t)digits[--n]);
    }
}

int main(void) {
    uart_setup(115200u);
    SYST_RVR = MPS2_CLOCK_HZ / 1000u - 1u;
    SYST_CVR = 0;
    SYST_CSR = 5u;
    put_text("Tavrel example v" APP_VERSION " ready\r\n");
    for (uint32_t second = 1;; ++second) {
        for (uint32_t ms = 0; ms < 1000u;) {
            ms += (SYST_CSR >> 16) & 1u;
        }
        put_text("count ");
        put_number(second);
        put_text("\r\n");
    }
}
