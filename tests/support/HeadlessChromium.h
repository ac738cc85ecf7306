// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Debian's Chromium, headless, on a page of the test's: started with its own profile in a
// temporary folder and its DevTools on a free port of 127.0.0.1, through which the test reads
// the page as the browser has it (JavaScript evaluated in the page) and takes screenshots. As
// root it runs without its sandbox, which root cannot have.

#include <QByteArray>
#include <QJsonValue>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <memory>

class QWebSocket;

class HeadlessChromium {
  public:
    static bool Available();
    // Opens `url` in a window of that size; throws when the browser does not start.
    explicit HeadlessChromium(const QString& url, int width = 1920, int height = 1080);
    ~HeadlessChromium();
    HeadlessChromium(const HeadlessChromium&) = delete;
    HeadlessChromium& operator=(const HeadlessChromium&) = delete;

    // The value of a JavaScript expression in the page (undefined when it threw).
    QJsonValue Evaluate(const QString& expression);
    // Whether the expression became true within `ms`.
    bool WaitFor(const QString& expression, int ms);
    // The page as a PNG.
    QByteArray Screenshot();

  private:
    QJsonValue Call(const QString& method, const QJsonObject& params);

    QTemporaryDir m_profile;
    QProcess m_browser;
    std::unique_ptr<QWebSocket> m_devtools;
    int m_nextId = 1;
};
