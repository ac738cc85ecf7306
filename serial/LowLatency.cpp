// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/LowLatency.h"

#ifdef __linux__
#include <linux/serial.h>
#include <sys/ioctl.h>
#endif

void RequestLowLatency(int fd) {
#ifdef __linux__
    if (fd < 0) {
        return;
    }
    serial_struct serial{};
    if (::ioctl(fd, TIOCGSERIAL, &serial) != 0 || (serial.flags & ASYNC_LOW_LATENCY)) {
        return;
    }
    serial.flags |= ASYNC_LOW_LATENCY;
    ::ioctl(fd, TIOCSSERIAL, &serial);
#else
    (void)fd;
#endif
}
