// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Why a serial line could not do what it was asked: a code for the program and a text for the
// operator that says what happened and names the port.

#include "base/Result.h"

enum class LineErrorCode {
    NoSuchPort,
    PortInUse,
    PermissionDenied,
    InvalidSettings,
    OpenFailed,
    PortNotOpen,
    WriteFailed,
    PortLost,
    Interrupted, // the program was asked to stop while the line waited
    ModemLineRefused,
};
using LineError = Error<LineErrorCode>;
// What an operation on a line that hands nothing back returns: success, or why not.
using LineDone = Result<void, LineError>;
