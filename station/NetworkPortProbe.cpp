// SPDX-License-Identifier: GPL-3.0-or-later
#include "station/NetworkPortProbe.h"

#include "serial/NetworkLine.h"

#include <chrono>

namespace station {

NetworkPortProbe::NetworkPortProbe(const QString& port) : m_port(port) {
    m_thread = std::thread([this] {
        while (!m_stop) {
            if (NetworkLine::Reach(m_port, kTryEveryMs, &m_stop).isEmpty() && m_stop == 0) {
                m_answered = true;
                return;
            }
            for (int slice = 0; slice < kTryEveryMs / 50 && !m_stop; ++slice) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        }
    });
}

NetworkPortProbe::~NetworkPortProbe() {
    m_stop = 1;
    m_thread.join();
}

} // namespace station
