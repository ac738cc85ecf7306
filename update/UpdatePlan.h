// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What an update puts on the wire, in order: block 0 to the last block, each after the device's
// "ACK" of the one before, then a wait, the switch packet and a wait. The window's transfer
// engine and the headless update both take their packets and waits from here, so the bytes on
// the wire are the same by construction.

#include "update/ImageStore.h"
#include "update/Packets.h"

#include <QByteArray>
#include <QString>

namespace tavrel {
inline constexpr int kSwitchDelayMs = 1000; // after the last block, before the switch packet
inline constexpr int kReportDelayMs = 500;  // after the switch packet, before success is told
inline const QString kSuccessText = QStringLiteral("Updata Successfully!");
} // namespace tavrel

class UpdatePlan {
  public:
    explicit UpdatePlan(const ImageStore& image) : m_image(image) {}

    int Blocks() const { return m_image.m_lastBlock + 1; }
    QByteArray BlockPacket(int index) const {
        return BuildBlockPacket(static_cast<std::uint8_t>(index),
                                m_image.Block(static_cast<std::uint8_t>(index)));
    }
    static QByteArray SwitchPacket() { return BuildSwitchPacket(); }
    // Whether the device's "ACK" of block `index` is awaited before the update goes on. Each
    // block but the last is followed by the next only once acknowledged; after the last block
    // the closing wait begins at once, and its acknowledgement may come during it. A one-block
    // image's only block is acknowledged before the closing wait.
    bool AwaitsAck(int index) const { return index + 1 < Blocks() || Blocks() == 1; }

  private:
    const ImageStore& m_image;
};
