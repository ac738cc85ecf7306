// SPDX-License-Identifier: GPL-3.0-or-later
// Choosing and opening the port: the two lists, "Open Port" / "Close Port" and the hidden Exit.
#include "serial/NetworkAddress.h"
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
    // The tips are seen only in the open list, so the system's ports (some 16 ms of looking
    // through sysfs) are looked up when it opens, not before the window is shown.
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

std::optional<QString> CTavrel_V10Dlg::ChosenBaud() const {
    const int position = m_baudList->GetCurSel();
    if (position >= 0) {
        return m_baudList->GetLBText(position);
    }
    // A rate the list does not offer, typed in: a whole number; the port says whether it runs.
    const QString typed = m_baudList->currentText().trimmed();
    bool ok = false;
    const int rate = typed.toInt(&ok);
    if (ok && rate > 0 && !typed.startsWith(QLatin1Char('+'))) {
        return QString::number(rate);
    }
    return std::nullopt;
}

std::optional<CTavrel_V10Dlg::PortChoice> CTavrel_V10Dlg::ChosenPort() const {
    const int position = m_portList->GetCurSel();
    if (position >= 0) {
        return PortChoice{static_cast<short>(position + 1), {}};
    }
    // Typed in: "com N" beyond the list's fifteen, the path of a device, or a port on a serial
    // server (rfc2217://HOST:PORT, socket://HOST:PORT).
    const QString typed = m_portList->currentText().trimmed();
    if (const std::optional<int> number = ParseComName(typed)) {
        return PortChoice{static_cast<short>(*number), {}};
    }
    if (typed.startsWith(QLatin1Char('/')) || LooksLikeNetworkPort(typed)) {
        return PortChoice{m_comm.get_CommPort(), typed}; // a device, or a port on a server
    }
    return std::nullopt;
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
    // Text typed into a list that names no entry, no port and no rate: say so rather than
    // open something the fields do not show.
    const std::optional<QString> baud = ChosenBaud();
    if (!baud) {
        MessageBox(QStringLiteral("Select a baud rate from the list, then open the port."));
        return;
    }
    const QString settings = *baud + QStringLiteral(",n,8,1");
    const std::optional<PortChoice> port = ChosenPort();
    if (!port) {
        MessageBox(QStringLiteral("Select a port from the list, then open the port."));
        return;
    }
    m_comm.SetDevicePath(port->device, QStringLiteral("the port list"));
    m_comm.put_CommPort(port->number);
    m_comm.put_InputMode(1);
    m_comm.put_Settings(settings);
    m_comm.put_InputLen(5000);
    m_comm.put_RThreshold(1);
    m_comm.put_RTSEnable(true);
    m_comm.put_PortOpen(true);
    if (m_comm.get_PortOpen()) {
        m_sinceSwitch.invalidate();
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
