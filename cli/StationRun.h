// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// tavrel-flash with several ports, every port, or watching for ports: the station core drives
// one update per port at once, and this shows it: a live line per port on a terminal, one line
// per event otherwise, JSON lines for programs; then a summary, and the totals.

#include "cli/FlashOptions.h"
#include "serial/StopFlag.h"

namespace flash {

int RunStation(const FlashOptions& options, const StopFlag& stopSignal);

} // namespace flash
