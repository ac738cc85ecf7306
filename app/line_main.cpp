// SPDX-License-Identifier: GPL-3.0-or-later
// tavrel-line: the line's page for its supervisor, served from the line's records store.
#include "line/LineFeed.h"
#include "line/LineListener.h"
#include "line/LineModel.h"
#include "line/LineServer.h"
#include "records/StoreUrl.h"

#include <QCoreApplication>
#include <QFile>
#include <QHostAddress>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QTcpServer>
#include <csignal>
#include <cstdio>
#include <optional>

namespace {

const char kUsage[] =
    "usage: tavrel-line [--store URL] [--listen ADDR:PORT] [--token TOKEN | --token-file FILE]\n"
    "                   [--shift 8h] [--alarm-failures 3] [--alarm-yield 90]\n"
    "                   [--alarm-quiet 10m]\n"
    "Serves the line's page, its API (/api/stations, /api/slots, /api/summary, /api/alarms,\n"
    "/api/state) and Prometheus' /metrics, read-only, from the line's records store\n"
    "(--store or TAVREL_STORE: postgresql://USER@HOST/DB, or one station's sqlite:PATH).\n"
    "--listen: where to serve (default 127.0.0.1:8080; 0.0.0.0:8080 for the line's network).\n"
    "--token: every request must carry it (Authorization: Bearer TOKEN, or ?token=TOKEN in the\n"
    "page's address); also TAVREL_LINE_TOKEN. --shift: how far back the figures reach.\n"
    "Alarms: a slot failing --alarm-failures times in a row while its station's other slots\n"
    "pass; a station's first-pass yield over the last hour below --alarm-yield percent (of 10\n"
    "boards or more); a station without a record for --alarm-quiet while others run.\n";

int Fail(const QString& text) {
    std::fprintf(stderr, "tavrel-line: %s\n", qPrintable(text));
    return 1;
}

// 8h, 30m, 45s, 2d: seconds; none when it is not such a duration.
std::optional<qint64> Seconds(const QString& text) {
    static const QRegularExpression shape(QStringLiteral("^([0-9]{1,6})([smhd])$"));
    const QRegularExpressionMatch match = shape.match(text);
    if (!match.hasMatch()) {
        return std::nullopt;
    }
    const qint64 count = match.captured(1).toLongLong();
    const QChar unit = match.captured(2).at(0);
    const qint64 seconds = unit == QLatin1Char('s')   ? count
                           : unit == QLatin1Char('m') ? count * 60
                           : unit == QLatin1Char('h') ? count * 3600
                                                      : count * 86400;
    return seconds > 0 ? std::optional<qint64>(seconds) : std::nullopt;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    Q_INIT_RESOURCE(line_page);
    // A refused WebSocket (no token, another path) is answered; it needs no warning.
    QLoggingCategory::setFilterRules(QStringLiteral("qt.httpserver*.warning=false"));
    QString storeText = qEnvironmentVariable("TAVREL_STORE");
    QString listen = QStringLiteral("127.0.0.1:8080");
    QByteArray token = qgetenv("TAVREL_LINE_TOKEN");
    qint64 shiftSeconds = 8 * 3600;
    line::AlarmSettings alarms;
    const QStringList words = app.arguments().mid(1);
    for (int i = 0; i < words.size(); ++i) {
        const QString& word = words[i];
        if (word == QLatin1String("--help") || word == QLatin1String("-h")) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (word == QLatin1String("--version")) {
            std::puts("tavrel-line " TAVREL_VERSION);
            return 0;
        }
        if (i + 1 >= words.size()) {
            return Fail(word.startsWith(QLatin1Char('-'))
                            ? QStringLiteral("%1 needs a value").arg(word)
                            : QStringLiteral("%1: no such option\n%2").arg(word, kUsage));
        }
        const QString value = words[++i];
        bool ok = true;
        if (word == QLatin1String("--store")) {
            storeText = value;
        } else if (word == QLatin1String("--listen")) {
            listen = value;
        } else if (word == QLatin1String("--token")) {
            token = value.toUtf8();
        } else if (word == QLatin1String("--token-file")) {
            QFile file(value);
            if (!file.open(QIODevice::ReadOnly)) {
                return Fail(QStringLiteral("cannot read %1: %2").arg(value, file.errorString()));
            }
            token = file.readAll().trimmed();
        } else if (word == QLatin1String("--shift")) {
            const std::optional<qint64> seconds = Seconds(value);
            ok = seconds.has_value();
            shiftSeconds = seconds.value_or(0);
        } else if (word == QLatin1String("--alarm-failures")) {
            alarms.failuresInARow = value.toInt(&ok);
            ok = ok && alarms.failuresInARow >= 1;
        } else if (word == QLatin1String("--alarm-yield")) {
            alarms.yieldBelow = value.toDouble(&ok) / 100;
            ok = ok && alarms.yieldBelow >= 0 && alarms.yieldBelow <= 1;
        } else if (word == QLatin1String("--alarm-quiet")) {
            const std::optional<qint64> seconds = Seconds(value);
            ok = seconds.has_value() && *seconds >= 60;
            alarms.quietMinutes = int(seconds.value_or(0) / 60);
        } else {
            return Fail(QStringLiteral("%1: no such option\n%2").arg(word, kUsage));
        }
        if (!ok) {
            return Fail(QStringLiteral("%1 cannot be %2").arg(word, value));
        }
    }
    if (storeText.isEmpty()) {
        return Fail(QStringLiteral("give the line's store: --store postgresql://USER@HOST/DB"));
    }
    const auto store = records::ParseStoreUrl(storeText);
    if (!store) {
        return Fail(store.error().text);
    }
    const int colon = int(listen.lastIndexOf(QLatin1Char(':')));
    bool portOk = false;
    const int port = listen.mid(colon + 1).toInt(&portOk);
    QHostAddress address;
    if (colon <= 0 || !portOk || port < 0 || port > 65535 ||
        !address.setAddress(listen.left(colon).remove(QLatin1Char('[')).remove(QLatin1Char(']')))) {
        return Fail(QStringLiteral("--listen takes ADDRESS:PORT, such as 127.0.0.1:8080, not %1")
                        .arg(listen));
    }

    line::LineModel model(shiftSeconds, alarms);
    line::LineFeed feed(*store, model, shiftSeconds);
    if (const records::StoreDone started = feed.Start(); !started) {
        return Fail(started.error().text);
    }
    line::LineServer server(model, feed, token);
    // Enough for a line's screens and its monitoring; one client cannot take them all for long.
    auto* listener = new line::LineListener(512, &server);
    if (!listener->listen(address, quint16(port))) {
        return Fail(QStringLiteral("cannot listen on %1: %2").arg(listen, listener->errorString()));
    }
    server.bind(listener);
    std::fprintf(stderr, "tavrel-line: serving %s on http://%s:%d/%s\n", qPrintable(store->shown),
                 qPrintable(listener->serverAddress().toString()), int(listener->serverPort()),
                 token.isEmpty() ? "" : " (a token is needed)");
    std::signal(SIGTERM, [](int) { QCoreApplication::quit(); });
    std::signal(SIGINT, [](int) { QCoreApplication::quit(); });
    return app.exec();
}
