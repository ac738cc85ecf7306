// SPDX-License-Identifier: GPL-3.0-or-later
#include "station/ResultsLog.h"

#include <QDir>
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

QString ResultsLog::Open(const QString& path) {
    const QString folder = QFileInfo(path).absolutePath();
    QDir().mkpath(folder);
    m_fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC,
                  0644);
    if (m_fd < 0) {
        return Reason();
    }
    // The file's own entry in its folder must survive a power cut too.
    const int dir =
        ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
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
    qsizetype done = 0;
    while (done < line.size()) {
        const ssize_t n =
            ::write(m_fd, line.constData() + done, static_cast<size_t>(line.size() - done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return Reason();
        }
        done += n;
    }
    return ::fsync(m_fd) == 0 ? QString() : Reason();
}

ResultsLog::~ResultsLog() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

} // namespace station
