#include "ui/LimitedTextEdit.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMimeData>
#include <QTextCursor>

LimitedTextEdit::LimitedTextEdit(QWidget* parent) : QPlainTextEdit(parent) {
    setTabChangesFocus(true);
    m_repaint.setSingleShot(true);
    connect(&m_repaint, &QTimer::timeout, this, [this] { setUpdatesEnabled(true); });
    connect(document(), &QTextDocument::contentsChange, this, &LimitedTextEdit::OnContentsChange);
}

QString DisplayText(QStringView logText) {
    return logText.toString().remove(QLatin1Char('\r'));
}

void LimitedTextEdit::OnContentsChange(int, int, int) {
    if (!m_programChange) {
        m_editedByUser = true;
    }
}

QString LimitedTextEdit::Text() const {
    return toPlainText();
}

void LimitedTextEdit::Replace(const QString& text) {
    m_programChange = true;
    setPlainText(text); // shows the text from its first line
    m_programChange = false;
}

void LimitedTextEdit::SetProgramText(const QString& text) {
    if (toPlainText() != text) {
        Replace(text);
    }
}

bool LimitedTextEdit::ShowsLog(const DataLog& log) const {
    return !m_editedByUser && m_shownRevision == log.Revision() && m_shownLength == log.Size();
}

void LimitedTextEdit::ShowLog(const DataLog& log) {
    if (!m_editedByUser && m_shownRevision == log.Revision() && m_shownLength <= log.Size()) {
        if (m_shownLength == log.Size()) {
            return;
        }
        // Only the new end: the cost of a refresh does not grow with the log.
        const QString added = DisplayText(QStringView(log.Text()).mid(m_shownLength));
        DeferRepaint();
        m_programChange = true;
        QTextCursor cursor(document());
        cursor.movePosition(QTextCursor::End);
        cursor.insertText(added);
        m_programChange = false;
    } else {
        const QString text = DisplayText(log.Text());
        if (toPlainText() != text) {
            Replace(text);
        }
    }
    m_editedByUser = false;
    m_shownRevision = log.Revision();
    m_shownLength = log.Size();
}

void LimitedTextEdit::DeferRepaint() {
    if (!m_repaint.isActive() && isVisible()) {
        setUpdatesEnabled(false); // enabling it again repaints the box once, with all that came
        m_repaint.start(kRepaintIntervalMs);
    }
}

qsizetype LimitedTextEdit::RoomLeft() const {
    if (m_limit <= 0) {
        return std::numeric_limits<qsizetype>::max();
    }
    const QTextCursor cursor = textCursor();
    const qsizetype selected = cursor.selectionEnd() - cursor.selectionStart();
    const qsizetype length = document()->characterCount() - 1;
    return std::max<qsizetype>(0, m_limit - (length - selected));
}

void LimitedTextEdit::keyPressEvent(QKeyEvent* event) {
    const QString text = event->text();
    const bool inserts = (!text.isEmpty() && text.at(0).isPrint()) ||
                         event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (inserts && !isReadOnly() && RoomLeft() < 1) {
        QApplication::beep();
        return;
    }
    QPlainTextEdit::keyPressEvent(event);
}

void LimitedTextEdit::insertFromMimeData(const QMimeData* source) {
    if (source == nullptr || !source->hasText()) {
        return;
    }
    const qsizetype room = RoomLeft();
    QString text = source->text();
    if (text.size() > room) {
        text.truncate(room);
    }
    if (!text.isEmpty()) {
        insertPlainText(text);
    }
}
