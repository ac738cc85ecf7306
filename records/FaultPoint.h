// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Places where the fault tests end the process at once (SIGKILL), to show that no record is
// lost or doubled whatever moment a station dies at: TAVREL_FAULT_POINT names the place.
// Without the variable nothing happens.

#include <QByteArray>
#include <csignal>
#include <cstdlib>

namespace records {

inline void HitFaultPoint(const char* place) {
    static const QByteArray chosen = qgetenv("TAVREL_FAULT_POINT");
    if (!chosen.isEmpty() && chosen == place) {
        std::raise(SIGKILL);
    }
}

} // namespace records
