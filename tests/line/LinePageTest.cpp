// SPDX-License-Identifier: GPL-3.0-or-later
// tavrel-line as a supervisor meets it: its page in a real browser (Debian's Chromium,
// headless), against the line's PostgreSQL fed by two tavrel-flash stations watching simulated
// boards; and its HTTP face against requests that are wrong, slow or hostile.
#include "records/SqliteStore.h"
#include "support/FreePort.h"
#include "support/HeadlessChromium.h"
#include "support/PostgresServer.h"
#include "support/SimProcess.h"
#include "support/TempFiles.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpSocket>
#include <QTest>
#include <QUuid>
#include <QWebSocket>
#include <gtest/gtest.h>
#include <memory>

namespace {

// What the server answered a request of raw bytes: its status line's code, and its body.
std::pair<int, QByteArray> Ask(quint16 port, const QByteArray& request) {
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    if (!socket.waitForConnected(5000)) {
        return {-1, {}};
    }
    socket.write(request);
    QByteArray answer;
    while (socket.waitForReadyRead(3000)) {
        answer += socket.readAll();
        const qsizetype head = answer.indexOf("\r\n\r\n");
        const qsizetype length = answer.indexOf("Content-Length: ");
        if (head > 0 && length > 0 &&
            answer.size() >= head + 4 + answer.mid(length + 16, 12).split('\r').first().toInt()) {
            break;
        }
    }
    const int status = answer.mid(9, 3).toInt();
    return {answer.isEmpty() ? 0 : status, answer.mid(answer.indexOf("\r\n\r\n") + 4)};
}

QByteArray Get(const QByteArray& path, const QByteArray& headers = {}) {
    return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers + "\r\n";
}

// tavrel-line on a free port of its own, once it answers.
class LineProcess {
  public:
    LineProcess(const QString& store, const QStringList& more = {}) : m_port(FreePort()) {
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(
            QStringLiteral(TAVREL_LINE_PATH),
            QStringList{"--store", store, "--listen", QStringLiteral("127.0.0.1:%1").arg(m_port)} +
                more);
        EXPECT_TRUE(m_process.waitForStarted());
        EXPECT_TRUE(QTest::qWaitFor(
            [this] {
                return m_process.state() != QProcess::Running || Ask(m_port, Get("/")).first > 0;
            },
            30000));
    }
    ~LineProcess() {
        m_process.terminate();
        m_process.waitForFinished();
    }
    quint16 Port() const { return m_port; }
    QString Url(const QString& path = QStringLiteral("/")) const {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(path);
    }

