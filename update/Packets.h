// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The two packets the tool sends to a boot loader and the one reply it understands.
// Every byte is fixed here; nothing further frames a packet on the line.

#include <QByteArray>
#include <QByteArrayView>
#include <array>
#include <cstdint>
#include <span>

namespace tavrel {
inline constexpr int kBlockSize = 1024;
inline constexpr int kBlockPacketSize = 1034;
inline constexpr int kSwitchPacketSize = 12;
// A block packet carries the block index plus this offset as its block number.
inline constexpr int kBlockNumberOffset = 20;
inline constexpr std::array<std::uint8_t, 7> kPreamble = {0xAA, 0xBB, 0x47, 0xD4, 0xE5, 0xFF, 0x00};
using BlockView = std::span<const std::uint8_t, kBlockSize>;
} // namespace tavrel

// 1034 bytes: preamble, block number (index + 20, modulo 256), the block's 1024 bytes, 0x5A 0x5B.
QByteArray BuildBlockPacket(std::uint8_t blockIndex, tavrel::BlockView blockData);

// 12 bytes: preamble, 0xFF, 0x5A 0x5B 0x5C 0x5D. Tells the boot loader to start the user program.
QByteArray BuildSwitchPacket();

// True when the bytes of one receive event begin with "ACK". Anything after it is ignored;
// "ACK" anywhere else, in lower case or cut short is no acknowledgement.
bool IsAck(QByteArrayView received);
