// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/CMscomm1.h"
#include "serial/LowLatency.h"
#include "serial/PortMapping.h"
#include "serial/PortResolver.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QMetaObject>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

CMscomm1::CMscomm1(QObject* parent) : QObject(parent) {
    m_settings = *ParseSerialSettings(m_settingsText);
    connect(&m_port, &QSerialPort::readyRead, this, &CMscomm1::OnReadyRead);
    connect(&m_port, &QSerialPort::errorOccurred, this, &CMscomm1::OnPortError);
}

CMscomm1::~CMscomm1() {
    ClosePort();
}

bool CMscomm1::get_PortOpen() const {
    return m_port.isOpen();
}

void CMscomm1::put_PortOpen(bool open) {
    Q_EMIT PropertyWritten(QStringLiteral("PortOpen"),
                           open ? QStringLiteral("true") : QStringLiteral("false"));
    if (!open) {
        ClosePort();
        m_lost = false; // a loss not yet reported needs no report once the owner has closed
        return;
    }
    if (m_port.isOpen()) {
        throw CommError(CommError::Kind::PortAlreadyOpen,
                        QStringLiteral("Port already open: %1 is open already.").arg(m_devicePath));
    }
    Open();
}

void CMscomm1::RequirePortClosed(const char* property) const {
    if (m_port.isOpen()) {
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
    const QString baudText = settings.section(QLatin1Char(','), 0, 0).trimmed();
    if (!parsed &&
        ParseSerialSettings(
            settings.section(QLatin1Char(','), 1).prepend(QStringLiteral("115200,"))) &&
        !baudText.isEmpty() && !baudText.startsWith(QLatin1Char('+')) &&
        baudText.toULongLong() > 0) {
        // Only the rate is wrong: a whole number that no port runs.
        throw CommError(CommError::Kind::InvalidSettings,
                        QStringLiteral("Invalid settings \"%1\": the port does not run at %2 "
                                       "baud. Choose another baud rate.")
                            .arg(settings, baudText));
    }
    if (!parsed) {
        throw CommError(
            CommError::Kind::InvalidSettings,
            QStringLiteral("Invalid settings \"%1\". Give baud,parity,data bits,stop "
                           "bits, for example \"115200,n,8,1\" (parity n, e, o, m or s; "
                           "5 to 8 data bits; 1, 1.5 or 2 stop bits).")
                .arg(settings));
    }
    if (m_port.isOpen()) {
        // Settings may change while open, as on the original control.
        if (!m_port.setBaudRate(parsed->baud) || !m_port.setParity(parsed->parity) ||
            !m_port.setDataBits(parsed->dataBits) || !m_port.setStopBits(parsed->stopBits)) {
            throw CommError(CommError::Kind::InvalidSettings,
                            QStringLiteral("%1 does not take the settings \"%2\": %3.")
                                .arg(m_devicePath, settings, m_port.errorString()));
        }
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
    if (m_port.isOpen()) {
        m_port.setRequestToSend(enable); // a pty has no modem lines: nothing to raise there
    }
}

void CMscomm1::Open() {
    // A path given (a link, /dev/serial/by-id/...) is opened as it is; otherwise com N as mapped.
    const PortLookup lookup = m_explicitDevice.isEmpty()
                                  ? ResolvePort(QStringLiteral("com %1").arg(m_commPort))
                                  : ResolvePort(m_explicitDevice, m_explicitSource);
    if (!lookup.port) {
        throw CommError(CommError::Kind::NoSuchPort, lookup.error);
    }
    const ResolvedPort& port = *lookup.port;
    m_devicePath = port.device;
    if (!QFileInfo::exists(m_devicePath)) {
        throw CommError(CommError::Kind::NoSuchPort,
                        m_explicitDevice.isEmpty()
                            ? QStringLiteral("No such port: com %1 is %2 (from %3), and it does "
                                             "not exist. Check the cable and the device, or "
                                             "choose another port.")
                                  .arg(m_commPort)
                                  .arg(m_devicePath, port.how)
                            : QStringLiteral("%1 does not exist. Check the cable and the device, "
                                             "or choose another port.")
                                  .arg(m_devicePath));
    }
    struct stat info {};
    if (::stat(m_devicePath.toLocal8Bit().constData(), &info) == 0 && !S_ISCHR(info.st_mode)) {
        throw CommError(CommError::Kind::OpenFailed,
                        QStringLiteral("Cannot open %1 (from %2): it is not a serial port (%3). "
                                       "Check that it names a serial port.")
                            .arg(PortLabel(), port.how,
                                 S_ISREG(info.st_mode)   ? QStringLiteral("a regular file")
                                 : S_ISBLK(info.st_mode) ? QStringLiteral("a block device")
                                                         : QStringLiteral("not a device")));
    }
    // The device itself, not the link that named it (/dev/serial/by-id/...): the lock file
    // that other programs look for is named after the device.
    const QString canonical = QFileInfo(m_devicePath).canonicalFilePath();
    const QString device = canonical.isEmpty() ? m_devicePath : canonical;
    m_port.setPortName(device);
    // One device, one user: root passes the driver's exclusive mode and a lock file can be
    // missed through another name, but a lock on the device itself holds for everyone. It is
    // taken before the port is set up, so that a second opener never changes the line under
    // the first one's update.
    // (By its path: the port's own name drops the /dev/ that the lock needs.)
    LockDevice(QFile::encodeName(device));
    m_port.setBaudRate(m_settings.baud);
    m_port.setParity(m_settings.parity);
    m_port.setDataBits(m_settings.dataBits);
    m_port.setStopBits(m_settings.stopBits);
    m_port.clearError();
    if (!m_port.open(QIODevice::ReadWrite)) {
        ReleaseDeviceLock();
        ThrowOpenError(m_port.error());
    }

    // The line settings are applied by open; a driver that cannot run them reports it there
    // or leaves the port at another rate. Read them back to be sure.
    if (m_port.baudRate() != m_settings.baud && !m_port.setBaudRate(m_settings.baud)) {
        const QString reason = m_port.errorString();
        ClosePort();
        throw CommError(CommError::Kind::InvalidSettings,
                        QStringLiteral("%1: the port does not run at %2 baud (%3). Choose another "
                                       "baud rate.")
                            .arg(m_devicePath)
                            .arg(m_settings.baud)
                            .arg(reason));
    }
    m_lost = false;
    m_commEvent = 0;
    // RTS as asked. A pseudo-terminal has no modem lines and refuses: that is no error.
    m_port.setRequestToSend(m_rtsEnable);
    m_port.clearError();
    RequestLowLatency(m_port.handle());
    // What the device said before the port was opened answers nothing of ours: an old "ACK"
    // must not move the next update on.
    m_port.clear(QSerialPort::Input);
}

void CMscomm1::LockDevice(const QByteArray& device) {
    m_lockFd = ::open(device.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_lockFd < 0) {
        return; // the opening proper reports why it cannot open the device
    }
    if (!::isatty(m_lockFd)) {
        ReleaseDeviceLock();
        throw CommError(CommError::Kind::OpenFailed,
                        QStringLiteral("Cannot open %1: it is a device, but not a serial port. "
                                       "Check that it names a serial port.")
                            .arg(PortLabel()));
    }
    if (::flock(m_lockFd, LOCK_EX | LOCK_NB) != 0) {
        ReleaseDeviceLock();
        throw CommError(CommError::Kind::PortInUse,
                        QStringLiteral("%1 is in use by another program. Close that program "
                                       "(a terminal, another flasher) and open the port again.")
                            .arg(PortLabel()));
    }
}

void CMscomm1::ReleaseDeviceLock() {
    if (m_lockFd >= 0) {
        ::close(m_lockFd);
        m_lockFd = -1;
    }
}

void CMscomm1::ClosePort() {
    if (m_port.isOpen()) {
        m_port.close();
    }
    ReleaseDeviceLock();
}

QString CMscomm1::PortLabel() const {
    return m_explicitDevice.isEmpty()
               ? QStringLiteral("com %1 (%2)").arg(m_commPort).arg(m_devicePath)
               : m_devicePath;
}

void CMscomm1::ThrowOpenError(QSerialPort::SerialPortError error) {
    const QString reason = m_port.errorString();
    const QString name = PortLabel();
    switch (error) {
    case QSerialPort::DeviceNotFoundError:
        throw CommError(CommError::Kind::NoSuchPort,
                        QStringLiteral("No such port: %1 was not found. Check the cable and the "
                                       "device, or choose another port.")
                            .arg(name));
    case QSerialPort::PermissionError: {
        // Both a busy port and a missing right are reported this way; tell them apart.
        const QByteArray path = m_devicePath.toLocal8Bit();
        if (::access(path.constData(), R_OK | W_OK) != 0) {
            throw CommError(CommError::Kind::PermissionDenied,
                            QStringLiteral("Permission denied on %1. Your user must be in the "
                                           "dialout group (sudo usermod -aG dialout $USER, then "
                                           "log in again).")
                                .arg(name));
        }
        throw CommError(CommError::Kind::PortInUse,
                        QStringLiteral("%1 is in use by another program. Close that program "
                                       "(a terminal, another flasher) and open the port again.")
                            .arg(name));
    }
    case QSerialPort::UnsupportedOperationError:
        throw CommError(CommError::Kind::InvalidSettings,
                        QStringLiteral("%1 does not take the settings \"%2\": %3. Choose another "
                                       "baud rate or check that the device is a serial port.")
                            .arg(name, m_settingsText, reason));
    default:
        throw CommError(CommError::Kind::OpenFailed,
                        QStringLiteral("Cannot open %1: %2. Check that it is a serial port.")
                            .arg(name, reason));
    }
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
    if (!m_port.isOpen()) {
        throw CommError(CommError::Kind::PortNotOpen,
                        QStringLiteral("Operation valid only when the port is open. Open the port "
                                       "first."));
    }
    // Straight to the driver: the caller may block the thread right after this returns, so
    // nothing may wait for the event loop. The port's descriptor is non-blocking; when the
    // driver's buffer is full, wait for room, bounded by the line time of the bytes at the
    // chosen rate twice over plus five seconds.
    const qint64 lineMs = bytes.size() * 10 * 1000 / std::max<qint32>(m_settings.baud, 1);
    const QDeadlineTimer deadline(5000 + 2 * lineMs);
    const int fd = m_port.handle();
    qsizetype done = 0;
    int error = 0;
    while (done < bytes.size()) {
        if (m_stopFlag != nullptr && *m_stopFlag != 0) {
            throw CommError(CommError::Kind::Interrupted,
                            QStringLiteral("Writing to %1 was interrupted.").arg(m_devicePath));
        }
        const ssize_t n =
            ::write(fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN) {
            error = errno;
            break;
        }
        if (deadline.hasExpired()) {
            break;
        }
        pollfd room{fd, POLLOUT, 0};
        ::poll(&room, 1, static_cast<int>(std::min<qint64>(deadline.remainingTime(), 20)));
    }
    if (error == EIO || error == ENXIO || error == ENODEV) {
        // This error is the one report of the loss: no port-lost event follows it.
        ClosePort();
        throw CommError(CommError::Kind::PortLost,
                        QStringLiteral("The port %1 was lost while writing. Check the cable and "
                                       "open the port again.")
                            .arg(m_devicePath));
    }
    if (done < bytes.size()) {
        throw CommError(CommError::Kind::WriteFailed,
                        QStringLiteral("Writing to %1 could not finish (%2 of %3 bytes still "
                                       "waiting%4): the device does not take data. Check the cable "
                                       "and the flow control.")
                            .arg(m_devicePath)
                            .arg(bytes.size() - done)
                            .arg(bytes.size())
                            .arg(error != 0 ? QStringLiteral(", ") +
                                                  QString::fromLocal8Bit(std::strerror(error))
                                            : QString()));
    }
}

void CMscomm1::Abandon() {
    if (m_port.isOpen()) {
        m_port.clear(QSerialPort::AllDirections);
    }
    ClosePort();
    m_lost = false;
}

QByteArray CMscomm1::get_Input() {
    if (!m_port.isOpen()) {
        throw CommError(CommError::Kind::PortNotOpen,
                        QStringLiteral("Operation valid only when the port is open. Open the port "
                                       "first."));
    }
    return m_inputLen == 0 ? m_port.readAll() : m_port.read(m_inputLen);
}

qint64 CMscomm1::get_InBufferCount() const {
    return m_port.isOpen() ? m_port.bytesAvailable() : 0;
}

bool CMscomm1::WaitForInput(int msecs) {
    if (m_port.isOpen() && m_port.bytesAvailable() > 0) {
        RaiseReceive();
        return true;
    }
    bool arrived = false;
    if (m_port.isOpen() && !m_lost) {
        m_pulling = true;
        arrived = m_port.waitForReadyRead(msecs);
        m_pulling = false;
    }
    if (arrived) {
        RaiseReceive();
        return true;
    }
    if (m_lost) {
        RaiseReceiveWhileTaken(); // what came before the loss first
        RaisePortLost();
    }
    return false;
}

void CMscomm1::PullFromDriver() {
    if (!m_port.isOpen() || m_lost) {
        return;
    }
    pollfd input{m_port.handle(), POLLIN, 0};
    if (::poll(&input, 1, 0) > 0) {
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
    while (m_port.isOpen() && m_rThreshold > 0 && m_port.bytesAvailable() >= m_rThreshold) {
        const qint64 before = m_port.bytesAvailable();
        m_commEvent = comEvReceive;
        Q_EMIT OnComm();
        if (m_port.bytesAvailable() >= before) {
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
    if (!m_port.isOpen() || m_rThreshold == 0 || m_port.bytesAvailable() < m_rThreshold) {
        return;
    }
    const qint64 before = m_port.bytesAvailable();
    m_commEvent = comEvReceive;
    Q_EMIT OnComm();
    // More bytes waited than one Input takes: another event for the rest, since readyRead
    // comes only with new bytes. Only when the handler took something, so that a handler that
    // reads nothing cannot make events loop.
    if (m_port.isOpen() && m_port.bytesAvailable() > 0 && m_port.bytesAvailable() < before) {
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
    if (m_port.isOpen()) {
        ClosePort();
    }
    m_lost = false; // one event per loss
    m_commEvent = comEventPortLost;
    Q_EMIT OnComm();
}