  private:
    quint16 m_port;
    QProcess m_process;
};

// A station's store holding one attempt of these fields: its URL.
QString StoreOfOne(const TempFiles& files, QJsonObject fields) {
    auto store = records::SqliteStore::Open(files.Path("r.sqlite"));
    fields.insert("id", QUuid::createUuid().toString(QUuid::WithoutBraces));
    fields.insert("record", "attempt");
    fields.insert("time", QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
    fields.insert("attempt", 1);
    EXPECT_TRUE(store && (*store)->Add(fields));
    return QStringLiteral("sqlite:") + files.Path("r.sqlite");
}

// Two watching stations feed the line's server; the page shows their slots in their colours
// and the line's first-pass yield as the store counts it, a new verdict live, and the alarm of
// a slot that keeps failing while its neighbours pass. What a station, a port or a board names
// itself stays text on the page.
TEST(LinePage, ShowsTheStationsLiveAndRaisesTheBadSlotAlarm) {
    if (!PostgresServer::Available() || !HeadlessChromium::Available()) {
        GTEST_SKIP() << "no PostgreSQL server or no Chromium on this machine";
    }
    TempFiles files;
    PostgresServer server;
    const QString image = files.Write("fw.bin", PatternBytes(3000));
    SimProcess boards({"--count", "6"});
    SimProcess bad({"--count", "3", "--silent-after", "1"});
    const QString hostileStation = QStringLiteral("b<script>window.pwned=1</script>");
    const QString hostileSlot = QStringLiteral("<img src=x onerror=window.pwned=2>");
    std::vector<std::unique_ptr<QProcess>> stations;
    for (const QString& name : {QStringLiteral("a"), hostileStation}) {
        const QString folder = files.Path(QStringLiteral("ports%1").arg(stations.size()));
        ASSERT_TRUE(QDir().mkpath(folder));
        auto station = std::make_unique<QProcess>();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_DATA_HOME", folder + "-data");
        station->setProcessEnvironment(environment);
        station->start(QStringLiteral(TAVREL_FLASH_PATH),
                       {"--watch", folder + "/*", "--station-name", name, "--store", server.Url(),
                        "--timeout", "1", image});
        ASSERT_TRUE(station->waitForStarted());
        stations.push_back(std::move(station));
    }
    const auto plug = [&](int station, const QString& name, const QString& pty) {
        ASSERT_TRUE(QFile::link(pty, files.Path(QStringLiteral("ports%1/").arg(station) + name)));
    };
    const auto rows = [&] {
        try {
            return server.Query("SELECT count(*) FROM records").value(0).toInt();
        } catch (const std::exception&) {
            return 0; // no station has made the schema yet
        }
    };
    for (int b = 0; b < 3; ++b) {
        plug(0, QStringLiteral("a%1").arg(b), boards.PortPaths().at(b));
    }
    plug(1, hostileSlot, boards.PortPaths().at(3));
    plug(1, "b1", boards.PortPaths().at(4));
    ASSERT_TRUE(QTest::qWaitFor([&] { return rows() == 5; }, 60000));

    LineProcess line(server.Url());
    HeadlessChromium browser(line.Url());
    ASSERT_TRUE(browser.WaitFor("document.querySelectorAll('.slot').length === 5", 20000));
    EXPECT_EQ(
        browser.Evaluate("document.querySelectorAll('.slot[data-result=passed]').length").toInt(),
        5);
    EXPECT_EQ(browser
                  .Evaluate("getComputedStyle(document.querySelector('.slot.passed'))"
                            ".backgroundColor")
                  .toString(),
              "rgb(27, 138, 58)");
    const double yield =
        server
            .Query("SELECT (count(*) FILTER (WHERE result = 'passed'))::float / count(*) FROM "
                   "records WHERE attempt = 1")
            .value(0)
            .toDouble();
    EXPECT_DOUBLE_EQ(
        browser.Evaluate("Number(document.getElementById('line-yield').dataset.value)").toDouble(),
        yield);

    // A new verdict: on the page soon after the store has it.
    plug(0, "a3", boards.PortPaths().at(5));
    ASSERT_TRUE(QTest::qWaitFor([&] { return rows() == 6; }, 30000));
    QElapsedTimer seen;
    seen.start();
    ASSERT_TRUE(browser.WaitFor(
        "!!document.querySelector('.slot[data-result=passed][data-slot$=\"/a3\"]')", 5000));
    std::printf("verdict from the store to the page: %lld ms\n", seen.elapsed());
    EXPECT_LT(seen.elapsed(), 3000) << "a verdict shows within a second, give or take a load";

    // A slot where three boards in a row fail while its neighbours pass: its alarm.
    for (int board = 0; board < 3; ++board) {
        plug(0, "a4", bad.PortPaths().at(board));
        ASSERT_TRUE(QTest::qWaitFor([&] { return rows() == 7 + board; }, 30000));
        ASSERT_TRUE(QFile::remove(files.Path("ports0/a4"))); // unplugged; the next board
        QTest::qWait(1500);
    }
    ASSERT_TRUE(browser.WaitFor(
        "!!document.querySelector('.alarm[data-kind=slot][data-slot$=\"/a4\"]')", 60000));
    EXPECT_TRUE(browser
                    .Evaluate("document.querySelector('.slot[data-slot$=\"/a4\"]')"
                              ".classList.contains('alarmed')")
                    .toBool());
    EXPECT_TRUE(browser
                    .Evaluate("document.querySelector('.alarm[data-kind=slot]').textContent"
                              ".includes('failed 3 times in a row')")
                    .toBool());

    // Each station's forwarder tells the line's store how many records it still has to send.
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            return Ask(line.Port(), Get("/metrics"))
                .second.contains("tavrel_station_backlog_records{station=\"a\"} 0\n");
        },
        15000));

    // What came from a station, a port or a board is text, never markup.
    EXPECT_TRUE(browser.Evaluate("window.pwned === undefined").toBool());
    EXPECT_EQ(browser.Evaluate("document.querySelectorAll('script').length").toInt(), 1);
    EXPECT_EQ(browser.Evaluate("document.querySelectorAll('#stations img').length").toInt(), 0);
    EXPECT_EQ(browser
                  .Evaluate(QStringLiteral("[...document.querySelectorAll('.station .name')]"
                                           ".some(e => e.textContent === %1)")
                                .arg(QString::fromUtf8(QJsonDocument(QJsonArray{hostileStation})
                                                           .toJson(QJsonDocument::Compact)
                                                           .mid(1)
                                                           .chopped(1))))
                  .toBool(),
              true);
    for (const auto& station : stations) {
        station->kill();
        station->waitForFinished();
    }
}

