// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/LocalSerialLine.h"

#include "serial/LowLatency.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

LocalSerialLine::LocalSerialLine() : m_ready(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    // The port reads what arrives in the event loop; each time it tells of input, or that the
    // device is gone, a waiter on the readiness descriptor is woken to take it through Read.
    QObject::connect(&m_port, &QSerialPort::readyRead, &m_port, [this] { SignalReady(); });
    QObject::connect(
        &m_port, &QSerialPort::errorOccurred, &m_port, [this](QSerialPort::SerialPortError error) {
            if (error != QSerialPort::ResourceError && error != QSerialPort::ReadError) {
                return; // a setting refused, an error cleared: nothing arrived
            }
            if (PortGone()) {
                SignalReady();
                return;
            }
            // A read that found nothing, because a blocking wait took the bytes
            // first: the port stops watching the line on that, and must not.
            m_port.clearError();
            WatchInputAgain();
        });
}

LocalSerialLine::~LocalSerialLine() {
    Close();
    if (m_ready >= 0) {
        ::close(m_ready);
    }
}

void LocalSerialLine::SignalReady() {
    const eventfd_t one = 1;
    ::eventfd_write(m_ready, one);
}

void LocalSerialLine::QuietReady() {
    eventfd_t count = 0;
    ::eventfd_read(m_ready, &count); // non-blocking: nothing to take is no error
}

