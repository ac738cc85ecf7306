// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/CMscomm1.h"
#include "serial/LineFor.h"
#include "serial/PortResolver.h"

#include <QMetaObject>

CMscomm1::CMscomm1(QObject* parent) : QObject(parent) {
    m_settings = *ParseSerialSettings(m_settingsText);
}

CMscomm1::~CMscomm1() {
    ClosePort();
}

bool CMscomm1::get_PortOpen() const {
    return IsOpen();
}

void CMscomm1::put_PortOpen(bool open) {
    Q_EMIT PropertyWritten(QStringLiteral("PortOpen"),
                           open ? QStringLiteral("true") : QStringLiteral("false"));
    if (!open) {
        ClosePort();
        m_lost = false; // a loss not yet reported needs no report once the owner has closed
        return;
    }
    if (IsOpen()) {
        throw CommError(CommError::Kind::PortAlreadyOpen,
                        QStringLiteral("Port already open: %1 is open already.").arg(m_devicePath));
    }
    Open();
}

void CMscomm1::RequirePortClosed(const char* property) const {
    if (IsOpen()) {
        throw CommError(CommError::Kind::PortAlreadyOpen,
                        QStringLiteral("%1 cannot change while the port is open. Close the port "
                                       "first.")
                            .arg(QLatin1String(property)));
    }
}

void CMscomm1::RequireNotNegative(const char* property, short value) {
    if (value < 0) {
        throw CommError(CommError::Kind::InvalidValue,
                        QStringLiteral("Invalid %1 %2.").arg(QLatin1String(property)).arg(value));
    }
}

void CMscomm1::put_CommPort(short port) {
    Q_EMIT PropertyWritten(QStringLiteral("CommPort"), QString::number(port));
    RequirePortClosed("The port number");
    if (port < 1) {
        throw CommError(
            CommError::Kind::InvalidValue,
            QStringLiteral("Invalid port number %1. Select a port from com 1 up.").arg(port));
    }
    m_commPort = port;
}

void CMscomm1::put_InputMode(long mode) {
    Q_EMIT PropertyWritten(QStringLiteral("InputMode"), QString::number(mode));
    if (mode != 0 && mode != 1) {
        throw CommError(CommError::Kind::InvalidValue,
                        QStringLiteral("Invalid input mode %1: 0 (text) or 1 (binary).").arg(mode));
    }
    m_inputMode = mode;
}

void CMscomm1::put_Settings(const QString& settings) {
    Q_EMIT PropertyWritten(QStringLiteral("Settings"), settings);
    const std::optional<SerialSettings> parsed = ParseSerialSettings(settings);
    if (!parsed) {
        throw CommError(CommError::Kind::InvalidSettings, SettingsRefusal(settings));
    }
    if (IsOpen()) {
        // Settings may change while open, as on the original control.
        ServeLine([&] { return m_line->ChangeSettings(*parsed); });
    }
    m_settings = *parsed;
    m_settingsText = settings;
}

void CMscomm1::put_InputLen(short length) {
    Q_EMIT PropertyWritten(QStringLiteral("InputLen"), QString::number(length));
    RequireNotNegative("input length", length);
    m_inputLen = length;
}

void CMscomm1::put_RThreshold(short threshold) {
    Q_EMIT PropertyWritten(QStringLiteral("RThreshold"), QString::number(threshold));
    RequireNotNegative("receive threshold", threshold);
    m_rThreshold = threshold;
}

void CMscomm1::put_RTSEnable(bool enable) {
    Q_EMIT PropertyWritten(QStringLiteral("RTSEnable"),
                           enable ? QStringLiteral("true") : QStringLiteral("false"));
    m_rtsEnable = enable;
    // A pty, or a server's port, without modem lines: nothing to raise.
    if (IsOpen()) {
        ServeLine([&] {
            // A pty, or a server's port, without modem lines: nothing to raise.
            static_cast<void>(m_line->SetModemLine(ModemLine::Rts, enable));
            return LineDone{};
        });
    }
}

void CMscomm1::Open() {
    // A path given (a link, /dev/serial/by-id/...) is opened as it is; otherwise com N as mapped.
    const PortLookup lookup = ResolvePort(
        m_explicitDevice.isEmpty() ? QStringLiteral("com %1").arg(m_commPort) : m_explicitDevice,
        m_explicitSource);
    if (!lookup) {
        throw CommError(CommError::Kind::NoSuchPort, lookup.error().text);
    }
    m_devicePath = lookup->device;
    std::unique_ptr<Line> line = LineFor(*lookup);
    if (const LineDone opened = line->Open(*lookup, m_settings, m_rtsEnable); !opened) {
        throw CommError(opened.error());
    }
    const int readiness = line->ReadinessDescriptor();
    if (readiness < 0) {
        throw CommError(
            CommError::Kind::OpenFailed,
            QStringLiteral("Cannot open %1: its input cannot be waited for.").arg(m_devicePath));
    }
    m_line = std::move(line);
    m_input.clear();
    m_readiness = std::make_unique<QSocketNotifier>(readiness, QSocketNotifier::Read);
    connect(m_readiness.get(), &QSocketNotifier::activated, this, &CMscomm1::TakeInput);
    m_lost = false;
    m_commEvent = 0;
}

