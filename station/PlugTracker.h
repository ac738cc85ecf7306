// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Tells a new board from one that restarts. Watch mode flashes each board once: a port that
// appears is a new board, and one that is gone (missed in two looks in a row, once no update
// runs on it) may come back as the next. Many USB boot loaders drop the port when they start
// their new program and come back moments later; such a board is the same board, not a new one,
// and flashing it again would send blocks to a program that never answers. So a port that drops
// within moments of passing and comes back soon after is taken for the same board when its USB
// serial number says so, or, without one, when its name leads to the same device node; that
// choice is reported, never silent.

#include "serial/UsbIdentity.h"

#include <QMap>
#include <QString>
#include <QStringList>
#include <functional>

namespace station {

class PlugTracker {
  public:
    static constexpr qint64 kRestartDropMs = 2000;   // last seen this soon after passing
    static constexpr qint64 kRestartGraceMs = 10000; // and back within this long: the same board

    // What one look at the ports found.
    struct Look {
        QStringList arrived;   // new boards, to be flashed
        QStringList gone;      // boards that have left
        QStringList restarted; // back after passing, taken for the same board restarting
    };
    using PortTest = std::function<bool(const QString& port)>;
    using IdentityOf = std::function<UsbIdentity(const QString& port)>;
    using DeviceOf = std::function<QString(const QString& port)>;

    // `nowMs` is a monotonic clock in milliseconds; by default the system's.
    explicit PlugTracker(std::function<qint64()> nowMs = {});

    // One look: `present` are the ports there now, `busy` says whether an update runs on a port
    // (a port is not missed while its update runs: it is counted from the update's end), and
    // `identityOf` gives a port's USB identity (empty where unknown), `deviceOf` the device node
    // its name leads to now: a name re-pointed to another device is a new board.
    Look Update(const QStringList& present, const PortTest& busy, const IdentityOf& identityOf,
                const DeviceOf& deviceOf = {});
    // The port's board passed just now.
    void Passed(const QString& port);
    // The port is looked at afresh on the next look, as if it had just appeared.
    void Forget(const QString& port) { m_ports.remove(port); }
    bool Tracked(const QString& port) const { return m_ports.contains(port); }

  private:
    struct Board {
        UsbIdentity identity; // as it arrived
        QString device;       // the device node its name led to when it arrived
        qint64 lastSeenAt = 0;
        int missedLooks = 0;
        qint64 passedAt = -1;
        qint64 droppedAt = -1; // dropped the port right after passing
    };
    std::function<qint64()> m_now;
    QMap<QString, Board> m_ports;
};

} // namespace station
