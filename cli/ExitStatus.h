// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// tavrel-flash's exit statuses, as its --help and the README document them, and the one rule
// that makes them of how an update ended.

#include "serial/StopFlag.h"
#include "station/RunReport.h"

#include <csignal>

namespace flash {

enum ExitCode : int {
    kExitOk = 0,
    kExitUsage = 1,
    kExitImage = 2,
    kExitPort = 3,
    kExitNoAck = 4,
    kExitPortLost = 5,
    kExitSomeFailed = 6,    // several ports: at least one of them failed
    kExitNotStarted = 7,    // the new program did not say what --expect asked for
    kExitInterrupted = 130, // 128 + SIGINT; SIGTERM gives 143
};

// A stopped run's status: 128 + the signal, as a shell reports it (SIGTERM for the operator).
inline int StoppedExitCode(int stop) {
    return 128 + (stop == kStopByOperator ? SIGTERM : stop);
}

inline int ExitCodeOf(const station::Ending& ending) {
    using station::Failure;
    switch (ending.failure) {
    case Failure::None:
        return kExitOk;
    case Failure::Output:
    case Failure::Refused:
        return kExitUsage;
    case Failure::Image:
        return kExitImage;
    case Failure::Port:
        return kExitPort;
    case Failure::NoAck:
        return kExitNoAck;
    case Failure::PortLost:
        return kExitPortLost;
    case Failure::Silent:
        return kExitNotStarted;
    case Failure::Stopped:
        break;
    }
    return StoppedExitCode(ending.stop);
}

} // namespace flash
