// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/LimitedTextEdit.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMimeData>
#include <QScrollBar>
#include <QTextCursor>

namespace {
constexpr QChar kHiddenCr(0x200B); // zero-width space
} // namespace

LimitedTextEdit::LimitedTextEdit(QWidget* parent) : QPlainTextEdit(parent) {
    setTabChangesFocus(true);
    // An undo history of every received entry would cost more than the log itself.
    setUndoRedoEnabled(false);
    m_repaint.setSingleShot(true);
    connect(&m_repaint, &QTimer::timeout, this, [this] {
        Flush();
        setUpdatesEnabled(true);
    });
    connect(document(), &QTextDocument::contentsChange, this, &LimitedTextEdit::OnContentsChange);
}

QString LimitedTextEdit::ToBox(QStringView logText) {
    QString text = logText.toString();
    for (QChar& c : text) {
        ++m_charsInLastParagraph;
        if (c == QLatin1Char('\r')) {
            c = kHiddenCr;
        } else if (c == QLatin1Char('\n')) {
            if (++m_linesInLastParagraph < kLinesPerParagraph &&
                m_charsInLastParagraph < kCharsPerParagraph) {
                c = QChar::LineSeparator;
            } else {
                m_linesInLastParagraph = 0; // stays a paragraph break
                m_charsInLastParagraph = 0;
            }
        }
    }
    return text;
}

void LimitedTextEdit::OnContentsChange(int, int, int) {
    if (!m_programChange) {
        m_editedByUser = true;
    }
}

QString LimitedTextEdit::Text() const {
    QString text = document()->toRawText() + m_pending;
    for (QChar& c : text) {
        if (c == QChar::ParagraphSeparator || c == QChar::LineSeparator) {
            c = QLatin1Char('\n');
        } else if (c == kHiddenCr) {
            c = QLatin1Char('\r');
        }
    }
    return text;
}

void LimitedTextEdit::Flush() {
    if (m_pending.isEmpty()) {
        return;
    }
    m_programChange = true;
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(m_pending);
    m_programChange = false;
    m_pending.clear();
}

bool LimitedTextEdit::event(QEvent* event) {
    switch (event->type()) {
    case QEvent::KeyPress:
    case QEvent::MouseButtonPress:
    case QEvent::FocusIn:
    case QEvent::ContextMenu:
    case QEvent::InputMethod:
    case QEvent::Hide:
        Flush(); // the operator works on the whole log
        break;
    default:
        break;
    }
    return QPlainTextEdit::event(event);
}

bool LimitedTextEdit::viewportEvent(QEvent* event) {
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
    case QEvent::ContextMenu:
    case QEvent::DragEnter:
    case QEvent::Drop:
        Flush(); // a click, a paste or a drop goes where the operator sees it: after the log
        break;
    default:
        break;
    }
    return QPlainTextEdit::viewportEvent(event);
}

void LimitedTextEdit::Replace(const QString& text) {
    m_pending.clear();
    m_programChange = true;
    setPlainText(text); // shows the text from its first line
    m_programChange = false;
}

void LimitedTextEdit::SetProgramText(const QString& text) {
    if (!m_pending.isEmpty() || toPlainText() != text) { // log text waiting goes too
        Replace(text);
        m_editedByUser = true; // it shows no log now: the next log is set whole
    }
}

bool LimitedTextEdit::ShowsLog(const DataLog& log) const {
    return !m_editedByUser && m_shownRevision == log.Revision() &&
           m_shownBytes == log.StoredBytes();
}

void LimitedTextEdit::ShowLog(const DataLog& log) {
    if (!m_editedByUser && m_shownRevision == log.Revision() && m_shownBytes <= log.StoredBytes()) {
        if (m_shownBytes == log.StoredBytes()) {
            return;
        }
        // Only the new end: the cost of a refresh does not grow with the log.
        m_pending += ToBox(log.TextFrom(m_shownBytes));
        DeferRepaint();
        if (!m_repaint.isActive()) {
            Flush(); // nothing will repaint it soon: in it goes now
        }
        // As when the whole text is set: the box shows it from its first line. (Only when it
        // does not already: moving the cursor costs a layout on every receive event.)
        if (textCursor().position() != 0 || textCursor().hasSelection()) {
            setTextCursor(QTextCursor(document()));
        }
        if (verticalScrollBar()->value() != 0) {
            verticalScrollBar()->setValue(0);
        }
    } else {
        const QString text = log.Text();
        if (Text() != text) {
            m_linesInLastParagraph = 0;
            m_charsInLastParagraph = 0;
            Replace(ToBox(text));
        }
    }
    m_editedByUser = false;
    m_shownRevision = log.Revision();
    m_shownBytes = log.StoredBytes();
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
    Flush();
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

QMimeData* LimitedTextEdit::createMimeDataFromSelection() const {
    // What the operator copies is the device's text, without the invisible CR marks.
    QMimeData* data = QPlainTextEdit::createMimeDataFromSelection();
    if (data != nullptr && data->hasText()) {
        data->setText(data->text().remove(kHiddenCr));
    }
    return data;
}
