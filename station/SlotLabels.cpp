// SPDX-License-Identifier: GPL-3.0-or-later
#include "station/SlotLabels.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

Result<SlotLabels, ConfigError> SlotLabels::Read(const QString& path) {
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        return ConfigError{
            ConfigErrorCode::FileUnusable,
            QStringLiteral("cannot read the slots file %1: %2")
                .arg(path, !QFileInfo::exists(path)    ? QStringLiteral("it does not exist")
                           : QFileInfo(path).isDir()   ? QStringLiteral("it is a folder")
                           : !QFileInfo(path).isFile() ? QStringLiteral("it is not a regular file")
                                                       : file.errorString())};
    }
    SlotLabels labels;
    int number = 0;
    for (const QByteArray& raw : file.readAll().split('\n')) {
        ++number;
        // '#' starts a comment at the start of a line or after a blank ("Slot #3" is a label).
        static const QRegularExpression comment(QStringLiteral("(^|\\s)#.*$"));
        const QString line = QString::fromUtf8(raw).remove(comment).trimmed();
        if (line.isEmpty()) {
            continue;
        }
        const qsizetype equals = line.lastIndexOf(QLatin1Char('='));
        const QString pattern = line.left(equals).trimmed();
        const QString label = line.mid(equals + 1).trimmed();
        if (equals < 0 || pattern.isEmpty() || label.isEmpty()) {
            return ConfigError{
                ConfigErrorCode::Usage,
                QStringLiteral("the slots file %1, line %2: write PORT-OR-GLOB = Label, for "
                               "example /dev/serial/by-path/*usb-0:1.3* = Slot 3")
                    .arg(path)
                    .arg(number)};
        }
        labels.m_rules << Rule{pattern, label};
    }
    return labels;
}

QString SlotLabels::Of(const QString& port) const {
    for (const Rule& rule : m_rules) {
        const QRegularExpression glob(
            QRegularExpression::wildcardToRegularExpression(rule.pattern));
        if (rule.pattern == port || glob.match(port).hasMatch() ||
            glob.match(QFileInfo(port).fileName()).hasMatch()) {
            return rule.label;
        }
    }
    return {};
}
