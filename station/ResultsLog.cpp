// SPDX-License-Identifier: GPL-3.0-or-later
#include "station/ResultsLog.h"

#include "base/WriteAll.h"
#include "station/OutputFile.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace station {

namespace {

bool LockWithin(int fd, int seconds) {
    for (int waited = 0; waited < seconds * 100; ++waited) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            return true;
        }
        if (errno != EWOULDBLOCK && errno != EINTR) {
            return true; // a file system without locks: write as before
        }
        ::usleep(10'000);
    }
    return false;
}

QString Reason() {
    return QString::fromLocal8Bit(std::strerror(errno));
}
} // namespace

OutputDone ResultsLog::Open(const QByteArray& path) {
    const Result<int, OutputError> opened = OpenLogForAppend(path);
    if (!opened) {
        m_fd = -1;
        return opened.error();
    }
    m_fd = *opened;
    // The file's own entry in its folder must survive a power cut too.
    const QByteArray folder = QFile::encodeName(QFileInfo(QFile::decodeName(path)).absolutePath());
    const int dir = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return {};
}

OutputDone ResultsLog::Append(const QJsonObject& record) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (m_fd < 0) {
        return OutputError{OutputErrorCode::CannotWrite, QStringLiteral("the log is not open")};
    }
    const QByteArray line = QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n';
    // A record is written whole or not at all: on a full disk the part that went is taken
    // back, so that every line of the log parses once there is room again. Another station
    // may append to the same log: the file is locked for the record, so that taking back a
    // part never takes another's record with it.
    if (!LockWithin(m_fd, 10)) {
        return OutputError{OutputErrorCode::CannotWrite,
                           QStringLiteral("another program has held the log locked for 10 s")};
    }
    const off_t before = ::lseek(m_fd, 0, SEEK_END);
    const auto takeBack = [&](const QString& reason) {
        if (before >= 0) {
            while (::ftruncate(m_fd, before) != 0 && errno == EINTR) {
            }
        }
        ::flock(m_fd, LOCK_UN);
        return OutputError{OutputErrorCode::CannotWrite, reason};
    };
    if (const int error = WriteAll(m_fd, line); error != 0) {
        return takeBack(QString::fromLocal8Bit(std::strerror(error)));
    }
    // A record that may not be on the disk is no record: the board is failed, and its line,
    // which would say otherwise, goes too.
    while (::fsync(m_fd) != 0) {
        if (errno != EINTR) {
            return takeBack(Reason());
        }
    }
    ::flock(m_fd, LOCK_UN);
    return {};
}

ResultsLog::~ResultsLog() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

} // namespace station
