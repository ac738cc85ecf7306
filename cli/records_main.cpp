// SPDX-License-Identifier: GPL-3.0-or-later
// tavrel-records: questions to a records store, the station's SQLite or the line's PostgreSQL.
// board ID: every attempt for a board; summary: per station and slot; export: every record.
#include "base/VisibleText.h"
#include "records/Fields.h"
#include "records/PostgresStore.h"
#include "records/Schema.h"
#include "records/SqliteStore.h"
#include "records/Summary.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMap>
#include <QRegularExpression>
#include <cstdio>

namespace {

const char kUsage[] =
    "Usage: tavrel-records [--store URL] [--json] board ID\n"
    "       tavrel-records [--store URL] [--json] summary [--since T] [--station S] [--job J]\n"
    "       tavrel-records [--store URL] export --format csv|jsonl [--since T] [--station S]\n"
    "                      [--job J]\n"
    "       tavrel-records [--store URL] [--json] counter NAME\n"
    "board: every attempt for a board, found by its USB serial number, its serial number or a\n"
    "record's id. summary: per station and slot, boards passed and failed (by their last\n"
    "attempt), attempts, first-pass yield (the share of boards whose first attempt passed),\n"
    "boards per hour (over --since, else over the attempts' own time), cycle time p50/p95 of\n"
    "the attempts that passed and the failures by kind; the last row (station *) is the whole\n"
    "line. counter: what became of a counter's serial numbers (used, spoiled, returned, in\n"
    "flight, free: they add up to its range). export: every record (CSV: text that a spreadsheet "
    "would take as a formula gets a\n"
    "quote before it, control characters are escaped).\n"
    "--store: sqlite:PATH or postgresql://USER@HOST:PORT/DB (default: $TAVREL_STORE, else this\n"
    "station's own store, records.sqlite in the user's data folder). --since: 8h, 30m, 2d or a\n"
    "time (2026-12-08T06:00). --job: a job's name, its name and version (\"fw 2.1\") or its\n"
    "file's SHA-256.\n"
    "Exit status: 0; 1 for a usage error or a store that cannot be read.\n";

int Fail(const QString& message) {
    std::fprintf(stderr, "tavrel-records: %s\n", message.toLocal8Bit().constData());
    return 1;
}

void Out(const QString& text) {
    std::fputs(text.toLocal8Bit().constData(), stdout);
}

// "8h", "30m", "2d", "90s" before now, or a time; invalid when it is neither.
QDateTime ParseSince(const QString& text) {
    static const QRegularExpression span(QStringLiteral("^(\\d+)([smhd])$"));
    if (const QRegularExpressionMatch match = span.match(text); match.hasMatch()) {
        static const QMap<QString, qint64> seconds{{"s", 1}, {"m", 60}, {"h", 3600}, {"d", 86400}};
        const qint64 unit = seconds.value(match.captured(2));
        return QDateTime::currentDateTimeUtc().addSecs(-match.captured(1).toLongLong() * unit);
    }
    return QDateTime::fromString(text, Qt::ISODateWithMs);
}

// A cell for the terminal: the device's text may hold anything.
QString Cell(const QJsonValue& value) {
    if (value.isBool()) {
        return value.toBool() ? QStringLiteral("yes") : QStringLiteral("no");
    }
    if (value.isDouble()) {
        const double number = value.toDouble();
        return number == std::floor(number) ? QString::number(qint64(number))
                                            : QString::number(number, 'f', 2);
    }
    return VisibleText(value.toString().toUtf8());
}

void PrintTable(const QStringList& header, const QList<QStringList>& rows) {
    QList<qsizetype> widths;
    for (const QString& title : header) {
        widths << title.size();
    }
    for (const QStringList& row : rows) {
        for (qsizetype i = 0; i < row.size(); ++i) {
            widths[i] = std::max(widths[i], std::min<qsizetype>(row[i].size(), 60));
        }
    }
    const auto line = [&](const QStringList& cells) {
        QStringList padded;
        for (qsizetype i = 0; i < cells.size(); ++i) {
            padded << (i + 1 == cells.size() ? cells[i] : cells[i].leftJustified(widths[i]));
        }
        Out(padded.join(QStringLiteral("  ")).trimmed() + QLatin1Char('\n'));
    };
    line(header);
    for (const QStringList& row : rows) {
        line(row);
    }
}

QString Percent(double share) {
    return share < 0 ? QStringLiteral("-")
                     : QString::number(share * 100, 'f', 1) + QLatin1Char('%');
}

int Summary(const QList<QJsonObject>& records, const QDateTime& since, bool json) {
    const QList<records::SlotSummary> rows = records::Summarize(records, since);
    if (json) {
        QJsonArray array;
        for (const records::SlotSummary& row : rows) {
            array.append(row.ToJson());
        }
        Out(QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Indented)));
        return 0;
    }
    QList<QStringList> table;
    for (const records::SlotSummary& row : rows) {
        QStringList failures;
        for (auto it = row.failures.begin(); it != row.failures.end(); ++it) {
            failures << QStringLiteral("%1 %2").arg(Cell(it.key()), QString::number(it.value()));
        }
        table << QStringList{Cell(row.station),
                             Cell(row.slot),
                             QString::number(row.passed),
                             QString::number(row.failed),
                             QString::number(row.attempts),
                             Percent(row.firstPassYield),
                             row.boardsPerHour < 0 ? QStringLiteral("-")
                                                   : QString::number(row.boardsPerHour, 'f', 1),
                             QString::number(row.cycleP50, 'f', 2),
                             QString::number(row.cycleP95, 'f', 2),
                             failures.join(QStringLiteral(", "))};
    }
    PrintTable({QStringLiteral("STATION"), QStringLiteral("SLOT"), QStringLiteral("PASSED"),
                QStringLiteral("FAILED"), QStringLiteral("ATTEMPTS"), QStringLiteral("FIRST-PASS"),
                QStringLiteral("BOARDS/H"), QStringLiteral("P50 S"), QStringLiteral("P95 S"),
                QStringLiteral("FAILURES")},
               table);
    return 0;
}

