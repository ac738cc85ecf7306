// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/Output.h"

#include <QJsonDocument>

namespace flash {

void Print(std::FILE* to, const QString& text) {
    std::fputs(text.toLocal8Bit().constData(), to);
    std::fflush(to);
}

void PrintJsonLine(const QJsonObject& record) {
    Print(stdout, QString::fromUtf8(QJsonDocument(record).toJson(QJsonDocument::Compact)) +
                      QLatin1Char('\n'));
}

} // namespace flash
