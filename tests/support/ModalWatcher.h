// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Answers the modal windows the code under test opens, the way an operator would: message boxes
// are read and closed with OK, the open-file dialog gets a chosen file (or is cancelled), the
// about box is closed. Everything seen is recorded with the monotonic time it appeared.

#include <QElapsedTimer>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <vector>

struct SeenModal {
    QString kind; // "message", "file", "about"
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    qint64 shownAtMs = 0; // QElapsedTimer::msecsSinceReference scale
};

class ModalWatcher : public QObject {
    Q_OBJECT

  public:
    ModalWatcher();
    // The next open-file dialog selects these files and confirms; an empty list cancels.
    void AnswerFileDialog(const QStringList& files) { m_files = files; }
    // Keeps message boxes open this long before closing them (to let events arrive meanwhile).
    void SetMessageDelay(int msecs) { m_messageDelayMs = msecs; }
    std::vector<SeenModal> seen;
    QStringList Messages() const;

  private:
    void Poll();
    QTimer m_timer;
    QStringList m_files;
    int m_messageDelayMs = 0;
    QPointer<QWidget> m_handled;
};
