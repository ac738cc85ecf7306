// SPDX-License-Identifier: GPL-3.0-or-later
#include "station/PlugTracker.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QSerialPortInfo>
#include <memory>
#include <optional>

namespace station {

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
                                      const SerialOf& serialOf) {
    Look look;
    const qint64 now = m_now();
    for (const QString& port : present) {
        auto found = m_ports.find(port);
        if (found == m_ports.end()) {
            m_ports.insert(port, Board{serialOf(port)});
            look.arrived << port;
            continue;
        }
        Board& board = *found;
        if (board.droppedAt >= 0) {
            // Back after dropping the port right after passing: the same board restarting,
            // unless its serial number says otherwise.
            const QString serialNumber = serialOf(port);
            if (!serialNumber.isEmpty() && !board.serialNumber.isEmpty() &&
                serialNumber != board.serialNumber) {
                board = Board{serialNumber};
                look.arrived << port;
                continue;
            }
            look.restarted << port;
            board.passedAt = -1;
            board.droppedAt = -1;
        }
        board.missedLooks = 0;
    }
    for (auto it = m_ports.begin(); it != m_ports.end();) {
        Board& board = *it;
        if (present.contains(it.key())) {
            ++it;
            continue;
        }
        ++board.missedLooks;
        if (board.missedLooks == 1 && board.passedAt >= 0 &&
            now - board.passedAt < kRestartDropMs) {
            board.droppedAt = now;
        }
        const bool restarting = board.droppedAt >= 0 && now - board.droppedAt < kRestartGraceMs;
        // Gone means missed twice in a row, with no update under way and no restart awaited.
        if (board.missedLooks >= 2 && !busy(it.key()) && !restarting) {
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

PlugTracker::SerialOf UsbSerialNumbers() {
    auto byDevice = std::make_shared<std::optional<QMap<QString, QString>>>();
    return [byDevice](const QString& port) {
        if (!byDevice->has_value()) {
            QMap<QString, QString> numbers;
            for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
                numbers.insert(info.systemLocation(), info.serialNumber());
            }
            *byDevice = numbers;
        }
        return (*byDevice)->value(QFileInfo(port).canonicalFilePath());
    };
}

} // namespace station
