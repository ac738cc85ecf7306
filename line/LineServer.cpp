// SPDX-License-Identifier: GPL-3.0-or-later
#include "line/LineServer.h"

#include <QDateTime>
#include <QFile>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonDocument>
#include <QTcpSocket>
#include <QUrlQuery>

namespace line {

namespace {

using Status = QHttpServerResponder::StatusCode;

thread_local bool t_head = false; // the request being answered is a HEAD

// The page and its parts, built into the program: nothing is fetched at run time.
struct Asset {
    const char* path;
    const char* resource;
    const char* type;
};
constexpr Asset kAssets[] = {
    {"/", ":/line/index.html", "text/html; charset=utf-8"},
    {"/line.js", ":/line/line.js", "text/javascript; charset=utf-8"},
    {"/line.css", ":/line/line.css", "text/css; charset=utf-8"},
};

void Answer(QHttpServerResponder& responder, Status status, const QByteArray& type,
            const QByteArray& body, const QByteArray& extraHeader = {},
            const QByteArray& extraValue = {}) {
    responder.writeStatusLine(status);
    responder.writeHeader("Content-Type", type);
    responder.writeHeader("Content-Length", QByteArray::number(body.size()));
    responder.writeHeader("Cache-Control", "no-store");
    responder.writeHeader("X-Content-Type-Options", "nosniff");
    responder.writeHeader("Referrer-Policy", "no-referrer");
    // The page runs its own script only, and talks to this server only.
    responder.writeHeader("Content-Security-Policy",
                          "default-src 'none'; script-src 'self'; style-src 'self'; "
                          "connect-src 'self'; img-src 'self' data:; frame-ancestors 'none'; "
                          "base-uri 'none'; form-action 'none'");
    if (!extraHeader.isEmpty()) {
        responder.writeHeader(extraHeader, extraValue);
    }
    responder.writeBody(t_head ? QByteArray() : body); // HEAD: the headers alone
}

QByteArray Json(const QJsonValue& value) {
    return value.isArray() ? QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact)
                           : QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact);
}

} // namespace

LineServer::LineServer(LineModel& model, LineFeed& feed, QByteArray token, QObject* parent)
    : QAbstractHttpServer(parent), m_model(model), m_feed(feed), m_token(std::move(token)) {
    m_push.setSingleShot(true);
    m_push.setInterval(100);
    connect(&m_push, &QTimer::timeout, this, &LineServer::Push);
    connect(&m_feed, &LineFeed::Changed, this, [this] {
        if (!m_sockets.empty() && !m_push.isActive()) {
            m_push.start();
        }
    });
    connect(this, &QAbstractHttpServer::newWebSocketConnection, this, &LineServer::TakeWebSockets);
}

LineServer::~LineServer() = default;

bool LineServer::TokenMatches(const QByteArray& given) const {
    if (m_token.isEmpty()) {
        return true;
    }
    // The same time for every wrong token: its length and bytes are not told by the answer.
    unsigned char differs = given.size() == m_token.size() ? 0 : 1;
    for (qsizetype i = 0; i < m_token.size(); ++i) {
        const char other = given.isEmpty() ? '\0' : given.at(i % given.size());
        differs |= static_cast<unsigned char>(m_token.at(i) ^ other);
    }
    return differs == 0;
}

bool LineServer::Allowed(const QHttpServerRequest& request) const {
    const QByteArray authorization = request.value("authorization");
    const QByteArray bearer("Bearer ");
    if (authorization.startsWith(bearer)) {
        return TokenMatches(authorization.mid(bearer.size()));
    }
    return TokenMatches(request.query().queryItemValue(QStringLiteral("token")).toUtf8());
}

QJsonObject LineServer::Summary() {
    if (!m_summaryAge.isValid() || m_summaryAge.elapsed() >= 1000) {
        m_summary = m_model.Summary(QDateTime::currentMSecsSinceEpoch());
        m_summaryAge.start();
    }
    return m_summary;
}

QJsonObject LineServer::State() {
    return {{"stations", m_model.Stations()},
            {"alarms", m_model.Alarms()},
            {"summary", Summary()},
            {"store", QJsonObject{{"reachable", m_feed.Reachable()},
                                  {"error", m_feed.Reachable() ? QString() : m_feed.LastError()}}},
            {"time", QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)}};
}

bool LineServer::SameOrigin(const QHttpServerRequest& request) const {
    // A page of another site may open a WebSocket here (browsers do not stop it): it must come
    // from this server's own page, whose origin is the host it was asked for.
    const QByteArray origin = request.value("origin");
    if (origin.isEmpty()) {
        return true; // not a browser
    }
    const QUrl url(QString::fromUtf8(origin));
    const QByteArray host = request.value("host");
    return url.scheme() == QLatin1String("http") &&
           QStringLiteral("%1:%2").arg(url.host()).arg(url.port(80)).toUtf8() ==
               (host.contains(':') ? host : host + ":80");
}

