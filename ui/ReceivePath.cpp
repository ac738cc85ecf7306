// SPDX-License-Identifier: GPL-3.0-or-later
// The receive path: every received event is logged as text, shown, and only then handed to
// the transfer engine, so the device's answer is on screen before the next block leaves.
#include "ui/CTavrel_V10Dlg.h"

#include "serial/ReceivedBytes.h"

#include <QPushButton>

void CTavrel_V10Dlg::OnCommEvent() {
    const short event = m_comm.get_CommEvent();
    if (event == comEventPortLost) {
        ReportPortLost();
        return;
    }
    if (event != comEvReceive) {
        return; // line-state and error events leave no trace
    }
    const ReceivedBytes received = TakeReceivedBytes(m_comm.get_Input());
    m_receiveText.Append(received.logEntry);
    UpdateData(false);
    m_engine.OnDeviceReply(QByteArrayView(received.buffer.data(), kReceiveBufferSize));
}

void CTavrel_V10Dlg::OnClearData() {
    m_receiveText.Clear();
    UpdateData(false);
}

void CTavrel_V10Dlg::ReportPortLost() {
    Button(IDC_OPEN_PORT)->setText(QStringLiteral("Open Port"));
    if (m_sinceSwitch.isValid() && m_sinceSwitch.elapsed() < kRestartGraceMs) {
        // Many USB boot loaders drop the port when they start the new program: no failure.
        return;
    }
    // The engine keeps its image armed: a Write after reopening starts over from block 0.
    QString text = QStringLiteral("The port %1 was lost (the device was unplugged or switched "
                                  "off).")
                       .arg(m_comm.DevicePath());
    const bool transferring = m_store.m_imageReady == 1 && m_engine.m_currentBlock > 0;
    if (m_engine.m_closingInterrupted) {
        text += QStringLiteral(" All %1 blocks were sent, but not the switch packet that starts "
                               "the new program. Check the cable, open the port again and press "
                               "Write to start the update over.")
                    .arg(m_store.m_lastBlock + 1);
    } else if (transferring) {
        text += QStringLiteral(" The update stopped at block %1 of %2. Check the cable, open the "
                               "port again and press Write to start the update over.")
                    .arg(m_engine.m_currentBlock)
                    .arg(m_store.m_lastBlock + 1);
    } else {
        text += QStringLiteral(" Check the cable and open the port again.");
    }
    MessageBox(text);
}
