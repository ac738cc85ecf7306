// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The socket tavrel-line listens on: at most so many connections open at once (a client that
// opens more is closed at once, the others go on), and a listener that runs out of file
// descriptors takes connections again a moment later instead of never.

#include <QTcpServer>

namespace line {

class LineListener : public QTcpServer {
    Q_OBJECT

  public:
    explicit LineListener(int maxOpen, QObject* parent = nullptr);
    int Open() const { return m_open; }

  protected:
    void incomingConnection(qintptr descriptor) override;

  private:
    const int m_maxOpen;
    int m_open = 0;
};

} // namespace line
