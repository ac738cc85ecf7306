// SPDX-License-Identifier: GPL-3.0-or-later
#include "update/Packets.h"

#include <algorithm>

using namespace tavrel;

namespace {
void PutPreamble(QByteArray& packet) {
    for (std::size_t i = 0; i < kPreamble.size(); ++i) {
        packet[static_cast<qsizetype>(i)] = static_cast<char>(kPreamble[i]);
    }
}
} // namespace

QByteArray BuildBlockPacket(std::uint8_t blockIndex, BlockView blockData) {
    QByteArray packet(kBlockPacketSize, Qt::Uninitialized);
    PutPreamble(packet);
    packet[7] = static_cast<char>((blockIndex + kBlockNumberOffset) % 256);
    std::copy(blockData.begin(), blockData.end(),
              reinterpret_cast<std::uint8_t*>(packet.data()) + 8);
    packet[1032] = static_cast<char>(0x5A);
    packet[1033] = static_cast<char>(0x5B);
    return packet;
}

QByteArray BuildSwitchPacket() {
    QByteArray packet(kSwitchPacketSize, Qt::Uninitialized);
    PutPreamble(packet);
    packet[7] = static_cast<char>(0xFF);
    packet[8] = static_cast<char>(0x5A);
    packet[9] = static_cast<char>(0x5B);
    packet[10] = static_cast<char>(0x5C);
    packet[11] = static_cast<char>(0x5D);
    return packet;
}

bool IsAck(QByteArrayView received) {
    return received.size() >= 3 && received[0] == 'A' && received[1] == 'C' && received[2] == 'K';
}