bool LocalSerialLine::PortGone() const {
    const QSerialPort::SerialPortError error = m_port.error();
    if (error != QSerialPort::ResourceError && error != QSerialPort::ReadError) {
        return false;
    }
    // The port reports a read that found nothing as a resource error too; only a line that hung
    // up or failed is gone.
    pollfd line{m_port.handle(), POLLIN, 0};
    return ::poll(&line, 1, 0) < 0 || (line.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

void LocalSerialLine::WatchInputAgain() {
    for (QSocketNotifier* notifier : m_port.findChildren<QSocketNotifier*>()) {
        if (notifier->type() == QSocketNotifier::Read) {
            notifier->setEnabled(true);
        }
    }
}

LineDone LocalSerialLine::Open(const ::Port& port, const SerialSettings& settings,
                               bool requestToSend) {
    Close();
    m_device = port.device;
    m_label = port.comNumber ? QStringLiteral("com %1 (%2)").arg(*port.comNumber).arg(m_device)
                             : m_device;
    m_settingsText = SettingsText(settings);
    m_baud = settings.baud;
    if (!QFileInfo::exists(m_device)) {
        return LineError{LineErrorCode::NoSuchPort,
                         port.comNumber
                             ? QStringLiteral("No such port: com %1 is %2 (from %3), and it does "
                                              "not exist. Check the cable and the device, or "
                                              "choose another port.")
                                   .arg(*port.comNumber)
                                   .arg(m_device, port.how)
                             : QStringLiteral("%1 does not exist. Check the cable and the device, "
                                              "or choose another port.")
                                   .arg(m_device)};
    }
    struct stat info {};
    if (::stat(QFile::encodeName(m_device).constData(), &info) == 0 && !S_ISCHR(info.st_mode)) {
        return LineError{LineErrorCode::OpenFailed,
                         QStringLiteral("Cannot open %1 (from %2): it is not a serial port (%3). "
                                        "Check that it names a serial port.")
                             .arg(m_label, port.how,
                                  S_ISREG(info.st_mode)   ? QStringLiteral("a regular file")
                                  : S_ISBLK(info.st_mode) ? QStringLiteral("a block device")
                                                          : QStringLiteral("not a device"))};
    }
    // The device itself, not the link that named it (/dev/serial/by-id/...): the lock file
    // that other programs look for is named after the device.
    const QString canonical = QFileInfo(m_device).canonicalFilePath();
    const QString device = canonical.isEmpty() ? m_device : canonical;
    m_port.setPortName(device);
    // One device, one user: root passes the driver's exclusive mode and a lock file can be
    // missed through another name, but a lock on the device itself holds for everyone. It is
    // taken before the port is set up, so that a second opener never changes the line under
    // the first one's update. (By its path: the port's own name drops the /dev/.)
    if (LineDone locked = LockDevice(QFile::encodeName(device)); !locked) {
        return locked;
    }
    m_port.setBaudRate(settings.baud);
    m_port.setParity(settings.parity);
    m_port.setDataBits(settings.dataBits);
    m_port.setStopBits(settings.stopBits);
    m_port.clearError();
    if (!m_port.open(QIODevice::ReadWrite)) {
        ReleaseDeviceLock();
        return OpenError(m_port.error());
    }
    // The line settings are applied by open; a driver that cannot run them reports it there
    // or leaves the port at another rate. Read them back to be sure.
    if (m_port.baudRate() != settings.baud && !m_port.setBaudRate(settings.baud)) {
        const QString reason = m_port.errorString();
        Close();
        return LineError{LineErrorCode::InvalidSettings,
                         QStringLiteral("%1: the port does not run at %2 baud (%3). Choose another "
                                        "baud rate.")
                             .arg(m_device)
                             .arg(settings.baud)
                             .arg(reason)};
    }
    // RTS as asked. A pseudo-terminal has no modem lines and refuses: that is no error.
    m_port.setRequestToSend(requestToSend);
    m_port.clearError();
    RequestLowLatency(m_port.handle());
    // What the device said before the port was opened answers nothing of ours: an old "ACK"
    // must not move the next update on.
    m_port.clear(QSerialPort::Input);
    return {};
}

LineDone LocalSerialLine::LockDevice(const QByteArray& device) {
    m_lockFd = ::open(device.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_lockFd < 0) {
        return {}; // the opening proper reports why it cannot open the device
    }
    if (!::isatty(m_lockFd)) {
        ReleaseDeviceLock();
        return LineError{LineErrorCode::OpenFailed,
                         QStringLiteral("Cannot open %1: it is a device, but not a serial port. "
                                        "Check that it names a serial port.")
                             .arg(m_label)};
    }
    // As root the kernel lets anyone share the port: a program that holds it is refused by name.
    // Our descriptor leaves the modem lines as the holder keeps them.
    // A program that opens a new port for a moment (ModemManager probing it) is waited out by
    // an update that can be stopped meanwhile; the window, which cannot, is answered at once.
    std::optional<DeviceHolder> holder = OtherProgramHolding(QFile::decodeName(device));
    const int graceMs = m_stop != nullptr ? kHolderGraceMs : 0;
    for (int wait = 0; holder && wait < graceMs / 100 && *m_stop == 0; ++wait) {
        ::usleep(100 * 1000);
        holder = OtherProgramHolding(QFile::decodeName(device));
    }
    if (holder) {
        ReleaseDeviceLock();
        return LineError{LineErrorCode::PortInUse,
                         QStringLiteral("%1 is in use by another program, %2 (PID %3). Close that "
                                        "program (a terminal, another flasher) and open the port "
                                        "again.")
                             .arg(m_label, holder->program.isEmpty() ? QStringLiteral("unnamed")
                                                                     : holder->program)
                             .arg(holder->pid)};
    }
    if (::flock(m_lockFd, LOCK_EX | LOCK_NB) != 0) {
        ReleaseDeviceLock();
        return LineError{LineErrorCode::PortInUse,
                         QStringLiteral("%1 is in use by another program. Close that program "
                                        "(a terminal, another flasher) and open the port again.")
                             .arg(m_label)};
    }
    return {};
}

void LocalSerialLine::ReleaseDeviceLock() {
    if (m_lockFd >= 0) {
        ::close(m_lockFd);
        m_lockFd = -1;
    }
}

LineError LocalSerialLine::OpenError(QSerialPort::SerialPortError error) {
    const QString reason = m_port.errorString();
    switch (error) {
    case QSerialPort::DeviceNotFoundError:
        return LineError{LineErrorCode::NoSuchPort,
                         QStringLiteral("No such port: %1 was not found. Check the cable and the "
                                        "device, or choose another port.")
                             .arg(m_label)};
    case QSerialPort::PermissionError: {
        // Both a busy port and a missing right are reported this way; tell them apart.
        if (::access(QFile::encodeName(m_device).constData(), R_OK | W_OK) != 0) {
            return LineError{LineErrorCode::PermissionDenied,
                             QStringLiteral("Permission denied on %1. Your user must be in the "
                                            "dialout group (sudo usermod -aG dialout $USER, then "
                                            "log in again).")
                                 .arg(m_label)};
        }
        return LineError{LineErrorCode::PortInUse,
                         QStringLiteral("%1 is in use by another program. Close that program "
                                        "(a terminal, another flasher) and open the port again.")
                             .arg(m_label)};
    }
    case QSerialPort::UnsupportedOperationError:
        return LineError{LineErrorCode::InvalidSettings,
                         QStringLiteral("%1 does not take the settings \"%2\": %3. Choose another "
                                        "baud rate or check that the device is a serial port.")
                             .arg(m_label, m_settingsText, reason)};
    default:
        return LineError{LineErrorCode::OpenFailed,
                         QStringLiteral("Cannot open %1: %2. Check that it is a serial port.")
                             .arg(m_label, reason)};
    }
}

LineDone LocalSerialLine::Write(QByteArrayView bytes, const StopFlag* stop) {
    if (!m_port.isOpen()) {
        return LineError{LineErrorCode::PortNotOpen,
                         QStringLiteral("Operation valid only when the port is open. Open the port "
                                        "first.")};
    }
    // Straight to the driver: the caller may block the thread right after this returns, so
    // nothing may wait for an event loop. The port's descriptor is non-blocking; when the
    // driver's buffer is full, wait for room, bounded by the line time of the bytes at the
    // chosen rate twice over plus five seconds.
    const qint64 lineMs = bytes.size() * 10 * 1000 / std::max<qint32>(m_baud, 1);
    const QDeadlineTimer deadline(5000 + 2 * lineMs);
    const int fd = m_port.handle();
    qsizetype done = 0;
    int error = 0;
    while (done < bytes.size()) {
        if (stop != nullptr && *stop != 0) {
            return LineError{LineErrorCode::Interrupted,
                             QStringLiteral("Writing to %1 was interrupted.").arg(m_device)};
        }
        const ssize_t n =
            ::write(fd, bytes.data() + done, static_cast<size_t>(bytes.size() - done));
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
        // This error is the one report of the loss.
        Close();
        return LineError{LineErrorCode::PortLost,
                         QStringLiteral("The port %1 was lost while writing. Check the cable and "
                                        "open the port again.")
                             .arg(m_device)};
    }
    if (done < bytes.size()) {
        return LineError{
            LineErrorCode::WriteFailed,
            QStringLiteral("Writing to %1 could not finish (%2 of %3 bytes still "
                           "waiting%4): the device does not take data. Check the cable "
                           "and the flow control.")
                .arg(m_device)
                .arg(bytes.size() - done)
                .arg(bytes.size())
                .arg(error != 0
                         ? QStringLiteral(", ") + QString::fromLocal8Bit(std::strerror(error))
                         : QString())};
    }
    return {};
}

Line::ReadResult LocalSerialLine::Read(QByteArray& into, int timeoutMs) {
    if (!m_port.isOpen()) {
        return ReadResult::Lost;
    }
    QuietReady();
    if (m_port.bytesAvailable() > 0 || m_port.waitForReadyRead(std::max(timeoutMs, 0))) {
        into += m_port.readAll();
        if (PortGone()) {
            SignalReady(); // the end, after these bytes, is the next read's to tell
        }
        return ReadResult::Data;
    }
    if (PortGone()) {
        Close();
        return ReadResult::Lost;
    }
    m_port.clearError();
    return ReadResult::Timeout;
}

LineDone LocalSerialLine::ChangeSettings(const SerialSettings& settings) {
    if (m_port.isOpen() &&
        (!m_port.setBaudRate(settings.baud) || !m_port.setParity(settings.parity) ||
         !m_port.setDataBits(settings.dataBits) || !m_port.setStopBits(settings.stopBits))) {
        const QString reason = m_port.errorString();
        m_port.clearError();
        return LineError{LineErrorCode::InvalidSettings,
                         QStringLiteral("%1 does not take the settings \"%2\": %3.")
                             .arg(m_device, SettingsText(settings), reason)};
    }
    m_baud = settings.baud; // the deadline of a write follows the rate
    return {};
}

void LocalSerialLine::Abandon() {
    if (m_port.isOpen()) {
        m_port.clear(QSerialPort::AllDirections);
    }
    Close();
}

void LocalSerialLine::Close() {
    if (m_port.isOpen()) {
        m_port.close();
    }
    ReleaseDeviceLock();
    QuietReady();
}

QString LocalSerialLine::Drive(ModemLine line, bool on) {
    if (!m_port.isOpen()) {
        return QStringLiteral("the port is closed");
    }
    const bool set = line == ModemLine::Dtr   ? m_port.setDataTerminalReady(on)
                     : line == ModemLine::Rts ? m_port.setRequestToSend(on)
                                              : m_port.setBreakEnabled(on);
    const QString why = set ? QString() : m_port.errorString();
    m_port.clearError();
    return set ? QString() : why.isEmpty() ? QStringLiteral("the driver refused it") : why;
}

LineDone LocalSerialLine::SetModemLine(ModemLine line, bool on) {
    if (const QString why = Drive(line, on); !why.isEmpty()) {
        return ModemLineRefusal(line, ModemAction(on), why);
    }
    return {};
}

LineDone LocalSerialLine::ProbeModemLine(ModemLine line) {
    // The break condition is off while nothing else is sent; a modem line stays as it is.
    const bool now = line == ModemLine::Dtr   ? m_port.isDataTerminalReady()
                     : line == ModemLine::Rts ? m_port.isRequestToSend()
                                              : false;
    m_port.clearError();
    QString why = Drive(line, now);
    if (why.isEmpty() && line == ModemLine::Break) {
        // A pseudo-terminal takes a break and ignores it: only a serial driver has the line.
        why = Drive(ModemLine::Dtr, m_port.isDataTerminalReady());
    }
    if (!why.isEmpty()) {
        return ModemLineRefusal(line, QStringLiteral("set"), why);
    }
    return {};
}

void Line::Pause(int milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

qint64 Line::NowNs() const {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
