// SPDX-License-Identifier: GPL-3.0-or-later
// Any byte stream, fed in pieces the stream itself chooses: the simulator's parser accounts for
// every byte (blocks, switch packets, noise, held back) and every block it reports is framed.
#include "sim/StreamParser.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::size_t accounted = 0;
    devsim::ParserEvents events;
    events.onBlock = [&](std::uint8_t number, const std::uint8_t* block) {
        if (number < 0x14 || block[-8] != 0xAA || block[1024] != 0x5A || block[1025] != 0x5B) {
            std::abort();
        }
        accounted += devsim::kBlockPacketLength;
    };
    events.onSwitch = [&] { accounted += devsim::kSwitchPacketLength; };
    events.onNoise = [&](std::size_t n) { accounted += n; };
    devsim::StreamParser parser(events);
    std::size_t at = 0;
    while (at < size) {
        const std::size_t piece = 1 + data[at] % 64 * 17;
        const std::size_t take = piece < size - at ? piece : size - at;
        parser.Feed(data + at, take);
        at += take;
        if (data[at - 1] == 0x42) {
            parser.Idle(data[at - 1 - (at > 1)] * 4);
        }
    }
    parser.Finish();
    if (accounted != size || parser.Pending() != 0) {
        std::abort();
    }
    return 0;
}
