#include "station/ResultsLog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSerialPortInfo>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace station {

QString ResultsLog::Open(const QString& path) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    m_fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC,
                  0644);
    return m_fd < 0 ? QString::fromLocal8Bit(std::strerror(errno)) : QString();
}

bool ResultsLog::Append(const QJsonObject& record) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (m_fd < 0) {
        return false;
    }
    const QByteArray line = QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n';
    qsizetype done = 0;
    while (done < line.size()) {
        const ssize_t n =
            ::write(m_fd, line.constData() + done, static_cast<size_t>(line.size() - done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += n;
    }
    return ::fsync(m_fd) == 0;
}

ResultsLog::~ResultsLog() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

UsbIdentity IdentifyUsbDevice(const QString& device) {
    const QString canonical = QFileInfo(device).canonicalFilePath();
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        if (info.systemLocation() != canonical) {
            continue;
        }
        UsbIdentity identity;
        identity.serialNumber = info.serialNumber();
        if (info.hasVendorIdentifier()) {
            identity.vendorId =
                QStringLiteral("%1").arg(info.vendorIdentifier(), 4, 16, QLatin1Char('0'));
        }
        if (info.hasProductIdentifier()) {
            identity.productId =
                QStringLiteral("%1").arg(info.productIdentifier(), 4, 16, QLatin1Char('0'));
        }
        return identity;
    }
    return {};
}

} // namespace station
