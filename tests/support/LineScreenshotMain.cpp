// SPDX-License-Identifier: GPL-3.0-or-later
// The picture of the line's page for the README (scripts/screenshot line): four stations of
// eight slots over a shift of four hours, a few failures of each kind, and one slot that keeps
// failing while its neighbours pass (its alarm at the top), in Chromium at 1920x1080.
//   tavrel-line-screenshot OUT.png
#include "records/SqliteStore.h"
#include "support/FreePort.h"
#include "support/HeadlessChromium.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QUuid>
#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: tavrel-line-screenshot OUT.png\n");
        return 2;
    }
    QTemporaryDir folder;
    auto store = records::SqliteStore::Open(folder.filePath("line.sqlite"));
    if (!store) {
        return 1;
    }
    QRandomGenerator random(7);
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const char* kinds[] = {"no_ack", "silent", "port_lost", "port"};
    const char* reasons[] = {"no ACK for block 0x2A within 2 s", "the new program said nothing",
                             "the port was lost", "cannot open the port"};
    qint64 serial = 100000;
    for (qint64 t = now - 4 * 3600 * 1000; t < now; t += 150000) {
        for (int station = 1; station <= 4; ++station) {
            for (int slot = 1; slot <= 8; ++slot) {
                const bool stuck = station == 2 && slot == 5 && t > now - 8 * 60000;
                const bool failed = stuck || random.bounded(100) < 3;
                const int kind = stuck ? 0 : random.bounded(4);
                (void)(*store)->Add(
                    {{"id", QUuid::createUuid().toString(QUuid::WithoutBraces)},
                     {"record", "attempt"},
                     {"schema", 1},
                     {"time",
                      QDateTime::fromMSecsSinceEpoch(t + slot * 4000 + station * 900, Qt::UTC)
                          .toString(Qt::ISODateWithMs)},
                     {"station", QStringLiteral("Station %1").arg(station)},
                     {"port",
                      QStringLiteral("/dev/serial/by-path/usb-0:%1.%2").arg(station).arg(slot)},
                     {"slot", QStringLiteral("Slot %1").arg(slot)},
                     {"board_serial", QString::number(++serial)},
                     {"result", failed ? "failed" : "passed"},
                     {"failure", failed ? kinds[kind] : ""},
                     {"reason", failed ? reasons[kind] : ""},
                     {"attempt", 1},
                     {"seconds", 4.2 + random.bounded(1.5)},
                     {"blocks", 236},
                     {"baud", 921600}});
            }
        }
    }
    const quint16 port = FreePort();
    QProcess line;
    line.start(QStringLiteral(TAVREL_LINE_PATH),
               {"--store", QStringLiteral("sqlite:") + folder.filePath("line.sqlite"), "--listen",
                QStringLiteral("127.0.0.1:%1").arg(port), "--shift", "4h"});
    line.waitForStarted();
    QTest::qWait(1000);
    HeadlessChromium browser(QStringLiteral("http://127.0.0.1:%1/").arg(port), 1920, 1080);
    if (!browser.WaitFor("document.querySelectorAll('.slot').length === 32 && "
                         "document.querySelectorAll('.alarm').length === 1",
                         30000)) {
        std::fprintf(stderr, "tavrel-line-screenshot: the page did not show the line\n");
        return 1;
    }
    QTest::qWait(500);
    QFile out(QString::fromLocal8Bit(argv[1]));
    if (!out.open(QIODevice::WriteOnly) || out.write(browser.Screenshot()) <= 0) {
        return 1;
    }
    line.terminate();
    line.waitForFinished();
    return 0;
}
