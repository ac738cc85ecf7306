// SPDX-License-Identifier: GPL-3.0-or-later
#include "sim/StreamParser.h"

#include <algorithm>

namespace devsim {
namespace {
constexpr std::array<std::uint8_t, 7> kPreamble = {0xAA, 0xBB, 0x47, 0xD4, 0xE5, 0xFF, 0x00};
constexpr std::array<std::uint8_t, 5> kSwitchTail = {0xFF, 0x5A, 0x5B, 0x5C, 0x5D};
constexpr std::uint8_t kFirstBlockNumber = 0x14;
} // namespace

void StreamParser::Feed(const std::uint8_t* data, std::size_t length) {
    m_buffer.insert(m_buffer.end(), data, data + length);
    Parse(0);
}

void StreamParser::Idle(int quietMs) {
    Parse(quietMs);
}

void StreamParser::Finish() {
    Parse(kSwitchAfterLastBlockQuietMs);
    if (!m_buffer.empty() && m_events.onNoise) {
        m_events.onNoise(m_buffer.size());
    }
    m_buffer.clear();
}

StreamParser::Match StreamParser::MatchAt(std::size_t offset, int quietMs) const {
    const std::size_t available = m_buffer.size() - offset;
    const std::uint8_t* p = m_buffer.data() + offset;
    for (std::size_t i = 0; i < kPreamble.size(); ++i) {
        if (i >= available) {
            return Match::NeedMore;
        }
        if (p[i] != kPreamble[i]) {
            return Match::No;
        }
    }
    if (available < 8) {
        return Match::NeedMore;
    }
    if (p[7] < kFirstBlockNumber) {
        return Match::No;
    }
    bool couldBeSwitch = p[7] == 0xFF;
    for (std::size_t i = 1; couldBeSwitch && i < kSwitchTail.size(); ++i) {
        if (7 + i >= available) {
            return Match::NeedMore;
        }
        couldBeSwitch = p[7 + i] == kSwitchTail[i];
    }
    if (couldBeSwitch && m_lastBlock != 0xFE) {
        return Match::Switch; // block 0xFF can only come right after block 0xFE
    }
    if (available >= kBlockPacketLength) {
        if (p[1032] == 0x5A && p[1033] == 0x5B) {
            return Match::Block;
        }
        return couldBeSwitch ? Match::Switch : Match::No;
    }
    if (couldBeSwitch && quietMs >= kSwitchAfterLastBlockQuietMs) {
        return Match::Switch;
    }
    return Match::NeedMore;
}

void StreamParser::Parse(int quietMs) {
    std::size_t offset = 0;
    std::size_t noise = 0;
    auto flushNoise = [&] {
        if (noise > 0 && m_events.onNoise) {
            m_events.onNoise(noise);
        }
        noise = 0;
    };
    while (offset < m_buffer.size()) {
        const Match match = MatchAt(offset, quietMs);
        if (match == Match::NeedMore) {
            break; // a packet still arriving; a quiet line alone does not make it noise
        }
        if (match == Match::Block) {
            flushNoise();
            m_lastBlock = m_buffer[offset + 7];
            if (m_events.onBlock) {
                m_events.onBlock(m_buffer[offset + 7], m_buffer.data() + offset + 8);
            }
            offset += kBlockPacketLength;
        } else if (match == Match::Switch) {
            flushNoise();
            m_lastBlock = -1;
            if (m_events.onSwitch) {
                m_events.onSwitch();
            }
            offset += kSwitchPacketLength;
        } else {
            // Not a packet here (or a packet cut short by a quiet line): one byte of noise,
            // then look again from the next byte.
            ++noise;
            ++offset;
        }
    }
    flushNoise();
    m_buffer.erase(m_buffer.begin(), m_buffer.begin() + static_cast<std::ptrdiff_t>(offset));
}

} // namespace devsim
