/* SPDX-License-Identifier: BSD-2-Clause */
/*
 * The Tavrel update protocol, device side: the part of a boot loader that is the same on every
 * chip. It takes block packets, checks each one whole (preamble, trailer, block order, room in
 * the application section) before any byte of it reaches the flash, has the chip write the
 * block and read it back, and answers "ACK" only when the block is in the flash. A bad packet
 * is answered with a line of text and never written. The switch packet starts the program.
 *
 * To port the boot loader to another chip, write the five functions below for it and call
 * tavrel_boot_run() from its main().
 */
#ifndef TAVREL_BOOT_H
#define TAVREL_BOOT_H

#include <stdint.h>

#define TAVREL_BLOCK_BYTES 1024u

/* One byte from the line, or -1 when none came within `timeout_ms` (0: wait for ever). */
int tavrel_chip_getc(uint16_t timeout_ms);
/* Sends one byte; returns once the UART has taken it. */
void tavrel_chip_putc(uint8_t byte);
/* The size of the application section in bytes: blocks past it are refused. */
uint32_t tavrel_chip_app_bytes(void);
/* Erases and writes TAVREL_BLOCK_BYTES at `offset` into the application section, then reads
 * them back: 0 when the flash holds exactly `data`. */
int tavrel_chip_write_block(uint32_t offset, const uint8_t* data);
/* Waits until every byte sent has left the UART, puts the peripherals the boot loader used back
 * as they are after reset and starts the program at the start of the application section. */
void tavrel_chip_start_app(void) __attribute__((noreturn));

/* The boot loader's loop: never returns (the switch packet starts the program). `banner` is
 * sent once at the start, as a line. */
void tavrel_boot_run(const char* banner) __attribute__((noreturn));

#endif
