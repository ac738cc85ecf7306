// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/CMscomm1.h"
#include "serial/NetworkAddress.h"
#include "serial/PortMapping.h"
#include "serial/PortResolver.h"

#include <QMetaObject>

CMscomm1::CMscomm1(QObject* parent) : QObject(parent) {
    m_settings = *ParseSerialSettings(m_settingsText);
    connect(&m_port, &QSerialPort::readyRead, this, &CMscomm1::OnReadyRead);
    connect(&m_port, &QSerialPort::errorOccurred, this, &CMscomm1::OnPortError);
}

CMscomm1::~CMscomm1() {
    ClosePort();
}

bool CMscomm1::get_PortOpen() const {
    return IsOpen();
}

bool CMscomm1::IsOpen() const {
    return m_net ? m_net->IsOpen() : m_port.isOpen();
}

qint64 CMscomm1::Waiting() const {
    return m_net ? m_netInput.size() : m_port.isOpen() ? m_port.bytesAvailable() : 0;
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
    if (m_net && m_net->IsOpen()) {
        m_net->ChangeSettings(*parsed); // the server's port, through RFC 2217
        OnNetworkInput();               // what the line read meanwhile
    } else if (m_port.isOpen()) {
        // Settings may change while open, as on the original control.
        if (!m_port.setBaudRate(parsed->baud) || !m_port.setParity(parsed->parity) ||
            !m_port.setDataBits(parsed->dataBits) || !m_port.setStopBits(parsed->stopBits)) {
            throw CommError(CommError::Kind::InvalidSettings,
                            QStringLiteral("%1 does not take the settings \"%2\": %3.")
                                .arg(m_devicePath, settings, m_port.errorString()));
        }
        m_line.SetBaud(parsed->baud); // the deadline of a write follows the rate
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
    if (m_net) {
        m_net->SetModemLine(ModemLine::Rts, enable);
        OnNetworkInput(); // what the line read meanwhile
    } else {
        m_line.SetModemLine(ModemLine::Rts, enable);
    }
}

void CMscomm1::Open() {
    // A path given (a link, /dev/serial/by-id/...) is opened as it is; otherwise com N as mapped.
    const PortLookup lookup = ResolvePort(
        m_explicitDevice.isEmpty() ? QStringLiteral("com %1").arg(m_commPort) : m_explicitDevice,
        m_explicitSource);
    if (!lookup.port) {
        throw CommError(CommError::Kind::NoSuchPort, lookup.error);
    }
    m_devicePath = lookup.port->device;
    if (lookup.port->IsNetwork()) {
        OpenNetwork(*lookup.port);
    } else {
        m_line.Open(*lookup.port, m_settings, m_rtsEnable);
    }
    m_lost = false;
    m_commEvent = 0;
}

void CMscomm1::OpenNetwork(const Port& port) {
    auto line = std::make_unique<NetworkLine>();
    line->Open(port, m_settings, m_rtsEnable);
    const int socket = line->SocketDescriptor();
    if (socket < 0) {
        throw CommError(
            CommError::Kind::OpenFailed,
            QStringLiteral("Cannot open %1: its connection cannot be watched.").arg(port.device));
    }
    m_net = std::move(line);
    m_netInput.clear();
    // The socket is only watched here: the line reads it, and what it brought raises OnComm as
    // a local port's readyRead does.
    m_netNotifier = std::make_unique<QSocketNotifier>(socket, QSocketNotifier::Read);
    connect(m_netNotifier.get(), &QSocketNotifier::activated, this, &CMscomm1::OnNetworkInput);
}

void CMscomm1::OnNetworkInput() {
    if (!m_net || m_lost) {
        return;
    }
    const qsizetype before = m_netInput.size();
    if (m_net->Read(m_netInput, 0) == Line::ReadResult::Lost) {
        m_netNotifier.reset();
        m_lost = true;
        RaiseLater();
    } else if (m_netInput.size() > before && !m_pulling) {
        RaiseLater();
    }
}

void CMscomm1::ClosePort() {
    m_netNotifier.reset();
    m_net.reset();
    m_netInput.clear();
    m_line.Close();
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
    if (m_net) {
        m_net->Write(bytes, nullptr);
        OnNetworkInput(); // what the line read meanwhile
    } else {
        m_line.Write(bytes, nullptr);
    }
}

void CMscomm1::Abandon() {
    if (m_net) {
        m_net->Abandon();
        ClosePort();
    } else {
        m_line.Abandon();
    }
    m_lost = false;
}

QByteArray CMscomm1::get_Input() {
    if (!IsOpen()) {
        throw CommError(CommError::Kind::PortNotOpen,
                        QStringLiteral("Operation valid only when the port is open. Open the port "
                                       "first."));
    }
    if (m_net) {
        const qsizetype taken = m_inputLen == 0
                                    ? m_netInput.size()
                                    : std::min<qsizetype>(m_inputLen, m_netInput.size());
        const QByteArray input = m_netInput.left(taken);
        m_netInput.remove(0, taken);
        return input;
    }
    return m_inputLen == 0 ? m_port.readAll() : m_port.read(m_inputLen);
}

qint64 CMscomm1::get_InBufferCount() const {
    return Waiting();
}

void CMscomm1::PullFromDriver() {
    if (!IsOpen() || m_lost) {
        return;
    }
    if (m_net) {
        m_pulling = true;
        OnNetworkInput();
        m_pulling = false;
        return;
    }
    if (m_line.DriverHasInput()) {
        m_pulling = true;
        m_port.waitForReadyRead(0); // reads what the driver holds into the port's buffer
        m_pulling = false;
    }
}

void CMscomm1::DeliverPendingInput() {
    PullFromDriver();
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

void CMscomm1::OnReadyRead() {
    // Never raised from inside the port's own notification: the port announces no further
    // bytes until that returns, and a handler may run a modal loop (a message box) in which
    // the device's next bytes must still arrive as events of their own.
    if (!m_pulling) {
        RaiseLater();
    }
}

void CMscomm1::RaiseReceive() {
    if (!IsOpen() || m_rThreshold == 0 || Waiting() < m_rThreshold) {
        return;
    }
    const qint64 before = Waiting();
    m_commEvent = comEvReceive;
    Q_EMIT OnComm();
    // More bytes waited than one Input takes: another event for the rest, since readyRead
    // comes only with new bytes. Only when the handler took something, so that a handler that
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

void CMscomm1::OnPortError(QSerialPort::SerialPortError error) {
    // A hung-up line reads as end of file or EIO; Qt reports that as a read or resource
    // error. Either way the port cannot be used any more.
    if ((error != QSerialPort::ResourceError && error != QSerialPort::ReadError) || m_lost ||
        !m_port.isOpen()) {
        return;
    }
    // The device is gone. Tell the owner once, from the event loop rather than from inside the
    // port's own notification, after the bytes that came before the loss; the port closes then.
    m_lost = true;
    RaiseLater();
}

void CMscomm1::RaisePortLost() {
    if (!m_lost) {
        return; // reported already, by Output or by an earlier event
    }
    if (IsOpen() || m_net) {
        ClosePort();
    }
    m_lost = false; // one event per loss
    m_commEvent = comEventPortLost;
    Q_EMIT OnComm();
}
