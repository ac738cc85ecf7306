// SPDX-License-Identifier: GPL-3.0-or-later
#include "station/PlugTracker.h"

#include <QElapsedTimer>

namespace station {

namespace {

// Another board of the same kind: the same vendor and product, another serial number. A board
// that restarts may come back with its program's own product id or serial number; that is no
// sign of another board.
bool AnotherBoard(const UsbIdentity& before, const UsbIdentity& now) {
    return !before.serialNumber.isEmpty() && !now.serialNumber.isEmpty() &&
           before.serialNumber != now.serialNumber && before.vendorId == now.vendorId &&
           before.productId == now.productId;
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
            // unless its serial number says it is another.
            const UsbIdentity identity = identityOf(port);
            if (AnotherBoard(board.identity, identity)) {
                board = Board{identity, device, now};
                look.arrived << port;
                continue;
            }
            look.restarted << port;
            board.device = device; // it may come back as another node
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
