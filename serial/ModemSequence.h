// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Modem-line steps run on an opened port, to drive a fixture's reset and boot pins: "dtr",
// "-dtr", "rts", "-rts", "break", "-break" and "wait:MS", comma-separated, or a named sequence
// for a common wiring.

#include "base/ConfigError.h"
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

// The steps `text` names, or why it names none.
Result<ModemSequence, ConfigError> ParseModemSequence(const QString& text);
// The named sequences and their steps, a line each, for --help.
QString NamedSequencesHelp();
// Runs the steps, or says why the first that could not be was refused.
// A stop (`*stop` set) ends it at once, waits included: the caller tells the stop.
LineDone RunModemSequence(Line& line, const ModemSequence& steps, const StopFlag* stop = nullptr);
