// SPDX-License-Identifier: GPL-3.0-or-later
#include "station/RunReport.h"

#include "serial/StopFlag.h"

#include <csignal>
#include <cstring>

namespace station {

QString FailureName(Failure failure) {
    switch (failure) {
    case Failure::None:
        return {};
    case Failure::Output:
        return QStringLiteral("output");
    case Failure::Image:
        return QStringLiteral("image");
    case Failure::Port:
        return QStringLiteral("port");
    case Failure::NoAck:
        return QStringLiteral("no_ack");
    case Failure::PortLost:
        return QStringLiteral("port_lost");
    case Failure::Silent:
        return QStringLiteral("not_started");
    case Failure::Refused:
        return QStringLiteral("refused");
    case Failure::Stopped:
        break;
    }
    return QStringLiteral("stopped");
}

QString StopName(int stop) {
    if (stop == kStopByOperator) {
        return QStringLiteral("operator");
    }
    return QString::fromLatin1(sigabbrev_np(stop) ? sigabbrev_np(stop) : "?").prepend("SIG");
}

QString StopCause(int stop) {
    switch (stop) {
    case kStopByOperator:
        return QStringLiteral("the operator");
    case SIGINT:
        return QStringLiteral("Ctrl-C (SIGINT)");
    case SIGHUP:
        return QStringLiteral("SIGHUP (the terminal closed)");
    default:
        return StopName(stop);
    }
}

} // namespace station
