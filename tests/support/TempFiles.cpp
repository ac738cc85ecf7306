// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/TempFiles.h"

#include <QFile>
#include <QJsonDocument>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

TempFiles::TempFiles() {
    if (!m_dir.isValid()) {
        throw std::runtime_error("cannot make a temporary folder");
    }
}

QString TempFiles::Write(const QString& name, const QByteArray& content) const {
    const QString path = Path(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(content) != content.size()) {
        throw std::runtime_error("cannot write " + path.toStdString());
    }
    return path;
}

QByteArray TempFiles::WriteByName(const QByteArray& name, const QByteArray& content) const {
    const QByteArray path = QFile::encodeName(m_dir.path()) + '/' + name;
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const bool written =
        fd >= 0 && ::write(fd, content.constData(), static_cast<size_t>(content.size())) ==
                       static_cast<ssize_t>(content.size());
    if (fd >= 0) {
        ::close(fd);
    }
    if (!written) {
        throw std::runtime_error("cannot write " + path.toStdString());
    }
    return path;
}

QString TempFiles::Sparse(const QString& name, qint64 size) const {
    const QString path = Path(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || !file.resize(size)) {
        throw std::runtime_error("cannot make sparse file " + path.toStdString());
    }
    return path;
}

QByteArray PatternBytes(qint64 size, int seed) {
    QByteArray bytes(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 7 + (i >> 10) * 13 + seed) % 251);
    }
    return bytes;
}

QByteArray PaddedImage(const QByteArray& file) {
    const qint64 blocks = file.size() / 1024 + 1;
    QByteArray padded = file;
    padded.append(QByteArray(blocks * 1024 - file.size(), char(0xFF)));
    return padded;
}

QByteArray ReadFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QList<QJsonObject> JsonLines(const QString& path) {
    QList<QJsonObject> records;
    for (const QByteArray& line : ReadFile(path).split('\n')) {
        if (!line.isEmpty()) {
            records << QJsonDocument::fromJson(line).object();
        }
    }
    return records;
}