bool LineServer::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) {
    t_head = request.method() == QHttpServerRequest::Method::Head;
    if (request.value("upgrade").compare("websocket", Qt::CaseInsensitive) == 0) {
        // Taken by the WebSocket server as it is (nothing written here); refused: answered by
        // missingHandler.
        return request.url().path() == QLatin1String("/live") && Allowed(request) &&
               SameOrigin(request);
    }
    QHttpServerResponder responder = makeResponder(request, socket);
    if (request.method() != QHttpServerRequest::Method::Get &&
        request.method() != QHttpServerRequest::Method::Head) {
        Answer(responder, Status::MethodNotAllowed, "text/plain; charset=utf-8",
               "tavrel-line only reads\n", "Allow", "GET, HEAD");
        return true;
    }
    // The page's own files hold no data of the line: a browser fetches them without the
    // token, which the page then sends with each request of its own.
    const QString path = request.url().path();
    for (const Asset& asset : kAssets) {
        if (path == QLatin1String(asset.path)) {
            QFile file(QString::fromLatin1(asset.resource));
            file.open(QIODevice::ReadOnly);
            Answer(responder, Status::Ok, asset.type, file.readAll());
            return true;
        }
    }
    if (!Allowed(request)) {
        Answer(responder, Status::Unauthorized, "text/plain; charset=utf-8",
               "a token is needed: Authorization: Bearer TOKEN, or ?token=TOKEN\n",
               "WWW-Authenticate", "Bearer realm=\"tavrel-line\"");
        return true;
    }
    const QByteArray json("application/json");
    if (path == QLatin1String("/api/state")) {
        Answer(responder, Status::Ok, json, Json(State()));
    } else if (path == QLatin1String("/api/stations")) {
        Answer(responder, Status::Ok, json, Json(m_model.Stations()));
    } else if (path == QLatin1String("/api/slots")) {
        QJsonArray slots;
        for (const QJsonValue& station : m_model.Stations()) {
            for (const QJsonValue& slot : station[QLatin1String("slots")].toArray()) {
                QJsonObject row = slot.toObject();
                row.insert(QStringLiteral("station"), station[QLatin1String("station")]);
                slots.append(row);
            }
        }
        Answer(responder, Status::Ok, json, Json(slots));
    } else if (path == QLatin1String("/api/summary")) {
        Answer(responder, Status::Ok, json, Json(Summary()));
    } else if (path == QLatin1String("/api/alarms")) {
        Answer(responder, Status::Ok, json, Json(m_model.Alarms()));
    } else if (path == QLatin1String("/metrics")) {
        const QString store = QStringLiteral("# HELP tavrel_line_store_up Whether the line's store "
                                             "answered tavrel-line's last look.\n"
                                             "# TYPE tavrel_line_store_up gauge\n"
                                             "tavrel_line_store_up %1\n")
                                  .arg(m_feed.Reachable() ? 1 : 0);
        Answer(responder, Status::Ok, "text/plain; version=0.0.4; charset=utf-8",
               m_model.Metrics(store));
    } else {
        Answer(responder, Status::NotFound, "text/plain; charset=utf-8", "not found\n");
    }
    return true;
}

void LineServer::missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) {
    QHttpServerResponder responder = makeResponder(request, socket);
    if (!Allowed(request) || !SameOrigin(request)) {
        Answer(responder, Status::Unauthorized, "text/plain; charset=utf-8", "a token is needed\n",
               "WWW-Authenticate", "Bearer realm=\"tavrel-line\"");
        return;
    }
    Answer(responder, Status::NotFound, "text/plain; charset=utf-8", "not found\n");
}

void LineServer::TakeWebSockets() {
    while (hasPendingWebSocketConnections()) {
        std::unique_ptr<QWebSocket> socket = nextPendingWebSocketConnection();
        const QUrl url = socket->requestUrl();
        const QByteArray authorization = socket->request().rawHeader("Authorization");
        const bool allowed =
            authorization.startsWith("Bearer ")
                ? TokenMatches(authorization.mid(7))
                : TokenMatches(QUrlQuery(url).queryItemValue(QStringLiteral("token")).toUtf8());
        if (url.path() != QLatin1String("/live") || !allowed) {
            socket->close(QWebSocketProtocol::CloseCodePolicyViolated,
                          allowed ? QStringLiteral("not found") : QStringLiteral("unauthorized"));
            socket.release()->deleteLater();
            continue;
        }
        QWebSocket* live = socket.get();
        live->setMaxAllowedIncomingMessageSize(1024); // the feed only speaks
        live->setMaxAllowedIncomingFrameSize(1024);
        connect(live, &QWebSocket::disconnected, this, [this, live] {
            for (auto it = m_sockets.begin(); it != m_sockets.end(); ++it) {
                if (it->get() == live) {
                    it->release()->deleteLater();
                    m_sockets.erase(it);
                    return;
                }
            }
        });
        // A client that sends anything is ignored: the feed only speaks.
        live->sendTextMessage(QString::fromUtf8(Json(State())));
        m_sockets.push_back(std::move(socket));
    }
}

void LineServer::Push() {
    const QString state = QString::fromUtf8(Json(State()));
    std::vector<QWebSocket*> stalled;
    for (const auto& socket : m_sockets) {
        // A client that does not read is dropped rather than buffered without end.
        if (socket->bytesToWrite() > 8 * 1024 * 1024) {
            stalled.push_back(socket.get());
            continue;
        }
        socket->sendTextMessage(state);
    }
    for (QWebSocket* socket : stalled) {
        socket->abort(); // its disconnected handler takes it out of m_sockets, now or later
    }
}

} // namespace line
