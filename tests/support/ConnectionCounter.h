// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A TCP relay on 127.0.0.1 in front of a server's port that counts the connections it takes, one
// at a time: how many times a flasher connected, and so how many times the server opened its
// port. Until Listen() its port refuses connections, as a server's that is down.

#include <QtGlobal>
#include <atomic>
#include <thread>

class ConnectionCounter {
  public:
    explicit ConnectionCounter(quint16 targetPort);
    ~ConnectionCounter();
    void Listen();
    quint16 Port() const { return m_port; }
    int Connections() const { return m_connections; }

  private:
    quint16 m_targetPort;
    quint16 m_port = 0;
    int m_listener = -1;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_connections{0};
    std::thread m_thread;
};
