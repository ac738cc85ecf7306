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

    void Feed(const std::uint8_t* data, std::size_t length);
    // The line has gone quiet. A switch packet is only certain then: its 12 bytes are also
    // the first 12 bytes of a packet for block number 0xFF whose data begins 5A 5B 5C 5D.
    void Idle();
    // Bytes held back while a packet is incomplete.
    std::size_t Pending() const { return m_buffer.size(); }
    // The stream has ended: whatever is held back is noise.
    void Finish();

  private:
    enum class Match { No, NeedMore, Block, Switch };
    Match MatchAt(std::size_t offset, bool idle) const;
    void Parse(bool idle);

    ParserEvents m_events;
    std::vector<std::uint8_t> m_buffer;
};

} // namespace devsim