int Board(const QList<QJsonObject>& records, const QString& id, bool json) {
    if (json) {
        QJsonArray array;
        for (const QJsonObject& record : records) {
            array.append(record);
        }
        Out(QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Indented)));
        return 0;
    }
    if (records.isEmpty()) {
        Out(QStringLiteral("No attempt for %1.\n").arg(VisibleText(id.toUtf8())));
        return 0;
    }
    QList<QStringList> table;
    for (const QJsonObject& r : records) {
        QString where = r.value(QLatin1String("slot")).toString();
        if (where.isEmpty()) {
            where = r.value(QLatin1String("port")).toString();
        }
        table << QStringList{Cell(r.value(QLatin1String("time"))),
                             Cell(r.value(QLatin1String("station"))),
                             Cell(where),
                             Cell(r.value(QLatin1String("attempt"))),
                             Cell(r.value(QLatin1String("result"))),
                             Cell(r.value(QLatin1String("seconds"))),
                             Cell(r.value(QLatin1String("image_sha256")).toString().left(12)),
                             Cell(r.value(QLatin1String("job"))),
                             Cell(r.value(QLatin1String("reason")))};
    }
    PrintTable({QStringLiteral("TIME"), QStringLiteral("STATION"), QStringLiteral("SLOT"),
                QStringLiteral("TRY"), QStringLiteral("RESULT"), QStringLiteral("SECONDS"),
                QStringLiteral("IMAGE"), QStringLiteral("JOB"), QStringLiteral("REASON")},
               table);
    return 0;
}

// A cell of the CSV export, which a spreadsheet opens: text a device or an operator gave is kept
// from being taken as a formula (a quote before = + - @), and its control characters (a
// terminal's escape sequences) are written as visible escapes.
QString CsvField(const QJsonValue& value) {
    QString text;
    if (value.isDouble()) {
        text = QString::number(value.toDouble(), 'g', 15);
    } else if (value.isBool()) {
        text = value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    } else {
        text = VisibleText(value.toString().toUtf8());
        if (!text.isEmpty() && QStringLiteral("=+-@\t\r").contains(text.front())) {
            text.prepend(QLatin1Char('\''));
        }
    }
    if (text.contains(QRegularExpression(QStringLiteral("[\",\r\n]")))) {
        text = QLatin1Char('"') + text.replace(QLatin1Char('"'), QLatin1String("\"\"")) +
               QLatin1Char('"');
    }
    return text;
}

int Export(const QList<QJsonObject>& records, const QString& format) {
    if (format == QLatin1String("jsonl")) {
        for (const QJsonObject& record : records) {
            Out(QString::fromUtf8(QJsonDocument(record).toJson(QJsonDocument::Compact)) +
                QLatin1Char('\n'));
        }
        return 0;
    }
    QStringList names;
    for (const records::Field& field : records::RecordFields()) {
        names << QLatin1String(field.name);
    }
    Out(names.join(QLatin1Char(',')) + QStringLiteral("\r\n"));
    for (const QJsonObject& record : records) {
        QStringList cells;
        for (const QString& name : names) {
            cells << CsvField(record.value(name));
        }
        Out(cells.join(QLatin1Char(',')) + QStringLiteral("\r\n"));
    }
    return 0;
}

