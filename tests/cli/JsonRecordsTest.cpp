// SPDX-License-Identifier: GPL-3.0-or-later
// Every JSON record the tools write, on standard output and in the results log, is described in
// docs/json.md: its name and each of its fields.
#include "support/SimProcess.h"
#include "support/TempFiles.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <gtest/gtest.h>

namespace {

// The records docs/json.md describes: each "### name" heading and the `field`s of its table.
QMap<QString, QSet<QString>> DescribedRecords() {
    QFile file(QStringLiteral(TAVREL_SOURCE_DIR "/docs/json.md"));
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    QMap<QString, QSet<QString>> records;
    QString record;
    static const QRegularExpression field(QStringLiteral("^\\| `([a-z_0-9]+)` \\|"));
    for (const QString& line : QString::fromUtf8(file.readAll()).split('\n')) {
        if (line.startsWith(QLatin1String("### "))) {
            record = line.mid(4).trimmed();
            records[record];
        } else if (const auto match = field.match(line); match.hasMatch() && !record.isEmpty()) {
            records[record] << match.captured(1);
        }
    }
    return records;
}

QList<QJsonObject> Records(const QByteArray& lines) {
    QList<QJsonObject> records;
    for (const QByteArray& line : lines.split('\n')) {
        if (!line.isEmpty()) {
            records << QJsonDocument::fromJson(line).object();
        }
    }
    return records;
}

TEST(JsonRecords, EveryRecordWrittenIsDescribed) {
    TempFiles files;
    const QString image = files.Write("fw.bin", PatternBytes(3000));
    const QString log = files.Path("log.jsonl");
    SimProcess good;
    SimProcess stalls({"--silent-after", "1"});
    QList<QJsonObject> written;
    // A run that passes on one port and fails, after a retry, on the other; a refused command
    // line; the switch packet alone; the system's ports.
    for (const QStringList& arguments :
         {QStringList{"-t", "0.3", "--retries", "1", "--log", log, "-p", good.PortPath(), "-p",
                      stalls.PortPath(), image},
          QStringList{"--baud", "fast", image}, QStringList{"--switch-only", "-p", good.PortPath()},
          QStringList{"--list-ports"}}) {
        QProcess flash;
        flash.start(QStringLiteral(TAVREL_FLASH_PATH), QStringList{"--json"} + arguments);
        ASSERT_TRUE(flash.waitForFinished(30000));
        written << Records(flash.readAllStandardOutput());
    }
    QFile logFile(log);
    ASSERT_TRUE(logFile.open(QIODevice::ReadOnly));
    const QList<QJsonObject> logged = Records(logFile.readAll());
    ASSERT_EQ(logged.size(), 3) << "one passed attempt and two failed ones";

    const QMap<QString, QSet<QString>> described = DescribedRecords();
    QSet<QString> events;
    auto check = [&](const QJsonObject& record, const QString& name) {
        events << name;
        ASSERT_TRUE(described.contains(name)) << name.toStdString() << " is not described";
        EXPECT_EQ(record.value("schema").toInt(), 1) << name.toStdString();
        for (const QString& key : record.keys()) {
            EXPECT_TRUE(described[name].contains(key))
                << name.toStdString() << "." << key.toStdString() << " is not described";
        }
    };
    for (const QJsonObject& record : written) {
        check(record, record.value("event").toString());
    }
    for (const QJsonObject& record : logged) {
        check(record, record.value("record").toString());
    }
    // A port record where the machine has a serial port at all.
    EXPECT_TRUE(events.contains({"start", "block", "done", "error", "summary", "attempt"}))
        << QStringList(events.values()).join(' ').toStdString();
}

} // namespace
