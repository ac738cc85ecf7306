// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Hands every byte to a file descriptor, through interrupted and partial writes, waiting for
// room where the descriptor is non-blocking: the one write loop for files, pipes and terminals
// (a serial port's has a deadline and a stop flag of its own).

#include <QByteArrayView>

// 0 once all is written, else the errno of the write that failed.
int WriteAll(int fd, QByteArrayView bytes);
