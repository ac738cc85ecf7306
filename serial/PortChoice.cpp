// Choosing and opening the port: the two lists, "Open Port" / "Close Port" and the hidden Exit.
#include "serial/PortMapping.h"
#include "ui/CTavrel_V10Dlg.h"
#include "ui/SortedComboBox.h"

#include <QPushButton>

namespace {
const char* const kBaudTexts[] = {"300",   "600",   "1200",  "2400",  "4800",  "9600",
                                  "19200", "38400", "43000", "56000", "57600", "115200"};
const QString kOpenCaption = QStringLiteral("Open Port");
const QString kCloseCaption = QStringLiteral("Close Port");
} // namespace

void CTavrel_V10Dlg::FillLists() {
    for (int n = 1; n <= 15; ++n) {
        m_portList->InsertString(n - 1, QStringLiteral("com %1").arg(n));
    }
    m_portList->SetCurSel(0);
    for (const char* baud : kBaudTexts) {
        const int result = m_baudList->AddString(QString::fromLatin1(baud));
        if (result == SortedComboBox::CB_ERR || result == SortedComboBox::CB_ERRSPACE) {
            MessageBox(QStringLiteral("build baud error"));
        }
    }
    m_baudList->SetCurSel(0);
    RefreshPortTips();
    connect(m_portList, &SortedComboBox::aboutToShowPopup, this, &CTavrel_V10Dlg::RefreshPortTips,
            Qt::UniqueConnection);
}

void CTavrel_V10Dlg::RefreshPortTips() {
    // What each com number stands for right now; adapters come and go.
    const QList<SerialPortEntry> systemPorts = SystemSerialPorts();
    for (int position = 0; position < m_portList->count(); ++position) {
        const int number = position + 1;
        m_portList->setItemData(position, DescribeMapping(number, MapComPort(number, systemPorts)),
                                Qt::ToolTipRole);
    }
}

void CTavrel_V10Dlg::OnOpenPort() {
    QPushButton* button = Button(IDC_OPEN_PORT);
    const QString caption = button->text();
    if (m_comm.get_PortOpen()) {
        m_comm.put_PortOpen(false);
        if (caption != kOpenCaption) {
            UpdateData(true);
            button->setText(kOpenCaption);
        }
        return;
    }
    // With no entry selected the lists have nothing to give: say so rather than guess.
    const int baudPosition = m_baudList->GetCurSel();
    if (baudPosition < 0) {
        MessageBox(QStringLiteral("Select a baud rate from the list, then open the port."));
        return;
    }
    const QString settings = m_baudList->GetLBText(baudPosition) + QStringLiteral(",n,8,1");
    const int portPosition = m_portList->GetCurSel();
    if (portPosition < 0) {
        MessageBox(QStringLiteral("Select a port from the list, then open the port."));
        return;
    }
    const auto port = static_cast<short>(portPosition + 1);
    m_comm.put_CommPort(port);
    m_comm.put_InputMode(1);
    m_comm.put_Settings(settings);
    m_comm.put_InputLen(5000);
    m_comm.put_RThreshold(1);
    m_comm.put_RTSEnable(true);
    m_comm.put_PortOpen(true);
    if (m_comm.get_PortOpen()) {
        UpdateData(true);
        button->setText(kCloseCaption);
    }
}

void CTavrel_V10Dlg::OnExit() {
    if (m_comm.get_PortOpen()) {
        m_comm.put_PortOpen(false);
    }
    reject();
}
