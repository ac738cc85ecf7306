// SPDX-License-Identifier: GPL-3.0-or-later
#include "station/PlugTracker.h"

#include <QElapsedTimer>

namespace station {

namespace {

// Whether two appearances under one name are one board: their USB serial numbers say so where
// both have one; without, only the same device node is the same board. A link re-pointed to
// another device, or a board of another serial number, is a new board to flash.
bool SameBoard(const UsbIdentity& before, const QString& beforeDevice, const UsbIdentity& now,
               const QString& nowDevice) {
    if (!before.serialNumber.isEmpty() && !now.serialNumber.isEmpty()) {
        return before.serialNumber == now.serialNumber;
    }
    return !beforeDevice.isEmpty() && beforeDevice == nowDevice;
}

} // namespace

PlugTracker::PlugTracker(std::function<qint64()> nowMs) : m_now(std::move(nowMs)) {
    if (!m_now) {
        m_now = [] {
            QElapsedTimer clock;
            clock.start();
            return clock.msecsSinceReference();
        };
    }
}

PlugTracker::Look PlugTracker::Update(const QStringList& present, const PortTest& busy,
                                      const IdentityOf& identityOf, const DeviceOf& deviceOf) {
    Look look;
    const qint64 now = m_now();
    for (const QString& port : present) {
        const QString device = deviceOf ? deviceOf(port) : QString();
        auto found = m_ports.find(port);
        if (found == m_ports.end()) {
            m_ports.insert(port, Board{identityOf(port), device, now});
            look.arrived << port;
            continue;
        }
        Board& board = *found;
        if (board.droppedAt < 0 && !board.device.isEmpty() && !device.isEmpty() &&
            device != board.device && !busy(port)) {
            // The same name now leads to another device: another board was plugged in its place.
            board = Board{identityOf(port), device, now};
            look.arrived << port;
            continue;
        }
        if (board.droppedAt >= 0) {
            // Back after dropping the port right after passing: the same board restarting,
            // when its serial number or its device node says so.
            const UsbIdentity identity = identityOf(port);
            if (!SameBoard(board.identity, board.device, identity, device)) {
                board = Board{identity, device, now};
                look.arrived << port;
                continue;
            }
            look.restarted << port;
            board.device = device; // with its serial number, it may come back as another node
            board.passedAt = -1;
            board.droppedAt = -1;
        }
        board.missedLooks = 0;
        board.lastSeenAt = now;
    }
    for (auto it = m_ports.begin(); it != m_ports.end();) {
        Board& board = *it;
        if (present.contains(it.key()) || busy(it.key())) {
            ++it;
            continue;
        }
        ++board.missedLooks;
        if (board.missedLooks == 1 && board.passedAt >= 0 &&
            board.lastSeenAt - board.passedAt < kRestartDropMs) {
            board.droppedAt = now;
        }
        const bool restarting = board.droppedAt >= 0 && now - board.droppedAt < kRestartGraceMs;
        // Gone means missed twice in a row, with no restart awaited.
        if (board.missedLooks >= 2 && !restarting) {
            look.gone << it.key();
            it = m_ports.erase(it);
        } else {
            ++it;
        }
    }
    return look;
}

void PlugTracker::Passed(const QString& port) {
    if (auto found = m_ports.find(port); found != m_ports.end()) {
        found->passedAt = m_now();
        if (found->missedLooks > 0) {
            found->droppedAt = found->passedAt; // gone already: told of the pass after the drop
        }
    }
}

} // namespace station
