// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The one factory of lines: the transport a port's kind calls for, a network line for a port on a
// serial server, the local serial port for every other.

#include "serial/Line.h"

#include <memory>

std::unique_ptr<Line> LineFor(const Port& port);
