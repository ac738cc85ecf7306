// SPDX-License-Identifier: GPL-3.0-or-later
#include "update/Packets.h"
#include "support/QtPrinters.h"

#include <gtest/gtest.h>

#include <array>

using namespace tavrel;

namespace {

std::array<std::uint8_t, kBlockSize> Filled(std::uint8_t value) {
    std::array<std::uint8_t, kBlockSize> block{};
    block.fill(value);
    return block;
}

std::uint8_t At(const QByteArray& bytes, int offset) {
    return static_cast<std::uint8_t>(bytes[offset]);
}

void ExpectFrame(const QByteArray& packet) {
    const std::array<std::uint8_t, 7> preamble = {0xAA, 0xBB, 0x47, 0xD4, 0xE5, 0xFF, 0x00};
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(At(packet, i), preamble[static_cast<std::size_t>(i)]) << "offset " << i;
    }
}

struct BlockCase {
    std::uint8_t index;
    std::uint8_t number;
};

class BlockNumberTest : public ::testing::TestWithParam<BlockCase> {};

TEST_P(BlockNumberTest, CarriesIndexPlusTwenty) {
    const auto block = Filled(0x00);
    const QByteArray packet = BuildBlockPacket(GetParam().index, block);
    ASSERT_EQ(packet.size(), 1034);
    ExpectFrame(packet);
    EXPECT_EQ(At(packet, 7), GetParam().number);
    EXPECT_EQ(At(packet, 1032), 0x5A);
    EXPECT_EQ(At(packet, 1033), 0x5B);
}

INSTANTIATE_TEST_SUITE_P(Edges, BlockNumberTest,
                         ::testing::Values(BlockCase{0, 0x14}, BlockCase{1, 0x15},
                                           BlockCase{100, 0x78}, BlockCase{235, 0xFF},
                                           // Beyond the store the number wraps modulo 256.
                                           BlockCase{236, 0x00}, BlockCase{255, 0x13}));

TEST(BlockPacket, DataByteJLandsAtOffsetEightPlusJ) {
    std::array<std::uint8_t, kBlockSize> block{};
    for (int j = 0; j < kBlockSize; ++j) {
        block[static_cast<std::size_t>(j)] = static_cast<std::uint8_t>(j * 31 + 7);
    }
    const QByteArray packet = BuildBlockPacket(3, block);
    for (int j = 0; j < kBlockSize; ++j) {
        ASSERT_EQ(At(packet, 8 + j), block[static_cast<std::size_t>(j)]) << "byte " << j;
    }
}

TEST(BlockPacket, AllFillBlockKeepsFrame) {
    const QByteArray packet = BuildBlockPacket(0, Filled(0xFF));
    ExpectFrame(packet);
    EXPECT_EQ(At(packet, 7), 0x14);
    EXPECT_EQ(packet.mid(8, 1024), QByteArray(1024, char(0xFF)));
    EXPECT_EQ(packet.right(2), QByteArray("\x5A\x5B"));
}

TEST(SwitchPacket, IsTheTwelveFixedBytes) {
    const QByteArray expected("\xAA\xBB\x47\xD4\xE5\xFF\x00\xFF\x5A\x5B\x5C\x5D", 12);
    EXPECT_EQ(BuildSwitchPacket(), expected);
    // Same byte at offset 7 as the packet of the last block the store can hold.
    EXPECT_EQ(BuildSwitchPacket()[7], BuildBlockPacket(235, Filled(0))[7]);
}

struct AckCase {
    const char* name;
    QByteArray bytes;
    bool ack;
};

class AckTest : public ::testing::TestWithParam<AckCase> {};

TEST_P(AckTest, OnlyLeadingUpperCaseAck) {
    EXPECT_EQ(IsAck(GetParam().bytes), GetParam().ack);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, AckTest,
    ::testing::Values(AckCase{"Plain", "ACK", true}, AckCase{"LineEnd", "ACK\r\n", true},
                      AckCase{"Twice", "ACKACK", true},
                      AckCase{"ThenZeros", QByteArray("ACK\0\0", 5), true},
                      AckCase{"Empty", "", false}, AckCase{"TwoBytes", "AC", false},
                      AckCase{"LoneK", "K", false}, AckCase{"LowerCase", "ack", false},
                      AckCase{"LeadingLineEnd", "\r\nACK", false}, AckCase{"Nack", "NACK", false},
                      AckCase{"LeadingZero", QByteArray("\0ACK", 4), false},
                      AckCase{"Mixed", "ACk", false}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