void CMscomm1::TakeInput() {
    if (!IsOpen() || m_lost) {
        return;
    }
    const qsizetype before = m_input.size();
    if (m_line->Read(m_input, 0) == Line::ReadResult::Lost) {
        // The line has closed itself; its descriptor is not waited on any more.
        m_readiness.reset();
        m_lost = true;
        RaiseLater();
    } else if (m_input.size() > before && !m_pulling) {
        // Never raised from inside the line's own notification: a handler may run a modal loop
        // (a message box) in which the device's next bytes must still arrive as events.
        RaiseLater();
    }
}

void CMscomm1::ClosePort() {
    m_readiness.reset(); // before the line closes the descriptor it watches
    if (m_line) {
        m_line->Close();
    }
    m_line.reset();
    m_input.clear();
}

void CMscomm1::put_Output(const QByteArray& bytes) {
    if (m_lost) {
        // The loss has not been reported yet: this is its one report.
        m_lost = false;
        ClosePort();
        throw CommError(CommError::Kind::PortLost,
                        QStringLiteral("The port %1 was lost. Check the cable and open the port "
                                       "again.")
                            .arg(m_devicePath));
    }
    if (!IsOpen()) {
        throw CommError(CommError::Kind::PortNotOpen,
                        QStringLiteral("Operation valid only when the port is open. Open the port "
                                       "first."));
    }
    // Straight to the driver, whole: the caller may block the thread right after this returns.
    ServeLine([&] { return m_line->Write(bytes, nullptr); });
}

template <typename Call> void CMscomm1::ServeLine(Call call) {
    if (const LineDone done = call(); !done) {
        if (!m_line->IsOpen()) {
            ClosePort(); // the line closed itself: this error is the one report of that
        }
        throw CommError(done.error());
    }
    TakeInput(); // what the line read meanwhile
}

void CMscomm1::Abandon() {
    m_readiness.reset();
    if (m_line) {
        m_line->Abandon();
    }
    ClosePort();
    m_lost = false;
}

QByteArray CMscomm1::get_Input() {
    if (!IsOpen()) {
        throw CommError(CommError::Kind::PortNotOpen,
                        QStringLiteral("Operation valid only when the port is open. Open the port "
                                       "first."));
    }
    const qsizetype taken =
        m_inputLen == 0 ? m_input.size() : std::min<qsizetype>(m_inputLen, m_input.size());
    const QByteArray input = m_input.left(taken);
    m_input.remove(0, taken);
    return input;
}

qint64 CMscomm1::get_InBufferCount() const {
    return Waiting();
}

void CMscomm1::DeliverPendingInput() {
    m_pulling = true;
    TakeInput();
    m_pulling = false;
    RaiseReceiveWhileTaken();
}

void CMscomm1::RaiseReceiveWhileTaken() {
    while (IsOpen() && m_rThreshold > 0 && Waiting() >= m_rThreshold) {
        const qint64 before = Waiting();
        m_commEvent = comEvReceive;
        Q_EMIT OnComm();
        if (Waiting() >= before) {
            return; // the handler took nothing: do not loop on it
        }
    }
}

void CMscomm1::RaiseReceive() {
    if (!IsOpen() || m_rThreshold == 0 || Waiting() < m_rThreshold) {
        return;
    }
    const qint64 before = Waiting();
    m_commEvent = comEvReceive;
    Q_EMIT OnComm();
    // More bytes waited than one Input takes: another event for the rest, since the line wakes
    // the control only for new bytes. Only when the handler took something, so that a handler that
    // reads nothing cannot make events loop.
    if (IsOpen() && Waiting() > 0 && Waiting() < before) {
        RaiseLater();
    }
}

void CMscomm1::RaiseLater() {
    if (m_raiseQueued) {
        return;
    }
    m_raiseQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_raiseQueued = false;
            if (m_lost) {
                RaiseReceiveWhileTaken(); // what came before the loss first
                RaisePortLost();
            } else {
                RaiseReceive();
            }
        },
        Qt::QueuedConnection);
}

void CMscomm1::RaisePortLost() {
    if (!m_lost) {
        return; // reported already, by Output or by an earlier event
    }
    ClosePort();
    m_lost = false; // one event per loss
    m_commEvent = comEventPortLost;
    Q_EMIT OnComm();
}
