// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/InMemoryLine.h"

#include <utility>

LineDone InMemoryLine::Open(const Port& port, const SerialSettings&, bool) {
    m_device = port.device;
    if (m_refuseOpen) {
        return LineError{m_openRefusal, QStringLiteral("%1 is refused by the test").arg(m_device)};
    }
    m_open = true;
    if (m_hungUp) {
        // The device is back, as a USB boot loader's new program comes back after the switch.
        m_hungUp = false;
        m_waiting = std::exchange(m_onReopen, {});
    }
    return {};
}

LineDone InMemoryLine::Write(QByteArrayView bytes, const StopFlag* stop) {
    if (stop != nullptr && *stop != 0) {
        return LineError{LineErrorCode::Interrupted, QStringLiteral("interrupted")};
    }
    if (!m_open) {
        return LineError{LineErrorCode::PortLost, QStringLiteral("the line is gone")};
    }
    const QByteArray packet = bytes.toByteArray();
    written->append(packet);
    const Answer answer = m_script(int(written->size()) - 1, packet);
    m_waiting += answer.bytes;
    m_hungUp = m_hungUp || answer.hangUp;
    m_onReopen += answer.onReopen;
    return {};
}

Line::ReadResult InMemoryLine::Read(QByteArray& into, int timeoutMs) {
    if (!m_waiting.isEmpty()) {
        into += std::exchange(m_waiting, {});
        return ReadResult::Data;
    }
    if (m_hungUp) {
        m_open = false;
        return ReadResult::Lost;
    }
    m_nowNs += std::max(timeoutMs, 1) * qint64(1'000'000); // silent for the whole read
    return ReadResult::Timeout;
}

LineDone InMemoryLine::SetModemLine(ModemLine line, bool on) {
    const char* name = line == ModemLine::Dtr ? "dtr" : line == ModemLine::Rts ? "rts" : "break";
    *modemSteps << QStringLiteral("%1%2@%3")
                       .arg(on ? "" : "-", QLatin1String(name))
                       .arg(m_nowNs / 1'000'000);
    return {};
}
