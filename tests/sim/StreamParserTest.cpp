// SPDX-License-Identifier: GPL-3.0-or-later
// The simulator's parser against byte streams built by hand from the wire format.
#include "sim/StreamParser.h"
#include "sim/DevSim.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes HandBlock(std::uint8_t number, std::uint8_t fill, Bytes head = {}) {
    Bytes packet = {0xAA, 0xBB, 0x47, 0xD4, 0xE5, 0xFF, 0x00, number};
    Bytes data(1024, fill);
    std::copy(head.begin(), head.end(), data.begin());
    packet.insert(packet.end(), data.begin(), data.end());
    packet.push_back(0x5A);
    packet.push_back(0x5B);
    return packet;
}

const Bytes kSwitch = {0xAA, 0xBB, 0x47, 0xD4, 0xE5, 0xFF, 0x00, 0xFF, 0x5A, 0x5B, 0x5C, 0x5D};

// Records what the parser saw as a compact script: "B14:00" for a block, "S", "N3".
struct Recorder {
    std::vector<std::string> seen;
    devsim::ParserEvents Events() {
        return {[this](std::uint8_t number, const std::uint8_t* data) {
                    char text[16];
                    std::snprintf(text, sizeof text, "B%02X:%02X", number, data[1023]);
                    seen.emplace_back(text);
                },
                [this] { seen.emplace_back("S"); },
                [this](std::size_t n) { seen.push_back("N" + std::to_string(n)); }};
    }
};

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

struct StreamCase {
    const char* name;
    Bytes stream;
    std::size_t chunk; // fed in pieces of this size
    std::vector<std::string> expected;
};

class StreamTest : public ::testing::TestWithParam<StreamCase> {};

TEST_P(StreamTest, RecognisesPacketsAndNoise) {
    Recorder recorder;
    devsim::StreamParser parser(recorder.Events());
    const Bytes& stream = GetParam().stream;
    for (std::size_t at = 0; at < stream.size(); at += GetParam().chunk) {
        parser.Feed(stream.data() + at, std::min(GetParam().chunk, stream.size() - at));
    }
    parser.Idle(20);
    parser.Finish();
    EXPECT_EQ(recorder.seen, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Streams, StreamTest,
    ::testing::Values(
        StreamCase{"OneBlock", HandBlock(0x14, 0x11), 4096, {"B14:11"}},
        StreamCase{"SplitAnywhere",
                   Concat({HandBlock(0x14, 1), HandBlock(0x15, 2)}),
                   7,
                   {"B14:01", "B15:02"}},
        StreamCase{"ByteByByte", HandBlock(0x20, 9), 1, {"B20:09"}},
        StreamCase{"SwitchAlone", kSwitch, 4096, {"S"}},
        StreamCase{"NoiseAround",
                   Concat({Bytes{'h', 'i', '\r', '\n'}, HandBlock(0x14, 3), Bytes{0xAA, 1}}),
                   4096,
                   {"N4", "B14:03", "N2"}},
        StreamCase{"BadTrailerIsNoise",
                   [] {
                       Bytes b = HandBlock(0x14, 0);
                       b[1033] = 0x00;
                       return b;
                   }(),
                   4096,
                   {"N1034"}},
        StreamCase{"NumberBelowFirstBlockIsNoise", HandBlock(0x13, 0), 4096, {"N1034"}},
        // Block 235 carries 0xFF like the switch packet; its data may even begin like it.
        StreamCase{"LastBlockLooksLikeSwitch",
                   Concat({HandBlock(0xFE, 1), HandBlock(0xFF, 0x77, {0x5A, 0x5B, 0x5C, 0x5D})}),
                   4096,
                   {"BFE:01", "BFF:77"}},
        StreamCase{"LastBlockByteByByte",
                   Concat({HandBlock(0xFE, 1), HandBlock(0xFF, 0x66, {0x5A, 0x5B, 0x5C, 0x5D})}),
                   1,
                   {"BFE:01", "BFF:66"}},
        StreamCase{
            "BlockThenSwitch", Concat({HandBlock(0x14, 5), kSwitch}), 4096, {"B14:05", "S"}}),
    [](const auto& info) { return std::string(info.param.name); });

// Right after block 0xFE the switch packet's bytes may begin block 0xFF: only a long quiet
// decides, and a block arriving a byte every 25 ms is still a block.
TEST(StreamParser, AfterBlockFESwitchNeedsLongQuietAndSlowBlockStaysABlock) {
    for (const bool isSwitch : {true, false}) {
        Recorder recorder;
        devsim::StreamParser parser(recorder.Events());
        const Bytes before = HandBlock(0xFE, 2);
        parser.Feed(before.data(), before.size());
        const Bytes next = isSwitch ? kSwitch : HandBlock(0xFF, 3, {0x5A, 0x5B, 0x5C, 0x5D});
        for (std::uint8_t byte : next) {
            parser.Feed(&byte, 1);
            parser.Idle(25);
        }
        const auto expected = isSwitch ? std::vector<std::string>{"BFE:02"}
                                       : std::vector<std::string>{"BFE:02", "BFF:03"};
        EXPECT_EQ(recorder.seen, expected);
        parser.Idle(devsim::StreamParser::kSwitchAfterLastBlockQuietMs);
        EXPECT_EQ(recorder.seen.back(), isSwitch ? "S" : "BFF:03");
    }
}

TEST(StreamParser, SwitchFollowedByBlockWithoutPause) {
    Recorder recorder;
    devsim::StreamParser parser(recorder.Events());
    const Bytes stream = Concat({kSwitch, HandBlock(0x14, 8)});
    parser.Feed(stream.data(), stream.size());
    parser.Finish();
    EXPECT_EQ(recorder.seen, (std::vector<std::string>{"S", "B14:08"}));
}

TEST(StreamParser, PartialPacketWaitsThroughQuietThenCompletes) {
    Recorder recorder;
    devsim::StreamParser parser(recorder.Events());
    const Bytes block = HandBlock(0x16, 4);
    parser.Feed(block.data(), 500);
    parser.Idle(devsim::StreamParser::kSwitchAfterLastBlockQuietMs);
    EXPECT_TRUE(recorder.seen.empty());
    parser.Feed(block.data() + 500, block.size() - 500);
    EXPECT_EQ(recorder.seen, std::vector<std::string>{"B16:04"});
}

// --echo-serial reads the number a board's program would print: never past the image, and only
// digits as digits.
TEST(EchoSerial, ReadsTheNumberOrNothing) {
    const std::string image = std::string("\x2a\x00\x00\x00", 4) + "00001234" + "-0000001" + "00FF";
    struct Case {
        long offset;
        const char* format;
        const char* read;
    };
    for (const Case& c :
         {Case{0, "u32le", "42"}, Case{0, "u32be", "704643072"}, Case{4, "dec:8", "1234"},
          Case{20, "hex:4", "255"}, Case{12, "dec:8", ""}, Case{22, "u32le", ""},
          Case{0x7FFFFFFFFFFFFFFEL, "u32le", ""}, Case{0, "u16le", ""}}) {
        EXPECT_EQ(devsim::ReadSerial(image, c.offset, c.format), c.read) << c.offset << c.format;
    }
}

} // namespace
