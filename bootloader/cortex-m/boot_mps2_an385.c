/* SPDX-License-Identifier: BSD-2-Clause */
/*
 * The Tavrel boot loader for a Cortex-M3 board, as QEMU's mps2-an385 models it: UART0 at
 * 115200 baud, the boot loader in the first 32 KiB of the code memory, the program's vector
 * table at APP_BASE, its section up to the end of the first 256 KiB (a part with 256 KiB of
 * flash). The board's code memory is RAM, so a block is written by storing it; on a chip with
 * flash, tavrel_chip_write_block erases and programs the block's pages instead.
 */
#include "../common/tavrel_boot.h"
#include "cmsdk_uart.h"

#define APP_BASE 0x00008000u
#define APP_END 0x00040000u

#define SYST_CSR (*(volatile uint32_t*)0xE000E010u)
#define SYST_RVR (*(volatile uint32_t*)0xE000E014u)
#define SYST_CVR (*(volatile uint32_t*)0xE000E018u)
#define SCB_VTOR (*(volatile uint32_t*)0xE000ED08u)
#define SYST_COUNTFLAG (1u << 16)

int tavrel_chip_getc(uint16_t timeout_ms) {
    /* SysTick wraps once a millisecond (see main); its count flag says it did. */
    uint32_t waited = 0;
    (void)SYST_CSR; /* reading clears the flag: count from now */
    while (!(UART0->state & UART_RX_FULL)) {
        if (timeout_ms != 0 && (SYST_CSR & SYST_COUNTFLAG) && ++waited >= timeout_ms) {
            return -1;
        }
    }
    return (int)(UART0->data & 0xFFu);
}

void tavrel_chip_putc(uint8_t byte) {
    uart_putc(byte);
}

uint32_t tavrel_chip_app_bytes(void) {
    return APP_END - APP_BASE;
}

int tavrel_chip_write_block(uint32_t offset, const uint8_t* data) {
    volatile uint8_t* at = (volatile uint8_t*)(APP_BASE + offset);
    for (uint32_t i = 0; i < TAVREL_BLOCK_BYTES; ++i) {
        at[i] = data[i];
    }
    for (uint32_t i = 0; i < TAVREL_BLOCK_BYTES; ++i) {
        if (at[i] != data[i]) {
            return -1;
        }
    }
    return 0;
}

void tavrel_chip_start_app(void) {
    /* The last byte leaves before the UART is handed over (the model sends at once). */
    while (UART0->state & UART_TX_FULL) {
    }
    SYST_CSR = 0;
    const uint32_t* vectors = (const uint32_t*)APP_BASE;
    SCB_VTOR = APP_BASE;
    __asm__ volatile("msr msp, %0\n"
                     "bx %1\n"
                     :
                     : "r"(vectors[0]), "r"(vectors[1]));
    for (;;) {
    }
}

int main(void) {
    uart_setup(115200u);
    SYST_RVR = MPS2_CLOCK_HZ / 1000u - 1u;
    SYST_CVR = 0;
    SYST_CSR = 5u; /* the processor's clock, no interrupt, on */
    tavrel_boot_run("tavrel-boot mps2-an385 1.0");
}
