// SPDX-License-Identifier: GPL-3.0-or-later
#include "station/NetworkPortProbe.h"

#include "serial/NetworkLine.h"

#include <chrono>

namespace station {

NetworkPortProbe::NetworkPortProbe(const Port& port, const SerialSettings& settings,
                                   std::shared_ptr<PortClaims> claims)
    : m_port(port), m_settings(settings), m_claims(std::move(claims)) {
    m_thread = std::thread([this] {
        if (m_claims && !m_claims->Claim(IdentityKeys(m_port), m_port.device).isEmpty()) {
            return; // another name for a board that another probe watches
        }
        while (m_stop == 0) {
            auto line = std::make_unique<NetworkLine>();
            line->WatchStop(&m_stop);
            if (line->Open(m_port, m_settings, true)) {
                const std::lock_guard lock(m_mutex);
                m_line = std::move(line);
                m_answered = true;
                return;
            }
            if (line->Reached() && m_stop == 0) {
                // The server is there and refused something: the update says what.
                m_answered = true;
                return;
            }
            for (int slice = 0; slice < kTryEveryMs / 50 && m_stop == 0; ++slice) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        }
    });
}

NetworkPortProbe::~NetworkPortProbe() {
    m_stop = 1;
    m_thread.join();
}

std::unique_ptr<Line> NetworkPortProbe::TakeLine() {
    const std::lock_guard lock(m_mutex);
    if (m_line) {
        m_line->WatchStop(nullptr); // the update watches its own stop
    }
    return std::move(m_line);
}

} // namespace station
