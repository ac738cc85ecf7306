// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/ModalWatcher.h"

#include "app/CAboutDlg.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>

ModalWatcher::ModalWatcher() {
    connect(&m_timer, &QTimer::timeout, this, &ModalWatcher::Poll);
    m_timer.start(5);
}

QStringList ModalWatcher::Messages() const {
    QStringList texts;
    for (const SeenModal& s : seen) {
        if (s.kind == QLatin1String("message")) {
            texts << s.text;
        }
    }
    return texts;
}

void ModalWatcher::Poll() {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr || modal == m_handled) {
        return;
    }
    m_handled = modal;
    SeenModal s;
    s.title = modal->windowTitle();
    QElapsedTimer now; // the monotonic clock the simulator stamps its packets with
    now.start();
    s.shownAtMs = now.msecsSinceReference();
    if (auto* box = qobject_cast<QMessageBox*>(modal)) {
        s.kind = QStringLiteral("message");
        s.text = box->text();
        s.icon = box->icon();
        seen.push_back(s);
        QPointer<QMessageBox> guard(box);
        QTimer::singleShot(m_messageDelayMs, box, [guard] {
            if (guard) {
                // The operator reads it and confirms: OK, or Yes to a question.
                QAbstractButton* confirm = guard->button(QMessageBox::Ok);
                confirm = confirm != nullptr ? confirm : guard->button(QMessageBox::Yes);
                if (confirm != nullptr) {
                    confirm->click();
                } else {
                    guard->reject();
                }
            }
        });
    } else if (auto* dialog = qobject_cast<QFileDialog*>(modal)) {
        s.kind = QStringLiteral("file");
        s.text = dialog->nameFilters().join(QLatin1Char(';'));
        seen.push_back(s);
        if (m_files.isEmpty()) {
            dialog->reject();
        } else {
            QStringList quoted;
            for (const QString& f : m_files) {
                quoted << QStringLiteral("\"%1\"").arg(f);
            }
            dialog->selectFile(m_files.size() == 1 ? m_files.first()
                                                   : quoted.join(QLatin1Char(' ')));
            QMetaObject::invokeMethod(dialog, "accept");
        }
    } else if (auto* about = qobject_cast<CAboutDlg*>(modal)) {
        s.kind = QStringLiteral("about");
        seen.push_back(s);
        about->accept();
    }
}
