// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Modem-line steps run on an opened port, to drive a fixture's reset and boot pins: "dtr",
// "-dtr", "rts", "-rts", "break", "-break" and "wait:MS", comma-separated, or a named sequence
// for a common wiring.

#include "serial/Line.h"

#include <QList>
#include <QString>
#include <optional>

struct ModemStep {
    std::optional<ModemLine> line; // none: a wait
    bool on = false;
    int waitMs = 0;
};
using ModemSequence = QList<ModemStep>;

// The steps `text` names, or nothing and why.
std::optional<ModemSequence> ParseModemSequence(const QString& text, QString* error);
// Runs the steps; empty when all were done, else why the first that could not be was refused.
// A stop (`*stop` set) ends it at once, waits included: the caller tells the stop.
QString RunModemSequence(Line& line, const ModemSequence& steps, const StopFlag* stop = nullptr);
