/* SPDX-License-Identifier: BSD-2-Clause */
#include "tavrel_boot.h"

#include <stddef.h>

enum {
    FIRST_BLOCK = 0x14, /* the number of block 0; every image starts with it */
    LAST_BLOCK = 0xFF,
    BYTE_GAP_MS = 1000,   /* a packet's bytes follow each other closely: a gap this long ends it */
    SWITCH_QUIET_MS = 500 /* after block 0xFE: how long a quiet line means the switch */
};

static const uint8_t preamble[7] = {0xAA, 0xBB, 0x47, 0xD4, 0xE5, 0xFF, 0x00};
static const uint8_t switch_tail[4] = {0x5A, 0x5B, 0x5C, 0x5D};
static const uint8_t trailer[2] = {0x5A, 0x5B};

static uint8_t block[TAVREL_BLOCK_BYTES];
static int last_written = -1; /* the number of the last block in the flash; -1: none yet */

static void put_text(const char* text) {
    while (*text != '\0') {
        tavrel_chip_putc((uint8_t)*text++);
    }
}

static void put_hex(uint32_t value, uint8_t digits) {
    static const char hex[] = "0123456789ABCDEF";
    while (digits-- > 0) {
        tavrel_chip_putc((uint8_t)hex[(value >> (4 * digits)) & 0xF]);
    }
}

/* A refusal, as one line of text: the tool shows it, and no ACK follows. */
static void refuse(int number, const char* why) {
    put_text("tavrel-boot: ");
    if (number >= 0) {
        put_text("block 0x");
        put_hex((uint32_t)number, 2);
        tavrel_chip_putc(' ');
    }
    put_text(why);
    put_text("; not written\r\n");
}

/* Returns once the seven bytes of a preamble have come in a row. */
static void await_preamble(void) {
    uint8_t matched = 0;
    while (matched < sizeof preamble) {
        const int c = tavrel_chip_getc(0);
        if (c == preamble[matched]) {
            ++matched;
        } else {
            matched = c == preamble[0] ? 1 : 0;
        }
    }
}

/* Fills `block` from `got` on; 0 when all of it and the trailer came, else why not. */
static const char* receive_rest(size_t got) {
    while (got < TAVREL_BLOCK_BYTES) {
        const int c = tavrel_chip_getc(BYTE_GAP_MS);
        if (c < 0) {
            return "ended early";
        }
        block[got++] = (uint8_t)c;
    }
    for (size_t i = 0; i < sizeof trailer; ++i) {
        if (tavrel_chip_getc(BYTE_GAP_MS) != trailer[i]) {
            return "has a wrong trailer";
        }
    }
    return NULL;
}

/* After a packet's number 0xFF: whether what follows is the switch packet. The twelve bytes of
 * the switch are those of block 0xFF with data 5A 5B 5C 5D; that block only ever follows block
 * 0xFE, and then a block goes on while the switch leaves the line quiet. Whatever was read of a
 * block stays in `block`; *got says how much. */
static int is_switch(size_t* got) {
    while (*got < sizeof switch_tail) {
        const int c = tavrel_chip_getc(BYTE_GAP_MS);
        if (c < 0) {
            return 0; /* the block ended early: receive_rest says so */
        }
        block[(*got)++] = (uint8_t)c;
        if (c != switch_tail[*got - 1]) {
            return 0;
        }
    }
    if (last_written != LAST_BLOCK - 1) {
        return 1;
    }
    const int c = tavrel_chip_getc(SWITCH_QUIET_MS);
    if (c < 0) {
        return 1;
    }
    block[(*got)++] = (uint8_t)c;
    return 0;
}

void tavrel_boot_run(const char* banner) {
    put_text(banner);
    put_text("\r\n");
    for (;;) {
        await_preamble();
        const int number = tavrel_chip_getc(BYTE_GAP_MS);
        if (number < 0) {
            refuse(-1, "a packet ended early");
            continue;
        }
        size_t got = 0;
        if (number == LAST_BLOCK && is_switch(&got)) {
            tavrel_chip_start_app();
        }
        const char* broken = receive_rest(got);
        if (broken != NULL) {
            refuse(number, broken);
            continue;
        }
        /* Block 0x14 starts an image, whatever came before; every other block follows the one
         * before it. */
        if (number < FIRST_BLOCK || (number != FIRST_BLOCK && number != last_written + 1)) {
            put_text("tavrel-boot: block 0x");
            put_hex((uint32_t)number, 2);
            put_text(" is out of order (expected 0x");
            /* After the last block only a new image can come. */
            put_hex(last_written < 0 || last_written == LAST_BLOCK ? FIRST_BLOCK
                                                                   : (uint32_t)last_written + 1,
                    2);
            put_text("); not written\r\n");
            continue;
        }
        const uint32_t offset = (uint32_t)(number - FIRST_BLOCK) * TAVREL_BLOCK_BYTES;
        if (offset + TAVREL_BLOCK_BYTES > tavrel_chip_app_bytes()) {
            put_text("tavrel-boot: block 0x");
            put_hex((uint32_t)number, 2);
            put_text(" lies past the application section (0x");
            put_hex(tavrel_chip_app_bytes(), 6);
            put_text(" bytes); not written\r\n");
            last_written = -1; /* the image cannot be completed: only a new one goes on */
            continue;
        }
        if (tavrel_chip_write_block(offset, block) != 0) {
            refuse(number, "did not read back as written");
            last_written = -1;
            continue;
        }
        last_written = number;
        put_text("ACK");
    }
}
