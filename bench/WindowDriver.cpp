// SPDX-License-Identifier: GPL-3.0-or-later
#include "bench/WindowDriver.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDeadlineTimer>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

namespace bench {

WindowDriver::WindowDriver() : m_dialog(std::make_unique<CTavrel_V10Dlg>()) {
    QObject::connect(&m_closer, &QTimer::timeout, [this] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            m_succeeded = m_succeeded || box->text() == QLatin1String("Updata Successfully!");
            box->button(QMessageBox::Ok)->click();
        }
    });
    m_closer.start(20);
    m_dialog->show();
    // Let the first paints of the new window finish before anything is measured.
    const QDeadlineTimer settle(200);
    while (!settle.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
}

WindowDriver::~WindowDriver() = default;

bool WindowDriver::Open(const QString& port) {
    qputenv("TAVREL_COM1", port.toLocal8Bit());
    qobject_cast<QPushButton*>(m_dialog->GetDlgItem(IDC_OPEN_PORT))->click();
    return m_dialog->m_comm.get_PortOpen();
}

bool WindowDriver::Update(const QString& image, int timeoutMs) {
    if (!m_dialog->m_store.LoadImageFile(image).ok) {
        return false;
    }
    m_succeeded = false;
    qobject_cast<QPushButton*>(m_dialog->GetDlgItem(IDC_WRITE))->click();
    const QDeadlineTimer deadline(timeoutMs);
    while (!m_succeeded && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    return m_succeeded;
}

} // namespace bench
