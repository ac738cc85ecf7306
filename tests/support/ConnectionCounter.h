// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A TCP relay on 127.0.0.1 in front of a server's port that counts the connections it takes:
// how many times a flasher connected, and so how many times the server opened its port.

#include <QString>
#include <atomic>
#include <thread>

class ConnectionCounter {
  public:
    // Relays each connection to 127.0.0.1:`targetPort`.
    explicit ConnectionCounter(quint16 targetPort);
    ~ConnectionCounter();
    ConnectionCounter(const ConnectionCounter&) = delete;
    ConnectionCounter& operator=(const ConnectionCounter&) = delete;

    quint16 Port() const { return m_port; }
    int Connections() const { return m_connections; }

  private:
    void Serve();

    quint16 m_targetPort;
    quint16 m_port = 0;
    int m_listener = -1;
    int m_wake[2] = {-1, -1};
    std::atomic<int> m_connections{0};
    std::thread m_thread;
};
