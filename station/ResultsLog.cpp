// SPDX-License-Identifier: GPL-3.0-or-later
#include "station/ResultsLog.h"

#include "station/OutputFile.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace station {

namespace {
QString Reason() {
    return QString::fromLocal8Bit(std::strerror(errno));
}
} // namespace

QString ResultsLog::Open(const QByteArray& path) {
    QString reason;
    m_fd = OpenLogForAppend(path, reason);
    if (m_fd < 0) {
        return reason;
    }
    // The file's own entry in its folder must survive a power cut too.
    const QByteArray folder = QFile::encodeName(QFileInfo(QFile::decodeName(path)).absolutePath());
    const int dir = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return {};
}

QString ResultsLog::Append(const QJsonObject& record) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (m_fd < 0) {
        return QStringLiteral("the log is not open");
    }
    const QByteArray line = QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n';
    // A record is written whole or not at all: on a full disk the part that went is taken
    // back, so that every line of the log parses once there is room again.
    const off_t before = ::lseek(m_fd, 0, SEEK_END);
    qsizetype done = 0;
    while (done < line.size()) {
        const ssize_t n =
            ::write(m_fd, line.constData() + done, static_cast<size_t>(line.size() - done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            const QString reason = n < 0 ? Reason() : QStringLiteral("nothing could be written");
            if (before >= 0) {
                while (::ftruncate(m_fd, before) != 0 && errno == EINTR) {
                }
            }
            return reason;
        }
        done += n;
    }
    while (::fsync(m_fd) != 0) {
        if (errno != EINTR) {
            return Reason();
        }
    }
    return {};
}

ResultsLog::~ResultsLog() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

} // namespace station
