// SPDX-License-Identifier: GPL-3.0-or-later
#include "update/TransferEngine.h"

#include "update/Packets.h"

void TransferEngine::SendBlock(std::uint8_t index) {
    m_host.WritePacket(UpdatePlan(m_store).BlockPacket(index));
}

void TransferEngine::OnWrite() {
    m_closingInterrupted = false;
    m_currentBlock = 0;
    if (m_store.m_imageReady == 1) {
        SendBlock(0); // a failed write ends Write here, with block 0 next
    }
    m_currentBlock = 1;
    if (m_currentBlock > m_store.m_lastBlock) {
        // A one-block image is all sent with block 0: nothing is left for an "ACK" to send.
        m_store.m_imageReady = 0;
        m_host.SaveData();
        m_host.SetWriteCaption(kSendEndCaption);
    }
    if (m_store.m_imageReady == 0) {
        m_currentBlock = 0;
    }
}

void TransferEngine::OnDeviceReply(QByteArrayView received) {
    if (m_store.m_imageReady != 1 || !IsAck(received)) {
        return;
    }
    m_closingInterrupted = false;
    const std::uint8_t sent = m_currentBlock;
    SendBlock(sent);
    m_currentBlock = static_cast<std::uint8_t>(sent + 1);
    if (sent % 2 == 1) {
        // One step of the bar for every two blocks.
        m_host.SetProgress(m_progressStep);
        ++m_progressStep;
    }
    if (sent + 1 > m_store.m_lastBlock) {
        // Disarmed for the whole closing sequence: replies that arrive meanwhile send nothing.
        m_store.m_imageReady = 0;
        FinishTransfer();
    }
}

void TransferEngine::FinishTransfer() {
    m_currentBlock = 0;
    try {
        m_host.Wait(kSwitchDelayMs);
        m_host.SetProgress(100);
        m_host.WritePacket(UpdatePlan::SwitchPacket());
    } catch (...) {
        // The device never got the switch. The image stays armed, so that Write after the
        // port is back starts the update over instead of doing nothing.
        m_store.m_imageReady = 1;
        m_progressStep = 0;
        m_closingInterrupted = true;
        m_host.SetProgress(0);
        throw;
    }
    m_host.Wait(kReportDelayMs);
    m_host.ShowMessage(kSuccessText);
    m_store.m_imageReady = 1;
    m_progressStep = 0;
    m_host.SetProgress(0);
}

void TransferEngine::OnImageLoaded() {
    m_closingInterrupted = false;
    if (m_store.m_imageReady == 1 && m_currentBlock > 0) {
        m_currentBlock = 0;
        m_progressStep = 0;
        m_host.SetProgress(0);
    }
}

void TransferEngine::OnBootUserSwitch() {
    m_host.WritePacket(UpdatePlan::SwitchPacket());
}