// The server only reads, wants its token when it has one (also on the live feed), and goes on
// answering through malformed requests and a client that never finishes its request.
TEST(LineServer, ReadsOnlyWantsItsTokenAndOutlastsBadClients) {
    TempFiles files;
    const QString store = StoreOfOne(
        files,
        {{"station", "s\"%1\n"}, {"port", "/dev/ttyUSB0"}, {"result", "passed"}, {"seconds", 2.5}});
    LineProcess line(store, {"--token", "s3cret"});
    QTcpSocket slow; // half a request, never finished
    slow.connectToHost(QStringLiteral("127.0.0.1"), line.Port());
    ASSERT_TRUE(slow.waitForConnected());
    slow.write("GET /api/sta");
    slow.flush();
    struct Case {
        QByteArray request;
        int status;
    };
    for (const Case& c : {
             Case{Get("/api/state"), 401},
             Case{Get("/"), 200}, // the page's own files hold nothing of the line
             Case{Get("/line.js"), 200},
             Case{Get("/api/state", "Authorization: Bearer s3cre\r\n"), 401},
             Case{Get("/api/state?token=s3cretX"), 401},
             Case{Get("/api/state", "Authorization: Bearer s3cret\r\n"), 200},
             Case{Get("/api/alarms?token=s3cret"), 200},
             Case{Get("/nothing?token=s3cret"), 404},
             Case{"POST /api/state?token=s3cret HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\n{}",
                  405},
             Case{"DELETE /api/alarms?token=s3cret HTTP/1.1\r\nHost: x\r\n\r\n", 405},
             Case{"\x16\x03\x01 not http at all\r\n\r\n", 0},
             Case{"GET /" + QByteArray(20000, 'a') + " HTTP/1.1\r\n\r\n", 0},
             Case{Get("/metrics?token=s3cret"), 200},
         }) {
        const auto [status, body] = Ask(line.Port(), c.request);
        if (c.status == 0) {
            EXPECT_TRUE(status == 0 || status >= 400)
                << status << " for " << c.request.left(40).toStdString();
        } else {
            EXPECT_EQ(status, c.status) << c.request.left(60).toStdString();
        }
        if (status == 200 && c.request.contains("/metrics")) {
            EXPECT_TRUE(
                body.contains("tavrel_attempts_total{station=\"s\\\"%1\\n\",slot=\"/dev/ttyUSB0\","
                              "result=\"passed\",failure=\"\"} 1\n"))
                << body.toStdString();
        }
    }
    // The live feed: its token, and only from this server's own page (any other site's page
    // could open it from an operator's browser).
    struct Live {
        const char* token;
        const char* origin;
        bool opens;
    };
    for (const Live& c : {Live{"", "", false}, Live{"wrong", "", false}, Live{"s3cret", "", true},
                          Live{"s3cret", "http://evil.example", false}}) {
        QWebSocket live(QString::fromLatin1(c.origin));
        QString text;
        QObject::connect(&live, &QWebSocket::textMessageReceived,
                         [&](const QString& message) { text = message; });
        live.open(
            QUrl(QStringLiteral("ws://127.0.0.1:%1/live?token=%2").arg(line.Port()).arg(c.token)));
        (void)QTest::qWaitFor([&] { return !text.isEmpty(); }, c.opens ? 10000 : 1500);
        EXPECT_EQ(!text.isEmpty(), c.opens) << c.token << " " << c.origin;
        if (c.opens) {
            EXPECT_EQ(QJsonDocument::fromJson(text.toUtf8())["stations"][0]["station"].toString(),
                      "s\"%1\n");
        }
    }
    const auto [headStatus, headBody] =
        Ask(line.Port(), "HEAD /api/state?token=s3cret HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(headStatus, 200);
    EXPECT_TRUE(headBody.isEmpty()) << "HEAD: the headers alone";
}

// Clients of the live feed that stop reading are dropped, one after another, and the server
// goes on (a frozen wall screen, with a large state to send).
TEST(LineServer, DropsLiveClientsThatStopReading) {
    TempFiles files;
    const QString store = StoreOfOne(files, {{"station", "s"},
                                             {"port", "/dev/ttyUSB0"},
                                             {"result", "failed"},
                                             {"failure", "no_ack"},
                                             {"reason", QString(3'000'000, QLatin1Char('x'))}});
    LineProcess line(store);
    std::vector<std::unique_ptr<QTcpSocket>> frozen;
    for (int client = 0; client < 2; ++client) {
        auto socket = std::make_unique<QTcpSocket>();
        socket->setReadBufferSize(1024); // reads no more: the kernel's buffers fill
        socket->connectToHost(QStringLiteral("127.0.0.1"), line.Port());
        ASSERT_TRUE(socket->waitForConnected());
        socket->write("GET /live HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                      "Connection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
                      "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n");
        frozen.push_back(std::move(socket));
    }
    QTest::qWait(16000); // three pushes of the state: more than the server keeps for one
    EXPECT_EQ(Ask(line.Port(), Get("/api/alarms")).first, 200) << "the server goes on";
}

} // namespace
