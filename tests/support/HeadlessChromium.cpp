// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/HeadlessChromium.h"

#include "support/FreePort.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QTest>
#include <QWebSocket>
#include <stdexcept>
#include <unistd.h>

namespace {

constexpr const char* kChromium = "/usr/bin/chromium";

// A GET on 127.0.0.1: the body, or nothing.
QByteArray Get(quint16 port, const QByteArray& path) {
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    if (!socket.waitForConnected(2000)) {
        return {};
    }
    // The browser names its targets' addresses after the Host it is asked by.
    socket.write("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port) +
                 "\r\nConnection: close\r\n\r\n");
    QByteArray answer;
    while (socket.waitForReadyRead(2000)) {
        answer += socket.readAll();
    }
    answer += socket.readAll();
    const qsizetype body = answer.indexOf("\r\n\r\n");
    return body < 0 ? QByteArray() : answer.mid(body + 4);
}

} // namespace

bool HeadlessChromium::Available() {
    return QFileInfo(QString::fromLatin1(kChromium)).isExecutable();
}

HeadlessChromium::HeadlessChromium(const QString& url, int width, int height) {
    const quint16 port = FreePort();
    QStringList arguments{"--headless",
                          "--disable-gpu",
                          "--disable-quic",
                          "--no-first-run",
                          "--disable-background-networking",
                          "--disable-component-update",
                          "--disable-sync",
                          "--hide-scrollbars",
                          "--remote-debugging-address=127.0.0.1",
                          "--remote-allow-origins=*", // the test's own client, on loopback
                          QStringLiteral("--remote-debugging-port=%1").arg(port),
                          QStringLiteral("--user-data-dir=%1").arg(m_profile.path()),
                          QStringLiteral("--window-size=%1,%2").arg(width).arg(height)};
    if (::geteuid() == 0) {
        arguments << "--no-sandbox";
    }
    m_browser.setProcessChannelMode(QProcess::MergedChannels); // its chatter, read and dropped
    m_browser.start(QString::fromLatin1(kChromium), arguments << url);
    if (!m_browser.waitForStarted()) {
        throw std::runtime_error("chromium does not start");
    }
    // The page's own DevTools target, once the browser lists it.
    QString target;
    QElapsedTimer waited;
    waited.start();
    while (target.isEmpty() && waited.elapsed() < 30000) {
        m_browser.readAll();
        for (const QJsonValue& entry : QJsonDocument::fromJson(Get(port, "/json/list")).array()) {
            if (entry[QLatin1String("type")].toString() == QLatin1String("page")) {
                target = entry[QLatin1String("webSocketDebuggerUrl")].toString();
            }
        }
        if (target.isEmpty()) {
            QTest::qWait(100);
        }
    }
    m_devtools = std::make_unique<QWebSocket>();
    if (!target.isEmpty()) {
        m_devtools->open(QUrl(target));
    }
    if (!QTest::qWaitFor([this] { return m_devtools->state() == QAbstractSocket::ConnectedState; },
                         10000)) {
        m_browser.kill(); // the destructor does not run for an object never made
        m_browser.waitForFinished();
        throw std::runtime_error(target.isEmpty() ? std::string("chromium lists no page")
                                                  : "chromium's DevTools do not answer at " +
                                                        target.toStdString() + ": " +
                                                        m_devtools->errorString().toStdString());
    }
    // The page itself that size (the window's own frame takes some of --window-size).
    Call(QStringLiteral("Emulation.setDeviceMetricsOverride"),
         {{"width", width}, {"height", height}, {"deviceScaleFactor", 1}, {"mobile", false}});
}

HeadlessChromium::~HeadlessChromium() {
    if (m_devtools) {
        m_devtools->close();
    }
    m_browser.terminate();
    if (!m_browser.waitForFinished(5000)) {
        m_browser.kill();
        m_browser.waitForFinished();
    }
}

QJsonValue HeadlessChromium::Call(const QString& method, const QJsonObject& params) {
    const int id = m_nextId++;
    QJsonValue result;
    bool answered = false;
    const auto connection = QObject::connect(
        m_devtools.get(), &QWebSocket::textMessageReceived, [&](const QString& message) {
            const QJsonObject answer = QJsonDocument::fromJson(message.toUtf8()).object();
            if (answer[QLatin1String("id")].toInt() == id) {
                result = answer[QLatin1String("result")];
                answered = true;
            }
        });
    m_devtools->sendTextMessage(QString::fromUtf8(
        QJsonDocument(QJsonObject{{"id", id}, {"method", method}, {"params", params}})
            .toJson(QJsonDocument::Compact)));
    (void)QTest::qWaitFor([&] { return answered; }, 10000);
    QObject::disconnect(connection);
    m_browser.readAll();
    return result;
}

QJsonValue HeadlessChromium::Evaluate(const QString& expression) {
    const QJsonValue result =
        Call(QStringLiteral("Runtime.evaluate"),
             {{"expression", expression}, {"returnByValue", true}, {"awaitPromise", true}});
    return result[QLatin1String("result")][QLatin1String("value")];
}

bool HeadlessChromium::WaitFor(const QString& expression, int ms) {
    return QTest::qWaitFor([&] { return Evaluate(expression).toBool(); }, ms);
}

QByteArray HeadlessChromium::Screenshot() {
    const QJsonValue result = Call(QStringLiteral("Page.captureScreenshot"), {{"format", "png"}});
    return QByteArray::fromBase64(result[QLatin1String("data")].toString().toLatin1());
}
