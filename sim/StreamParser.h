// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The simulated boot loader's view of the byte stream: block packets, the switch packet and
// everything else (noise). Written from the wire format on its own, without the tool's packet
// builder, so that the two check each other.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace devsim {

inline constexpr std::size_t kBlockPacketLength = 1034;
inline constexpr std::size_t kSwitchPacketLength = 12;

struct ParserEvents {
    // blockNumber is the byte the packet carries (0x14 for the first block).
    std::function<void(std::uint8_t blockNumber, const std::uint8_t* data)> onBlock;
    std::function<void()> onSwitch;
    std::function<void(std::size_t count)> onNoise;
};

class StreamParser {
  public:
    explicit StreamParser(ParserEvents events) : m_events(std::move(events)) {}

    // The 12 bytes of a switch packet are also the first 12 bytes of a packet for block number
    // 0xFF whose data begins 5A 5B 5C 5D. Block 0xFF only ever follows block 0xFE, so anywhere
    // else they are a switch packet at once; right after block 0xFE they are one only when the
    // line then stays quiet this long (the tool sends nothing after a switch, while the rest of
    // a block follows, however slowly, within far less).
    static constexpr int kSwitchAfterLastBlockQuietMs = 500;

    void Feed(const std::uint8_t* data, std::size_t length);
    // The line has been quiet for `quietMs` since the last byte.
    void Idle(int quietMs);
    // Bytes held back while a packet is incomplete.
    std::size_t Pending() const { return m_buffer.size(); }
    // The stream has ended: whatever is held back is noise.
    void Finish();

  private:
    enum class Match { No, NeedMore, Block, Switch };
    Match MatchAt(std::size_t offset, int quietMs) const;
    void Parse(int quietMs);

    ParserEvents m_events;
    std::vector<std::uint8_t> m_buffer;
    int m_lastBlock = -1; // the number of the last block since the last switch packet
};

} // namespace devsim
