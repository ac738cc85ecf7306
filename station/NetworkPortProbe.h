// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A port on a serial server cannot be watched like a device node: nothing appears when a board
// is connected to the server. The station tries its server instead, once a second on a thread
// of its own, until a connection is taken; from then on the port is there, for the length of the
// run. Trying stops there, because every connection opens the server's port, and with it may
// reset the board on it.

#include "serial/StopFlag.h"

#include <QString>
#include <thread>

namespace station {

class NetworkPortProbe {
  public:
    static constexpr int kTryEveryMs = 1000;

    explicit NetworkPortProbe(const QString& port);
    ~NetworkPortProbe(); // ends the trying within 50 ms (a name lookup under way excepted)
    NetworkPortProbe(const NetworkPortProbe&) = delete;
    NetworkPortProbe& operator=(const NetworkPortProbe&) = delete;

    const QString& Port() const { return m_port; }
    bool Answered() const { return m_answered; }

  private:
    QString m_port;
    std::atomic<bool> m_answered{false};
    StopFlag m_stop{0};
    std::thread m_thread;
};

} // namespace station
