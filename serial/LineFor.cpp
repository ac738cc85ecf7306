// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/LineFor.h"

#include "serial/LocalSerialLine.h"
#include "serial/NetworkLine.h"

std::unique_ptr<Line> LineFor(const Port& port) {
    if (port.IsNetwork()) {
        return std::make_unique<NetworkLine>();
    }
    return std::make_unique<LocalSerialLine>();
}
