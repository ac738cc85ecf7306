/* SPDX-License-Identifier: BSD-2-Clause */
/* The vector table and the reset handler of a program that needs no C library: the data copied
 * from its load address, the rest zeroed, then main. Shared by the boot loader and the example
 * program. */
#include <stdint.h>

extern uint32_t __stack_top, __data_load, __data_start, __data_end, __bss_start, __bss_end;
int main(void);

void reset_handler(void) {
    const uint32_t* from = &__data_load;
    for (uint32_t* to = &__data_start; to < &__data_end;) {
        *to++ = *from++;
    }
    for (uint32_t* to = &__bss_start; to < &__bss_end;) {
        *to++ = 0;
    }
    main();
    for (;;) {
    }
}

static void halt(void) {
    for (;;) {
    }
}

__attribute__((section(".vectors"), used)) static const void* const vectors[16] = {
    &__stack_top, reset_handler, halt, halt, halt, halt, halt, 0, 0, 0, 0,
    halt,         halt,          0,    halt, halt,
};
