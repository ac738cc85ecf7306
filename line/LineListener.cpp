// SPDX-License-Identifier: GPL-3.0-or-later
#include "line/LineListener.h"

#include <QTcpSocket>
#include <QTimer>
#include <unistd.h>

namespace line {

LineListener::LineListener(int maxOpen, QObject* parent) : QTcpServer(parent), m_maxOpen(maxOpen) {
    connect(this, &QTcpServer::acceptError, this, [this] {
        // Out of descriptors: the listener stops; a moment later some may be free again.
        QTimer::singleShot(500, this, [this] { resumeAccepting(); });
    });
}

void LineListener::incomingConnection(qintptr descriptor) {
    if (m_open >= m_maxOpen) {
        ::close(int(descriptor));
        return;
    }
    auto* socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    ++m_open;
    connect(socket, &QObject::destroyed, this, [this] { --m_open; });
    addPendingConnection(socket);
}

} // namespace line
