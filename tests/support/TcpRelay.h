// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A TCP relay on 127.0.0.1 to a port of the same host, that a test can cut as a network would
// be: every connection through it is dropped and new ones are refused until it is restored.
// Only the clients that go through it are cut off; the server goes on for everyone else.

#include <QtGlobal>
#include <atomic>
#include <thread>

class TcpRelay {
  public:
    explicit TcpRelay(quint16 target); // listens on a free port; throws when it cannot
    ~TcpRelay();
    TcpRelay(const TcpRelay&) = delete;
    TcpRelay& operator=(const TcpRelay&) = delete;

    quint16 Port() const { return m_port; }
    void Cut();
    void Restore();

  private:
    void Run();

    const quint16 m_target;
    quint16 m_port = 0;
    std::atomic<bool> m_cut{false};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};
