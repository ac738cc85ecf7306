// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// USB serial adapters hold received bytes for up to 16 ms before passing them on (the FTDI
// latency timer). Where the driver offers low-latency mode, ask for it; a port that refuses
// (a pty, a driver without it) is left as it is.
void RequestLowLatency(int fd);
