// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A tavrel-flash run: one port, several, every port or watching for ports, all alike. The
// image is read once; the station's controller runs one update per port at once and the run's
// printer shows what it tells; the exit status is made of how the ports ended.

#include "cli/FlashOptions.h"
#include "serial/StopFlag.h"

namespace flash {

// `defaultsTold`: where the values the command line did not give came from, said with -v.
int RunFlash(const FlashOptions& options, StopFlag& stopSignal,
             const QStringList& defaultsTold = {});

} // namespace flash
