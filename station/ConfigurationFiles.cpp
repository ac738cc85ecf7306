// SPDX-License-Identifier: GPL-3.0-or-later
#include "station/ConfigurationFiles.h"

#include <QDir>
#include <QFile>
#include <QMap>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace station {

namespace {

// The value after '=', as QSettings reads it: items separated by commas (joined again with
// ','), each quoted (C escapes \\ \" \t \n \r inside) or unquoted (trimmed; ';' begins a
// comment). Nothing when a quote is left open or text follows a closing quote.
std::optional<QByteArray> ParseValue(const QByteArray& text) {
    QList<QByteArray> items;
    qsizetype i = 0;
    const auto skipBlanks = [&] {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r')) {
            ++i;
        }
    };
    for (;;) {
        skipBlanks();
        QByteArray item;
        if (i < text.size() && text[i] == '"') {
            for (++i;; ++i) {
                if (i >= text.size()) {
                    return std::nullopt; // a quote left open
                }
                const char c = text[i];
                if (c == '"') {
                    ++i;
                    break;
                }
                if (c == '\\' && i + 1 < text.size()) {
                    const char escaped = text[++i];
                    item += escaped == 't'   ? '\t'
                            : escaped == 'n' ? '\n'
                            : escaped == 'r' ? '\r'
                                             : escaped;
                } else {
                    item += c;
                }
            }
            skipBlanks();
        } else {
            while (i < text.size() && text[i] != ',' && text[i] != ';') {
                item += text[i++];
            }
            item = item.trimmed();
        }
        items << item;
        if (i < text.size() && text[i] == ',') {
            ++i;
            continue;
        }
        if (i < text.size() && text[i] != ';' && text[i] != '#') {
            return std::nullopt; // text after a closing quote
        }
        break;
    }
    return items.join(',');
}

QString NotRegular(mode_t mode) {
    return S_ISDIR(mode) ? QStringLiteral("it is a folder")
                         : QStringLiteral("it is not a regular file");
}

} // namespace

// Reads a regular file whole without ever blocking on something that is not one: the name is
// looked at, then opened without following a swap to a FIFO, and looked at again.
QString ReadRegularFile(const QString& path, QByteArray* content) {
    const QByteArray name = QFile::encodeName(path);
    struct stat named {};
    if (::stat(name.constData(), &named) == 0 && !S_ISREG(named.st_mode)) {
        // Never opened: a FIFO would block, and a terminal's opening raises its modem lines.
        return NotRegular(named.st_mode);
    }
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return QString::fromLocal8Bit(std::strerror(errno));
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return NotRegular(info.st_mode); // swapped for another kind meanwhile
    }
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return file.errorString();
    }
    *content = file.readAll();
    return {};
}

QStringList ConfigurationFiles() {
    const QString home =
        qEnvironmentVariable("XDG_CONFIG_HOME", QDir::homePath() + QStringLiteral("/.config"));
    return {QStringLiteral("/etc/tavrel/tavrel.conf"),
            home + QStringLiteral("/tavrel/tavrel.conf")};
}

ConfigurationRead ReadConfigurationFile(const QString& path) {
    struct stat info {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0 && errno == ENOENT) {
        return {};
    }
    QByteArray content;
    if (const QString why = ReadRegularFile(path, &content); !why.isEmpty()) {
        return {{},
                QStringLiteral("the configuration file %1 cannot be read: %2; mend it or "
                               "remove it")
                    .arg(path, why)};
    }
    return ReadConfigurationText(content, path);
}

ConfigurationRead ReadConfigurationText(const QByteArray& content, const QString& path) {
    ConfigurationRead read;
    QMap<QString, int> seenAt;
    const QList<QByteArray> lines = content.split('\n');
    for (int n = 0; n < lines.size(); ++n) {
        const QByteArray line = lines[n].trimmed();
        const int number = n + 1;
        if (line.isEmpty() || line.startsWith(';') || line.startsWith('#')) {
            continue;
        }
        const qsizetype equals = line.indexOf('=');
        const QString key = QString::fromUtf8(line.left(std::max<qsizetype>(equals, 0))).trimmed();
        const std::optional<QByteArray> value =
            equals > 0 ? ParseValue(line.mid(equals + 1)) : std::nullopt;
        if (line == "[General]") {
            continue; // the root section, as QSettings writes it
        }
        if (line.startsWith('[') || key.isEmpty() || !value) {
            return {{},
                    QStringLiteral("the configuration file %1, line %2: write key = value, "
                                   "outside any [section] (quote a value that holds a ';')")
                        .arg(path)
                        .arg(number)};
        }
        if (seenAt.contains(key)) {
            return {{},
                    QStringLiteral("the configuration file %1 gives the key %2 twice, on lines "
                                   "%3 and %4; keep one")
                        .arg(path, key)
                        .arg(seenAt.value(key))
                        .arg(number)};
        }
        seenAt.insert(key, number);
        read.entries << ConfigurationEntry{key, *value,
                                           QStringLiteral("%1 line %2").arg(path).arg(number)};
    }
    return read;
}

} // namespace station
