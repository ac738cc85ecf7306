// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A port on a serial server cannot be watched like a device node: nothing appears when a board
// is connected to the server. The station tries its server instead, once a second on a thread
// of its own, until it takes a connection; from then on the port is there, for the length of the
// run. Every connection opens the server's port, and with it may reset the board on it: so the
// connection that found the port is kept, set up as an update needs, and the board's first
// update runs on it. Trying stops there.

#include "serial/Line.h"
#include "serial/Port.h"
#include "serial/StopFlag.h"

#include <QString>
#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

namespace station {

class NetworkPortProbe {
  public:
    static constexpr int kTryEveryMs = 1000;

    // The probe first looks its host up and claims its identity in `claims`: a port another
    // probe has claimed is never tried.
    NetworkPortProbe(const Port& port, const SerialSettings& settings,
                     std::shared_ptr<PortClaims> claims);
    ~NetworkPortProbe(); // ends the trying within 50 ms (a name lookup under way excepted)
    NetworkPortProbe(const NetworkPortProbe&) = delete;
    NetworkPortProbe& operator=(const NetworkPortProbe&) = delete;

    const QString& PortName() const { return m_port.device; }
    bool Answered() const { return m_answered; }
    // The connection that found the port, once: the board's first update runs on it. Nothing
    // when the server answered but refused the opening (the update opens it and says why), or
    // when it was taken already.
    std::unique_ptr<Line> TakeLine();

  private:
    const Port m_port;
    const SerialSettings m_settings;
    const std::shared_ptr<PortClaims> m_claims;
    std::atomic<bool> m_answered{false};
    std::mutex m_mutex;
    std::unique_ptr<Line> m_line; // held from the answer until an update takes it
    StopFlag m_stop{0};
    std::thread m_thread;
};

} // namespace station
