// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A real main window, shown (offscreen in CI), with a watcher that answers its modal boxes.

#include "support/ModalWatcher.h"
#include "support/QtPrinters.h"
#include "ui/CTavrel_V10Dlg.h"
#include "ui/LimitedTextEdit.h"
#include "ui/SortedComboBox.h"

#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>
#include <memory>

class WindowFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        for (int n = 1; n <= 15; ++n) {
            qunsetenv(QStringLiteral("TAVREL_COM%1").arg(n).toLatin1().constData());
        }
        dlg = std::make_unique<CTavrel_V10Dlg>();
        dlg->show();
        QCoreApplication::processEvents();
    }
    void TearDown() override {
        dlg.reset();
        QCoreApplication::processEvents();
    }

    QPushButton* Button(int id) const { return qobject_cast<QPushButton*>(dlg->GetDlgItem(id)); }
    LimitedTextEdit* Log() const {
        return qobject_cast<LimitedTextEdit*>(dlg->GetDlgItem(IDC_RECEIVE_TEXT));
    }
    QProgressBar* Bar() const { return qobject_cast<QProgressBar*>(dlg->GetDlgItem(IDC_PROGRESS)); }
    // Clicks a visible button as the operator does; a hidden one (which no operator can reach)
    // is clicked programmatically.
    void Click(int id) {
        QPushButton* button = Button(id);
        if (button->isVisible()) {
            QTest::mouseClick(button, Qt::LeftButton);
        } else {
            button->click();
        }
    }
    void OpenPortOn(const QString& device, int com = 1) {
        qputenv(QStringLiteral("TAVREL_COM%1").arg(com).toLatin1().constData(),
                device.toLocal8Bit());
        dlg->m_portList->SetCurSel(com - 1);
        Click(IDC_OPEN_PORT);
    }
    void SelectImage(const QString& path) {
        watcher.AnswerFileDialog({path});
        Click(IDC_SELECT_BIN);
    }

    ModalWatcher watcher;
    std::unique_ptr<CTavrel_V10Dlg> dlg;
};
