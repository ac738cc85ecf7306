// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The transport a port's name calls for: a network line for rfc2217:// and socket:// names, the
// local serial port for every other name.

#include "serial/Line.h"

#include <memory>

std::unique_ptr<Line> LineFor(const QString& portName);
