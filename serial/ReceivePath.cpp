// The receive path: every received event is logged as text, shown, and only then handed to
// the transfer engine, so the device's answer is on screen before the next block leaves.
#include "ui/CTavrel_V10Dlg.h"

#include <QPushButton>
#include <array>
#include <cstring>

namespace {
constexpr int kReceiveBufferSize = 1024;
const QString kEntryEnd = QStringLiteral("\n\r"); // LF then CR, as the log has always had it
} // namespace

void CTavrel_V10Dlg::OnCommEvent() {
    const short event = m_comm.get_CommEvent();
    if (event == comEventPortLost) {
        ReportPortLost();
        return;
    }
    if (event != comEvReceive) {
        return; // line-state and error events leave no trace
    }
    std::array<char, kReceiveBufferSize> buffer{};
    const QByteArray input = m_comm.get_Input();
    // The engine looks at the first bytes only; the log keeps everything up to the first zero,
    // however long the event was.
    std::memcpy(buffer.data(), input.constData(),
                static_cast<std::size_t>(std::min<qsizetype>(input.size(), kReceiveBufferSize)));
    qsizetype textLength = input.indexOf('\0');
    if (textLength < 0) {
        textLength = input.size();
    }
    m_receiveText.Append(QString::fromLocal8Bit(input.constData(), textLength));
    m_receiveText.Append(kEntryEnd);
    UpdateData(false);
    m_engine.OnDeviceReply(QByteArrayView(buffer.data(), kReceiveBufferSize));
}

void CTavrel_V10Dlg::OnClearData() {
    m_receiveText.Clear();
    UpdateData(false);
}

void CTavrel_V10Dlg::ReportPortLost() {
    // The engine keeps its state: a Write after reopening starts over from block 0.
    Button(IDC_OPEN_PORT)->setText(QStringLiteral("Open Port"));
    QString text = QStringLiteral("The port %1 was lost (the device was unplugged or switched "
                                  "off).")
                       .arg(m_comm.DevicePath());
    const bool transferring = m_store.m_imageReady == 1 && m_engine.m_currentBlock > 0;
    if (transferring) {
        text += QStringLiteral(" The update stopped at block %1 of %2.")
                    .arg(m_engine.m_currentBlock)
                    .arg(m_store.m_lastBlock + 1);
    }
    text += QStringLiteral(" Check the cable, open the port again and press Write.");
    MessageBox(text);
}
