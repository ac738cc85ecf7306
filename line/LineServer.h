// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// tavrel-line's HTTP server: the page (its HTML, script and style, built in), the API under
// /api/, Prometheus' /metrics and the page's live feed (a WebSocket at /live that gets the
// line's state whenever it changes). Nothing it answers writes anything. With a token, every
// request must carry it (Authorization: Bearer TOKEN, or ?token=TOKEN), else 401.

#include "line/LineFeed.h"
#include "line/LineModel.h"

#include <QAbstractHttpServer>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QTimer>
#include <QWebSocket>
#include <memory>
#include <vector>

namespace line {

class LineServer : public QAbstractHttpServer {
    Q_OBJECT

  public:
    LineServer(LineModel& model, LineFeed& feed, QByteArray token, QObject* parent = nullptr);
    ~LineServer() override;

    // The whole state the page shows, as the live feed sends it.
    QJsonObject State();

  protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

  private:
    bool Allowed(const QHttpServerRequest& request) const;
    bool SameOrigin(const QHttpServerRequest& request) const;
    bool TokenMatches(const QByteArray& given) const;
    void TakeWebSockets();
    void Push();
    QJsonObject Summary();

    LineModel& m_model;
    LineFeed& m_feed;
    const QByteArray m_token;
    std::vector<std::unique_ptr<QWebSocket>> m_sockets;
    QTimer m_push; // changes close together go out as one
    QJsonObject m_summary;
    QElapsedTimer m_summaryAge; // the figures are made at most once a second
};

} // namespace line
