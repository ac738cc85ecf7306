// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Drives an update: Write sends block 0, every "ACK" the next block, and after the last
// block the engine waits, sends the switch packet, waits again, reports success and re-arms
// so that the same image can be written again. The device's "ACK" is the only thing that moves
// a transfer on: no timeout, no retry.

#include "update/EngineHost.h"
#include "update/ImageStore.h"
#include "update/UpdatePlan.h"

#include <QByteArrayView>
#include <cstdint>

class TransferEngine {
  public:
    static constexpr int kSwitchDelayMs = tavrel::kSwitchDelayMs;
    static constexpr int kReportDelayMs = tavrel::kReportDelayMs;
    static inline const QString kSuccessText = tavrel::kSuccessText;
    static inline const QString kSendEndCaption = QStringLiteral("Send end");

    TransferEngine(ImageStore& store, EngineHost& host) : m_store(store), m_host(host) {}

    void OnWrite();
    // One receive event's bytes; only their first three matter.
    void OnDeviceReply(QByteArrayView received);
    void OnBootUserSwitch();
    // A new image was loaded. During a transfer the device holds blocks of the old image, so
    // the transfer starts over: the next "ACK" (or Write) sends block 0 of the new one.
    void OnImageLoaded();

    // Index of the next block to send; arithmetic on it is modulo 256.
    std::uint8_t m_currentBlock = 0;
    // The position the progress bar is set to at its next step.
    std::int32_t m_progressStep = 0;
    // The last closing sequence was cut short before the switch packet left (the port failed):
    // every block went out but the device was never told to start the image.
    bool m_closingInterrupted = false;

  private:
    void FinishTransfer();
    void SendBlock(std::uint8_t index);

    ImageStore& m_store;
    EngineHost& m_host;
};
