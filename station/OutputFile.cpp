// SPDX-License-Identifier: GPL-3.0-or-later
#include "station/OutputFile.h"

#include "base/VisibleText.h"
#include "serial/PortResolver.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace station {

namespace {

bool SameFile(const struct stat& a, const QByteArray& other) {
    struct stat b {};
    return ::stat(other.constData(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

QString NotRegular(const struct stat& info) {
    return S_ISFIFO(info.st_mode)  ? QStringLiteral("a FIFO")
           : S_ISCHR(info.st_mode) ? QStringLiteral("a character device")
           : S_ISDIR(info.st_mode) ? QStringLiteral("a folder")
                                   : QStringLiteral("not a regular file");
}

OutputError LogMustBeAFile(const QByteArray& path, const struct stat& info) {
    return {OutputErrorCode::NotAFile,
            QStringLiteral("the log %1 is %2; the results log must be a regular file")
                .arg(VisibleText(path), NotRegular(info))};
}

} // namespace

bool SameOutput(const QByteArray& a, const QByteArray& b) {
    struct stat info {};
    if (::stat(a.constData(), &info) == 0) {
        return SameFile(info, b);
    }
    // Not there yet: the same name in the same folder, however each was written.
    const auto where = [](const QByteArray& path) {
        const QFileInfo file(QFile::decodeName(path));
        const QString folder = QFileInfo(file.absolutePath()).canonicalFilePath();
        return folder.isEmpty() ? file.absoluteFilePath() : folder + '/' + file.fileName();
    };
    return where(a) == where(b);
}

OutputDone RefuseOutput(const QByteArray& path, OutputKind kind, const QByteArray& imagePath,
                        const QStringList& ports) {
    if (path == "-") {
        return {};
    }
    struct stat info {};
    if (::stat(path.constData(), &info) != 0) {
        return {}; // it is created: it is none of the inputs
    }
    const auto refuse = [&](const QString& what) {
        return OutputError{OutputErrorCode::IsAnInput,
                           QStringLiteral("the output file %1 is the %2; give it another file")
                               .arg(VisibleText(path), what)};
    };
    if (!imagePath.isEmpty() && SameFile(info, imagePath)) {
        return refuse(QStringLiteral("image"));
    }
    if (S_ISCHR(info.st_mode)) {
        QStringList candidates = ports;
        const QList<SerialPortEntry> system = SystemSerialPorts();
        for (const SerialPortEntry& entry : system) {
            candidates << entry.device;
        }
        for (const QString& port : candidates) {
            const PortLookup lookup = ResolvePort(port, system);
            const QString device = lookup ? lookup->device : QString();
            if (!device.isEmpty() && SameFile(info, QFile::encodeName(device))) {
                return refuse(QStringLiteral("serial port"));
            }
        }
    }
    if (kind == OutputKind::ResultsLog && !S_ISREG(info.st_mode)) {
        return LogMustBeAFile(path, info);
    }
    return {};
}

Result<int, OutputError> OpenLogForAppend(const QByteArray& path) {
    QDir().mkpath(QFileInfo(QFile::decodeName(path)).absolutePath());
    // O_NONBLOCK: a FIFO without a reader fails at once instead of holding the start up.
    const int fd = ::open(path.constData(),
                          O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0644);
    if (fd < 0) {
        struct stat info {};
        if (errno == ENXIO && ::stat(path.constData(), &info) == 0) {
            return LogMustBeAFile(path, info);
        }
        return OutputError{OutputErrorCode::CannotOpen,
                           QString::fromLocal8Bit(std::strerror(errno))};
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return LogMustBeAFile(path, info);
    }
    ::fcntl(fd, F_SETFL, O_WRONLY | O_APPEND); // a regular file: writes block as they should
    return fd;
}

} // namespace station