// What became of a counter's numbers: they add up to its range.
int Counter(records::Store& store, const QString& name, bool json) {
    const Result<records::CounterAccount, records::StoreError> account = store.Account(name);
    if (!account) {
        return Fail(account.error().text);
    }
    const records::CounterAccount& a = *account;
    if (json) {
        Out(QString::fromUtf8(QJsonDocument(QJsonObject{{"counter", name},
                                                        {"first", a.first},
                                                        {"last", a.last},
                                                        {"used", a.used},
                                                        {"spoiled", a.spoiled},
                                                        {"returned", a.returned},
                                                        {"in_flight", a.inFlight},
                                                        {"leased", a.leased},
                                                        {"free", a.free}})
                                  .toJson(QJsonDocument::Indented)));
        return 0;
    }
    PrintTable({QStringLiteral("COUNTER"), QStringLiteral("RANGE"), QStringLiteral("USED"),
                QStringLiteral("SPOILED"), QStringLiteral("RETURNED"), QStringLiteral("IN FLIGHT"),
                QStringLiteral("LEASED"), QStringLiteral("FREE")},
               {{Cell(name), QStringLiteral("%1..%2").arg(a.first).arg(a.last),
                 QString::number(a.used), QString::number(a.spoiled), QString::number(a.returned),
                 QString::number(a.inFlight), QString::number(a.leased), QString::number(a.free)}});
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QStringList words = app.arguments().mid(1);
    QString storeText = qEnvironmentVariable("TAVREL_STORE");
    bool json = false;
    records::RecordFilter filter;
    QString format;
    QStringList positional;
    for (int i = 0; i < words.size(); ++i) {
        const QString word = words[i];
        const auto value = [&]() -> std::optional<QString> {
            if (i + 1 >= words.size()) {
                return std::nullopt;
            }
            return words[++i];
        };
        if (word == QLatin1String("--help") || word == QLatin1String("-h")) {
            Out(QString::fromLatin1(kUsage));
            return 0;
        }
        if (word == QLatin1String("--version")) {
            Out(QStringLiteral("tavrel-records " TAVREL_VERSION "\n"));
            return 0;
        }
        if (word == QLatin1String("--json")) {
            json = true;
            continue;
        }
        static const QStringList withValue{QStringLiteral("--store"), QStringLiteral("--since"),
                                           QStringLiteral("--station"), QStringLiteral("--job"),
                                           QStringLiteral("--format")};
        if (withValue.contains(word)) {
            const std::optional<QString> given = value();
            if (!given) {
                return Fail(QStringLiteral("%1 needs a value").arg(word));
            }
            if (word == QLatin1String("--store")) {
                storeText = *given;
            } else if (word == QLatin1String("--since")) {
                filter.since = ParseSince(*given);
                if (!filter.since.isValid()) {
                    return Fail(QStringLiteral("--since takes 8h, 30m, 2d or a time such as "
                                               "2026-12-08T06:00, not %1")
                                    .arg(*given));
                }
            } else if (word == QLatin1String("--station")) {
                filter.station = *given;
            } else if (word == QLatin1String("--job")) {
                filter.job = *given;
            } else {
                format = *given;
            }
            continue;
        }
        if (word.startsWith(QLatin1Char('-'))) {
            return Fail(QStringLiteral("unknown option %1\n%2").arg(word, QLatin1String(kUsage)));
        }
        positional << word;
    }
    const QString command = positional.value(0);
    if (command == QLatin1String("counter")) {
        if (positional.size() != 2 || positional[1].isEmpty()) {
            return Fail(QStringLiteral("counter needs a NAME"));
        }
    } else if (command == QLatin1String("board")) {
        if (positional.size() != 2 || positional[1].isEmpty()) {
            return Fail(QStringLiteral("board needs one ID"));
        }
        filter.board = positional[1];
    } else if (command == QLatin1String("export")) {
        if (format != QLatin1String("csv") && format != QLatin1String("jsonl")) {
            return Fail(QStringLiteral("export needs --format csv or --format jsonl"));
        }
    } else if (command != QLatin1String("summary") || positional.size() != 1) {
        return Fail(QStringLiteral("give board, summary, counter or export\n%1")
                        .arg(QLatin1String(kUsage)));
    }

    if (storeText.isEmpty()) {
        storeText = QStringLiteral("sqlite:") + records::DefaultLocalStorePath();
    }
    const auto url = records::ParseStoreUrl(storeText);
    if (!url) {
        return Fail(url.error().text);
    }
    std::unique_ptr<records::Store> store;
    if (url->kind == records::StoreUrl::Kind::Sqlite) {
        if (!QFileInfo(url->path).isFile()) {
            return Fail(QStringLiteral("there is no records store at %1").arg(url->path));
        }
        auto opened = records::SqliteStore::Open(url->path, records::kReadOnly);
        if (!opened) {
            return Fail(opened.error().text);
        }
        store = std::move(*opened);
    } else {
        auto opened = records::PostgresStore::Open(*url, records::kReadOnly);
        if (!opened) {
            return Fail(opened.error().text);
        }
        store = std::move(*opened);
    }
    if (command == QLatin1String("counter")) {
        return Counter(*store, positional[1], json);
    }
    const records::Records found = store->Fetch(filter);
    if (!found) {
        return Fail(found.error().text);
    }
    if (command == QLatin1String("board")) {
        return Board(*found, filter.board, json);
    }
    if (command == QLatin1String("export")) {
        return Export(*found, format);
    }
    return Summary(*found, filter.since, json);
}
