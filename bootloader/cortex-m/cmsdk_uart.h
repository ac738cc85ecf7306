/* SPDX-License-Identifier: BSD-2-Clause */
/* The ARM CMSDK APB UART of the MPS2 boards (UART0 at 0x40004000), polled. */
#ifndef CMSDK_UART_H
#define CMSDK_UART_H

#include <stdint.h>

#define MPS2_CLOCK_HZ 25000000u

typedef struct {
    volatile uint32_t data;
    volatile uint32_t state; /* bit 0: transmit buffer full; bit 1: a byte received */
    volatile uint32_t ctrl;  /* bit 0: transmitter on; bit 1: receiver on */
    volatile uint32_t intstatus;
    volatile uint32_t bauddiv;
} cmsdk_uart_t;

#define UART0 ((cmsdk_uart_t*)0x40004000u)
#define UART_TX_FULL 1u
#define UART_RX_FULL 2u

static inline void uart_setup(uint32_t baud) {
    UART0->bauddiv = MPS2_CLOCK_HZ / baud;
    UART0->ctrl = 3u;
}

static inline void uart_putc(uint8_t byte) {
    while (UART0->state & UART_TX_FULL) {
    }
    UART0->data = byte;
}

#endif
